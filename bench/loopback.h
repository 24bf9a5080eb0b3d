// Loopback pieces of the benchmark: a minimal controller that publishes
// the two endpoint files and serves frames without allocating per frame,
// and plain socket loops that move the same frames without the module, as
// the baseline for the link's throughput.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Header and pixels of one 1280x720 frame as the wire carries it.
constexpr size_t WIRE_FRAME_SIZE = 8 + 1280 * 720 * 4;
constexpr size_t TOKEN_SIZE = 64;

// What the controller does with the frames the module writes to
// "filter-input".
enum class input_mode {
	// Reads every frame whole and throws it away.
	drain,
	// Reads every frame whole and writes it back on the newest
	// "direct-output" connection.
	echo,
};

// What the controller writes on "direct-output" by itself.
enum class output_mode {
	quiet, // nothing: only echoed frames, if any
	flood, // one fixed frame after the other, as fast as it can
};

// A listening loopback socket on an ephemeral port, or -1.
int listen_loopback(uint16_t *port);
// A connected loopback TCP pair: *a connects to the listener that
// produces *b. False on any failure.
bool socket_pair(int *a, int *b);

// Moves len bytes in as few calls as the kernel allows; false when the
// peer is gone or a call fails.
bool send_whole(int fd, const uint8_t *data, size_t len);
bool recv_whole(int fd, uint8_t *data, size_t len);

// Reads whole frames from fd until it fails; each counts in *frames.
void drain_frames(int fd, uint8_t *frame, std::atomic<uint64_t> *frames,
		  const std::atomic<bool> *stop);
// Writes frame (WIRE_FRAME_SIZE bytes) to fd again and again until it fails
// or stop is set; each whole frame counts in *frames.
void flood_frames(int fd, const uint8_t *frame, std::atomic<uint64_t> *frames,
		  const std::atomic<bool> *stop);

// A wire frame (header 1280x720, pixels of a fixed gradient).
std::vector<uint8_t> make_wire_frame();

class controller {
public:
	// dir: the module's configuration folder (created when missing).
	controller(std::string dir, input_mode in, output_mode out);
	~controller();
	controller(const controller &) = delete;
	controller &operator=(const controller &) = delete;

	// Echoes at most fps frames a second and drops the others, as a
	// controller that processes at that rate; 0 (the default) echoes all.
	void set_echo_fps(unsigned fps);

	// Listens on both endpoints and publishes their files.
	bool start();
	// Removes the endpoint files, closes every connection and joins every
	// thread.
	void stop();

	// Whole frames read on "filter-input" and written on "direct-output".
	uint64_t frames_in() const { return frames_in_.load(); }
	uint64_t frames_out() const { return frames_out_.load(); }
	// Connections that presented the right token, per endpoint.
	uint64_t input_connections() const { return input_conns_.load(); }
	uint64_t output_connections() const { return output_conns_.load(); }

private:
	void accept_loop(bool input);
	void serve_input(int fd);
	void serve_output(int fd);
	bool publish(const char *name, uint16_t port);
	void track(int fd);
	void untrack(int fd);

	std::string dir_;
	input_mode in_mode_;
	output_mode out_mode_;
	std::string token_;
	int listen_in_ = -1, listen_out_ = -1;
	std::atomic<bool> stop_{false};
	std::atomic<uint64_t> frames_in_{0}, frames_out_{0};
	std::atomic<uint64_t> input_conns_{0}, output_conns_{0};

	std::mutex mutex_;
	std::vector<int> open_fds_;
	std::vector<std::thread> threads_;
	// Echoed frames go to the newest "direct-output" connection.
	std::mutex echo_mutex_;
	int echo_fd_ = -1;
	uint64_t echo_interval_ns_ = 0;
	uint64_t last_echo_ns_ = 0;
	std::vector<uint8_t> flood_frame_;
};

} // namespace bench
