// quilmar-controller: a stand-in for the Quilmar direct controller.
//
// It publishes the two endpoint files in the configuration folder, takes
// raw frames from the filter on "filter-input", pixelates them and writes
// them back on "direct-output". It is deliberately its own program: it
// shares no code with the module, so that talking to it checks the module
// against the wire format rather than against itself.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr uint32_t FRAME_WIDTH = 1280;
constexpr uint32_t FRAME_HEIGHT = 720;
constexpr size_t FRAME_LINESIZE = FRAME_WIDTH * 4;
constexpr size_t FRAME_SIZE = FRAME_LINESIZE * FRAME_HEIGHT;
constexpr size_t HEADER_SIZE = 8;
constexpr size_t TOKEN_SIZE = 64;
constexpr size_t TRANSFER_UNIT = 1 << 20;

constexpr int EXIT_USAGE = 2;
constexpr int DEFAULT_BLOCK = 32;
constexpr int DEFAULT_FPS = 15;
constexpr int MIN_FPS = 5;
constexpr int MAX_FPS = 60;
// Connections per endpoint; more are closed at once.
constexpr size_t MAX_CONNECTIONS = 8;
// How long a new connection may take to present its token.
constexpr int TOKEN_DEADLINE_MS = 3000;
// How long a send may make no progress before the reader is given up.
constexpr int STALL_LIMIT_MS = 2000;
// Workers wake this often to notice that the program is ending.
constexpr int WAKE_MS = 100;

const char *const PROGRAM = "quilmar-controller";

const char *const HELP = R"(Usage: quilmar-controller [OPTION]...

A stand-in for the Quilmar direct controller. It publishes the endpoint
files "filter-input.endpoint" and "direct-output.endpoint" in the
configuration folder, listens on 127.0.0.1, reads raw frames from the
filter, pixelates them and writes the processed frames back. On Ctrl-C,
SIGTERM, --duration or --frames it removes its endpoint files and exits.

Options:
  --config-dir DIR    Configuration folder to use. Default:
                      $XDG_CONFIG_HOME/obs-studio/plugin_config/quilmar-direct,
                      with $HOME/.config in place of $XDG_CONFIG_HOME when that
                      is unset, empty or not an absolute path. The folder is
                      created when missing.
  --token TOKEN       Token the filter must present: exactly 64 printable ASCII
                      characters (no spaces). Default: a fresh random token of
                      64 letters and digits from /dev/urandom.
  --input-port N      Port of "filter-input" (0..65535; 0, the default, lets
                      the system choose a free port).
  --output-port N     Port of "direct-output" (0..65535; default 0, as above).
  --block N           Pixelation block size in pixels (2..720, default 32).
                      Each block is filled with the mean of its pixels.
  --rect X,Y,W,H      Pixelate only this rectangle (pixels, origin at the top
                      left, clipped to the 1280x720 frame); the rest of the
                      frame passes unchanged. Default: the whole frame.
  --fps N             Rate cap used when settings.json gives no "fps" or is
                      ignored (5..60, default 15).
  --ignore-settings   Never read settings.json: processing stays enabled and
                      the rate cap is the one of --fps.
  --duration SECONDS  Exit by itself after this many seconds (> 0, decimals
                      allowed).
  --frames N          Exit by itself once N processed frames have been written
                      back (N >= 1).
  --quiet             No live status line and no connection messages on
                      stderr. Errors and the final summary are still printed.
  --help              Show this text and exit.

Settings: unless --ignore-settings is given, settings.json in the
configuration folder is read at start and then every 0.5 s. Two keys count:
  "worker_enabled"    false: frames are still read but nothing is written
                      back, so the filter shows black (it shows black as soon
                      as its last processed frame is 0.5 s old). true or
                      absent: processed frames are written back.
  "fps"               At most this many processed frames per second are
                      written on each "direct-output" connection; a frame
                      that arrives sooner waits, and a newer one replaces it.
                      Clamped to 5..60, decimals dropped; absent or not a
                      number: the --fps value (15 unless given).
A missing settings.json counts as all keys absent. A file that is not a
JSON object (for example one being written) is skipped and the previous
values stay.

Connections: the first 64 bytes on a connection must be the token; a wrong
or late token (3 s) closes the connection. Frames are an 8-byte header
(width, height: 32-bit unsigned, network byte order; always 1280 and 720)
followed by 1280*720*4 bytes BGRA, rows top to bottom. A frame of another
size closes the connection. Each "direct-output" connection is sent the
latest processed frame; a slow reader never holds up the input side, it only
misses frames, and one that accepts nothing for 2 s is closed.

