// A stand-in for the Quilmar direct controller, for tests, demos and
// benchmarks. It is written only from the wire contract (endpoint files,
// token handshake, frame format) and shares no code with the module, so
// that it catches the module's mistakes instead of repeating them.
//
// It publishes "filter-input.endpoint" and "direct-output.endpoint" in a
// configuration folder, listens on 127.0.0.1, checks the token of every
// connection, reads frames from the module on "filter-input" and writes
// frames to it on "direct-output". It can misbehave on purpose: read
// slowly, never read, close in the middle of a frame, stay silent, send
// wrong headers, cut frames or trickle bytes.
//
// Every public call is thread-safe. Waits take a time-out and return false
// when the condition was not reached in time. Its threads are named
// "fakectl-accept" and "fakectl-conn" (one per connection).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fake {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t FRAME_W = 1280;
constexpr uint32_t FRAME_H = 720;
constexpr size_t FRAME_BYTES = size_t(FRAME_W) * FRAME_H * 4;
constexpr size_t HEADER_BYTES = 8;
constexpr size_t TOKEN_BYTES = 64;

using bytes = std::vector<uint8_t>;

// "filter-input": the module writes raw frames to us.
// "direct-output": we write processed frames to the module.
enum class endpoint { input, output };
const char *endpoint_name(endpoint ep);

// Wire helpers: width and height as unsigned 32-bit big-endian values.
bytes encode_header(uint32_t width, uint32_t height);
// Header 1280x720 followed by the pixels (which must be FRAME_BYTES long).
bytes encode_frame(const bytes &pixels);
// FRAME_BYTES of one BGRA colour.
bytes solid_pixels(uint8_t b, uint8_t g, uint8_t r, uint8_t a = 255);
// A JSON string literal for any bytes: quotes, backslashes and control
// bytes (a zero byte too) are escaped.
std::string json_quote(const std::string &text);
// 64 random printable characters.
std::string random_token();

// Contents of one endpoint file. Left empty, each field takes the real
// value; the others let tests publish broken files.
struct endpoint_file {
	std::optional<std::string> port_json; // raw JSON text of "port"
	bool omit_port = false;
	std::optional<std::string> token; // token text, escaped for JSON
	bool omit_token = false;
	std::optional<std::string> raw; // the whole file, verbatim
};

// How the controller reads a "filter-input" connection after the token.
enum class input_mode {
	normal,      // read whole frames as fast as they come
	slow,        // read `chunk` bytes, then pause `pause`, repeatedly
	never_read,  // take the token, then read nothing. A close by the
		     // module shows only once its unsent bytes are gone,
		     // which for a stalled stream is never.
	close_after, // read `close_after_bytes` bytes, then close
};
struct input_behavior {
	input_mode mode = input_mode::normal;
	size_t chunk = 64 * 1024;
	milliseconds pause{0};
	uint64_t close_after_bytes = 0;

	static input_behavior normal() { return {}; }
	static input_behavior slow(size_t chunk, milliseconds pause)
	{
		return {input_mode::slow, chunk, pause, 0};
	}
	static input_behavior never_read()
	{
		return {input_mode::never_read, 64 * 1024, milliseconds(0), 0};
	}
	static input_behavior close_after(uint64_t n)
	{
		return {input_mode::close_after, 64 * 1024, milliseconds(0), n};
	}
};

// What the controller writes on a "direct-output" connection by itself.
// Frames posted with post_*/send_* are written in every mode.
enum class output_mode {
	manual,        // only what the test posts (silence otherwise)
	echo,          // every input frame read, after `transform`
	repeat,        // `frame` every `interval`
	close_at_once, // close right after taking the token
};
using pixel_transform = std::shared_ptr<const std::function<void(bytes &)>>;
struct output_behavior {
	output_mode mode = output_mode::manual;
	// echo, optional; copies of a behavior share it, so connections
	// served by the same behavior share one echo of each frame.
	pixel_transform transform;
	bytes frame;               // repeat: pixels
	milliseconds interval{33}; // repeat
	// echo: the latest echo again after this long without a new one, as
	// a controller that is up keeps sending; 0: each echo once.
	milliseconds again{0};

