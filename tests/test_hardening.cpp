// Hardening, in the real host against the fake controller: controllers that
// misbehave in every way the wire allows, endpoint and settings files that
// are broken or hostile, captures meeting files planted in their way, many
// instances and many create/destroy cycles. Throughout, what the filter
// draws must never contain the source's own pixels, and every case ends
// with no thread, descriptor or libobs allocation left behind.
#include "fake_controller.h"
#include "file_hooks.h"
#include "host.h"

#include <callback/signal.h>
#include <util/platform.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace qm_test;
using namespace std::chrono_literals;
using fake::endpoint;
namespace stdfs = std::filesystem;
using ms = std::chrono::milliseconds;

// ---------------------------------------------------------------------------
// Files planted at the very name a capture is about to create. The module
// names its images by the clock, so nothing can be put there in advance;
// when armed, the open() hook plants the file just before the module's
// exclusive create.

namespace plant {

enum class kind { none, dangling_link, link_to_file, file };
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
	} else if (k != kind::file || !plant_file(path, "planted")) {
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

namespace {

// Generous: two loaded cores, perhaps a sanitizer; waits end as soon as
// their condition holds.
constexpr auto LONG = ms(60000);
constexpr size_t BMP_SIZE = 3686454;

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

fake::bytes processed_pixels(const palette &colours = PROCESSED_PALETTE)
{
	return pixels_of(make_pattern(FRAME_WIDTH, FRAME_HEIGHT, colours));
}

// The controller's stand-in processing: every pixel turns grey. The
// source's red, green and blue become grey 85 and its yellow grey 170, so
// a processed capture is told apart from the source and from black.
void to_grey(fake::bytes &p)
{
	for (size_t i = 0; i + 3 < p.size(); i += 4) {
		auto v = uint8_t((p[i] + p[i + 1] + p[i + 2]) / 3);
		p[i] = p[i + 1] = p[i + 2] = v;
	}
}
constexpr bgra GREY_85{85, 85, 85, 255};
constexpr bgra GREY_170{170, 170, 170, 255};
constexpr palette GREYED_SOURCE{{GREY_85, GREY_85, GREY_85, GREY_170}};

// A file of random bytes.
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

// Valid JSON up to a string value that runs for size bytes and never ends.
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

// What the module's configuration folder may hold in place of a file that
// another program writes.
enum class broken {
	huge_random,     // 50 MB of random bytes
	huge_unfinished, // 50 MB of JSON that never ends
	folder,
	dangling_link,
	link_loop,
	device, // a link to /dev/zero
};

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

// A folder is left out: libobs takes a folder's seek end for its size,
// which the cases below run in a process of their own.
const broken ALL_BROKEN[] = {broken::huge_random, broken::huge_unfinished,
			     broken::dangling_link, broken::link_loop,
			     broken::device};
constexpr size_t HUGE_SIZE = 50u << 20;

// Puts b at path; json_head starts the unfinished JSON.
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

// A port on 127.0.0.1 that refuses connections: bound, never listening,
// so that nobody else takes it meanwhile.
struct refusing_port {
	int fd = -1;
	uint16_t port = 0;
	refusing_port()
	{
		fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in addr{};
		addr.sin_family = AF_INET;
		addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof(addr);
		if (fd >= 0 &&
		    bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
		    getsockname(fd, reinterpret_cast<sockaddr *>(&addr),
				&len) == 0)
			port = ntohs(addr.sin_port);
	}
	~refusing_port()
	{
		if (fd >= 0)
			close(fd);
	}
};

// A listener that ends every connection at once, by a close or by a reset
// (SO_LINGER 0), before or after reading the token.
enum class hangup {
	close_at_once,
	reset_at_once,
	close_after_token,
	reset_after_token
};

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

class hanging_up_listener {
public:
	explicit hanging_up_listener(hangup how) : how_(how)
	{
		fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in addr{};
		addr.sin_family = AF_INET;
		addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof(addr);
		if (fd_ < 0 ||
		    bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
		    listen(fd_, 16) != 0 ||
		    getsockname(fd_, reinterpret_cast<sockaddr *>(&addr),
				&len) != 0)
			return;
		port_ = ntohs(addr.sin_port);
		thread_ = std::thread([this] { run(); });
	}
	~hanging_up_listener()
	{
		stop_ = true;
		if (thread_.joinable())
			thread_.join();
		if (fd_ >= 0)
			close(fd_);
	}
	uint16_t port() const { return port_; }
	int accepted() const { return accepted_; }
	int tokens() const { return tokens_; }

private:
	void run()
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
				setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv,
					   sizeof(tv));
				char token[64];
				size_t got = 0;
				while (got < sizeof(token)) {
					ssize_t n = recv(c, token + got,
							 sizeof(token) - got,
							 0);
					if (n <= 0)
						break;
					got += size_t(n);
				}
				tokens_ += got == sizeof(token);
			}
			if (how_ == hangup::reset_at_once ||
			    how_ == hangup::reset_after_token) {
				linger l{1, 0};
				setsockopt(c, SOL_SOCKET, SO_LINGER, &l,
					   sizeof(l));
			}
			close(c);
		}
	}

	hangup how_;
	int fd_ = -1;
	uint16_t port_ = 0;
	std::atomic<bool> stop_{false};
	std::atomic<int> accepted_{0};
	std::atomic<int> tokens_{0};
	std::thread thread_;
};

// Set in a child process that runs one case that may bring the whole
// process down.
constexpr const char *CHILD_ENV = "QM_HARDENING_CHILD";

bool in_child()
{
	return getenv(CHILD_ENV) != nullptr;
}

// Runs the current test again in a process of its own and checks that it
// ends, and ends well, within the deadline.
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

