// Fuzzes the frame stream that the controller reads from the filter: the
// input describes the stream compactly (frame_stream.h; its flag: the
// reader is asked to give up whenever the socket is quiet, as when the
// controller stops or a newer connection waits). A second
// thread writes it into one end of a socketpair and closes that end;
// receive_frame reads frames from the other end until one does not come
// whole, and each result is compared with a model of the frame format.
#include "frame_stream.h"

#include "frame-io.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

std::unique_ptr<uint8_t[]> pixels;

// What the next receive_frame must give for the stream from at on, and
// the header's sides when it holds one.
qmc::io_result expected(const std::vector<uint8_t> &s, size_t at, uint32_t *w,
			uint32_t *h)
{
	*w = *h = 0;
	if (s.size() - at < qm_fuzz::HEADER_SIZE)
		return qmc::io_result::closed;
	for (int i = 0; i < 4; i++) {
		*w = *w << 8 | s[at + size_t(i)];
		*h = *h << 8 | s[at + 4 + size_t(i)];
	}
	if (*w != qm_fuzz::FRAME_WIDTH || *h != qm_fuzz::FRAME_HEIGHT)
		return qmc::io_result::wrong_size;
	if (s.size() - at - qm_fuzz::HEADER_SIZE < qm_fuzz::FRAME_SIZE)
		return qmc::io_result::closed;
	return qmc::io_result::done;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	static_assert(qmc::FRAME_BYTES == qm_fuzz::FRAME_SIZE &&
			      qmc::HEADER_BYTES == qm_fuzz::HEADER_SIZE,
		      "one frame format");
	pixels.reset(new uint8_t[qmc::FRAME_BYTES]);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	qm_fuzz::stream_input in = qm_fuzz::decode(data, size);
	int fds[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
		qm_fuzz::fail("socketpair failed");
	std::thread writer(qm_fuzz::write_stream, fds[1], std::cref(in));

	auto give_up = [&] {
		return in.flag;
	};
	size_t at = 0;
	for (;;) {
		uint32_t w = 1, h = 1, want_w, want_h;
		qmc::io_result want = expected(in.stream, at, &want_w, &want_h);
		qmc::io_result got = qmc::receive_frame(fds[0], pixels.get(),
							give_up, &w, &h);
		// The input worker then drops the connection: nothing more
		// to compare.
		if (got == qmc::io_result::given_up) {
			qm_fuzz::check(in.flag, "gave up unasked");
			break;
		}
		qm_fuzz::check(got == want, "unexpected result");
		if (want != qmc::io_result::closed)
			qm_fuzz::check(w == want_w && h == want_h,
				       "header sides not as sent");
		if (got != qmc::io_result::done)
			break;
		qm_fuzz::check(
			memcmp(pixels.get(),
			       in.stream.data() + at + qm_fuzz::HEADER_SIZE,
			       qm_fuzz::FRAME_SIZE) == 0,
			"pixels are not the frame's");
		at += qm_fuzz::HEADER_SIZE + qm_fuzz::FRAME_SIZE;
	}
	close(fds[0]);
	writer.join();
	return 0;
}