	static output_behavior manual() { return {}; }
	static output_behavior echo(std::function<void(bytes &)> fn = {},
				    milliseconds again = milliseconds(0))
	{
		output_behavior b;
		b.mode = output_mode::echo;
		b.again = again;
		if (fn)
			b.transform = std::make_shared<
				const std::function<void(bytes &)>>(
				std::move(fn));
		return b;
	}
	static output_behavior repeat(bytes pixels, milliseconds every)
	{
		output_behavior b;
		b.mode = output_mode::repeat;
		b.frame = std::move(pixels);
		b.interval = every;
		return b;
	}
	static output_behavior close_at_once()
	{
		output_behavior b;
		b.mode = output_mode::close_at_once;
		return b;
	}
};

// How posted bytes are written: `chunk` bytes per send call (0: up to
// 1 MiB), with `pause` after each call but the last.
struct pacing {
	size_t chunk = 0;
	milliseconds pause{0};
};

enum class close_reason {
	open,       // still open
	peer,       // the module closed it (or reset it)
	requested,  // close_connections, or a post with close_after
	bad_token,  // wrong or short token
	bad_header, // the module sent a header other than 1280x720
	behavior,   // close_after / close_at_once did its job
	error,      // a socket error on our side
	stopped,    // stop() or the destructor
};
const char *close_reason_name(close_reason r);

// One accepted TCP connection, whatever its token.
struct connection_info {
	uint64_t id = 0; // 1, 2, ... per controller across both endpoints
	endpoint ep = endpoint::input;
	clock::time_point accepted_at;
	std::string token;          // the bytes received as token (<= 64)
	bool token_ok = false;      // 64 bytes equal to the accepted token
	clock::time_point token_at; // when the 64th token byte arrived
	// Input: bytes read after the token. Output: bytes the module wrote
	// after the token (it must write none).
	uint64_t bytes_after_token = 0;
	uint64_t frames = 0;       // whole frames read (input) or written
	uint64_t bytes_sent = 0;   // output: bytes written after the token
	clock::time_point sent_at; // output: when the last of them went out
	close_reason closed = close_reason::open;
	clock::time_point closed_at;
};

// One frame header read on "filter-input".
struct input_frame_info {
	uint64_t index = 0; // 1, 2, ... across all connections
	uint64_t connection = 0;
	uint32_t width = 0, height = 0;
	bool complete = false; // all pixels read
	clock::time_point started, completed;
};

class controller {
public:
	// dir: the module's configuration folder. It is created with its
	// parents by start() or publish().
	explicit controller(std::string dir);
	// Stops everything and removes the endpoint files it published.
	~controller();
	controller(const controller &) = delete;
	controller &operator=(const controller &) = delete;

	// Listens on both endpoints (port 0: an ephemeral port), makes a
	// fresh token for each unless one was set, and publishes both files
	// when `publish` is true. False when a listener cannot be set up.
	bool start(uint16_t input_port = 0, uint16_t output_port = 0,
		   bool publish = true);
	// Closes listeners and connections and joins every thread. The
	// endpoint files stay, now pointing at closed ports.
	void stop();
	// stop() then start() on the same ports.
	bool restart();
	bool running() const;

	std::string dir() const { return dir_; }
	std::string endpoint_path(endpoint ep) const;
	uint16_t port(endpoint ep) const;
	// The token published and accepted for an endpoint.
	std::string token(endpoint ep) const;
	// Sets the token to publish and accept (kept across restarts).
	void set_token(endpoint ep, const std::string &token);
	// Sets only the token accepted on connections.
	void set_accepted_token(endpoint ep, const std::string &token);

	// Writes an endpoint file atomically (temporary file and rename).
	bool publish(endpoint ep, const endpoint_file &file = {});
	bool publish_all();
	void unpublish(endpoint ep);

	// Behaviour for new connections. push_* adds a behaviour that only
	// the next new connection gets (queued, in order); set_* changes the
	// default for all later ones. Open connections keep theirs.
	void set_input_behavior(const input_behavior &b);
	void push_input_behavior(const input_behavior &b);
	void set_output_behavior(const output_behavior &b);
	void push_output_behavior(const output_behavior &b);

	// How many of the latest whole input frames keep their pixels (1).
	void set_kept_frames(size_t n);

	// Shuts down every open connection of the endpoint.
	void close_connections(endpoint ep);