// Fixture: one controller, the filter on a 1280x720 still pattern, and the
// checks that close every case: no module log line, no source pixel ever
// drawn, and every thread and descriptor of the case gone.
class hardening_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		warm_up();
		remove_path(module_config_dir());
		clear_log();
		threads_at_start = thread_count();
		fds_at_start = fd_count();
		ctl = std::make_unique<fake::controller>(module_config_dir());
		hook_open(plant::hook);
	}

	void TearDown() override
	{
		plant::armed = plant::kind::none;
		clear_file_hooks();
		// Closing the controller first wakes the receiver at once.
		ctl->stop();
		fs = filtered_source();
		more.clear();
		ctl.reset();
		EXPECT_TRUE(wait_for_thread_count(threads_at_start, LONG))
			<< thread_count() << " threads, " << threads_at_start
			<< " at the start";
		EXPECT_TRUE(wait_until(
			[&] { return fd_count() <= fds_at_start; }, LONG))
			<< fd_count() << " descriptors, " << fds_at_start
			<< " at the start";

		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
		for (auto &line : log_lines()) {
			bool json_error =
				line.text.find("json") != std::string::npos ||
				line.text.find("JSON") != std::string::npos;
			bool allowed = false;
			for (auto &text : allowed_log)
				allowed = allowed || line.text.find(text) !=
							     std::string::npos;
			if (line.level <= LOG_WARNING && !json_error &&
			    !allowed)
				ADD_FAILURE()
					<< "unexpected log line: " << line.text;
		}
		EXPECT_TRUE(renders > 0 || ran_in_child)
			<< "nothing drawn was checked";
		remove_path(module_config_dir());
	}

	// libobs and the driver open some descriptors and threads once, on
	// first use; they must not count as left behind by the first case.
	static void warm_up()
	{
		static bool done = false;
		if (done)
			return;
		done = true;
		int before = thread_count();
		filtered_source w = make_filtered(pattern_kind::plain,
						  FRAME_WIDTH, FRAME_HEIGHT);
		render_and_read(w.parent.get());
		w = filtered_source();
		wait_for_thread_count(before, LONG);
		run_on_graphics_thread([] {});
	}

	void make_filter()
	{
		fs = make_filtered(pattern_kind::plain, FRAME_WIDTH,
				   FRAME_HEIGHT);
		ASSERT_NE(fs.data(), nullptr);
	}

	// Renders src and checks what the filter drew: never the source.
	// With as_just_arrived, fs's processed frame is stamped as arrived
	// right before the render.
	image show(obs_source_t *src = nullptr, bool as_just_arrived = false)
	{
		obs_source_t *target = src ? src : fs.parent.get();
		image img =
			as_just_arrived
				? render_and_read_after(
					  [&] { restamp_output(fs.data()); },
					  target)
				: render_and_read(target);
		renders++;
		EXPECT_EQ(img.width, FRAME_WIDTH) << step;
		if (contains_any(img, SOURCE_PALETTE)) {
			privacy_breaches++;
			ADD_FAILURE() << "the source's own pixels were drawn ("
				      << step << ")";
		}
		return img;
	}

	// Renders until cond holds, checking every picture.
	bool render_until(const std::function<bool(const image &)> &cond,
			  ms deadline = LONG, obs_source_t *src = nullptr)
	{
		return wait_until([&] { return cond(show(src)); }, deadline);
	}

	// Renders until the fake controller's greyed echo of the capture is
	// drawn and cond holds. Whether an echo is still fresh when a slow
	// machine draws it is not what these cases are about, so each picture
	// is drawn as if its processed frame had just arrived; the end of a
	// connection still clears it.
	bool round_trip_until(const std::function<bool()> &cond = [] {
		return true;
	})
	{
		return wait_until(
			[&] {
				return shows_round_trip(show(nullptr, true)) &&
				       cond();
			},
			LONG);
	}

	// Renders for a while; false when anything but black was drawn.
	bool only_black_for(ms duration)
	{
		bool black = true;
		auto start = fake::clock::now();
		while (elapsed(start) < duration)
			black = is_opaque_black(show()) && black;
		return black;
	}

	// Renders until cond holds; false when anything but black was drawn
	// or cond did not come true.
	bool only_black_until(const std::function<bool()> &cond)
	{
		bool black = true;
		// Reading a 50 MB endpoint file twice per attempt takes its
		// time with a sanitizer.
		bool met = wait_until(
			[&] {
				black = is_opaque_black(show()) && black;
				return cond();
			},
			ms(90000));
		EXPECT_TRUE(met) << "waited in vain (" << step << ")";
		return black && met;
	}

	// Renders until each worker has looked at its endpoint file three
	// more times: at least two connection attempts have seen what is
	// there now.
	bool only_black_while_reread()
	{
		endpoints_read.mark();
		return only_black_until([&] { return endpoints_read.seen(3); });
	}

	// The controller sends processed frames, again and again, until one
	// is drawn: a single frame could go stale before a slow host draws
	// it.
	bool processed_frames_are_drawn()
	{
		return ctl->post_frames_until(
			processed_pixels(),
			[&] { return shows_processed(show()); }, LONG);
	}

	static bool shows(const image &img, const palette &colours)
	{
		return pattern_mismatch(img, colours).empty();
	}
	static bool shows_processed(const image &img)
	{
		return shows(img, PROCESSED_PALETTE);
	}
	static bool shows_round_trip(const image &img)
	{
		return shows(img, GREYED_SOURCE);
	}

	std::unique_ptr<fake::controller> ctl;
	filtered_source fs;
	std::vector<filtered_source> more;
	endpoint_reads endpoints_read;
	int threads_at_start = 0;
	int fds_at_start = 0;
	int renders = 0;
	int privacy_breaches = 0;
	bool ran_in_child = false;
	// Host log lines that a case provokes on purpose.
	std::vector<std::string> allowed_log;
	std::string step = "start";
};

using Handshake = hardening_test;
using Receiver = hardening_test;
using Sender = hardening_test;
using Connect = hardening_test;
using EndpointFiles = hardening_test;
using SettingsFile = hardening_test;
using Stress = hardening_test;
using Files = hardening_test;

} // namespace

// ---------------------------------------------------------------------------
// Hostile controllers

