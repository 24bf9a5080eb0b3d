// Fuzzes the byte stream that the receiver reads from the controller. The
// input describes the stream compactly, so that whole 3.6 MB frames are in
// reach:
//
//   byte 0      bits 0-2: count of write sizes that follow (0: one write);
//               bit 3: the stop flag is already set
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
// The stream is written into one end of a socketpair by a second thread,
// which closes its end when done, and qm_receive_output runs on the other
// end with a real instance record. The result is compared with a model of
// the frame format.
#include "fuzz_common.h"
#include "link.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Four whole frames and some; the rest of a longer description is dropped.
constexpr size_t MAX_STREAM = 4 * (QM_HEADER_SIZE + FRAME_SIZE) + 65536;
constexpr uint8_t UNTOUCHED = 0x5a;
constexpr size_t PLANNED_WRITES = 4096;

struct reader_input {
	std::vector<size_t> writes;
	bool stopped = false;
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
size_t write_size(uint8_t b)
{
	return b < 200 ? size_t(b) + 1 : size_t(b - 199) * 65536;
}

uint32_t interesting(uint8_t b)
{
	static const uint32_t values[] = {0,          1,          720,
					  1280,       1920,       1080,
					  0xffffffff, 0x80000000, 0x00050000,
					  0xd0020000, 1281,       719};
	return values[b % (sizeof(values) / sizeof(values[0]))];
}

void append(std::vector<uint8_t> &stream, const uint8_t *data, size_t n)
{
	n = std::min(n, MAX_STREAM - stream.size());
	stream.insert(stream.end(), data, data + n);
}

void append_header(std::vector<uint8_t> &stream, uint32_t w, uint32_t h)
{
	uint8_t header[QM_HEADER_SIZE];
	qm_encode_header(header, w, h);
	append(stream, header, sizeof(header));
}

// Pixels that differ from frame to frame and along the frame, so that a
// frame stored from the wrong offset or a stale one cannot pass.
void append_pattern(std::vector<uint8_t> &stream, size_t n, unsigned seed)
{
	n = std::min(n, MAX_STREAM - stream.size());
	size_t at = stream.size();
	stream.resize(at + n);
	for (size_t i = 0; i < n; i++)
		stream[at + i] = uint8_t(seed + i * (2 * seed + 1) + (i >> 13));
}

reader_input decode(const uint8_t *data, size_t size)
{
	reader_input in;
	input_cursor c(data, size);
	uint8_t flags = c.byte();
	in.stopped = (flags & 8) != 0;
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

// The frame format: whole frames with 1280x720 headers follow one another
// until a header is wrong or the stream ends. Returns the offset of the
// last whole frame's pixels, or -1 when there is none.
long last_whole_frame(const std::vector<uint8_t> &stream)
{
	long last = -1;
	size_t at = 0;
	while (stream.size() - at >= QM_HEADER_SIZE) {
		uint32_t w, h;
		qm_decode_header(stream.data() + at, &w, &h);
		if (w != FRAME_WIDTH || h != FRAME_HEIGHT)
			break;
		if (stream.size() - at - QM_HEADER_SIZE < FRAME_SIZE)
			break;
		last = long(at + QM_HEADER_SIZE);
		at += QM_HEADER_SIZE + FRAME_SIZE;
	}
	return last;
}

// The controller's side: writes the stream in the planned sizes, then
// closes. Stops early when the receiver has hung up. The plan holds for
// the first PLANNED_WRITES writes and the rest goes in 1 MiB writes, or a
// plan of single bytes would take minutes for a few frames.
void write_stream(int fd, const reader_input &in)
{
	size_t at = 0, turn = 0;
	while (at < in.stream.size()) {
		size_t want = std::min(in.stream.size() - at, QM_TRANSFER_UNIT);
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

direct_filter_data *filter;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	filter = new direct_filter_data;
	if (!qm_alloc_frames(filter))
		qm_fuzz::fail("cannot allocate the frames");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	reader_input in = decode(data, size);

	filter->stop = in.stopped;
	filter->has_output = false;
	filter->output_time = 0;
	memset(filter->output_frame.get(), UNTOUCHED, FRAME_SIZE);

	int fds[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
		qm_fuzz::fail("socketpair failed");
	qm_socket receiver(fds[0]);
	// Only a guard against a hang: the writer closes its end when done,
	// which ends the receiver's last read at once.
	timeval guard{5, 0};
	setsockopt(receiver.get(), SOL_SOCKET, SO_RCVTIMEO, &guard,
		   sizeof(guard));
	std::thread writer(write_stream, fds[1], std::cref(in));

	qm_receive_output(filter, receiver, filter->output_spare);
	receiver.reset();
	writer.join();

	long last = in.stopped ? -1 : last_whole_frame(in.stream);
	if (last < 0) {
		qm_fuzz::check(!filter->has_output,
			       "has_output set without a whole valid frame");
		const uint8_t *out = filter->output_frame.get();
		qm_fuzz::check(
			out[0] == UNTOUCHED &&
				memcmp(out, out + 1, FRAME_SIZE - 1) == 0,
			"output_frame changed without a whole valid frame");
	} else {
		qm_fuzz::check(filter->has_output,
			       "has_output not set after a whole valid frame");
		qm_fuzz::check(filter->output_time != 0,
			       "output_time not stamped");
		qm_fuzz::check(
			memcmp(filter->output_frame.get(),
			       in.stream.data() + last, FRAME_SIZE) == 0,
			"output_frame is not the last whole valid frame");
	}
	return 0;
}
