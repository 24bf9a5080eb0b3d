// A compact description of a frame stream (both directions of the wire
// carry the same format), so that whole 3.6 MB frames are in reach of a
// fuzzer's small inputs:
//
//   byte 0      bits 0-2: count of write sizes that follow (0: one write);
//               bit 3: a flag for the target (the module's receiver: its
//               stop flag is already set)
//   next bytes  the write sizes, used in turn for the first writes (see
//               write_size and write_stream)
//   the rest    stream pieces, each an op byte (value % 6) and its operands:
//     0 L bytes  L literal bytes from the input
//     1          a valid 1280x720 header
//     2 n n n s  n (24 bits, below 2 frames) pattern bytes from seed s
//     3 s s      a whole valid frame: header and pattern pixels from seed s
//     4 w h      a header of two interesting values (see interesting)
//     5 k k s    a valid header and FRAME_SIZE - k pattern bytes: a frame
//                cut short by k bytes (k 16 bits)
//
// write_stream writes it into one end of a socketpair from a second
// thread, and closes that end when done.
#pragma once

#include "fuzz_check.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qm_fuzz {

constexpr uint32_t FRAME_WIDTH = 1280, FRAME_HEIGHT = 720;
constexpr size_t HEADER_SIZE = 8;
constexpr size_t FRAME_SIZE = size_t(FRAME_WIDTH) * FRAME_HEIGHT * 4;
constexpr size_t WRITE_UNIT = 1 << 20;

// Four whole frames and some; the rest of a longer description is dropped.
constexpr size_t MAX_STREAM = 4 * (HEADER_SIZE + FRAME_SIZE) + 65536;
constexpr size_t PLANNED_WRITES = 4096;

struct stream_input {
	std::vector<size_t> writes;
	bool flag = false;
	std::vector<uint8_t> stream;
};

class input_cursor {
public:
	input_cursor(const uint8_t *data, size_t size)
		: p_(data),
		  end_(data + size)
	{
	}
	bool more() const { return p_ < end_; }
	uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
	unsigned bytes(int n)
	{
		unsigned v = 0;
		for (int i = 0; i < n; i++)
			v = v << 8 | byte();
		return v;
	}
	const uint8_t *take(size_t *n)
	{
		*n = std::min(*n, size_t(end_ - p_));
		const uint8_t *at = p_;
		p_ += *n;
		return at;
	}

private:
	const uint8_t *p_;
	const uint8_t *end_;
};

// Writes of 1 to 200 bytes, or of 1 to 56 times 64 KiB.
inline size_t write_size(uint8_t b)
{
	return b < 200 ? size_t(b) + 1 : size_t(b - 199) * 65536;
}

inline uint32_t interesting(uint8_t b)
{
	static const uint32_t values[] = {0,          1,          720,
					  1280,       1920,       1080,
					  0xffffffff, 0x80000000, 0x00050000,
					  0xd0020000, 1281,       719};
	return values[b % (sizeof(values) / sizeof(values[0]))];
}

inline void append(std::vector<uint8_t> &stream, const uint8_t *data, size_t n)
{
	n = std::min(n, MAX_STREAM - stream.size());
	stream.insert(stream.end(), data, data + n);
}

// Width and height, unsigned 32-bit, network byte order.
inline void append_header(std::vector<uint8_t> &stream, uint32_t w, uint32_t h)
{
	uint8_t header[HEADER_SIZE];
	for (int i = 0; i < 4; i++) {
		header[i] = uint8_t(w >> (24 - 8 * i));
		header[4 + i] = uint8_t(h >> (24 - 8 * i));
	}
	append(stream, header, sizeof(header));
}

// Pixels that differ from frame to frame and along the frame, so that a
// frame stored from the wrong offset or a stale one cannot pass.
inline void append_pattern(std::vector<uint8_t> &stream, size_t n,
			   unsigned seed)
{
	n = std::min(n, MAX_STREAM - stream.size());
	size_t at = stream.size();
	stream.resize(at + n);
	for (size_t i = 0; i < n; i++)
		stream[at + i] = uint8_t(seed + i * (2 * seed + 1) + (i >> 13));
}

inline stream_input decode(const uint8_t *data, size_t size)
{
	stream_input in;
	input_cursor c(data, size);
	uint8_t flags = c.byte();
	in.flag = (flags & 8) != 0;
	for (int i = 0; i < (flags & 7); i++)
		in.writes.push_back(write_size(c.byte()));

	while (c.more() && in.stream.size() < MAX_STREAM) {
		switch (c.byte() % 6) {
		case 0: {
			size_t n = c.byte();
			const uint8_t *bytes = c.take(&n);
			append(in.stream, bytes, n);
			break;
		}
		case 1:
			append_header(in.stream, FRAME_WIDTH, FRAME_HEIGHT);
			break;
		case 2: {
			size_t n = c.bytes(3) % (2 * FRAME_SIZE);
			append_pattern(in.stream, n, c.byte());
			break;
		}
		case 3:
			append_header(in.stream, FRAME_WIDTH, FRAME_HEIGHT);
			append_pattern(in.stream, FRAME_SIZE, c.bytes(2));
			break;
		case 4: {
			uint32_t w = interesting(c.byte());
			append_header(in.stream, w, interesting(c.byte()));
			break;
		}
		case 5: {
			size_t cut = c.bytes(2);
			append_header(in.stream, FRAME_WIDTH, FRAME_HEIGHT);
			append_pattern(in.stream, FRAME_SIZE - cut, c.byte());
			break;
		}
		}
	}
	return in;
}

// The controller's side: writes the stream in the planned sizes, then
// closes. Stops early when the receiver has hung up. The plan holds for
// the first PLANNED_WRITES writes and the rest goes in 1 MiB writes, or a
// plan of single bytes would take minutes for a few frames.
inline void write_stream(int fd, const stream_input &in)
{
	size_t at = 0, turn = 0;
	while (at < in.stream.size()) {
		size_t want = std::min(in.stream.size() - at, WRITE_UNIT);
		if (!in.writes.empty() && turn < PLANNED_WRITES)
			want = std::min(want,
					in.writes[turn++ % in.writes.size()]);
		while (want > 0) {
			ssize_t n = send(fd, in.stream.data() + at, want,
					 MSG_NOSIGNAL);
			if (n < 0) {
				close(fd);
				return;
			}
			at += size_t(n);
			want -= size_t(n);
		}
	}
	close(fd);
}

} // namespace qm_fuzz
