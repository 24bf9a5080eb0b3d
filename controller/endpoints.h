// The two endpoints the filter connects to: "filter-input" (raw frames in)
// and "direct-output" (processed frames out). Each listens on 127.0.0.1 at
// a port the kernel chooses and is published as "<name>.endpoint" in the
// configuration folder with a fresh token. A connection counts only once
// its first 64 bytes, read within a second, equal the token; it then
// replaces the one in use on its endpoint. Nothing is ever written to a
// connection before that.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace qmc {

constexpr size_t TOKEN_BYTES = 64;
constexpr auto TOKEN_DEADLINE = std::chrono::seconds(1);

// Where an endpoint's worker finds its connection. Authenticated
// connections are handed over here; the worker drops the one it was
// using when it sees a new one.
class connection_slot {
public:
	connection_slot() = default;
	~connection_slot();
	connection_slot(const connection_slot &) = delete;
	connection_slot &operator=(const connection_slot &) = delete;

	// Takes ownership of fd; an earlier one not yet taken is closed.
	void offer(int fd);
	// Whether a connection waits to be taken.
	bool pending() const { return pending_.load(); }
	// The waiting connection (now the caller's to close), or -1 when none
	// came within limit.
	int take(std::chrono::milliseconds limit);

private:
	std::mutex mutex_;
	std::condition_variable cv_;
	int fd_ = -1;
	std::atomic<bool> pending_{false};
};

struct endpoint {
	std::string name;
	int listener = -1;
	int port = 0;
	connection_slot slot;
	// What was published, so that only our own file is removed.
	std::string path, text;
	std::atomic<uint64_t> accepted{0}, refused{0};
};

using note_fn = std::function<void(const std::string &)>;

class endpoints {
public:
	endpoints();
	~endpoints();
	endpoints(const endpoints &) = delete;
	endpoints &operator=(const endpoints &) = delete;

	// Draws a token and listens on both endpoints.
	bool open(std::string *error);
	// Writes both endpoint files into dir; a fatal signal removes them
	// from then on (crash-cleanup.h).
	bool publish(const std::string &dir, std::string *error);
	// Removes the endpoint files that still hold what publish wrote.
	void unpublish();
	// Accepts and authenticates connections until stop is set; run it on
	// a thread of its own.
	void serve(const std::atomic<bool> &stop, const note_fn &note);

	endpoint &input() { return input_; }
	endpoint &output() { return output_; }

private:
	std::string token_;
	endpoint input_, output_;
};

// 64 letters and digits from the system's random source.
bool random_token(std::string *out);
// Compares every byte, whatever the first difference.
bool token_matches(const uint8_t *got, const std::string &token);
std::string endpoint_json(int port, const std::string &token);
// Whether a socket of this user listens on 127.0.0.1 (or every address)
// at port, from the kernel's table of TCP sockets.
bool listening_as_us(int port);
// Removes the endpoint files in dir that no listener of this user stands
// behind: those of a controller that ended without removing them (a
// kill -9, a power loss), or whose port someone else has taken since. A
// filter must not meet a stranger there while this controller starts.
void remove_stale_endpoints(const std::string &dir, const note_fn &note);
// Writes text to path through a temporary file and a rename, so that
// readers see the old file or the new one whole; readable by the owner
// only.
bool write_file_whole(const std::string &path, const std::string &text,
		      std::string *error);

} // namespace qmc
