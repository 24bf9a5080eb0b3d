// Whom the filter talks to, inside the real host. A controller stops and
// leaves its endpoint files behind; another user takes its ports
// (tests/stranger_listener.py, as nobody). That listener must never get a
// byte, the picture stays black, and each endpoint file is reported once.
// A listener of the filter's own user (the fake controller, root like the
// tests) still gets the token and serves the picture.
#include "fake_controller.h"
#include "host.h"
#include "stranger_report.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

using namespace qm_test;
using fake::endpoint;

namespace {

constexpr auto LONG = std::chrono::milliseconds(60000);

// tests/stranger_listener.py running as nobody on given ports; what it
// saw is read back from its report.
class stranger {
public:
	explicit stranger(const std::vector<uint16_t> &ports) : ports_(ports)
	{
		report_fd_ = mkstemp(report_);
		if (report_fd_ < 0)
			return;
		std::vector<std::string> args = {"python3", QM_STRANGER_SCRIPT,
						 "nobody"};
		for (uint16_t port : ports)
			args.push_back(std::to_string(port));
		std::vector<char *> argv;
		for (auto &a : args)
			argv.push_back(&a[0]);
		argv.push_back(nullptr);
		posix_spawn_file_actions_t actions;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_adddup2(&actions, report_fd_, 1);
		if (posix_spawnp(&pid_, "python3", &actions, nullptr,
				 argv.data(), environ) != 0)
			pid_ = -1;
		posix_spawn_file_actions_destroy(&actions);
	}
	~stranger()
	{
		if (pid_ > 0) {
			kill(pid_, SIGTERM);
			waitpid(pid_, nullptr, 0);
		}
		if (report_fd_ >= 0) {
			close(report_fd_);
			unlink(report_);
		}
	}
	stranger(const stranger &) = delete;
	stranger &operator=(const stranger &) = delete;

	// Whether it listens on every port it was given.
	bool listening()
	{
		return pid_ > 0 && wait_until(
					   [&] {
						   return count("listening") ==
							  ports_.size();
					   },
					   LONG);
	}
	// Connections to port that the other side has closed.
	size_t closed(uint16_t port) { return count("closed", port); }
	// Every byte that reached it, on any port.
	size_t bytes() { return count("bytes"); }

private:
	size_t count(const std::string &what, long port = -1)
	{
		std::ifstream in(report_);
		std::stringstream text;
		text << in.rdbuf();
		return stranger_report::count(text.str(), what, port);
	}

	std::vector<uint16_t> ports_;
	char report_[32] = "/tmp/qm-stranger.XXXXXX";
	int report_fd_ = -1;
	pid_t pid_ = -1;
};

size_t stranger_reports(const char *name)
{
	return log_lines_containing(stranger_report::module_warning(name))
		.size();
}

class PeerCheck : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP() << "only root can run a listener as "
					"another user";
		clear_log();
		threads_at_start = thread_count();
		ctl = std::make_unique<fake::controller>(module_config_dir());
		// A controller ran and stopped: its endpoint files stay,
		// naming ports that anyone may take now.
		ASSERT_TRUE(ctl->start());
		ctl->stop();
		ports = {ctl->port(endpoint::input),
			 ctl->port(endpoint::output)};
	}

	void TearDown() override
	{
		if (!ctl)
			return;
		ctl->stop();
		fs = filtered_source();
		ctl.reset();
		EXPECT_TRUE(wait_for_thread_count(threads_at_start, LONG));
		for (auto &line : module_log_lines())
			EXPECT_NE(
				line.text.find("does not belong to this user"),
				std::string::npos)
				<< "unexpected module log line: " << line.text;
	}

	image render() { return render_and_read(fs.parent.get()); }

	// Renders while the stranger takes n connections on each port and
	// sees each closed; every picture meanwhile must be black.
	void render_black_while(stranger &other, size_t n)
	{
		size_t pictures = 0, black = 0;
		EXPECT_TRUE(wait_until(
			[&] {
				pictures++;
				black += is_opaque_black(render());
				return other.closed(ports[0]) >= n &&
				       other.closed(ports[1]) >= n;
			},
			LONG));
		EXPECT_EQ(black, pictures);
	}

	std::unique_ptr<fake::controller> ctl;
	std::vector<uint16_t> ports;
	filtered_source fs;
	int threads_at_start = 0;
};

TEST_F(PeerCheck, AnotherUsersListenerGetsNoByteAndThePictureStaysBlack)
{
	stranger other(ports);
	ASSERT_TRUE(other.listening());
	fs = make_filtered(pattern_kind::plain, FRAME_WIDTH, FRAME_HEIGHT);
	ASSERT_NE(fs.data(), nullptr);

	// Attempt after attempt, 250 ms apart, each closed unwritten while
	// the source has frames to send.
	render_black_while(other, 4);
	EXPECT_EQ(other.bytes(), 0u);
	EXPECT_EQ(stranger_reports("filter-input"), 1u);
	EXPECT_EQ(stranger_reports("direct-output"), 1u);
}

TEST_F(PeerCheck, ThisUsersListenerStillWorksAndEndsTheReport)
{
	fs = make_filtered(pattern_kind::plain, FRAME_WIDTH, FRAME_HEIGHT);
	ASSERT_NE(fs.data(), nullptr);
	{
		stranger other(ports);
		ASSERT_TRUE(other.listening());
		render_black_while(other, 2);
		EXPECT_EQ(other.bytes(), 0u);
	}

	// The controller is back, as this user, on the same ports.
	ASSERT_TRUE(ctl->restart());
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	ASSERT_TRUE(ctl->wait_input_frames(1, LONG));
	image processed =
		make_pattern(FRAME_WIDTH, FRAME_HEIGHT, PROCESSED_PALETTE);
	EXPECT_TRUE(ctl->post_frames_until(
		fake::bytes(processed.pixels.begin(), processed.pixels.end()),
		[&] {
			return pattern_mismatch(render(), PROCESSED_PALETTE)
				.empty();
		},
		LONG));
	EXPECT_EQ(stranger_reports("filter-input"), 1u);
	EXPECT_EQ(stranger_reports("direct-output"), 1u);

	// Gone again, and a stranger in its place: reported once more.
	ctl->stop();
	stranger again(ports);
	ASSERT_TRUE(again.listening());
	render_black_while(again, 2);
	EXPECT_EQ(again.bytes(), 0u);
	EXPECT_EQ(stranger_reports("filter-input"), 2u);
	EXPECT_EQ(stranger_reports("direct-output"), 2u);
}

} // namespace
