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

// Boxes a message carries at most, each way. A run that finds more fails
// rather than drop any.
constexpr uint32_t WIRE_MAX_BOXES = 256;
// Text a reply carries at most: an error, notes, a file's path.
constexpr size_t WIRE_MAX_TEXT = 1024;

struct wire_box {
	int32_t x, y, w, h;
	int64_t track;
	uint64_t seen_ns;
	uint32_t keep;
	uint32_t evidence; // 1: evidence rather than found
};

// What a request asks.
enum : uint32_t {
	// A run on the frame in the slot.
	WIRE_RUN = 0,
	// New configuration: `width` bytes of lines in the slot (the faces
	// worker: the reference photos' paths).
	WIRE_CONFIGURE = 1,
};

struct wire_request {
	uint64_t run; // echoed in the reply
	uint32_t kind;
	uint64_t arrival_ns;
	uint32_t width, height, step, mode;
	uint32_t hints;
	wire_box box[WIRE_MAX_BOXES];
};

// What a message from the worker says. WIRE_LOADING (the path in `text`)
// comes before the reply while a run loads a file of its configuration,
// so that a file that ends the worker is not given to the next.
enum : uint32_t {
	WIRE_READY = 1,
	WIRE_FOUND = 2,
	WIRE_FAILED = 3,
	WIRE_LOADING = 4,
};

struct wire_reply {
	uint64_t run;
	uint32_t what;
	uint32_t boxes;
	uint64_t cpu_ns, wall_ns;
	wire_box box[WIRE_MAX_BOXES];
	// WIRE_FAILED: why; WIRE_FOUND: notes, one a line.
	char text[WIRE_MAX_TEXT];
};

// Puts a run's findings into the reply: the found regions first, with
// room for up to half the boxes kept for evidence. Past WIRE_MAX_BOXES, one
// box of each list covers what did not fit, so nothing is dropped.
void fill_reply(wire_reply &rep, const findings &f);

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
