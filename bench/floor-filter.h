// A filter type of the benchmark's own that does the least work a capture
// and display filter of 1280x720 frames must do, as the yardstick for the
// module's filter.
#pragma once

namespace bench {

constexpr const char *FLOOR_FILTER_ID = "qm_bench_floor_filter";

// Registers the floor filter type with the running host.
void register_floor_filter();

} // namespace bench