Output: a live status line on stderr about once a second (frames in and out,
their rates, and the round-trip time: from the moment an input frame has
been read whole to the moment its processed frame has been written whole).
When it ends, one summary line on stdout:
  frames_in=N frames_out=N rtt_mean_ms=X rtt_max_ms=X

Exit status: 0 on a normal end (signal, --duration, --frames), 1 when it
cannot run (no configuration folder, a port in use, files that cannot be
written), 2 on bad arguments.
)";

// ---------------------------------------------------------------------------
// Options

struct rect {
	int x = 0, y = 0, w = 0, h = 0;
};

struct options {
	std::string config_dir;
	std::string token;
	int input_port = 0;
	int output_port = 0;
	int block = DEFAULT_BLOCK;
	bool has_rect = false;
	rect area;
	int fps = DEFAULT_FPS;
	bool ignore_settings = false;
	double duration = 0.0;
	long long frames = 0;
	bool quiet = false;
	bool help = false;
};

bool parse_int(const char *text, long long min, long long max, long long &out)
{
	if (!*text)
		return false;
	errno = 0;
	char *end = nullptr;
	long long v = strtoll(text, &end, 10);
	if (errno || *end || v < min || v > max)
		return false;
	out = v;
	return true;
}

bool parse_rect(const char *text, rect &out)
{
	long long v[4];
	std::string s = text;
	size_t start = 0;
	for (int i = 0; i < 4; i++) {
		size_t comma = s.find(',', start);
		bool last = i == 3;
		if (last != (comma == std::string::npos))
			return false;
		std::string part = s.substr(start, last ? std::string::npos
							: comma - start);
		if (!parse_int(part.c_str(), 0, 100000, v[i]))
			return false;
		start = comma + 1;
	}
	out = {int(v[0]), int(v[1]), int(v[2]), int(v[3])};
	return out.w > 0 && out.h > 0 && out.x < int(FRAME_WIDTH) &&
	       out.y < int(FRAME_HEIGHT);
}

bool valid_token(const std::string &t)
{
	if (t.size() != TOKEN_SIZE)
		return false;
	for (char c : t)
		if (c < 0x21 || c > 0x7e)
			return false;
	return true;
}

// Fills opt from argv. On a bad argument, prints why and returns false.
bool parse_options(int argc, char **argv, options &opt)
{
	auto fail = [](const std::string &msg) {
		fprintf(stderr, "%s: error: %s (see --help)\n", PROGRAM,
			msg.c_str());
		return false;
	};
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		std::string value;
		bool has_value = false;
		size_t eq = arg.find('=');
		if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
			value = arg.substr(eq + 1);
			arg = arg.substr(0, eq);
			has_value = true;
		}
		auto flag = [&]() {
			if (has_value)
				return fail("option " + arg +
					    " takes no value");
			return true;
		};
		auto take = [&]() {
			if (has_value)
				return true;
			if (i + 1 >= argc)
				return fail("option " + arg + " needs a value");
			value = argv[++i];
			return true;
		};
		auto number = [&](long long min, long long max,
				  long long &out) {
			if (!take())
				return false;
			if (!parse_int(value.c_str(), min, max, out))
				return fail("option " + arg +
					    " needs a whole number from " +
					    std::to_string(min) + " to " +
					    std::to_string(max) + ", not '" +
					    value + "'");
			return true;
		};
		long long n = 0;
		if (arg == "--help" || arg == "-h") {
			if (!flag())
				return false;
			opt.help = true;
		} else if (arg == "--quiet") {
			if (!flag())
				return false;
			opt.quiet = true;
		} else if (arg == "--ignore-settings") {
			if (!flag())
				return false;
			opt.ignore_settings = true;
		} else if (arg == "--config-dir") {
			if (!take())
				return false;
			if (value.empty())
				return fail("--config-dir needs a folder");
			opt.config_dir = value;
		} else if (arg == "--token") {
			if (!take())
				return false;
			if (!valid_token(value))
				return fail(
					"--token needs exactly 64 printable ASCII characters without spaces (got " +
					std::to_string(value.size()) +
					" bytes)");
			opt.token = value;
		} else if (arg == "--input-port") {
			if (!number(0, 65535, n))
				return false;
			opt.input_port = int(n);
		} else if (arg == "--output-port") {
			if (!number(0, 65535, n))
				return false;
			opt.output_port = int(n);
		} else if (arg == "--block") {
			if (!number(2, 720, n))
				return false;
			opt.block = int(n);
		} else if (arg == "--fps") {
			if (!number(MIN_FPS, MAX_FPS, n))
				return false;
			opt.fps = int(n);
		} else if (arg == "--frames") {
			if (!number(1, 1000000000, n))
				return false;
			opt.frames = n;
		} else if (arg == "--rect") {
			if (!take())
				return false;
			if (!parse_rect(value.c_str(), opt.area))
				return fail(
					"--rect needs X,Y,W,H with W and H above 0 and X,Y inside the 1280x720 frame, not '" +
					value + "'");
			opt.has_rect = true;
		} else if (arg == "--duration") {
			if (!take())
				return false;
			char *end = nullptr;
			errno = 0;
			double d = strtod(value.c_str(), &end);
			if (value.empty() || errno || *end ||
			    !std::isfinite(d) || d <= 0 || d > 1e7)
				return fail(
					"--duration needs a number of seconds above 0, not '" +
					value + "'");
			opt.duration = d;
		} else {
			return fail("unknown argument '" +
				    std::string(argv[i]) + "'");
		}
	}
	if (opt.input_port && opt.input_port == opt.output_port)
		return fail("--input-port and --output-port must differ");
	return true;
}

