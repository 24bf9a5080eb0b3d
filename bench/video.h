// The headless host's video settings, for benchmarks that change its
// frame rate between measurements.
#pragma once

#include <cstdint>

namespace bench {

// Resets libobs's video to 1280x720 BGRA at fps frames a second; false
// when libobs refuses (an output is active).
bool set_fps(uint32_t fps);

} // namespace bench
