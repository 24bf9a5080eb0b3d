// A headless libobs host for the programs that run the module without OBS
// Studio (tests, demo, benchmark): starts libobs on the X11 EGL platform
// with the OpenGL renderer, loads the module, captures the log, offers
// test-pattern sources (still, moving and webcam-like) and reads back what
// a source draws.
#pragma once

#include "common.h"

#include <obs.h>
#include <util/base.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qm_host {

constexpr const char *FILTER_ID = "quilmar_direct_filter_experiment";

// ---------------------------------------------------------------------------
// Start-up and teardown

struct host_config {
	// Video frames per second of the host's graphics thread.
	uint32_t fps = 60;
	// The module to load; empty loads none (a program that links the
	// module's core registers its filter itself).
	std::string module_path;
	// Log lines at this level or more severe are echoed to stderr.
	int echo_level = LOG_WARNING;
	// Runs once libobs is up, the pattern sources are registered and the
	// module is loaded.
	std::function<void()> after_startup;
	// Keeps every library loaded at start-up mapped until the process
	// ends, so that leak reports written at exit can name them.
	bool pin_libraries = true;
};

// Creates a fresh temporary folder named after prefix and makes it
// XDG_CONFIG_HOME of this process. Call it before start: module threads
// read the environment, so it must not change while they run.
bool make_config_home(const char *prefix, std::string *error);
// The folder made by make_config_home (empty before).
const std::string &config_home();
// The module's configuration folder below config_home().
std::string module_config_dir();
// Removes the folder made by make_config_home with everything in it.
void remove_config_home();

// Starts libobs headless at 1280x720 and config.fps. False with a reason
// in *error when it cannot.
bool start(const host_config &config, std::string *error);
// Shuts libobs down and returns how many allocations it still counts
// (0 when nothing leaked).
long stop();

// ---------------------------------------------------------------------------
// Log capture

struct log_line {
	int level;
	std::string text;
};

void clear_log();
std::vector<log_line> log_lines();
std::vector<log_line> log_lines_containing(const std::string &needle);
// The lines the module writes: all of them carry "Quilmar".
std::vector<log_line> module_log_lines();

// ---------------------------------------------------------------------------
// Colours, patterns and images (BGRA, rows top to bottom)

struct bgra {
	uint8_t b, g, r, a;
	bool operator==(const bgra &o) const
	{
		return b == o.b && g == o.g && r == o.r && a == o.a;
	}
	bool operator!=(const bgra &o) const { return !(*this == o); }
};

std::string to_string(const bgra &c);
bool near(const bgra &x, const bgra &y, int tolerance = 2);

constexpr bgra RED{0, 0, 255, 255};
constexpr bgra GREEN{0, 255, 0, 255};
constexpr bgra BLUE{255, 0, 0, 255};
constexpr bgra YELLOW{0, 255, 255, 255};
constexpr bgra CYAN{255, 255, 0, 255};
constexpr bgra MAGENTA{255, 0, 255, 255};
constexpr bgra WHITE{255, 255, 255, 255};
constexpr bgra GREY{128, 128, 128, 255};
constexpr bgra OPAQUE_BLACK{0, 0, 0, 255};

// Four regions split at a quarter of the width and a third of the height,
// so that a shift, a crop or an aspect-keeping fit moves the borders:
// colours[0] top left, [1] top right, [2] bottom left, [3] bottom right.
struct palette {
	bgra colours[4];
};
// What the still test-pattern sources show.
constexpr palette SOURCE_PALETTE{{RED, GREEN, BLUE, YELLOW}};
// For frames that stand in for the controller's processed pictures.
constexpr palette PROCESSED_PALETTE{{CYAN, MAGENTA, WHITE, GREY}};

struct image {
	uint32_t width = 0;
	uint32_t height = 0;
	uint32_t pitch = 0;
	std::vector<uint8_t> pixels;

	bgra at(uint32_t x, uint32_t y) const;
};

// The still pattern at width x height, tightly packed.
image make_pattern(uint32_t width, uint32_t height,
		   const palette &colours = SOURCE_PALETTE);
