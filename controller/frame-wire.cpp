// The frame format and the transfers beneath it, apart from the workers
// that use them (frame-io.cpp), so that they can be driven on their own.
#include "frame-io.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qmc {

namespace {

constexpr int POLL_MS = 100;

} // namespace

io_result receive_exact(int fd, uint8_t *buf, size_t len,
			const std::function<bool()> &give_up)
{
	size_t done = 0;
	while (done < len) {
		ssize_t n = recv(fd, buf + done,
				 std::min(len - done, TRANSFER_UNIT),
				 MSG_DONTWAIT);
		if (n > 0) {
			done += size_t(n);
			continue;
		}
		if (n == 0)
			return io_result::closed;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			return io_result::failed;
		if (give_up && give_up())
			return io_result::given_up;
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, 1, POLL_MS) < 0 && errno != EINTR)
			return io_result::failed;
	}
	return io_result::done;
}

io_result send_all(int fd, const uint8_t *buf, size_t len,
		   const std::function<bool()> &give_up,
		   std::chrono::milliseconds stall_limit)
{
	size_t done = 0;
	auto progress = std::chrono::steady_clock::now();
	while (done < len) {
		ssize_t n = send(fd, buf + done,
				 std::min(len - done, TRANSFER_UNIT),
				 MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n > 0) {
			done += size_t(n);
			progress = std::chrono::steady_clock::now();
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
			return io_result::failed;
		if (give_up && give_up())
			return io_result::given_up;
		if (std::chrono::steady_clock::now() - progress > stall_limit)
			return io_result::stalled;
		pollfd p{fd, POLLOUT, 0};
		if (poll(&p, 1, POLL_MS) < 0 && errno != EINTR)
			return io_result::failed;
	}
	return io_result::done;
}

void write_header(uint8_t out[HEADER_BYTES], uint32_t width, uint32_t height)
{
	uint32_t w = htonl(width), h = htonl(height);
	memcpy(out, &w, 4);
	memcpy(out + 4, &h, 4);
}

void read_header(const uint8_t in[HEADER_BYTES], uint32_t *width,
		 uint32_t *height)
{
	uint32_t w, h;
	memcpy(&w, in, 4);
	memcpy(&h, in + 4, 4);
	*width = ntohl(w);
	*height = ntohl(h);
}

io_result receive_frame(int fd, uint8_t *pixels,
			const std::function<bool()> &give_up, uint32_t *width,
			uint32_t *height)
{
	uint8_t header[HEADER_BYTES];
	*width = *height = 0;
	io_result r = receive_exact(fd, header, HEADER_BYTES, give_up);
	if (r != io_result::done)
		return r;
	read_header(header, width, height);
	if (*width != FRAME_WIDTH || *height != FRAME_HEIGHT)
		return io_result::wrong_size;
	return receive_exact(fd, pixels, FRAME_BYTES, give_up);
}

} // namespace qmc
