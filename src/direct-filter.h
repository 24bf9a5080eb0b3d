// The filter type as the host sees it.
#pragma once

#include "common.h"

extern struct obs_source_info filter;
