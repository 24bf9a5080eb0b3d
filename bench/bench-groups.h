// Groups of quilmar-bench's table that lie in files of their own: the
// round trip (bench-round-trip.cpp), the link's throughput
// (bench-link.cpp) and the idle cost of ten instances (bench-idle.cpp).
// Each adds its rows and verdicts to the table.
#pragma once

#include <obs.h>

#include <cstdint>

namespace bench {

// 2. Round trip at fps through an echoing controller, with our filter on
// parent; at 60 fps *met says whether the target was met.
void run_round_trip_group(obs_source_t *parent, obs_source_t *ours,
			  uint32_t fps, bool *met);

// 3. Link throughput of the sender and receiver against plain loopback
// sockets moving the same frames, without the host.
void run_link_group();

// 4. Idle cost of ten instances: CPU time and memory; *met says whether
// the targets were met.
void run_idle_group(bool *met);

} // namespace bench