TEST_F(Handshake, WrongTokensNeverGetAPicture)
{
	ctl->set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 50ms));
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	std::string in_tok = ctl->token(endpoint::input);
	std::string out_tok = ctl->token(endpoint::output);

	struct token_case {
		const char *what;
		std::string token_json; // raw JSON of "token"
		bool connects;          // with the wrong token
	};
	auto quoted = [](const std::string &t) {
		return fake::json_quote(t);
	};
	const token_case cases[] = {
		{"empty token", "\"\"", false},
		{"1-byte token", "\"a\"", false},
		{"token as a number", "12345", false},
		{"token as null", "null", false},
		{"token as an object", "{\"x\": 1}", false},
		{"64 bytes, last one wrong",
		 quoted(in_tok.substr(0, 63) + (in_tok[63] == 'x' ? "y" : "x")),
		 true},
		{"64 bytes of another token", quoted(fake::random_token()),
		 true},
		{"64 bytes of multi-byte UTF-8", quoted([] {
			 std::string t;
			 while (t.size() < 64)
				 t += "\xc3\xa9";
			 return t;
		 }()),
		 true},
	};

	for (auto &c : cases) {
		step = c.what;
		SCOPED_TRACE(c.what);
		size_t in_before = ctl->connection_count(endpoint::input);
		size_t out_before = ctl->connection_count(endpoint::output);
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			fake::endpoint_file f;
			f.raw = "{\"port\": " + std::to_string(ctl->port(ep)) +
				", \"token\": " + c.token_json + "}";
			ASSERT_TRUE(ctl->publish(ep, f));
		}
		if (c.connects) {
			// Each worker keeps trying, 250 ms apart, and never
			// gets past the handshake.
			EXPECT_TRUE(render_until([&](const image &img) {
				EXPECT_TRUE(is_opaque_black(img));
				return ctl->connection_count(endpoint::input) >=
					       in_before + 2 &&
				       ctl->connection_count(
					       endpoint::output) >=
					       out_before + 2;
			}));
		} else {
			EXPECT_TRUE(only_black_while_reread());
			EXPECT_EQ(ctl->connection_count(endpoint::input),
				  in_before);
			EXPECT_EQ(ctl->connection_count(endpoint::output),
				  out_before);
		}
	}

	// The connections are looked at only once none is in its handshake:
	// without files no new one comes (a worker reads its file before each
	// attempt, so after two reads its last attempt is over), and each one
	// there is has ended.
	step = "no files";
	ctl->unpublish(endpoint::input);
	ctl->unpublish(endpoint::output);
	endpoints_read.mark();
	ASSERT_TRUE(only_black_until([&] { return endpoints_read.seen(2); }));
	std::vector<fake::connection_info> conns[2];
	ASSERT_TRUE(ctl->wait(
		[&] {
			bool ended = true;
			for (endpoint ep :
			     {endpoint::input, endpoint::output}) {
				auto &list = conns[int(ep)];
				list = ctl->connections(ep);
				for (auto &c : list)
					ended = ended &&
						c.closed !=
							fake::close_reason::open;
			}
			return ended;
		},
		LONG));
	EXPECT_EQ(ctl->token_ok_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->token_ok_count(endpoint::output), 0u);
	for (auto &list : conns)
		for (auto &c : list) {
			EXPECT_EQ(c.token.size(), 64u) << "connection " << c.id;
			EXPECT_EQ(c.closed, fake::close_reason::bad_token)
				<< "connection " << c.id;
		}

	// With the right tokens the picture comes.
	step = "right tokens";
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(render_until(shows_processed));
	EXPECT_EQ(in_tok, ctl->token(endpoint::input));
	EXPECT_EQ(out_tok, ctl->token(endpoint::output));
}

TEST_F(Receiver, WrongFrameSizesEndTheConnectionAfterTheHeader)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));

	struct size_case {
		uint32_t width, height;
	};
	const size_case cases[] = {{0, 0},       {1280, 0},
				   {0, 720},     {4294967295u, 4294967295u},
				   {1920, 1080}, {720, 1280},
				   {1280, 721},  {1279, 720}};
	fake::bytes pixels = processed_pixels();
	for (auto &c : cases) {
		step = std::to_string(c.width) + "x" + std::to_string(c.height);
		SCOPED_TRACE(step);
		size_t conns = ctl->token_ok_count(endpoint::output);
		ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
		uint64_t id = ctl->connections(endpoint::output).back().id;
		// The processed pixels follow, trickled: a receiver that read
		// on past the header would stay connected for seconds.
		fake::bytes wire = fake::encode_header(c.width, c.height);
		wire.insert(wire.end(), pixels.begin(), pixels.end());
		auto posted = fake::clock::now();
		uint64_t job = ctl->post_bytes(wire, fake::pacing{4096, 10ms});

		bool black = true;
		ASSERT_TRUE(render_until([&](const image &img) {
			black = black && is_opaque_black(img);
			return ctl->token_ok_count(endpoint::output) > conns;
		})) << "no new connection";
		EXPECT_TRUE(black) << "something other than black was drawn";
		bool ok = true;
		ASSERT_TRUE(ctl->wait_job(job, LONG, &ok));
		EXPECT_FALSE(ok) << "all the pixels were taken";
		auto all = ctl->connections(endpoint::output);
		auto it = std::find_if(all.begin(), all.end(),
				       [&](auto &x) { return x.id == id; });
		ASSERT_NE(it, all.end());
		EXPECT_EQ(it->closed, fake::close_reason::peer);
		EXPECT_LE(since(posted, it->closed_at), 6000ms);
		EXPECT_EQ(it->frames, 0u);
	}

	step = "a whole frame";
	ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
	EXPECT_TRUE(processed_frames_are_drawn());
}

