#include "frame-io.h"

#include "endpoints.h"
#include "obscure.h"
#include "pipeline.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qmc {

namespace {

constexpr auto TAKE_WAIT = std::chrono::milliseconds(100);

// The connection a worker uses, closed when it is dropped.
struct connection {
	int fd = -1;
	~connection() { drop(); }
	void drop()
	{
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
};

// True when the peer of a connection that should stay silent has closed
// it. Anything it sends is read and thrown away.
bool silent_peer_gone(int fd)
{
	uint8_t junk[4096];
	for (;;) {
		ssize_t n = recv(fd, junk, sizeof(junk), MSG_DONTWAIT);
		if (n == 0)
			return true;
		if (n < 0)
			return !(errno == EAGAIN || errno == EWOULDBLOCK ||
				 errno == EINTR);
	}
}

} // namespace

void run_input(connection_slot &slot, pipeline &p,
	       const std::atomic<bool> &stop, link_counts &counts,
	       const note_fn &note)
{
	pthread_setname_np(pthread_self(), "qm-input");
	const std::string name = "filter-input";
	connection conn;
	cv::Mat frame;
	auto give_up = [&] {
		return stop.load() || slot.pending();
	};
	while (!stop) {
		if (conn.fd < 0 || slot.pending()) {
			int fd = slot.take(TAKE_WAIT);
			if (fd < 0)
				continue;
			if (conn.fd >= 0)
				note(name + ": a new connection replaces the "
					    "one in use");
			else
				note(name + ": filter connected");
			conn.drop();
			conn.fd = fd;
			counts.input_connected = true;
		}
		// The pipeline takes the pixels of a kept frame: a new buffer
		// then takes the next one.
		if (frame.empty())
			frame.create(int(FRAME_HEIGHT), int(FRAME_WIDTH),
				     CV_8UC4);
		uint32_t w = 0, h = 0;
		io_result r =
			receive_frame(conn.fd, frame.data, give_up, &w, &h);
		if (r == io_result::wrong_size)
			note(name + ": a frame of " + std::to_string(w) + "x" +
			     std::to_string(h) +
			     " instead of 1280x720; connection closed");
		if (r == io_result::done) {
			counts.frames_in++;
			p.offer(frame);
			continue;
		}
		if (r == io_result::given_up)
			continue; // stopping, or a newer connection waits
		if (r == io_result::closed)
			note(name + ": filter disconnected");
		conn.drop();
		counts.input_connected = false;
	}
	counts.input_connected = false;
}

void run_output(connection_slot &slot, pipeline &p,
		const std::atomic<bool> &stop, link_counts &counts,
		const note_fn &note)
{
	pthread_setname_np(pthread_self(), "qm-output");
	const std::string name = "direct-output";
	connection conn;
	cv::Mat out;
	uint8_t header[HEADER_BYTES];
	write_header(header, FRAME_WIDTH, FRAME_HEIGHT);
	auto give_up = [&] {
		return stop.load() || slot.pending();
	};
	while (!stop) {
		if (conn.fd < 0 || slot.pending()) {
			int fd = slot.take(std::chrono::milliseconds(0));
			if (fd >= 0) {
				note(name + (conn.fd >= 0
						     ? ": a new connection "
						       "replaces the one in use"
						     : ": filter connected"));
				conn.drop();
				conn.fd = fd;
				counts.output_connected = true;
			}
		}
		if (conn.fd >= 0 && silent_peer_gone(conn.fd)) {
			note(name + ": filter disconnected");
			conn.drop();
			counts.output_connected = false;
		}
		p.wait_due(TAKE_WAIT);
		std::optional<due_frame> f = p.take_due();
		if (!f)
			continue;
		if (conn.fd < 0) {
			counts.unsent++;
			continue;
		}
		compose(*f->pixels, f->boxes, f->whole, out);
		f->pixels.reset();
		io_result r = send_all(conn.fd, header, HEADER_BYTES, give_up,
				       WRITE_STALL_LIMIT);
		if (r == io_result::done)
			r = send_all(conn.fd, out.data, FRAME_BYTES, give_up,
				     WRITE_STALL_LIMIT);
		if (r == io_result::done) {
			counts.frames_out++;
			continue;
		}
		if (r == io_result::given_up && !stop)
			continue; // the new connection is taken next round
		if (r == io_result::stalled)
			note(name + ": the filter took nothing for a second; "
				    "connection closed");
		conn.drop();
		counts.output_connected = false;
	}
	counts.output_connected = false;
}

} // namespace qmc
