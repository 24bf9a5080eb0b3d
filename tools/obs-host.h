// A headless libobs host for the programs that run the module without OBS
// Studio (tests, demo, benchmark): starts libobs with the OpenGL renderer
// and loads the module (host-start), captures the log (host-log), offers
// test-pattern sources (host-sources) and pictures to check (host-images),
// reads back what a source draws (host-render), reaches into a filter
// instance (host-instance) and waits for conditions (host-wait). What
// differs between Linux and Windows lies in host-platform.
#pragma once

#include "host-images.h"
#include "host-instance.h"
#include "host-log.h"
#include "host-render.h"
#include "host-sources.h"
#include "host-start.h"
#include "host-wait.h"
