#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

namespace bench {

int listen_loopback(uint16_t *port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	int one = 1;
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(addr);
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
	    listen(fd, 64) != 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
		close(fd);
		return -1;
	}
	*port = ntohs(addr.sin_port);
	return fd;
}

bool socket_pair(int *a, int *b)
{
	uint16_t port = 0;
	int listener = listen_loopback(&port);
	if (listener < 0)
		return false;
	*a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bool ok = *a >= 0 && connect(*a, reinterpret_cast<sockaddr *>(&addr),
				     sizeof(addr)) == 0;
	*b = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
	close(listener);
	if (*b < 0) {
		if (*a >= 0)
			close(*a);
		return false;
	}
	return true;
}

bool send_whole(int fd, const uint8_t *data, size_t len)
{
	while (len > 0) {
		ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data += n;
		len -= size_t(n);
	}
	return true;
}

bool recv_whole(int fd, uint8_t *data, size_t len)
{
	while (len > 0) {
		ssize_t n = recv(fd, data, len, 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data += n;
		len -= size_t(n);
	}
	return true;
}

void drain_frames(int fd, uint8_t *frame, std::atomic<uint64_t> *frames,
		  const std::atomic<bool> *stop)
{
	while (!stop->load() && recv_whole(fd, frame, WIRE_FRAME_SIZE))
		frames->fetch_add(1);
}

void flood_frames(int fd, const uint8_t *frame, std::atomic<uint64_t> *frames,
		  const std::atomic<bool> *stop)
{
	while (!stop->load() && send_whole(fd, frame, WIRE_FRAME_SIZE))
		frames->fetch_add(1);
}

std::vector<uint8_t> make_wire_frame()
{
	std::vector<uint8_t> frame(WIRE_FRAME_SIZE);
	const uint8_t header[8] = {0, 0, 5, 0, 0, 0, 2, 208}; // 1280, 720
	memcpy(frame.data(), header, sizeof(header));
	for (size_t i = 8; i < frame.size(); i++)
		frame[i] = uint8_t(i * 7 + (i >> 12));
	return frame;
}

static std::string random_token()
{
	static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
	std::random_device rd;
	std::string token;
	for (size_t i = 0; i < TOKEN_SIZE; i++)
		token += chars[rd() % (sizeof(chars) - 1)];
	return token;
}

controller::controller(std::string dir, input_mode in, output_mode out)
	: dir_(std::move(dir)),
	  in_mode_(in),
	  out_mode_(out)
{
}

controller::~controller()
{
	stop();
}

bool controller::publish(const char *name, uint16_t port)
{
	std::string path = dir_ + "/" + name + ".endpoint";
	std::string tmp = path + ".tmp";
	FILE *f = fopen(tmp.c_str(), "w");
	if (!f)
		return false;
	fprintf(f, "{\"port\": %u, \"token\": \"%s\"}\n", unsigned(port),
		token_.c_str());
	bool ok = fclose(f) == 0;
	return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

bool controller::start()
{
	std::error_code ec;
	std::filesystem::create_directories(dir_, ec);
	stop_ = false;
	token_ = random_token();
	if (out_mode_ == output_mode::flood && flood_frame_.empty())
		flood_frame_ = make_wire_frame();
	uint16_t in_port = 0, out_port = 0;
	listen_in_ = listen_loopback(&in_port);
	listen_out_ = listen_loopback(&out_port);
	if (listen_in_ < 0 || listen_out_ < 0)
		return false;
	threads_.emplace_back(&controller::accept_loop, this, true);
	threads_.emplace_back(&controller::accept_loop, this, false);
	return publish("filter-input", in_port) &&
	       publish("direct-output", out_port);
}

void controller::stop()
{
	std::error_code ec;
	std::filesystem::remove(dir_ + "/filter-input.endpoint", ec);
	std::filesystem::remove(dir_ + "/direct-output.endpoint", ec);
	stop_ = true;
	{
		std::lock_guard<std::mutex> guard(mutex_);
		// Wakes the accept and connection threads out of their calls.
		for (int fd : {listen_in_, listen_out_})
			if (fd >= 0)
				shutdown(fd, SHUT_RDWR);
		for (int fd : open_fds_)
			shutdown(fd, SHUT_RDWR);
	}
	for (;;) {
		std::vector<std::thread> threads;
		{
			std::lock_guard<std::mutex> guard(mutex_);
			threads.swap(threads_);
		}
		if (threads.empty())
			break;
		for (auto &t : threads)
			t.join();
	}
	for (int *fd : {&listen_in_, &listen_out_}) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
}

void controller::track(int fd)
{
	std::lock_guard<std::mutex> guard(mutex_);
	open_fds_.push_back(fd);
	if (stop_)
		shutdown(fd, SHUT_RDWR);
}

void controller::untrack(int fd)
{
	std::lock_guard<std::mutex> guard(mutex_);
	for (size_t i = 0; i < open_fds_.size(); i++)
		if (open_fds_[i] == fd) {
			open_fds_.erase(open_fds_.begin() + long(i));
			break;
		}
	close(fd);
}

void controller::accept_loop(bool input)
{
	int listener = input ? listen_in_ : listen_out_;
	while (!stop_) {
		int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			break;
		}
		track(fd);
		std::lock_guard<std::mutex> guard(mutex_);
		if (input)
			threads_.emplace_back(&controller::serve_input, this,
					      fd);
		else
			threads_.emplace_back(&controller::serve_output, this,
					      fd);
	}
}

static bool take_token(int fd, const std::string &token)
{
	uint8_t got[TOKEN_SIZE];
	return recv_whole(fd, got, sizeof(got)) &&
	       memcmp(got, token.data(), TOKEN_SIZE) == 0;
}

void controller::set_echo_fps(unsigned fps)
{
	std::lock_guard<std::mutex> guard(echo_mutex_);
	echo_interval_ns_ = fps ? 1000000000ull / fps : 0;
}

static uint64_t now_ns()
{
	return uint64_t(
		std::chrono::duration_cast<std::chrono::nanoseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
			.count());
}

void controller::serve_input(int fd)
{
	if (take_token(fd, token_)) {
		input_conns_++;
		std::vector<uint8_t> frame(WIRE_FRAME_SIZE);
		while (!stop_ && recv_whole(fd, frame.data(), frame.size())) {
			frames_in_++;
			if (in_mode_ != input_mode::echo)
				continue;
			std::lock_guard<std::mutex> guard(echo_mutex_);
			uint64_t now = now_ns();
			// A little early counts as on time, so that a capture
			// rate of twice the echo rate drops every other frame.
			if (echo_interval_ns_ &&
			    now - last_echo_ns_ < echo_interval_ns_ * 9 / 10)
				continue;
			last_echo_ns_ = now;
			if (echo_fd_ >= 0 &&
			    send_whole(echo_fd_, frame.data(), frame.size()))
				frames_out_++;
		}
	}
	untrack(fd);
}

void controller::serve_output(int fd)
{
	if (take_token(fd, token_)) {
		output_conns_++;
		if (out_mode_ == output_mode::flood) {
			flood_frames(fd, flood_frame_.data(), &frames_out_,
				     &stop_);
		} else {
			{
				std::lock_guard<std::mutex> guard(echo_mutex_);
				echo_fd_ = fd;
			}
			// The module never writes here: this returns when
			// it closes the connection or at stop.
			uint8_t byte;
			while (!stop_ && recv(fd, &byte, 1, 0) > 0) {
			}
		}
	}
	{
		std::lock_guard<std::mutex> guard(echo_mutex_);
		if (echo_fd_ == fd)
			echo_fd_ = -1;
	}
	untrack(fd);
}

} // namespace bench