TEST_F(Receiver, FramesCutAtAnyOffsetAreNeverShown)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	fake::bytes whole = fake::encode_frame(processed_pixels());
	const size_t offsets[] = {1,
				  7,
				  8,
				  9,
				  8 + 4096,
				  8 + 1048576 - 1,
				  8 + 1048576,
				  8 + 1048576 + 1,
				  8 + FRAME_SIZE / 2,
				  8 + FRAME_SIZE - 1};
	for (size_t cut : offsets) {
		step = "cut after " + std::to_string(cut) + " bytes";
		SCOPED_TRACE(step);
		fake::bytes part(whole.begin(), whole.begin() + long(cut));
		ASSERT_TRUE(ctl->send_bytes_while_open(part, LONG, true));
		size_t conns = ctl->token_ok_count(endpoint::output);
		bool black = true;
		ASSERT_TRUE(render_until([&](const image &img) {
			black = black && is_opaque_black(img);
			return ctl->token_ok_count(endpoint::output) > conns;
		}));
		EXPECT_TRUE(black) << "part of a cut frame was drawn";
		EXPECT_TRUE(is_opaque_black(show()));
	}

	// A whole frame after all that is drawn.
	step = "a whole frame";
	ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
	EXPECT_TRUE(processed_frames_are_drawn());
}

TEST_F(Receiver, TrickledFrameHoldsTeardownUntilTheControllerLetsGo)
{
	ASSERT_TRUE(ctl->start());
	auto before = thread_ids_but_controller();
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	auto workers = started_since(before);
	ASSERT_GE(workers.size(), 2u);

	// The header at once, then one pixel byte every half second: each
	// receive call gets a byte well before its one-second time-out, so
	// the frame is never given up. After the last byte the controller
	// closes.
	const size_t trickled = 12;
	ASSERT_TRUE(ctl->send_bytes_while_open(fake::encode_header(1280, 720),
					       LONG));
	size_t n = ctl->last_written_output();
	uint64_t id = ctl->connections(endpoint::output)[n].id;
	fake::bytes bytes = processed_pixels();
	bytes.resize(trickled);
	uint64_t job = ctl->post_bytes(bytes, fake::pacing{1, 500ms}, true);
	step = "trickle";
	ASSERT_TRUE(render_until([&](const image &img) {
		EXPECT_TRUE(is_opaque_black(img));
		return ctl->connections(endpoint::output)[n].bytes_sent >=
		       8 + 2;
	}));

	auto destroy_at = fake::clock::now();
	fs = filtered_source();
	ASSERT_TRUE(wait_until([&] { return still_running(workers) == 0; },
			       ms(30000)));
	auto ended_at = fake::clock::now();
	bool ok = false;
	ASSERT_TRUE(ctl->wait_job(job, LONG, &ok));
	EXPECT_TRUE(ok);
	ASSERT_TRUE(ctl->wait_closed(id, LONG));
	auto conns = ctl->connections(endpoint::output);
	ASSERT_EQ(conns[n].id, id);
	EXPECT_EQ(conns[n].closed, fake::close_reason::requested);
	auto alive = since(destroy_at, conns[n].closed_at);
	auto took = since(destroy_at, ended_at);
	std::cout << "controller kept the frame alive for " << alive.count()
		  << " ms after destroy began; destroy took " << took.count()
		  << " ms\n";
	// Meaningful only when the trickle outlasted a receive time-out.
	EXPECT_GE(alive, 1500ms);
	EXPECT_GE(took, alive - 50ms) << "teardown gave up the frame early";
	EXPECT_LE(took, alive + 4000ms);
}

TEST_F(Sender, ControllerThatNeverReadsIsDroppedAndReconnected)
{
	ctl->push_input_behavior(fake::input_behavior::never_read());
	ctl->set_output_behavior(fake::output_behavior::echo(to_grey));
	ASSERT_TRUE(ctl->start());
	make_filter();

	// The first connection fills up; each send gives up after a second
	// without progress, and the sender connects again. The second
	// connection reads, and the round trip shows.
	step = "stalled controller";
	ASSERT_TRUE(round_trip_until([&] {
		return ctl->token_ok_count(endpoint::input) >= 2 &&
		       ctl->input_frame_count() >= 1;
	}));
	auto conns = ctl->connections(endpoint::input);
	ASSERT_GE(conns.size(), 2u);
	EXPECT_EQ(conns[0].frames, 0u);
	EXPECT_GE(since(conns[0].token_at, conns[1].accepted_at),
		  1000ms + 200ms);
	// The new connection carries whole frames.
	EXPECT_TRUE(ctl->wait(
		[&] {
			for (auto &f : ctl->input_frames())
				if (f.connection == conns[1].id && f.complete)
					return true;
			return false;
		},
		LONG));
}

TEST_F(Connect, RefusedClosedOrResetConnectionsAreRetriedQuietly)
{
	ctl->set_output_behavior(fake::output_behavior::echo(to_grey));
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	auto publish_port = [&](uint16_t port) {
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			fake::endpoint_file f;
			f.port_json = std::to_string(port);
			ASSERT_TRUE(ctl->publish(ep, f));
		}
	};

	{
		step = "refused";
		refusing_port refusing;
		ASSERT_NE(refusing.port, 0);
		publish_port(refusing.port);
		EXPECT_TRUE(only_black_while_reread());
	}
	for (hangup how :
	     {hangup::close_at_once, hangup::reset_at_once,
	      hangup::close_after_token, hangup::reset_after_token}) {
		step = hangup_name(how);
		SCOPED_TRACE(step);
		hanging_up_listener listener(how);
		ASSERT_NE(listener.port(), 0);
		publish_port(listener.port());
		// Captures go on, so the sender also writes frames into the
		// dying connections (never raising SIGPIPE). Both workers keep
		// trying, with their pause between tries.
		bool after_token = how == hangup::close_after_token ||
				   how == hangup::reset_after_token;
		auto start = fake::clock::now();
		EXPECT_TRUE(only_black_until([&] {
			return listener.accepted() >= 6 &&
			       (!after_token || listener.tokens() >= 4);
		}));
		auto took = elapsed(start);
		EXPECT_LE(listener.accepted(), 2 * int(took.count() / 250 + 2));
	}

	step = "a working controller";
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(round_trip_until());
}

