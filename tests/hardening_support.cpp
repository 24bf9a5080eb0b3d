// Shared ground of the hardening tests: the files planted in a capture's
// way, the hostile listeners, the broken files and the runs of a case in a
// process of its own (see hardening_support.h).
#include "hardening_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace plant {

std::atomic<kind> armed{kind::none};
std::mutex mutex;
std::string link_target; // for the links
std::vector<std::string> planted;

void at(const char *path)
{
	std::lock_guard<std::mutex> guard(mutex);
	kind k = armed.exchange(kind::none);
	if (k == kind::dangling_link || k == kind::link_to_file) {
		if (symlink(link_target.c_str(), path) != 0)
			return;
	} else if (k != kind::file || !qm_test::plant_file(path, "planted")) {
		return;
	}
	planted.push_back(path);
}

void hook(const char *path, int flags)
{
	if ((flags & O_CREAT) && armed.load() != kind::none &&
	    strstr(path, "/faces/face-"))
		at(path);
}

} // namespace plant

namespace hardening {

ms since(fake::clock::time_point from, fake::clock::time_point to)
{
	return std::chrono::duration_cast<ms>(to - from);
}

ms elapsed(fake::clock::time_point from)
{
	return since(from, fake::clock::now());
}

fake::bytes pixels_of(const image &img)
{
	return fake::bytes(img.pixels.begin(), img.pixels.end());
}

fake::bytes processed_pixels(const palette &colours)
{
	return pixels_of(make_pattern(FRAME_WIDTH, FRAME_HEIGHT, colours));
}

void to_grey(fake::bytes &p)
{
	for (size_t i = 0; i + 3 < p.size(); i += 4) {
		auto v = uint8_t((p[i] + p[i + 1] + p[i + 2]) / 3);
		p[i] = p[i + 1] = p[i + 2] = v;
	}
}

fake::output_behavior greying_echo()
{
	return fake::output_behavior::echo(to_grey, ms(300));
}

bool write_random(const std::string &path, size_t size)
{
	std::mt19937_64 random(size);
	std::string text(size, '\0');
	for (size_t i = 0; i + 8 <= size; i += 8) {
		uint64_t v = random();
		memcpy(&text[i], &v, 8);
	}
	return write_text(path, text);
}

bool write_unterminated_json(const std::string &path, const std::string &head,
			     size_t size)
{
	std::string text = head + std::string(size, 'a');
	return write_text(path, text);
}

void remove_path(const std::string &path)
{
	std::error_code ignored;
	stdfs::remove_all(path, ignored);
}

const char *broken_name(broken b)
{
	switch (b) {
	case broken::huge_random:
		return "50 MB of random bytes";
	case broken::huge_unfinished:
		return "50 MB of unfinished JSON";
	case broken::folder:
		return "a folder";
	case broken::dangling_link:
		return "a dangling link";
	case broken::link_loop:
		return "a link to itself";
	case broken::device:
		return "a link to /dev/zero";
	}
	return "?";
}

bool place_broken(const std::string &path, broken b,
		  const std::string &json_head)
{
	remove_path(path);
	switch (b) {
	case broken::huge_random:
		return write_random(path, HUGE_SIZE);
	case broken::huge_unfinished:
		return write_unterminated_json(path, json_head, HUGE_SIZE);
	case broken::folder:
		return stdfs::create_directory(path) &&
		       write_text(path + "/inside", "x");
	case broken::dangling_link:
		return symlink((path + ".nowhere").c_str(), path.c_str()) == 0;
	case broken::link_loop:
		return symlink(path.c_str(), path.c_str()) == 0;
	case broken::device:
		return symlink("/dev/zero", path.c_str()) == 0;
	}
	return false;
}

refusing_port::refusing_port()
{
	fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(addr);
	if (fd >= 0 &&
	    bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
	    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
		port = ntohs(addr.sin_port);
}

refusing_port::~refusing_port()
{
	if (fd >= 0)
		close(fd);
}

const char *hangup_name(hangup h)
{
	switch (h) {
	case hangup::close_at_once:
		return "closes at once";
	case hangup::reset_at_once:
		return "resets at once";
	case hangup::close_after_token:
		return "closes after the token";
	case hangup::reset_after_token:
		return "resets after the token";
	}
	return "?";
}

hanging_up_listener::hanging_up_listener(hangup how) : how_(how)
{
	fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t len = sizeof(addr);
	if (fd_ < 0 ||
	    bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
	    listen(fd_, 16) != 0 ||
	    getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
		return;
	port_ = ntohs(addr.sin_port);
	thread_ = std::thread([this] { run(); });
}

hanging_up_listener::~hanging_up_listener()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
	if (fd_ >= 0)
		close(fd_);
}

void hanging_up_listener::run()
{
	pthread_setname_np(pthread_self(), "fakectl-hangup");
	while (!stop_) {
		pollfd p{fd_, POLLIN, 0};
		if (poll(&p, 1, 20) <= 0)
			continue;
		int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
		if (c < 0)
			continue;
		accepted_++;
		if (how_ == hangup::close_after_token ||
		    how_ == hangup::reset_after_token) {
			timeval tv{2, 0};
			setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
			char token[64];
			size_t got = 0;
			while (got < sizeof(token)) {
				ssize_t n = recv(c, token + got,
						 sizeof(token) - got, 0);
				if (n <= 0)
					break;
				got += size_t(n);
			}
			tokens_ += got == sizeof(token);
		}
		if (how_ == hangup::reset_at_once ||
		    how_ == hangup::reset_after_token) {
			linger l{1, 0};
			setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
		}
		close(c);
	}
}

bool in_child()
{
	return getenv(CHILD_ENV) != nullptr;
}

void run_in_child()
{
	auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
	std::string filter = std::string("--gtest_filter=") +
			     info->test_suite_name() + "." + info->name();
	EXPECT_EQ(run_self({filter}, {std::string(CHILD_ENV) + "=1"},
			   ms(120000)),
		  "")
		<< "the case failed in its own process";
}

} // namespace hardening