// ---------------------------------------------------------------------------
// Small helpers

uint64_t now_ns()
{
	return uint64_t(
		std::chrono::duration_cast<std::chrono::nanoseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
			.count());
}

// Set only by the signal handler; the main loop does the cleaning up.
volatile sig_atomic_t stop_signal = 0;

void on_signal(int)
{
	stop_signal = 1;
}

bool default_config_dir(std::string &out)
{
	const char *xdg = getenv("XDG_CONFIG_HOME");
	std::string base;
	if (xdg && xdg[0] == '/') {
		base = xdg;
	} else {
		const char *home = getenv("HOME");
		if (!home || !*home)
			return false;
		base = std::string(home) + "/.config";
	}
	out = base + "/obs-studio/plugin_config/quilmar-direct";
	return true;
}

bool make_dirs(const std::string &path)
{
	for (size_t pos = 1; pos <= path.size(); pos++) {
		if (pos != path.size() && path[pos] != '/')
			continue;
		std::string part = path.substr(0, pos);
		if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
			return false;
	}
	struct stat st;
	return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool random_token(std::string &out)
{
	static const char alphabet[] =
		"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	FILE *f = fopen("/dev/urandom", "rb");
	if (!f)
		return false;
	out.clear();
	while (out.size() < TOKEN_SIZE) {
		unsigned char byte;
		if (fread(&byte, 1, 1, f) != 1)
			break;
		// 248 = 4 * 62: dropping the rest keeps every letter equally likely.
		if (byte < 248)
			out += alphabet[byte % 62];
	}
	fclose(f);
	return out.size() == TOKEN_SIZE;
}

bool read_file(const std::string &path, std::string &out, size_t limit)
{
	FILE *f = fopen(path.c_str(), "rb");
	if (!f)
		return false;
	out.clear();
	char buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
		out.append(buf, n);
		if (out.size() > limit) {
			fclose(f);
			return false;
		}
	}
	bool ok = !ferror(f);
	fclose(f);
	return ok;
}

// Writes the whole text to path through a temporary file, so that a reader
// never sees half of it. Owner-only: the file holds the token.
bool write_file_atomically(const std::string &path, const std::string &text)
{
	std::string tmp = path + ".tmp";
	int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
		      0600);
	if (fd < 0)
		return false;
	size_t done = 0;
	while (done < text.size()) {
		ssize_t n = write(fd, text.data() + done, text.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += size_t(n);
	}
	bool ok = done == text.size();
	if (close(fd) != 0)
		ok = false;
	if (ok && rename(tmp.c_str(), path.c_str()) != 0)
		ok = false;
	if (!ok)
		unlink(tmp.c_str());
	return ok;
}

// ---------------------------------------------------------------------------
// Tiny JSON reading: just enough to pick two top-level members out of
// settings.json and skip everything else.

struct json_reader {
	const char *p;
	const char *end;
};

void skip_ws(json_reader &r)
{
	while (r.p < r.end &&
	       (*r.p == ' ' || *r.p == '\t' || *r.p == '\n' || *r.p == '\r'))
		r.p++;
}

bool read_literal(json_reader &r, const char *word)
{
	size_t n = strlen(word);
	if (size_t(r.end - r.p) < n || memcmp(r.p, word, n) != 0)
		return false;
	r.p += n;
	return true;
}

