// A moving 1280x720 source for the benchmark that costs the graphics thread
// little more than a webcam does: one texture upload per frame. It cycles
// through a few frames of the host's moving pattern and stamps each with
// its frame number in the host's stamp format, so qm_host::read_stamp reads
// back which frame a filter showed.
#pragma once

#include "obs-host.h"

namespace bench {

constexpr const char *MOVING_SOURCE_ID = "qm_bench_moving";

// Registers the source type; false when the stamp cannot be reproduced.
bool register_moving_source();

// A private moving source of 1280x720.
qm_host::source_ptr create_moving_source();

// The number of the frame the source made last; -1 before the first. Call
// it on the graphics thread, which makes the frames.
int64_t moving_source_frame(obs_source_t *source);

// When the source made each of its recent frames.
const qm_host::frame_times *moving_source_times(obs_source_t *source);

} // namespace bench