TEST_F(Connect, FollowsEndpointFilesRewrittenToOtherPorts)
{
	// A processes by greying the capture; B sends a picture of its own.
	ctl->set_output_behavior(fake::output_behavior::echo(to_grey));
	ASSERT_TRUE(ctl->start());
	fake::controller b(module_config_dir());
	b.set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 50ms));
	ASSERT_TRUE(b.start(0, 0, false));
	make_filter();
	step = "controller A";
	ASSERT_TRUE(round_trip_until());

	// The files now name B; once A drops the connections, both workers
	// go to B.
	step = "rewritten to B";
	ASSERT_TRUE(b.publish_all());
	size_t a_in = ctl->connection_count(endpoint::input);
	size_t a_out = ctl->connection_count(endpoint::output);
	ctl->close_connections(endpoint::input);
	ctl->close_connections(endpoint::output);
	EXPECT_TRUE(render_until([&](const image &img) {
		return b.token_ok_count(endpoint::input) >= 1 &&
		       b.input_frame_count() >= 1 && shows_processed(img);
	}));
	EXPECT_EQ(ctl->connection_count(endpoint::input), a_in);
	EXPECT_EQ(ctl->connection_count(endpoint::output), a_out);

	// Rewritten again, between attempts, to a port where nobody listens:
	// black, and nothing reaches either controller.
	step = "rewritten to a closed port";
	{
		refusing_port refusing;
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			fake::endpoint_file f;
			f.port_json = std::to_string(refusing.port);
			ASSERT_TRUE(b.publish(ep, f));
		}
		size_t b_in = b.connection_count(endpoint::input);
		size_t b_out = b.connection_count(endpoint::output);
		b.close_connections(endpoint::input);
		b.close_connections(endpoint::output);
		EXPECT_TRUE(render_until(is_opaque_black));
		EXPECT_TRUE(only_black_while_reread());
		EXPECT_EQ(b.connection_count(endpoint::output), b_out);
		EXPECT_LE(b.connection_count(endpoint::input), b_in + 1);
	}

	step = "back to A";
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(round_trip_until(
		[&] { return ctl->connection_count(endpoint::input) > a_in; }));
	b.stop();
}

// ---------------------------------------------------------------------------
// Broken files

TEST_F(EndpointFiles, HugeBinaryFolderOrLinkNeverConnects)
{
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	for (broken b : ALL_BROKEN) {
		step = broken_name(b);
		SCOPED_TRACE(step);
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			std::string head =
				"{\"port\": " + std::to_string(ctl->port(ep)) +
				", \"token\": \"" + ctl->token(ep) +
				"\", \"pad\": \"";
			ASSERT_TRUE(
				place_broken(ctl->endpoint_path(ep), b, head));
		}
		EXPECT_TRUE(only_black_while_reread());
		EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
		EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);
	}
	for (endpoint ep : {endpoint::input, endpoint::output})
		remove_path(ctl->endpoint_path(ep));

	// A 50 MB file that is valid JSON is read like any other.
	step = "50 MB of valid JSON";
	for (endpoint ep : {endpoint::input, endpoint::output}) {
		fake::endpoint_file f;
		f.raw = "{\"port\": " + std::to_string(ctl->port(ep)) +
			", \"token\": \"" + ctl->token(ep) + "\", \"pad\": \"" +
			std::string(HUGE_SIZE, 'a') + "\"}";
		ASSERT_TRUE(ctl->publish(ep, f));
	}
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
}

TEST_F(SettingsFile, HugeBinaryFolderOrLinkAppliesNothing)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	update_counter updates(fs.filter.get());
	std::string before = settings_json(fs.filter.get());

	for (broken b : ALL_BROKEN) {
		step = broken_name(b);
		SCOPED_TRACE(step);
		ASSERT_TRUE(place_broken(settings_path(), b,
					 "{\"fps\": 5, \"note\": \""));
		show();
		ASSERT_TRUE(let_frame_time_pass());
		show();
		EXPECT_EQ(updates.count, 0);
		EXPECT_EQ(settings_json(fs.filter.get()), before);
	}
	remove_path(settings_path());

	// The next change writes the file again, and the poll takes up the
	// controller's changes as before.
	step = "after the broken files";
	change_settings(fs.filter.get(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 20); });
	ASSERT_TRUE(wait_until([&] {
		data_ptr d(obs_data_create_from_json(
			read_text(settings_path()).value_or("{}").c_str()));
		return d && obs_data_get_int(d.get(), "fps") == 20;
	}));
	ASSERT_TRUE(controller_edits(
		[](obs_data_t *d) { obs_data_set_int(d, "fps", 40); }));
	EXPECT_TRUE(wait_until([&] {
		data_ptr s(obs_data_create_from_json(
			settings_json(fs.filter.get()).c_str()));
		return obs_data_get_int(s.get(), "fps") == 40;
	}));
}

// A folder in place of a file: each case runs in a process of its own, as
// reading one has brought the host down.
TEST_F(EndpointFiles, FolderInPlaceOfTheFileNeverConnects)
{
	if (!in_child()) {
		ran_in_child = true;
		run_in_child();
		return;
	}
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	step = "folders in place of the endpoint files";
	for (endpoint ep : {endpoint::input, endpoint::output})
		ASSERT_TRUE(place_broken(ctl->endpoint_path(ep), broken::folder,
					 ""));
	EXPECT_TRUE(only_black_while_reread());
	EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);
	for (endpoint ep : {endpoint::input, endpoint::output})
		remove_path(ctl->endpoint_path(ep));
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
}

TEST_F(SettingsFile, FolderInPlaceOfTheFileAppliesNothing)
{
	if (!in_child()) {
		ran_in_child = true;
		run_in_child();
		return;
	}
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	update_counter updates(fs.filter.get());
	std::string before = settings_json(fs.filter.get());
	step = "a folder in place of settings.json";
	ASSERT_TRUE(place_broken(settings_path(), broken::folder, ""));
	show();
	ASSERT_TRUE(let_frame_time_pass());
	show();
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(fs.filter.get()), before);
	remove_path(settings_path());
}

// A FIFO at a file's name: opening it for reading waits for a writer.
// The module must neither hang a worker (and with it teardown) nor the
// host's graphics thread on one. Should it, the test opens the FIFO for
// writing itself to set the reader free, so that the run can go on.
namespace {

// Sets free any reader waiting on the FIFO at path and removes it.
void release_fifo(const std::string &path)
{
	int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	unlink(path.c_str());
	if (fd >= 0)
		close(fd);
}

} // namespace