// Reads a string; escapes other than \" and \\ are kept as they stand,
// which is enough to compare keys.
bool read_string(json_reader &r, std::string &out)
{
	if (r.p >= r.end || *r.p != '"')
		return false;
	r.p++;
	out.clear();
	while (r.p < r.end && *r.p != '"') {
		if (*r.p == '\\') {
			if (r.end - r.p < 2)
				return false;
			r.p++;
			if (*r.p != '"' && *r.p != '\\')
				out += '\\';
		}
		out += *r.p++;
	}
	if (r.p >= r.end)
		return false;
	r.p++;
	return true;
}

bool read_number(json_reader &r, double &out)
{
	const char *start = r.p;
	while (r.p < r.end && strchr("+-0123456789.eE", *r.p))
		r.p++;
	if (r.p == start)
		return false;
	std::string text(start, r.p);
	char *stop = nullptr;
	out = strtod(text.c_str(), &stop);
	return *stop == '\0';
}

bool skip_value(json_reader &r, int depth)
{
	if (depth > 64)
		return false;
	skip_ws(r);
	if (r.p >= r.end)
		return false;
	std::string s;
	double d;
	char c = *r.p;
	if (c == '"')
		return read_string(r, s);
	if (c == 't')
		return read_literal(r, "true");
	if (c == 'f')
		return read_literal(r, "false");
	if (c == 'n')
		return read_literal(r, "null");
	if (c != '{' && c != '[')
		return read_number(r, d);
	char close = c == '{' ? '}' : ']';
	r.p++;
	skip_ws(r);
	if (r.p < r.end && *r.p == close) {
		r.p++;
		return true;
	}
	for (;;) {
		if (c == '{') {
			skip_ws(r);
			if (!read_string(r, s))
				return false;
			skip_ws(r);
			if (r.p >= r.end || *r.p++ != ':')
				return false;
		}
		if (!skip_value(r, depth + 1))
			return false;
		skip_ws(r);
		if (r.p >= r.end)
			return false;
		if (*r.p == close) {
			r.p++;
			return true;
		}
		if (*r.p++ != ',')
			return false;
	}
}

struct settings {
	bool worker_enabled = true;
	int fps = DEFAULT_FPS;
};

// Reads the two keys that count from the text of settings.json. Keys that
// are absent or of another type keep their defaults (fps_default for
// "fps"). False when the text is not a JSON object.
bool parse_settings(const std::string &text, int fps_default, settings &out)
{
	json_reader r{text.data(), text.data() + text.size()};
	settings s;
	s.fps = fps_default;
	skip_ws(r);
	if (r.p >= r.end || *r.p++ != '{')
		return false;
	skip_ws(r);
	bool empty = r.p < r.end && *r.p == '}';
	if (empty)
		r.p++;
	while (!empty) {
		std::string key;
		skip_ws(r);
		if (!read_string(r, key))
			return false;
		skip_ws(r);
		if (r.p >= r.end || *r.p++ != ':')
			return false;
		skip_ws(r);
		const char *value = r.p;
		if (!skip_value(r, 1))
			return false;
		json_reader v{value, r.p};
		double d;
		if (key == "worker_enabled") {
			if (read_literal(v, "true"))
				s.worker_enabled = true;
			else if (read_literal(v, "false"))
				s.worker_enabled = false;
		} else if (key == "fps" && read_number(v, d) &&
			   std::isfinite(d)) {
			d = std::min(std::max(d, double(MIN_FPS)),
				     double(MAX_FPS));
			s.fps = int(d);
		}
		skip_ws(r);
		if (r.p >= r.end)
			return false;
		if (*r.p == '}') {
			r.p++;
			break;
		}
		if (*r.p++ != ',')
			return false;
	}
	skip_ws(r);
	if (r.p != r.end)
		return false;
	out = s;
	return true;
}

// ---------------------------------------------------------------------------
// Pixelation

// Fills every block of the area with the mean of its pixels, channel by
// channel, alpha included.
void pixelate(uint8_t *frame, int block, const rect &area)
{
	int x0 = std::max(area.x, 0);
	int y0 = std::max(area.y, 0);
	int x1 = std::min(area.x + area.w, int(FRAME_WIDTH));
	int y1 = std::min(area.y + area.h, int(FRAME_HEIGHT));
	for (int by = y0; by < y1; by += block) {
		int bh = std::min(block, y1 - by);
		for (int bx = x0; bx < x1; bx += block) {
			int bw = std::min(block, x1 - bx);
			uint64_t sum[4] = {0, 0, 0, 0};
			for (int y = by; y < by + bh; y++) {
				const uint8_t *px = frame + y * FRAME_LINESIZE +
						    size_t(bx) * 4;
				for (int x = 0; x < bw; x++, px += 4)
					for (int c = 0; c < 4; c++)
						sum[c] += px[c];
			}
			uint64_t count = uint64_t(bw) * uint64_t(bh);
			uint8_t mean[4];
			for (int c = 0; c < 4; c++)
				mean[c] = uint8_t((sum[c] + count / 2) / count);
			for (int y = by; y < by + bh; y++) {
				uint8_t *px = frame + y * FRAME_LINESIZE +
					      size_t(bx) * 4;
				for (int x = 0; x < bw; x++, px += 4)
					memcpy(px, mean, 4);
			}
		}
	}
}

