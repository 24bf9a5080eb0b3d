// The controller as a child process, and a peer that talks to it over
// loopback as the filter does (or as a hostile program might): for the
// controller's tests and the benchmark.
#pragma once

#include <opencv2/core.hpp>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qm_ctl {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous: the machine may be loaded, and sanitizers slow things down.
constexpr auto DEADLINE = std::chrono::seconds(30);
// Until a started controller has published its endpoints: it loads its
// models first, several seconds of CPU under a sanitizer, which a busy
// machine stretches manifold. Only a controller that hangs takes longer.
constexpr auto START_DEADLINE = std::chrono::seconds(150);

constexpr uint32_t W = 1280, H = 720;
constexpr size_t FRAME_BYTES = size_t(W) * H * 4;

// The controller program of this build.
const char *controller_path();

struct temp_dir {
	fs::path path;
	temp_dir();
	~temp_dir();
};

std::string slurp(const fs::path &p);
// Replaces the file whole, as the filter does.
void write_whole(const fs::path &p, const std::string &text);

// quilmar-controller with the given arguments, its stdout and stderr in
// files; killed when still running at destruction.
struct controller_process {
	pid_t pid = -1;
	int status = -1;
	bool exited = false;
	fs::path out, err;

	controller_process(const std::vector<std::string> &args,
			   const fs::path &logs,
			   const std::map<std::string, const char *> &env = {});
	~controller_process();
	bool running();
	// The exit code, or -1 when it did not end by itself in time.
	int wait_exit(std::chrono::seconds limit = DEADLINE);
	int stop(int sig);
	std::string std_out() const { return slurp(out); }
	std::string std_err() const { return slurp(err); }
	// A number from the summary line ("frames_out" ...), -1 if absent.
	double summary(const std::string &key) const;
	// How far in time a finding may have reached in a run of fed_s
	// seconds of frames, from the summary: twice the mean time between
	// the runs of its slowest detector (a frame takes what the runs
	// nearest it on either side found, and on a busy machine runs come
	// irregularly), half a second at least.
	double findings_reach_s(double fed_s) const;
	// CPU time the process and its worker processes have used so far,
	// in seconds.
	double cpu_s() const;
};

struct endpoint {
	int port = 0;
	std::string token;
};

bool read_endpoint(const fs::path &file, endpoint &ep);
// Waits until both endpoint files in dir can be read.
bool wait_endpoints(const fs::path &dir, endpoint &in, endpoint &out,
		    std::chrono::seconds limit = START_DEADLINE);

// A socket, closed at destruction.
struct sock {
	int fd = -1;
	sock() = default;
	explicit sock(int f) : fd(f) {}
	sock(sock &&o) noexcept : fd(o.fd) { o.fd = -1; }
	sock &operator=(sock &&o) noexcept;
	~sock();
};

// Connects to 127.0.0.1:port and sends these first bytes (the token).
sock connect_with(int port, const std::string &first_bytes);
bool send_all(int fd, const void *data, size_t len);
bool send_frame(int fd, const cv::Mat &bgra, uint32_t w = W, uint32_t h = H);

enum class got { data, closed, nothing };
got recv_exact(int fd, uint8_t *buf, size_t len, milliseconds limit);
// Waits up to limit for the start of a frame, then reads it whole.
got recv_frame(int fd, cv::Mat &bgra, milliseconds limit);
// What arrives on fd within limit: closed (with no byte), data, or
// nothing.
got what_arrives(int fd, milliseconds limit);

} // namespace qm_ctl
