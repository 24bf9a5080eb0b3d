// Fuzzes the byte stream that the receiver reads from the controller. The
// input describes the stream compactly (frame_stream.h; its flag: the stop
// flag is already set).
//
// The stream is written into one end of a socketpair by a second thread,
// which closes its end when done, and qm_receive_output runs on the other
// end with a real instance record. The result is compared with a model of
// the frame format.
#include "fuzz_common.h"
#include "frame_stream.h"
#include "link.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t UNTOUCHED = 0x5a;

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
	qm_fuzz::stream_input in = qm_fuzz::decode(data, size);

	filter->stop = in.flag;
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
	std::thread writer(qm_fuzz::write_stream, fds[1], std::cref(in));

	qm_receive_output(filter, receiver, filter->output_spare);
	receiver.reset();
	writer.join();

	long last = in.flag ? -1 : last_whole_frame(in.stream);
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
