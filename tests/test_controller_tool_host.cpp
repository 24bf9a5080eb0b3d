// The stand-in controller against the real module in the headless host:
// the filter's picture turns from black to the tool's pixelation of the
// source, and back to black once the tool has gone.

#include "host.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

using namespace qm_test;

namespace {

// The pattern's regions meet at a third of the height (row 240), inside
// the 32-row block that starts at row 224: pixelation blends red and blue
// there, a colour that neither the source nor black has.
constexpr uint32_t BLEND_X = 10, BLEND_Y = 230;
constexpr bgra RED_BLUE_BLEND{128, 0, 128, 255};

pid_t start_tool(const std::string &dir)
{
	pid_t pid = fork();
	if (pid == 0) {
		execl(QM_CONTROLLER_PATH, QM_CONTROLLER_PATH, "--config-dir",
		      dir.c_str(), "--quiet", "--ignore-settings", "--fps",
		      "30", "--duration", "300", static_cast<char *>(nullptr));
		_exit(127);
	}
	return pid;
}

// SIGTERM, then the exit code; -1 when it did not end in time.
int stop_tool(pid_t pid)
{
	kill(pid, SIGTERM);
	int status = 0;
	bool ended = wait_until(
		[&] { return waitpid(pid, &status, WNOHANG) == pid; },
		std::chrono::seconds(20));
	if (!ended) {
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
		return -1;
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool shows_pixelation(const image &img)
{
	return img.width == 1280 && img.height == 720 &&
	       near(img.at(BLEND_X, BLEND_Y), RED_BLUE_BLEND, 3) &&
	       img.at(0, 224) == img.at(31, 255);
}

} // namespace

TEST(ControllerToolWithModule, FilterShowsThePixelatedSourceOnlyWhileItRuns)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 1280, 720);
	ASSERT_NE(fs.data(), nullptr);
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));

	std::string dir = module_config_dir();
	pid_t tool = start_tool(dir);
	ASSERT_GT(tool, 0);
	image shown;
	bool pixelated = wait_until(
		[&] {
			shown = render_and_read(fs.parent.get());
			return shows_pixelation(shown);
		},
		std::chrono::seconds(30), std::chrono::milliseconds(20));
	EXPECT_TRUE(pixelated)
		<< "at the red/blue border: "
		<< to_string(shown.width ? shown.at(BLEND_X, BLEND_Y)
					 : OPAQUE_BLACK);

	EXPECT_EQ(stop_tool(tool), 0);
	namespace fs_ = std::filesystem;
	EXPECT_FALSE(fs_::exists(fs_::path(dir) / "filter-input.endpoint"));
	EXPECT_FALSE(fs_::exists(fs_::path(dir) / "direct-output.endpoint"));
	EXPECT_TRUE(wait_until(
		[&] {
			return is_opaque_black(
				render_and_read(fs.parent.get()));
		},
		std::chrono::seconds(20), std::chrono::milliseconds(20)));
}