// The colour the still pattern has at pixel (x, y) when stretched over a
// box of width x height.
bgra pattern_colour(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
		    const palette &colours = SOURCE_PALETTE);
// Empty when img shows the still pattern stretched over its whole size
// (pixels within margin of a region border are not compared, as filtering
// blends them); otherwise a description of the first difference.
std::string pattern_mismatch(const image &img,
			     const palette &colours = SOURCE_PALETTE,
			     uint32_t margin = 6);

bool contains_colour(const image &img, const bgra &colour);
// Whether any pixel shows one of the palette's colours.
bool contains_any(const image &img, const palette &colours = SOURCE_PALETTE);
// Whether every pixel is exactly colour.
bool is_all(const image &img, const bgra &colour);
bool is_opaque_black(const image &img);

// ---------------------------------------------------------------------------
// The moving pattern: scrolling colour bars that darken towards the top, a
// bouncing ball and a clock hand, with the frame number stamped into the
// top left corner as a row of STAMP_BLOCK-sized coloured blocks. The
// blocks sit on a STAMP_BLOCK grid from (0, 0), so pixelation with that
// block size (or a divisor of it) keeps the stamp readable and what a
// filter shows can be traced back to the frame it was made from.

constexpr uint32_t STAMP_BLOCK = 32;
// Frame numbers are stamped modulo this.
constexpr uint64_t STAMP_MODULUS = uint64_t(1) << 24;

// Frame n of the moving pattern at width x height (at least 512 x 128).
// fps sets the speed of the clock hand: one turn per two seconds.
image make_moving_frame(uint64_t n, uint32_t width, uint32_t height,
			uint32_t fps = 30);
// The frame number stamped into img; false when img carries no stamp.
bool read_stamp(const image &img, uint64_t *n);

// When each frame of a moving source was made, for the most recent
// frames. Thread-safe.
struct frame_times {
	static constexpr size_t SLOTS = 4096;
	void record(uint64_t n, uint64_t time_ns);
	// 0 when frame n (taken modulo STAMP_MODULUS) is not among the recent
	// ones.
	uint64_t time_of(uint64_t n) const;

private:
	mutable std::mutex mutex_;
	uint64_t frame_[SLOTS] = {};
	uint64_t time_[SLOTS] = {};
};

// ---------------------------------------------------------------------------
// Owned host references

struct source_release {
	void operator()(obs_source_t *s) const { obs_source_release(s); }
};
using source_ptr = std::unique_ptr<obs_source_t, source_release>;

struct data_release {
	void operator()(obs_data_t *d) const { obs_data_release(d); }
};
using data_ptr = std::unique_ptr<obs_data_t, data_release>;

struct properties_destroy {
	void operator()(obs_properties_t *p) const
	{
		obs_properties_destroy(p);
	}
};
using properties_ptr = std::unique_ptr<obs_properties_t, properties_destroy>;

// ---------------------------------------------------------------------------
// Test-pattern sources

enum class pattern_kind {
	plain,       // synchronous still, draws with the effect it is given
	custom_draw, // synchronous still, draws itself with the default effect
	async,       // asynchronous, shows frames pushed to it like a webcam
	moving,      // synchronous, the next moving frame on every video tick
};

constexpr const char *PATTERN_ID = "qm_test_pattern";
constexpr const char *PATTERN_CUSTOM_DRAW_ID = "qm_test_pattern_custom_draw";
constexpr const char *PATTERN_ASYNC_ID = "qm_test_pattern_async";
constexpr const char *PATTERN_MOVING_ID = "qm_test_pattern_moving";

const char *pattern_id(pattern_kind kind);

// A private pattern source of the given size (settings "width" and
// "height"; a moving one also "fps"). An asynchronous one has no picture
// until a frame is pushed.
source_ptr create_pattern(pattern_kind kind, uint32_t width, uint32_t height,
			  const char *name = "qm test pattern");

// When a moving source made its frames (null for other sources).
const frame_times *moving_frame_times(obs_source_t *source);

// Hands an asynchronous source one frame, as a capture device does.
void push_frame(obs_source_t *source, const image &frame);
void push_pattern_frame(obs_source_t *source, uint32_t width, uint32_t height,
			const palette &colours = SOURCE_PALETTE);