	// Snapshots.
	std::vector<connection_info> connections(endpoint ep) const;
	size_t connection_count(endpoint ep) const; // all accepted
	size_t token_ok_count(endpoint ep) const;   // with the right token
	size_t open_count(endpoint ep) const;       // open, right token
	std::vector<std::string> tokens(endpoint ep) const;
	std::vector<input_frame_info> input_frames() const;
	uint64_t input_frame_count() const;           // whole frames
	std::vector<bytes> kept_input_frames() const; // oldest first
	bytes last_input_frame() const;               // empty when none

	// Posts bytes to every open "direct-output" connection with the right
	// token. Returns a job id for wait_job; a job with no connection to
	// go to fails at once. With close_after the connection is closed
	// once the bytes are out.
	uint64_t post_bytes(bytes data, pacing p = {},
			    bool close_after = false);
	uint64_t post_frame(const bytes &pixels, pacing p = {});
	// True when the job finished in time; *ok tells whether every
	// connection took all its bytes.
	bool wait_job(uint64_t job, clock::duration timeout,
		      bool *ok = nullptr);
	// post + wait: true when all bytes were written in time.
	bool send_frame(const bytes &pixels, clock::duration timeout,
			pacing p = {});
	bool send_header(uint32_t width, uint32_t height,
			 clock::duration timeout);
	// Posts the frame again each time the last one is out, until done
	// (called between posts without any lock held) holds or the time is
	// up: a single frame could go stale before a slow host draws it.
	// Returns whether done held.
	bool post_frames_until(const bytes &pixels,
			       const std::function<bool()> &done,
			       clock::duration timeout);
	bool send_bytes(bytes data, clock::duration timeout, pacing p = {},
			bool close_after = false);
	// send_bytes on the open "direct-output" connection, again on the
	// next one while the module ends them first: its receiver gives up
	// on a connection that has been silent for a second, and a loaded
	// machine can let that pass before the bytes go out.
	bool send_bytes_while_open(const bytes &data, clock::duration timeout,
				   bool close_after = false);

	// Waits.
	bool wait_token_ok(endpoint ep, size_t count,
			   clock::duration timeout) const;
	bool wait_connections(endpoint ep, size_t count,
			      clock::duration timeout) const;
	bool wait_open(endpoint ep, clock::duration timeout) const;
	// The index in connections(endpoint::output) of the connection that
	// was written to last.
	size_t last_written_output() const;
	bool wait_closed(uint64_t connection, clock::duration timeout) const;
	bool wait_input_frames(uint64_t count, clock::duration timeout) const;
	// Polls pred (called without any lock held) on every change and at
	// least every 5 ms.
	bool wait(const std::function<bool()> &pred,
		  clock::duration timeout) const;

	struct conn;
	struct job;
	struct side;

private:
	bool listen_on(side &s, uint16_t port);
	void accept_loop(endpoint ep);
	void serve(std::shared_ptr<conn> c);
	bool take_token(conn &c);
	void serve_input(conn &c, const input_behavior &b);
	void serve_output(conn &c, const output_behavior &b);
	void finish(conn &c, close_reason why);
	void record_frame_start(conn &c, uint32_t w, uint32_t h);
	void record_frame_end(conn &c, bytes &pixels);
	bool write_job(conn &c, const job &j, int *err);
	uint64_t post(bytes data, pacing p, bool close_after, bool is_frame);
	void job_done(job &j, bool ok);
	bool wait_change(std::unique_lock<std::mutex> &lk,
			 clock::time_point deadline) const;
	side &get(endpoint ep);
	const side &get(endpoint ep) const;

	std::string dir_;
	mutable std::mutex mu_;
	mutable std::condition_variable cv_;
	std::unique_ptr<side> in_, out_;
	std::atomic<bool> stopping_{false};
	bool running_ = false;
	uint64_t next_conn_id_ = 1;
	uint64_t next_job_id_ = 1;
	uint64_t change_ = 0; // raised on every recorded event
	std::vector<input_frame_info> frames_;
	std::deque<bytes> kept_;
	size_t keep_ = 1;
	uint64_t whole_frames_ = 0;
	std::vector<std::shared_ptr<job>> jobs_;
	input_behavior input_default_;
	std::deque<input_behavior> input_queue_;
	output_behavior output_default_;
	std::deque<output_behavior> output_queue_;
};

} // namespace fake
