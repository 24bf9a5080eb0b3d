// Rendering in the headless host: jobs on its graphics thread, and reading
// back what a source (with its filters) draws.
#pragma once

#include "common.h"
#include "host-images.h"
#include "host-sources.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace qm_host {

// The host's main render callback that runs the jobs of
// run_on_graphics_thread, once per frame on its graphics thread after the
// sources' tick; start registers it.
void run_jobs(void *, uint32_t, uint32_t);

// Runs fn on the host's graphics thread inside its graphics context,
// between the sources' tick and the rest of the frame, as the host runs
// render callbacks. False when it did not run within the deadline.
bool run_on_graphics_thread(
	const std::function<void()> &fn,
	std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Renders source at the origin into texrender at width x height (cleared
// transparent, blending reset) and reads what it drew into img through
// stage, a staging surface of that size. Inside the graphics context.
bool render_into(obs_source_t *source, gs_texrender_t *texrender,
		 gs_stagesurf_t *stage, uint32_t width, uint32_t height,
		 image &img);

// Renders source (and with it its filters) into a cleared, transparent
// off-screen target of width x height, the source's own size when 0 is
// given (1280x720 when the source has no size), and returns what was
// drawn. Empty on failure.
image render_and_read(obs_source_t *source, uint32_t width = 0,
		      uint32_t height = 0);

// The same, with before run on the graphics thread right before the
// render: to stamp a processed frame as just arrived, say, so that even a
// slow machine draws it fresh.
image render_and_read_after(const std::function<void()> &before,
			    obs_source_t *source, uint32_t width = 0,
			    uint32_t height = 0);

// Renders the filtered source, its processed frame stamped as just arrived
// each time, until it shows the colours; what was drawn last goes to
// *shown. Capture comes first within a render: a machine so slow that it
// takes half a second draws black all the same, and is given another try.
bool draws_fresh(const filtered_source &fs, const palette &colours,
		 image *shown = nullptr, uint32_t width = 0,
		 uint32_t height = 0,
		 std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Renders source count times without reading back.
void render_times(obs_source_t *source, int count);

} // namespace qm_host