// Pushes moving frames 0, 1, 2, ... into an asynchronous source at fps
// from a thread of its own, as a webcam delivers them, until stopped or
// destroyed.
struct webcam_feeder {
	webcam_feeder(obs_source_t *source, uint32_t width, uint32_t height,
		      uint32_t fps);
	// The same with frames of another making: make(n) is frame n.
	webcam_feeder(obs_source_t *source, uint32_t fps,
		      std::function<image(uint64_t n)> make);
	~webcam_feeder();
	webcam_feeder(const webcam_feeder &) = delete;
	webcam_feeder &operator=(const webcam_feeder &) = delete;

	void stop();
	uint64_t frames_pushed() const { return pushed_.load(); }
	// When each frame was pushed.
	const frame_times &times() const { return times_; }

private:
	void run(obs_source_t *source, uint32_t fps,
		 const std::function<image(uint64_t n)> &make);

	std::atomic<bool> stop_{false};
	std::atomic<uint64_t> pushed_{0};
	frame_times times_;
	std::thread thread_;
};

// A pattern source with one filter attached. Removes and releases both
// when it goes out of scope.
struct filtered_source {
	source_ptr parent;
	source_ptr filter;

	filtered_source() = default;
	filtered_source(filtered_source &&) = default;
	filtered_source &operator=(filtered_source &&) = default;
	~filtered_source();

	// The filter's instance record, or null when creation failed.
	direct_filter_data *data() const;
};

filtered_source make_filtered(pattern_kind kind, uint32_t width,
			      uint32_t height,
			      const char *filter_id = FILTER_ID,
			      obs_data_t *filter_settings = nullptr);

// ---------------------------------------------------------------------------
// Rendering and reading back

// Runs fn on the host's graphics thread inside its graphics context,
// between the sources' tick and the rest of the frame, as the host runs
// render callbacks. False when it did not run within the deadline.
bool run_on_graphics_thread(
	const std::function<void()> &fn,
	std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Renders source at the origin into texrender at width x height (cleared
// transparent, blending reset) and reads what it drew into img through
// stage, a staging surface of that size. Inside the graphics context.
bool render_into(obs_source_t *source, gs_texrender_t *texrender,
		 gs_stagesurf_t *stage, uint32_t width, uint32_t height,
		 image &img);

// Renders source (and with it its filters) into a cleared, transparent
// off-screen target of width x height, the source's own size when 0 is
// given (1280x720 when the source has no size), and returns what was
// drawn. Empty on failure.
image render_and_read(obs_source_t *source, uint32_t width = 0,
		      uint32_t height = 0);

// Renders source count times without reading back.
void render_times(obs_source_t *source, int count);

// The instance's input frame and sequence number, read together under
// its lock.
image copy_input_frame(direct_filter_data *data, uint64_t *seq = nullptr);
uint64_t input_seq(direct_filter_data *data);

// Places a processed frame into the instance as its receiver does: under
// the lock, with has_output set and output_time stamped (now by default).
void set_output_frame(direct_filter_data *data, const image &frame,
		      uint64_t output_time = 0);
void clear_output_frame(direct_filter_data *data);

// Ends the instance's workers as destroy begins to (the stop flag) and
// waits until both have ended, so that afterwards only the caller changes
// the output frame: the receiver clears has_output whenever it has no
// controller connection. Rendering goes on as before; destroy still joins
// the ended threads. False when they did not end within the deadline.
bool quiet_workers(direct_filter_data *data);

// ---------------------------------------------------------------------------
// Waiting and process state

bool wait_until(const std::function<bool()> &condition,
		std::chrono::milliseconds deadline = std::chrono::seconds(10),
		std::chrono::milliseconds step = std::chrono::milliseconds(5));

// Threads of this process right now (entries of /proc/self/task).
int thread_count();

// The host destroys released sources later, on threads of its own. Waits
// until the process has no more threads than count, which after releasing
// filters means that their workers have been joined.
bool wait_for_thread_count(int count, std::chrono::milliseconds deadline =
					      std::chrono::seconds(10));

} // namespace qm_host
