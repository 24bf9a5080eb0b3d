// The messages between the controller and a worker, over a SOCK_SEQPACKET
// socket: one message a request or reply, plain structs of fixed size. The
// frame itself is in the shared slot, not in the message.
#pragma once

#include "detector.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace qmc {

// The worker's ends of the socket and of the slot.
constexpr int WORKER_SOCKET_FD = 3;
constexpr int WORKER_SLOT_FD = 4;

// Boxes a message carries at most, each way.
constexpr uint32_t WIRE_MAX_BOXES = 64;

struct wire_box {
	int32_t x, y, w, h;
	int64_t track;
	uint64_t seen_ns;
	uint32_t keep;
	uint32_t evidence; // 1: evidence rather than found
};

struct wire_request {
	uint64_t run; // echoed in the reply
	uint64_t arrival_ns;
	uint32_t width, height, step, mode;
	uint32_t hints;
	wire_box box[WIRE_MAX_BOXES];
};

enum : uint32_t { WIRE_READY = 1, WIRE_FOUND = 2, WIRE_FAILED = 3 };

struct wire_reply {
	uint64_t run;
	uint32_t what;
	uint32_t boxes;
	uint64_t cpu_ns, wall_ns;
	wire_box box[WIRE_MAX_BOXES];
	char error[200];
};

inline wire_box to_wire(const region &r, bool evidence)
{
	return {r.box.x, r.box.y,   r.box.width,      r.box.height,
		r.track, r.seen_ns, uint32_t(r.keep), uint32_t(evidence)};
}

inline region from_wire(const wire_box &b)
{
	region r;
	r.box = cv::Rect(b.x, b.y, b.w, b.h);
	r.track = b.track;
	r.seen_ns = b.seen_ns;
	r.keep = b.keep != 0;
	return r;
}

} // namespace qmc