// ---------------------------------------------------------------------------
// Shared state between the connections and the main loop

struct processed_frame {
	std::unique_ptr<uint8_t[]> pixels;
	uint64_t received_ns = 0;
};

struct controller {
	options opt;
	std::string token;
	rect area;
	std::atomic<bool> stop{false};

	std::atomic<bool> worker_enabled{true};
	std::atomic<int> fps{DEFAULT_FPS};

	// The latest processed frame and its sequence number.
	std::mutex latest_lock;
	std::condition_variable latest_changed;
	std::shared_ptr<const processed_frame> latest;
	uint64_t latest_seq = 0;

	std::atomic<uint64_t> frames_in{0};
	std::atomic<uint64_t> frames_out{0};
	std::atomic<uint64_t> rtt_sum_ns{0};
	std::atomic<uint64_t> rtt_max_ns{0};
	std::atomic<int> inputs{0};
	std::atomic<int> outputs{0};

	std::mutex print_lock;
	bool tty = false;
};

// One message line on stderr, unless --quiet; it clears a status line that
// may stand on the terminal.
__attribute__((format(printf, 2, 3))) void note(controller &c, const char *fmt,
						...)
{
	if (c.opt.quiet)
		return;
	std::lock_guard<std::mutex> guard(c.print_lock);
	fprintf(stderr, "%s%s: ", c.tty ? "\r\033[K" : "", PROGRAM);
	va_list args;
	va_start(args, fmt);
	vfprintf(stderr, fmt, args);
	va_end(args);
	fputc('\n', stderr);
}

void record_round_trip(controller &c, uint64_t rtt)
{
	c.rtt_sum_ns += rtt;
	uint64_t max = c.rtt_max_ns.load();
	while (rtt > max && !c.rtt_max_ns.compare_exchange_weak(max, rtt)) {
	}
	c.frames_out++;
}

// ---------------------------------------------------------------------------
// Socket helpers. Every call waits at most WAKE_MS, so that workers notice
// the end of the program quickly.

enum class io_result { done, closed, failed, stopped, timed_out };

// Receives exactly len bytes. deadline_ms < 0 waits as long as it takes.
io_result recv_all(controller &c, int fd, uint8_t *buf, size_t len,
		   int deadline_ms)
{
	uint64_t limit =
		now_ns() + uint64_t(std::max(deadline_ms, 0)) * 1000000ull;
	size_t done = 0;
	while (done < len) {
		if (c.stop)
			return io_result::stopped;
		if (deadline_ms >= 0 && now_ns() > limit)
			return io_result::timed_out;
		pollfd p{fd, POLLIN, 0};
		int r = poll(&p, 1, WAKE_MS);
		if (r < 0 && errno != EINTR)
			return io_result::failed;
		if (r <= 0)
			continue;
		size_t want = std::min(len - done, TRANSFER_UNIT);
		ssize_t n = recv(fd, buf + done, want, MSG_DONTWAIT);
		if (n == 0)
			return io_result::closed;
		if (n < 0) {
			if (errno == EINTR || errno == EAGAIN ||
			    errno == EWOULDBLOCK)
				continue;
			return io_result::failed;
		}
		done += size_t(n);
	}
	return io_result::done;
}

// Sends all of buf; gives up when the peer takes nothing for STALL_LIMIT_MS.
io_result send_all(controller &c, int fd, const uint8_t *buf, size_t len)
{
	size_t done = 0;
	uint64_t last_progress = now_ns();
	while (done < len) {
		if (c.stop)
			return io_result::stopped;
		if (now_ns() - last_progress > STALL_LIMIT_MS * 1000000ull)
			return io_result::timed_out;
		pollfd p{fd, POLLOUT, 0};
		int r = poll(&p, 1, WAKE_MS);
		if (r < 0 && errno != EINTR)
			return io_result::failed;
		if (r <= 0)
			continue;
		size_t want = std::min(len - done, TRANSFER_UNIT);
		ssize_t n =
			send(fd, buf + done, want, MSG_DONTWAIT | MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR || errno == EAGAIN ||
			    errno == EWOULDBLOCK)
				continue;
			return io_result::failed;
		}
		done += size_t(n);
		last_progress = now_ns();
	}
	return io_result::done;
}

