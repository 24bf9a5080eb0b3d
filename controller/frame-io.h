// Frames on the wire, both ways: an 8-byte header (width and height,
// unsigned 32-bit, network byte order; always 1280 and 720) followed by
// the BGRA pixels, rows top to bottom. One worker reads the filter's raw
// frames into the pipeline; another writes the frames that fall due
// (frame-io.cpp). The format and the transfers beneath it are in
// frame-wire.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace qmc {

class connection_slot;
class pipeline;

constexpr uint32_t FRAME_WIDTH = 1280;
constexpr uint32_t FRAME_HEIGHT = 720;
constexpr size_t FRAME_BYTES = size_t(FRAME_WIDTH) * FRAME_HEIGHT * 4;
constexpr size_t HEADER_BYTES = 8;
// No single socket call moves more than this.
constexpr size_t TRANSFER_UNIT = 1 << 20;
// A reader that takes nothing for this long is given up: the filter's own
// receive gives up after a second.
constexpr auto WRITE_STALL_LIMIT = std::chrono::seconds(1);

// wrong_size: a frame header of another size than 1280x720.
enum class io_result { done, closed, given_up, stalled, failed, wrong_size };

// Receives exactly len bytes, checking give_up whenever the socket stays
// quiet for a moment.
io_result receive_exact(int fd, uint8_t *buf, size_t len,
			const std::function<bool()> &give_up);
// Sends len bytes; stalled when the peer takes nothing for stall_limit.
io_result send_all(int fd, const uint8_t *buf, size_t len,
		   const std::function<bool()> &give_up,
		   std::chrono::milliseconds stall_limit);

// Reads one frame: its header (its sides in *width and *height), then,
// when that says 1280x720, its pixels into FRAME_BYTES at pixels; a header
// of another size is wrong_size, with no pixel read.
io_result receive_frame(int fd, uint8_t *pixels,
			const std::function<bool()> &give_up, uint32_t *width,
			uint32_t *height);

void write_header(uint8_t out[HEADER_BYTES], uint32_t width, uint32_t height);
void read_header(const uint8_t in[HEADER_BYTES], uint32_t *width,
		 uint32_t *height);

struct link_counts {
	std::atomic<uint64_t> frames_in{0};
	std::atomic<uint64_t> frames_out{0};
	// Frames that fell due while no filter was connected to take them.
	std::atomic<uint64_t> unsent{0};
	std::atomic<bool> input_connected{false};
	std::atomic<bool> output_connected{false};
};

using note_fn = std::function<void(const std::string &)>;

// Reads frames from whoever holds "filter-input" and offers each to the
// pipeline, until stop is set.
void run_input(connection_slot &slot, pipeline &p,
	       const std::atomic<bool> &stop, link_counts &counts,
	       const note_fn &note);
// Writes each frame as it falls due to whoever holds "direct-output",
// until stop is set.
void run_output(connection_slot &slot, pipeline &p,
		const std::atomic<bool> &stop, link_counts &counts,
		const note_fn &note);

} // namespace qmc