TEST_F(EndpointFiles, FifoHoldsNeitherWorkersNorTeardown)
{
	ASSERT_TRUE(ctl->start(0, 0, false));
	auto before = thread_ids_but_controller();
	make_filter();
	auto workers = started_since(before);
	ASSERT_GE(workers.size(), 2u);
	// libobs's complaint when a freed reader finds the FIFO empty.
	allowed_log.push_back("Allocating 0 bytes");
	step = "FIFO endpoint files";
	for (endpoint ep : {endpoint::input, endpoint::output})
		ASSERT_EQ(mkfifo(ctl->endpoint_path(ep).c_str(), 0600), 0);
	EXPECT_TRUE(only_black_while_reread());

	auto destroy_at = fake::clock::now();
	fs = filtered_source();
	bool ended = wait_until([&] { return still_running(workers) == 0; },
				ms(10000));
	EXPECT_TRUE(ended) << "teardown hangs on a FIFO endpoint file ("
			   << elapsed(destroy_at).count() << " ms)";
	if (!ended) {
		for (endpoint ep : {endpoint::input, endpoint::output})
			release_fifo(ctl->endpoint_path(ep));
		ASSERT_TRUE(wait_until(
			[&] { return still_running(workers) == 0; }, LONG));
	}
	EXPECT_LE(elapsed(destroy_at), 5000ms);
}

TEST_F(SettingsFile, FifoDoesNotFreezeTheHost)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	allowed_log.push_back("Allocating 0 bytes");
	step = "FIFO settings file";
	remove_path(settings_path());
	ASSERT_EQ(mkfifo(settings_path().c_str(), 0600), 0);

	// The host's video clock must go on while the poll meets the FIFO.
	uint64_t start = obs_get_video_frame_time();
	bool moving = wait_until(
		[&] {
			return obs_get_video_frame_time() - start >= 2000000000;
		},
		ms(6000));
	EXPECT_TRUE(moving) << "the graphics thread hangs on a FIFO "
			       "settings file";
	if (!moving) {
		release_fifo(settings_path());
		ASSERT_TRUE(let_frame_time_pass(0.5));
	}
	show();
	remove_path(settings_path());
}

// ---------------------------------------------------------------------------
// Stress

TEST_F(Stress, TwentyInstancesOnOneController)
{
	// Forty frames a second in all: a sanitizer on two busy cores keeps
	// up with that.
	ctl->set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 500ms));
	ASSERT_TRUE(ctl->start());
	const size_t count = 20;
	for (size_t i = 0; i < count; i++) {
		more.push_back(make_filtered(pattern_kind::plain, FRAME_WIDTH,
					     FRAME_HEIGHT));
		ASSERT_NE(more.back().data(), nullptr);
	}
	step = "twenty instances";
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, count, LONG));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, count, LONG));
	for (size_t i = 0; i < count; i++) {
		SCOPED_TRACE("instance " + std::to_string(i));
		EXPECT_TRUE(render_until(shows_processed, LONG,
					 more[i].parent.get()));
	}
	// Every instance's captures reached the controller on a connection
	// of its own, and every instance took frames on its own. (A loaded
	// machine may have had a connection time out and come again.)
	auto with_frames = [&](endpoint ep) {
		size_t n = 0;
		for (auto &c : ctl->connections(ep))
			n += c.frames > 0;
		return n;
	};
	EXPECT_TRUE(ctl->wait(
		[&] {
			return with_frames(endpoint::input) >= count &&
			       with_frames(endpoint::output) >= count;
		},
		LONG));
	EXPECT_TRUE(ctl->wait(
		[&] {
			return ctl->open_count(endpoint::input) == count &&
			       ctl->open_count(endpoint::output) == count;
		},
		LONG))
		<< ctl->open_count(endpoint::input) << " and "
		<< ctl->open_count(endpoint::output) << " open";

	auto destroy_at = fake::clock::now();
	more.clear();
	EXPECT_TRUE(wait_until(
		[&] {
			return thread_count_but_controller() <=
			       threads_at_start;
		},
		LONG));
	std::cout << "twenty instances destroyed in "
		  << elapsed(destroy_at).count() << " ms\n";
	EXPECT_TRUE(ctl->wait(
		[&] { return ctl->open_count(endpoint::output) == 0; }, LONG));
}

TEST_F(Stress, TwoHundredCreateDestroyCyclesWhileTheControllerDrops)
{
	ctl->set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 40ms));
	ASSERT_TRUE(ctl->start());
	std::atomic<bool> done{false};
	std::atomic<int> drops{0};
	std::thread dropper([&] {
		pthread_setname_np(pthread_self(), "fakectl-dropper");
		while (!done) {
			std::this_thread::sleep_for(300ms);
			ctl->close_connections(drops % 2 ? endpoint::input
							 : endpoint::output);
			drops++;
		}
	});

#ifdef __SANITIZE_THREAD__
	// Under ThreadSanitizer each instance's frame buffers cost most of
	// a second of faults on their shadow memory; 60 cycles still
	// overlap with about a hundred drops.
	const int cycles = 60;
#else
	const int cycles = 200;