// True when a connection on which the peer should send nothing has been
// closed by it. Stray bytes are read and dropped.
bool peer_closed(int fd)
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

// Reads the token and compares it without stopping at the first
// difference.
bool check_token(controller &c, int fd, const char *endpoint)
{
	uint8_t got[TOKEN_SIZE];
	io_result r = recv_all(c, fd, got, TOKEN_SIZE, TOKEN_DEADLINE_MS);
	if (r != io_result::done) {
		if (r != io_result::stopped)
			note(c,
			     "%s: connection closed before a whole token arrived",
			     endpoint);
		return false;
	}
	unsigned diff = 0;
	for (size_t i = 0; i < TOKEN_SIZE; i++)
		diff |= unsigned(got[i] ^ uint8_t(c.token[i]));
	if (diff) {
		note(c, "%s: wrong token, connection closed", endpoint);
		return false;
	}
	return true;
}

// ---------------------------------------------------------------------------
// Connections

// filter-input: reads frames, processes each one and makes it the latest.
void serve_input(controller &c, int fd)
{
	const char *name = "filter-input";
	if (!check_token(c, fd, name))
		return;
	note(c, "%s: filter connected", name);
	c.inputs++;
	std::unique_ptr<uint8_t[]> pixels;
	for (;;) {
		uint8_t header[HEADER_SIZE];
		io_result r = recv_all(c, fd, header, HEADER_SIZE, -1);
		if (r != io_result::done)
			break;
		uint32_t w, h;
		memcpy(&w, header, 4);
		memcpy(&h, header + 4, 4);
		w = ntohl(w);
		h = ntohl(h);
		if (w != FRAME_WIDTH || h != FRAME_HEIGHT) {
			note(c,
			     "%s: frame of %ux%u instead of 1280x720, connection closed",
			     name, unsigned(w), unsigned(h));
			break;
		}
		if (!pixels)
			pixels.reset(new uint8_t[FRAME_SIZE]);
		if (recv_all(c, fd, pixels.get(), FRAME_SIZE, -1) !=
		    io_result::done)
			break;
		auto frame = std::make_shared<processed_frame>();
		frame->received_ns = now_ns();
		c.frames_in++;
		pixelate(pixels.get(), c.opt.block, c.area);
		frame->pixels = std::move(pixels);
		{
			std::lock_guard<std::mutex> guard(c.latest_lock);
			c.latest = std::move(frame);
			c.latest_seq++;
		}
		c.latest_changed.notify_all();
	}
	c.inputs--;
	note(c, "%s: filter disconnected", name);
}

// direct-output: writes the latest processed frame, at most fps frames a
// second, and nothing while the worker is disabled.
void serve_output(controller &c, int fd)
{
	const char *name = "direct-output";
	if (!check_token(c, fd, name))
		return;
	note(c, "%s: filter connected", name);
	c.outputs++;
	uint64_t sent_seq;
	{
		// Only frames processed from now on go to this connection.
		std::lock_guard<std::mutex> guard(c.latest_lock);
		sent_seq = c.latest_seq;
	}
	uint64_t next_allowed = 0;
	uint8_t header[HEADER_SIZE];
	uint32_t w = htonl(FRAME_WIDTH), h = htonl(FRAME_HEIGHT);
	memcpy(header, &w, 4);
	memcpy(header + 4, &h, 4);
	while (!c.stop && !peer_closed(fd)) {
		std::shared_ptr<const processed_frame> frame;
		uint64_t seq;
		{
			std::unique_lock<std::mutex> guard(c.latest_lock);
			c.latest_changed.wait_for(
				guard, std::chrono::milliseconds(WAKE_MS),
				[&] { return c.latest_seq != sent_seq; });
			seq = c.latest_seq;
			frame = c.latest;
		}
		if (seq == sent_seq || !frame)
			continue;
		if (!c.worker_enabled) {
			sent_seq = seq;
			continue;
		}
		uint64_t now = now_ns();
		if (now < next_allowed) {
			uint64_t wait = std::min<uint64_t>(
				next_allowed - now, WAKE_MS * 1000000ull);
			std::this_thread::sleep_for(
				std::chrono::nanoseconds(wait));
			continue; // take whatever is latest by then
		}
		next_allowed = now + 1000000000ull / uint64_t(c.fps.load());
		if (send_all(c, fd, header, HEADER_SIZE) != io_result::done ||
		    send_all(c, fd, frame->pixels.get(), FRAME_SIZE) !=
			    io_result::done)
			break;
		sent_seq = seq;
		record_round_trip(c, now_ns() - frame->received_ns);
	}
	c.outputs--;
	note(c, "%s: filter disconnected", name);
}

