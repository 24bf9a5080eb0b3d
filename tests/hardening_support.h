// Shared ground of the hardening tests (test_hardening_*.cpp), in the real
// host against the fake controller: the fixture every case runs in, with
// the checks that close each one, and the hostile listeners and broken
// files that the cases put in the module's way.
#pragma once

#include "fake_controller.h"
#include "file_hooks.h"
#include "host.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------
// Files planted at the very name a capture is about to create. The module
// names its images by the clock, so nothing can be put there in advance;
// when armed, the open() hook plants the file just before the module's
// exclusive create.

namespace plant {

enum class kind { none, dangling_link, link_to_file, file };
extern std::atomic<kind> armed;
extern std::mutex mutex;
extern std::string link_target; // for the links
extern std::vector<std::string> planted;

void at(const char *path);
void hook(const char *path, int flags);

} // namespace plant

namespace hardening {

using namespace qm_test;
using namespace std::chrono_literals;
using fake::endpoint;
namespace stdfs = std::filesystem;
using ms = std::chrono::milliseconds;

// Generous: two loaded cores, perhaps a sanitizer; waits end as soon as
// their condition holds.
constexpr auto LONG = ms(60000);
constexpr size_t BMP_SIZE = 3686454;

ms since(fake::clock::time_point from, fake::clock::time_point to);
ms elapsed(fake::clock::time_point from);
fake::bytes pixels_of(const image &img);
fake::bytes processed_pixels(const palette &colours = PROCESSED_PALETTE);

// The controller's stand-in processing: every pixel turns grey. The
// source's red, green and blue become grey 85 and its yellow grey 170, so
// a processed capture is told apart from the source and from black.
void to_grey(fake::bytes &p);
// A fake controller that greys each capture and, as one that is up keeps
// sending, sends the latest again while no new one is ready: under a
// sanitizer on a busy machine greying a frame can take longer than the
// second after which the module drops a silent connection.
fake::output_behavior greying_echo();
constexpr bgra GREY_85{85, 85, 85, 255};
constexpr bgra GREY_170{170, 170, 170, 255};
constexpr palette GREYED_SOURCE{{GREY_85, GREY_85, GREY_85, GREY_170}};

// A file of random bytes.
bool write_random(const std::string &path, size_t size);

// Valid JSON up to a string value that runs for size bytes and never ends.
bool write_unterminated_json(const std::string &path, const std::string &head,
			     size_t size);

void remove_path(const std::string &path);

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

const char *broken_name(broken b);

// A folder is left out: libobs takes a folder's seek end for its size,
// which the cases below run in a process of their own.
const broken ALL_BROKEN[] = {broken::huge_random, broken::huge_unfinished,
			     broken::dangling_link, broken::link_loop,
			     broken::device};
constexpr size_t HUGE_SIZE = 50u << 20;

// Puts b at path; json_head starts the unfinished JSON.
bool place_broken(const std::string &path, broken b,
		  const std::string &json_head);

// A port on 127.0.0.1 that refuses connections: bound, never listening,
// so that nobody else takes it meanwhile.
struct refusing_port {
	int fd = -1;
	uint16_t port = 0;
	refusing_port();
	~refusing_port();
};

// A listener that ends every connection at once, by a close or by a reset
// (SO_LINGER 0), before or after reading the token.
enum class hangup {
	close_at_once,
	reset_at_once,
	close_after_token,
	reset_after_token
};

const char *hangup_name(hangup h);

class hanging_up_listener {
public:
	explicit hanging_up_listener(hangup how);
	~hanging_up_listener();
	uint16_t port() const { return port_; }
	int accepted() const { return accepted_; }
	int tokens() const { return tokens_; }

private:
	void run();

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

bool in_child();

// Runs the current test again in a process of its own and checks that it
// ends, and ends well, within the deadline.
void run_in_child();

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

} // namespace hardening