#endif
	// A few instances overlap: the host destroys released ones on a
	// thread of its own while the next ones start.
	std::deque<filtered_source> alive;
	int processed_seen = 0;
	auto start = fake::clock::now();
	for (int i = 0; i < cycles; i++) {
		step = "cycle " + std::to_string(i);
		alive.push_back(make_filtered(pattern_kind::plain, FRAME_WIDTH,
					      FRAME_HEIGHT));
		ASSERT_NE(alive.back().data(), nullptr);
		if (i % 4 == 0)
			processed_seen += shows_processed(
				show(alive.back().parent.get()));
		if (alive.size() > 4)
			alive.pop_front();
	}
	// The last instance, which lived through drops of its own, gets
	// frames once the drops stop, whichever of the shown ones were too
	// young to have any. (While connections are dropped every 300 ms,
	// four instances under a sanitizer on a loaded machine may not get a
	// whole frame drawn fresh for a long time.)
	while (alive.size() > 1)
		alive.pop_front();
	done = true;
	dropper.join();
	step = "the last instance";
	EXPECT_TRUE(
		render_until(shows_processed, LONG, alive.back().parent.get()));
	alive.clear();
	auto took = elapsed(start);
	std::cout << cycles << " cycles in " << took.count() << " ms, " << drops
		  << " drops, " << ctl->token_ok_count(endpoint::input) << " + "
		  << ctl->token_ok_count(endpoint::output) << " connections, "
		  << ctl->input_frame_count() << " frames in, processed drawn "
		  << processed_seen << " times\n";
	EXPECT_GE(ctl->token_ok_count(endpoint::output), size_t(cycles / 2));
	EXPECT_GT(ctl->input_frame_count(), 0u);
	// Every instance is gone, and its connections with it.
	EXPECT_TRUE(wait_until(
		[&] {
			return thread_count_but_controller() <=
			       threads_at_start;
		},
		ms(60000)));
	EXPECT_TRUE(ctl->wait(
		[&] { return ctl->open_count(endpoint::output) == 0; }, LONG));
}

TEST_F(Stress, ControllerKilledAndRestartedWhileFramesFlow)
{
	ctl->set_output_behavior(fake::output_behavior::echo(to_grey));
	ASSERT_TRUE(ctl->start());
	make_filter();
	const int restarts = 5;
	for (int i = 0; i < restarts; i++) {
		step = "run " + std::to_string(i);
		ASSERT_TRUE(round_trip_until()) << step;
		// Frames flow: a few more round trips.
		uint64_t in = ctl->input_frame_count();
		ASSERT_TRUE(render_until([&](const image &) {
			return ctl->input_frame_count() >= in + 3;
		}));

		step = "killed " + std::to_string(i);
		ctl->stop();
		// The picture goes with the connection: only its end clears
		// has_output, a frame that merely went stale leaves it set.
		EXPECT_TRUE(wait_until([&] { return !has_output(fs.data()); },
				       LONG));
		EXPECT_TRUE(render_until(is_opaque_black));
		EXPECT_TRUE(only_black_for(300ms));
		step = "restarted " + std::to_string(i);
		ASSERT_TRUE(ctl->restart());
	}
	EXPECT_TRUE(round_trip_until());
	std::cout << ctl->input_frame_count() << " frames in after " << restarts
		  << " restarts\n";
}

// ---------------------------------------------------------------------------
// Files

TEST_F(Files, SettingsFileIsOnlyEverReplacedWhole)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));
	std::atomic<bool> done{false};
	std::atomic<int> reads{0}, missing{0}, invalid{0};
	std::mutex seen_mutex;
	std::set<long long> fps_seen;
	std::thread reader([&] {
		while (!done) {
			auto text = read_text(settings_path());
			reads++;
			if (!text) {
				missing++;
				continue;
			}
			// Parsed without the host, whose parser logs every
			// failure: a whole file is one object ending in '}'.
			size_t first = text->find_first_not_of(" \t\r\n");
			size_t last = text->find_last_not_of(" \t\r\n");
			bool whole = first != std::string::npos &&
				     (*text)[first] == '{' &&
				     (*text)[last] == '}';
			data_ptr d(
				whole ? obs_data_create_from_json(text->c_str())
				      : nullptr);
			if (!d) {
				invalid++;
				continue;
			}
			std::lock_guard<std::mutex> guard(seen_mutex);
			fps_seen.insert(obs_data_get_int(d.get(), "fps"));
		}
	});

	step = "many changes";
	// The host passes changes on once per video frame: a pause after
	// each lets most of them reach the file.
	const int changes = 150;
	for (int i = 0; i < changes; i++) {
		change_settings(fs.filter.get(), [&](obs_data_t *d) {
			obs_data_set_int(d, "fps", 5 + i % 50);
			obs_data_set_string(
				d, "note",
				std::string(size_t(i % 7) * 4000, 'n').c_str());
		});
		if (i % 30 == 0)
			show();
		std::this_thread::sleep_for(10ms);
	}
	ASSERT_TRUE(wait_until([&] {
		data_ptr d(obs_data_create_from_json(
			read_text(settings_path()).value_or("").c_str()));
		return d && obs_data_get_int(d.get(), "fps") ==
				    5 + (changes - 1) % 50;
	}));
	done = true;
	reader.join();
	std::cout << reads << " reads, " << fps_seen.size()
		  << " fps values seen\n";
	EXPECT_GT(reads, 100);
	EXPECT_EQ(missing, 0) << "the file was missing while rewritten";
	EXPECT_EQ(invalid, 0) << "a partly written file was seen";
	EXPECT_GT(fps_seen.size(), 2u);
	EXPECT_FALSE(stdfs::exists(settings_path() + ".tmp"));
}