struct connection {
	std::thread thread;
	std::atomic<bool> finished{false};
};

// Accepts connections on one endpoint until the program ends; each
// connection is served on a thread of its own.
void accept_loop(controller &c, int listener, bool input)
{
	std::list<connection> conns;
	while (!c.stop) {
		conns.remove_if([](connection &k) {
			if (!k.finished)
				return false;
			k.thread.join();
			return true;
		});
		pollfd p{listener, POLLIN, 0};
		if (poll(&p, 1, WAKE_MS) <= 0)
			continue;
		int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
		if (fd < 0)
			continue;
		if (conns.size() >= MAX_CONNECTIONS) {
			close(fd);
			continue;
		}
		conns.emplace_back();
		connection &k = conns.back();
		k.thread = std::thread([&c, &k, fd, input] {
			if (input)
				serve_input(c, fd);
			else
				serve_output(c, fd);
			close(fd);
			k.finished = true;
		});
	}
	for (connection &k : conns)
		k.thread.join();
}

// A loopback listener; port 0 lets the system choose. Returns the socket
// and the actual port, or -1.
int listen_loopback(int port, int &actual)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
	if (fd < 0)
		return -1;
	int one = 1;
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(uint16_t(port));
	socklen_t len = sizeof(addr);
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
	    listen(fd, 8) != 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
		close(fd);
		return -1;
	}
	actual = ntohs(addr.sin_port);
	return fd;
}

std::string endpoint_json(int port, const std::string &token)
{
	std::string escaped;
	for (char ch : token) {
		if (ch == '"' || ch == '\\')
			escaped += '\\';
		escaped += ch;
	}
	return "{\"port\": " + std::to_string(port) + ", \"token\": \"" +
	       escaped + "\"}\n";
}

// Removes an endpoint file only while it still holds what this program
// wrote, so that a controller started later keeps its own.
void remove_endpoint(const std::string &path, const std::string &content)
{
	std::string now;
	if (read_file(path, now, 4096) && now == content)
		unlink(path.c_str());
}

// ---------------------------------------------------------------------------
// Main loop

void poll_settings(controller &c, const std::string &path)
{
	std::string text;
	settings s;
	s.fps = c.opt.fps;
	if (read_file(path, text, 16 << 20)) {
		if (!parse_settings(text, c.opt.fps, s))
			return; // keep the previous values
	} else if (errno != ENOENT) {
		return;
	}
	c.worker_enabled = s.worker_enabled;
	c.fps = s.fps;
}

void print_status(controller &c, double seconds, uint64_t in, uint64_t out,
		  uint64_t rtt_ns, uint64_t rtt_count, bool tty)
{
	char rtt[32] = "-";
	if (rtt_count)
		snprintf(rtt, sizeof(rtt), "%.1f ms",
			 double(rtt_ns) / double(rtt_count) / 1e6);
	std::lock_guard<std::mutex> guard(c.print_lock);
	fprintf(stderr,
		"%sin %llu (%.1f fps)  out %llu (%.1f fps)  round trip %s  "
		"connections %d/%d  worker %s, cap %d fps%s",
		tty ? "\r\033[K" : "", (unsigned long long)c.frames_in.load(),
		double(in) / seconds, (unsigned long long)c.frames_out.load(),
		double(out) / seconds, rtt, c.inputs.load(), c.outputs.load(),
		c.worker_enabled ? "on" : "off", c.fps.load(), tty ? "" : "\n");
	fflush(stderr);
}

