// A headless libobs host for the integration tests: starts libobs on the
// X11 EGL platform with the OpenGL renderer, loads the module from the
// build tree, captures the log, offers test-pattern sources and reads back
// what a source draws.
#pragma once

#include "common.h"

#include <obs.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm_test {

constexpr const char *FILTER_ID = "quilmar_direct_filter_experiment";

// ---------------------------------------------------------------------------
// Start-up and teardown

struct host_options {
	// Load quilmar-direct.so from the build tree. Tests that link the
	// module's core directly register its filter themselves instead.
	bool load_module = true;
	// Runs once libobs is up and the test sources are registered.
	std::function<void()> after_startup;
};

// Starts libobs once for the whole test program and shuts it down at the
// end, failing the run when libobs still counts allocations then.
class host_environment : public ::testing::Environment {
public:
	explicit host_environment(host_options options = {});
	void SetUp() override;
	void TearDown() override;

private:
	host_options options_;
};

// InitGoogleTest, the host environment and RUN_ALL_TESTS in one call.
int run_all_tests(int argc, char **argv, host_options options = {});

// XDG_CONFIG_HOME of this process: a fresh temporary folder, set once
// before libobs starts and removed after it has shut down.
const std::string &config_home();
// The module's configuration folder below config_home().
std::string module_config_dir();

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
// What the test-pattern sources show.
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

// The pattern at width x height, tightly packed.
image make_pattern(uint32_t width, uint32_t height,
		   const palette &colours = SOURCE_PALETTE);
// The colour the pattern has at pixel (x, y) when stretched over a box of
// width x height.
bgra pattern_colour(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
		    const palette &colours = SOURCE_PALETTE);
// Empty when img shows the pattern stretched over its whole size (pixels
// within margin of a region border are not compared, as filtering blends
// them); otherwise a description of the first difference.
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
	plain,       // synchronous, draws with the effect it is given
	custom_draw, // synchronous, draws itself with the default effect
	async,       // asynchronous, shows frames pushed to it like a webcam
};

constexpr const char *PATTERN_ID = "qm_test_pattern";
constexpr const char *PATTERN_CUSTOM_DRAW_ID = "qm_test_pattern_custom_draw";
constexpr const char *PATTERN_ASYNC_ID = "qm_test_pattern_async";

const char *pattern_id(pattern_kind kind);

// A private pattern source of the given size (settings "width" and
// "height"). An asynchronous one has no picture until a frame is pushed.
source_ptr create_pattern(pattern_kind kind, uint32_t width, uint32_t height,
			  const char *name = "qm test pattern");

// Hands an asynchronous source one frame, as a capture device does.
void push_frame(obs_source_t *source, const image &frame);
void push_pattern_frame(obs_source_t *source, uint32_t width, uint32_t height,
			const palette &colours = SOURCE_PALETTE);

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
// waits until both have ended, so that afterwards only the test changes
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

} // namespace qm_test