TEST_F(Files, AnnouncedReferenceImagesAreWhole)
{
	make_filter();
	show();
	ASSERT_GT(input_seq(fs.data()), 0u);
	ASSERT_TRUE(wait_until([&] { return stdfs::exists(settings_path()); },
			       LONG));

	// The controller learns of an image from "references" in the
	// settings file; whenever a new one appears there, it must already
	// be whole. A scan of the folder for images never finds one being
	// written either: it is written under a temporary name.
	std::atomic<bool> done{false};
	std::atomic<int> partial_announced{0}, partial_in_folder{0};
	std::set<std::string> announced;
	std::mutex announced_mutex;
	std::thread watcher([&] {
		while (!done) {
			auto text = read_text(settings_path());
			for (auto &path :
			     references_of(text.value_or("{}")).values) {
				{
					std::lock_guard<std::mutex> g(
						announced_mutex);
					if (!announced.insert(path).second)
						continue;
				}
				struct stat st;
				if (lstat(path.c_str(), &st) != 0 ||
				    !S_ISREG(st.st_mode) ||
				    size_t(st.st_size) != BMP_SIZE)
					partial_announced++;
			}
			for (auto &name : names_in(faces_dir())) {
				if (name.size() < 4 ||
				    name.compare(name.size() - 4, 4, ".bmp") !=
					    0)
					continue;
				struct stat st;
				std::string p = faces_dir() + "/" + name;
				if (stat(p.c_str(), &st) == 0 &&
				    size_t(st.st_size) < BMP_SIZE)
					partial_in_folder++;
			}
		}
	});

	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	const int presses = 4, requests = 4;
	for (int i = 0; i < presses; i++) {
		step = "button " + std::to_string(i);
		EXPECT_TRUE(
			obs_property_button_clicked(button, fs.filter.get()));
		show();
	}
	for (int i = 0; i < requests; i++) {
		step = "request " + std::to_string(i);
		size_t have = names_in(faces_dir()).size();
		// The file holds every reference so far before it is edited.
		ASSERT_TRUE(wait_until(
			[&] {
				return references_of(read_text(settings_path())
							     .value_or("{}"))
					       .values.size() ==
				       size_t(presses + i);
			},
			LONG));
		ASSERT_TRUE(controller_edits([&](obs_data_t *d) {
			obs_data_set_string(
				d, "capture_request",
				("capture-" + std::to_string(i)).c_str());
		}));
		ASSERT_TRUE(render_until([&](const image &) {
			return names_in(faces_dir()).size() > have;
		}));
	}
	ASSERT_TRUE(wait_until([&] {
		std::lock_guard<std::mutex> g(announced_mutex);
		return announced.size() >= size_t(presses + requests);
	}));
	done = true;
	watcher.join();
	EXPECT_EQ(partial_in_folder, 0)
		<< "a scan of the folder found an image being written";
	EXPECT_EQ(partial_announced, 0)
		<< "an image was named in the settings before it was whole";
	auto names = names_in(faces_dir());
	EXPECT_EQ(names.size(), size_t(presses + requests));
	for (auto &name : names) {
		struct stat st;
		std::string p = faces_dir() + "/" + name;
		ASSERT_EQ(lstat(p.c_str(), &st), 0);
		EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
		EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
		EXPECT_EQ(size_t(st.st_size), BMP_SIZE) << name;
	}
}

TEST_F(Files, CaptureNeverFollowsOrReplacesWhatIsPlantedAtItsName)
{
	make_filter();
	show();
	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	std::error_code ec;
	stdfs::create_directories(faces_dir(), ec);
	std::string outside = config_home() + "/outside";
	stdfs::create_directories(outside, ec);
	ASSERT_TRUE(stdfs::is_directory(outside));
	update_counter updates(fs.filter.get());
	std::string before = settings_json(fs.filter.get());

	struct plant_case {
		const char *what;
		plant::kind kind;
		std::string target;
	};
	std::string kept_file = outside + "/kept.bmp";
	ASSERT_TRUE(write_text(kept_file, "keep me"));
	const plant_case cases[] = {
		{"a link to a file outside", plant::kind::link_to_file,
		 kept_file},
		{"a dangling link to outside", plant::kind::dangling_link,
		 outside + "/new.bmp"},
		{"a file of someone else's", plant::kind::file, ""},
	};
	for (auto &c : cases) {
		step = c.what;
		SCOPED_TRACE(step);
		{
			std::lock_guard<std::mutex> g(plant::mutex);
			plant::link_target = c.target;
			plant::planted.clear();
		}
		plant::armed = c.kind;
		EXPECT_FALSE(
			obs_property_button_clicked(button, fs.filter.get()));
		std::vector<std::string> planted;
		{
			std::lock_guard<std::mutex> g(plant::mutex);
			planted = plant::planted;
		}
		ASSERT_EQ(planted.size(), 1u) << "nothing was planted";
		struct stat st;
		ASSERT_EQ(lstat(planted[0].c_str(), &st), 0)
			<< "what was planted is gone";
		if (c.kind == plant::kind::file) {
			EXPECT_TRUE(S_ISREG(st.st_mode));
			EXPECT_EQ(read_text(planted[0]).value_or(""),
				  "planted");
		} else {
			EXPECT_TRUE(S_ISLNK(st.st_mode));
		}
		EXPECT_EQ(read_text(kept_file).value_or(""), "keep me");
		EXPECT_FALSE(stdfs::exists(outside + "/new.bmp"));
		remove_path(planted[0]);
	}
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(fs.filter.get()), before);

	step = "nothing planted";
	EXPECT_TRUE(obs_property_button_clicked(button, fs.filter.get()));
	EXPECT_EQ(names_in(faces_dir()).size(), 1u);
	EXPECT_EQ(names_in(outside), std::vector<std::string>{"kept.bmp"});
}

TEST_F(Files, FacesFolderReplacedByALink)
{
	make_filter();
	show();
	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	std::error_code ec;
	stdfs::create_directories(module_config_dir(), ec);
	std::string outside = config_home() + "/elsewhere";
	remove_path(outside);

	// A link to a folder that does not exist: the capture fails quietly
	// and creates nothing there.
	step = "dangling faces link";
	ASSERT_EQ(symlink(outside.c_str(), faces_dir().c_str()), 0);
	update_counter updates(fs.filter.get());
	EXPECT_FALSE(obs_property_button_clicked(button, fs.filter.get()));
	EXPECT_FALSE(stdfs::exists(outside));
	EXPECT_EQ(updates.count, 0);

	// A link to an existing folder is the user's own way to keep the
	// images elsewhere: the image goes there, written as anywhere else
	// (a new file, for its owner only), and the reference names it by
	// the faces path.
	step = "faces link to a folder";
	stdfs::create_directories(outside, ec);
	EXPECT_TRUE(obs_property_button_clicked(button, fs.filter.get()));
	auto names = names_in(outside);
	ASSERT_EQ(names.size(), 1u);
	struct stat st;
	ASSERT_EQ(lstat((outside + "/" + names[0]).c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(size_t(st.st_size), BMP_SIZE);
	auto refs = references_of(settings_json(fs.filter.get())).values;
	ASSERT_EQ(refs.size(), 1u);
	EXPECT_EQ(refs[0], faces_dir() + "/" + names[0]);
	remove_path(faces_dir());
	remove_path(outside);
}