int run(controller &c)
{
	const options &opt = c.opt;
	std::string dir = opt.config_dir;
	if (dir.empty() && !default_config_dir(dir)) {
		fprintf(stderr,
			"%s: cannot find the configuration folder (HOME is not set); use --config-dir\n",
			PROGRAM);
		return 1;
	}
	if (!make_dirs(dir)) {
		fprintf(stderr, "%s: cannot create the folder %s: %s\n",
			PROGRAM, dir.c_str(), strerror(errno));
		return 1;
	}
	c.token = opt.token;
	if (c.token.empty() && !random_token(c.token)) {
		fprintf(stderr, "%s: cannot read /dev/urandom\n", PROGRAM);
		return 1;
	}
	c.area = opt.has_rect ? opt.area
			      : rect{0, 0, int(FRAME_WIDTH), int(FRAME_HEIGHT)};
	c.fps = opt.fps;
	c.tty = isatty(STDERR_FILENO) == 1;

	// Settings count from the very first frame.
	std::string settings_path = dir + "/settings.json";
	if (!opt.ignore_settings)
		poll_settings(c, settings_path);

	int in_port = 0, out_port = 0;
	int in_fd = listen_loopback(opt.input_port, in_port);
	int out_fd = in_fd < 0 ? -1
			       : listen_loopback(opt.output_port, out_port);
	if (in_fd < 0 || out_fd < 0) {
		fprintf(stderr, "%s: cannot listen on 127.0.0.1 port %d: %s\n",
			PROGRAM, in_fd < 0 ? opt.input_port : opt.output_port,
			strerror(errno));
		if (in_fd >= 0)
			close(in_fd);
		return 1;
	}

	// Workers never take the signals: the main loop sees them.
	sigset_t block, old;
	sigemptyset(&block);
	sigaddset(&block, SIGINT);
	sigaddset(&block, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &block, &old);
	std::thread in_thread(accept_loop, std::ref(c), in_fd, true);
	std::thread out_thread(accept_loop, std::ref(c), out_fd, false);
	pthread_sigmask(SIG_SETMASK, &old, nullptr);

	// Listening first, then published: the filter never finds a port that
	// nobody answers.
	std::string in_path = dir + "/filter-input.endpoint";
	std::string out_path = dir + "/direct-output.endpoint";
	std::string in_json = endpoint_json(in_port, c.token);
	std::string out_json = endpoint_json(out_port, c.token);
	int status = 0;
	if (!write_file_atomically(in_path, in_json) ||
	    !write_file_atomically(out_path, out_json)) {
		fprintf(stderr,
			"%s: cannot write the endpoint files in %s: %s\n",
			PROGRAM, dir.c_str(), strerror(errno));
		status = 1;
		c.stop = true;
	} else if (!opt.quiet) {
		fprintf(stderr,
			"%s: filter-input on 127.0.0.1:%d, direct-output on 127.0.0.1:%d, endpoint files in %s\n",
			PROGRAM, in_port, out_port, dir.c_str());
	}

	bool tty = c.tty;
	uint64_t start = now_ns();
	uint64_t last_status = start, last_settings = start;
	uint64_t prev_in = 0, prev_out = 0, prev_rtt = 0;
	while (!c.stop && !stop_signal) {
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
		uint64_t now = now_ns();
		if (opt.duration > 0 &&
		    double(now - start) / 1e9 >= opt.duration)
			break;
		if (opt.frames > 0 && c.frames_out >= uint64_t(opt.frames))
			break;
		if (!opt.ignore_settings && now - last_settings >= 500000000) {
			last_settings = now;
			poll_settings(c, settings_path);
		}
		if (!opt.quiet && now - last_status >= 1000000000) {
			uint64_t in = c.frames_in, out = c.frames_out;
			uint64_t rtt = c.rtt_sum_ns;
			print_status(c, double(now - last_status) / 1e9,
				     in - prev_in, out - prev_out,
				     rtt - prev_rtt, out - prev_out, tty);
			prev_in = in;
			prev_out = out;
			prev_rtt = rtt;
			last_status = now;
		}
	}

	c.stop = true;
	c.latest_changed.notify_all();
	remove_endpoint(in_path, in_json);
	remove_endpoint(out_path, out_json);
	in_thread.join();
	out_thread.join();
	close(in_fd);
	close(out_fd);

	uint64_t out = c.frames_out;
	if (!opt.quiet && tty)
		fputc('\n', stderr);
	printf("frames_in=%llu frames_out=%llu rtt_mean_ms=%.2f rtt_max_ms=%.2f\n",
	       (unsigned long long)c.frames_in.load(), (unsigned long long)out,
	       out ? double(c.rtt_sum_ns) / double(out) / 1e6 : 0.0,
	       double(c.rtt_max_ns) / 1e6);
	fflush(stdout);
	return status;
}

} // namespace

int main(int argc, char **argv)
{
	// A reader that goes away must never end this program.
	signal(SIGPIPE, SIG_IGN);
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);

	controller c;
	if (!parse_options(argc, argv, c.opt))
		return EXIT_USAGE;
	if (c.opt.help) {
		fputs(HELP, stdout);
		return 0;
	}
	return run(c);
}
