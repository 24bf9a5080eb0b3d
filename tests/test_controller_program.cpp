// The controller program driven from outside as the filter drives it:
// command line, configuration folder, endpoint files and token, frames
// through the look-ahead buffer, settings, signals, and peers that
// misbehave. The one case that needs frames processed in real time runs
// in the plain build only ("heavy").

#include "controller-process.h"
#include "qr-scene.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>
#include <regex>
#include <thread>

using namespace qm_ctl;

namespace {

// A started controller with a settings file written first.
struct session {
	temp_dir dir;
	std::unique_ptr<controller_process> ctl;
	endpoint in, out;

	void start(const std::string &settings_json,
		   std::vector<std::string> args = {},
		   const std::map<std::string, const char *> &env = {})
	{
		if (!settings_json.empty())
			write_whole(dir.path / "settings.json", settings_json);
		args.insert(args.begin(), {"--config-dir", dir.path.string()});
		ctl = std::make_unique<controller_process>(args, dir.path, env);
		ASSERT_TRUE(wait_endpoints(dir.path, in, out))
			<< ctl->std_err();
	}
};

// Sends scene frames at fps from a thread of its own, as the filter's
// sender does, until stopped or the connection fails; slower when the
// machine is too busy for fps.
struct feeder {
	std::atomic<bool> done{false};
	std::atomic<uint64_t> sent{0};
	std::thread thread;

	feeder(int fd, double fps)
	{
		thread = std::thread([this, fd, fps] {
			const auto period =
				std::chrono::microseconds(int64_t(1e6 / fps));
			auto next = clock_type::now();
			for (uint64_t n = 0; !done; n++) {
				if (!send_frame(fd, qm_scene::scene_frame(n)))
					break;
				sent++;
				// Late frames are not made up for in a burst:
				// frame numbers never run ahead of fps.
				next = std::max(next + period,
						clock_type::now());
				std::this_thread::sleep_until(next);
			}
		});
	}
	~feeder()
	{
		done = true;
		thread.join();
	}
};

// A received frame: whether its codes can be read, and, when it is not
// wholly obscured, the frame itself for the pixel check, which waits for
// the run's figures.
struct verdict {
	bool stamped = false; // false: wholly obscured
	uint64_t n = 0;
	size_t readable_codes = 0;
	cv::Mat pixels;
};

verdict check(const cv::Mat &got)
{
	verdict v;
	v.readable_codes = qm_scene::decode_qr(got).size();
	v.stamped = qm_scene::read_scene_stamp(got, &v.n);
	if (v.stamped)
		v.pixels = got.clone();
	return v;
}

} // namespace

TEST(ControllerProgram, HelpExplainsEveryOptionAndSetting)
{
	temp_dir dir;
	controller_process ctl({"--help"}, dir.path);
	ASSERT_EQ(ctl.wait_exit(), 0);
	std::string help = ctl.std_out();
	for (const char *word :
	     {"--config-dir", "--buffer-mb", "--status-every", "--quiet",
	      "--help", "\"delay\"", "\"fps\"", "\"worker_enabled\"",
	      "\"qr_enabled\"", "obscured", "systemctl --user"})
		EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(ControllerProgram, BadArgumentsExitTwoAndPublishNothing)
{
	const std::vector<std::vector<std::string>> cases = {
		{"--no-such-option"},    {"stray"},
		{"--buffer-mb", "99"},   {"--buffer-mb", "1.5"},
		{"--buffer-mb", "lots"}, {"--status-every", "0"},
		{"--status-every"},      {"--quiet=yes"},
		{"--config-dir="},
	};
	for (const auto &c : cases) {
		temp_dir dir;
		std::vector<std::string> args = c;
		args.push_back("--config-dir=" + dir.path.string());
		controller_process ctl(args, dir.path);
		EXPECT_EQ(ctl.wait_exit(), 2) << c[0];
		EXPECT_NE(ctl.std_err().find("error"), std::string::npos)
			<< c[0];
		EXPECT_FALSE(fs::exists(dir.path / "filter-input.endpoint"))
			<< c[0];
	}
}

TEST(ControllerProgram, FindsTheConfigurationFolderLikeTheFilter)
{
	temp_dir dir;
	const fs::path tail = "obs-studio/plugin_config/quilmar-direct";
	std::string xdg = (dir.path / "xdg").string();
	std::string home = (dir.path / "home").string();
	struct env_case {
		const char *xdg;
		fs::path expected;
		int signal;
	};
	for (const env_case &c :
	     {env_case{xdg.c_str(), dir.path / "xdg" / tail, SIGTERM},
	      env_case{nullptr, dir.path / "home/.config" / tail, SIGINT},
	      env_case{"", dir.path / "home/.config" / tail, SIGTERM},
	      env_case{"relative", dir.path / "home/.config" / tail,
		       SIGTERM}}) {
		controller_process ctl({"--quiet"}, dir.path,
				       {{"XDG_CONFIG_HOME", c.xdg},
					{"HOME", home.c_str()}});
		endpoint in, out;
		ASSERT_TRUE(wait_endpoints(c.expected, in, out))
			<< "XDG_CONFIG_HOME=" << (c.xdg ? c.xdg : "(unset)");
		EXPECT_EQ(in.token, out.token);
		EXPECT_NE(in.port, out.port);
		for (const char *name :
		     {"filter-input.endpoint", "direct-output.endpoint"}) {
			struct stat st;
			ASSERT_EQ(stat((c.expected / name).c_str(), &st), 0);
			EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
		}
		EXPECT_EQ(ctl.stop(c.signal), 0);
		EXPECT_FALSE(fs::exists(c.expected / "filter-input.endpoint"));
		EXPECT_FALSE(fs::exists(c.expected / "direct-output.endpoint"));
		EXPECT_NE(ctl.std_out().find("frames_in=0 "),
			  std::string::npos);
		fs::remove_all(dir.path / "xdg");
		fs::remove_all(dir.path / "home");
	}
}

namespace {

constexpr double FEED_FPS = 20;

// The moving scene fed through the controller at FEED_FPS, "fps" 10, until
// a dozen frames have come back and at least want_processed of them were
// not wholly obscured; then every frame is judged. Which frames are
// processed depends on the machine's speed, so only a test that asks for
// them needs the detectors to keep up.
void run_scene(size_t want_processed)
{
	session s;
	s.start(R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0, "fps": 10})",
		{"--status-every", "0.2"});
	sock out = connect_with(s.out.port, s.out.token);
	sock in = connect_with(s.in.port, s.in.token);
	ASSERT_GE(out.fd, 0);
	ASSERT_GE(in.fd, 0);
	auto start = clock_type::now();
	std::vector<verdict> seen;
	size_t processed = 0;
	double fed_s = 0;
	{
		feeder feed(in.fd, FEED_FPS);
		cv::Mat frame;
		ASSERT_EQ(recv_frame(out.fd, frame, DEADLINE), got::data);
		// Nothing can come back before the look-ahead has passed.
		EXPECT_GE(clock_type::now() - start, milliseconds(950));
		// The limit only catches a controller that hangs.
		auto end = clock_type::now() + 5 * DEADLINE;
		do {
			seen.push_back(check(frame));
			processed += seen.back().stamped;
		} while ((seen.size() < 12 || processed < want_processed) &&
			 clock_type::now() < end &&
			 recv_frame(out.fd, frame, DEADLINE) == got::data);
		fed_s = std::chrono::duration<double>(clock_type::now() - start)
				.count();
	}

	// The status line shows the rates and each detector's time.
	const std::regex status(
		R"(in [0-9.]+/s .*obscured whole \d+ .*qr-zxing [0-9.]+ ms)");
	auto end = clock_type::now() + DEADLINE;
	while (!std::regex_search(s.ctl->std_err(), status) &&
	       clock_type::now() < end)
		std::this_thread::sleep_for(milliseconds(50));
	EXPECT_TRUE(std::regex_search(s.ctl->std_err(), status))
		<< s.ctl->std_err();

	EXPECT_EQ(s.ctl->stop(SIGTERM), 0);
	EXPECT_GE(s.ctl->summary("frames_out"), 12);
	EXPECT_GE(s.ctl->summary("processed"), double(processed));
	EXPECT_GE(s.ctl->summary("qr-zxing_runs"), 1);
	EXPECT_GE(s.ctl->summary("qr-opencv_runs"), 1);
	EXPECT_FALSE(fs::exists(s.dir.path / "filter-input.endpoint"));

	// No code is readable in any frame; in the frames not wholly
	// obscured, nothing changed beyond where the codes' findings may
	// have reached at the speed this run had.
	const double reach_s = s.ctl->findings_reach_s(fed_s);
	printf("%zu of %zu frames processed in %.1f s; findings reach %.2f s\n",
	       processed, seen.size(), fed_s, reach_s);
	uint64_t last = 0;
	for (const verdict &v : seen) {
		EXPECT_EQ(v.readable_codes, 0u) << "frame " << v.n;
		if (!v.stamped)
			continue;
		EXPECT_EQ(qm_scene::changed_beyond_reach(v.pixels, v.n, reach_s,
							 FEED_FPS),
			  0u)
			<< "frame " << v.n << ", findings reaching " << reach_s
			<< " s\n"
			<< s.ctl->std_out();
		EXPECT_GT(v.n + 1, last) << "frames leave in order";
		last = v.n + 1;
	}
	EXPECT_GE(processed, want_processed);
}

} // namespace

// Any frames: in every build.
TEST(ControllerProgram, FramesComeBackAfterTheDelayWithCodesHidden)
{
	run_scene(0);
}

// Needs the detectors to keep up with the frames: in the plain build only
// (labelled "heavy").
TEST(ControllerProgram, ProcessedFramesAreTheCameraPictureAwayFromCodes)
{
	run_scene(3);
}

TEST(ControllerProgram, WorkerDisabledWritesNothingUntilEnabled)
{
	session s;
	s.start(R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0, "fps": 10, "worker_enabled": false})",
		{"--quiet"});
	sock out = connect_with(s.out.port, s.out.token);
	sock in = connect_with(s.in.port, s.in.token);
	feeder feed(in.fd, 20);
	EXPECT_EQ(what_arrives(out.fd, milliseconds(2500)), got::nothing);
	write_whole(
		s.dir.path / "settings.json",
		R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0, "fps": 10})");
	cv::Mat frame;
	EXPECT_EQ(recv_frame(out.fd, frame, DEADLINE), got::data);
	// Off again: the output stops (frames in flight may still come, and
	// a loaded machine notices late), and stays stopped.
	write_whole(
		s.dir.path / "settings.json",
		R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0, "worker_enabled": false})");
	auto end = clock_type::now() + DEADLINE;
	while (clock_type::now() < end &&
	       recv_frame(out.fd, frame, milliseconds(1500)) == got::data) {
	}
	EXPECT_LT(clock_type::now(), end) << "frames kept coming";
	EXPECT_EQ(what_arrives(out.fd, milliseconds(2000)), got::nothing);
}

TEST(ControllerProgram, MisbehavingPeersGetNothingAndTheFilterIsServed)
{
	session s;
	s.start(R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0, "fps": 10})",
		{"--status-every", "0.2"});
	std::string wrong = s.in.token;
	wrong[5] = wrong[5] == 'x' ? 'y' : 'x';
	std::vector<std::thread> peers;
	// Wrong, short and slow tokens, on both endpoints at once: each is
	// closed without a byte written to it.
	for (int port : {s.in.port, s.out.port}) {
		peers.emplace_back([port, wrong] {
			sock bad = connect_with(port, wrong + "trailing");
			EXPECT_EQ(what_arrives(bad.fd, DEADLINE), got::closed);
		});
		peers.emplace_back([port, &s] {
			sock half =
				connect_with(port, s.in.token.substr(0, 40));
			auto start = clock_type::now();
			EXPECT_EQ(what_arrives(half.fd, DEADLINE), got::closed);
			EXPECT_GE(clock_type::now() - start, milliseconds(800));
		});
		peers.emplace_back([port, &s] {
			sock slow = connect_with(port, "");
			for (size_t i = 0; i < 64 && slow.fd >= 0; i += 8) {
				if (!send_all(slow.fd, s.in.token.data() + i,
					      8))
					break;
				std::this_thread::sleep_for(milliseconds(200));
			}
			EXPECT_EQ(what_arrives(slow.fd, DEADLINE), got::closed);
		});
	}
	for (std::thread &t : peers)
		t.join();

	// A frame of the wrong size closes the connection that sent it.
	sock odd = connect_with(s.in.port, s.in.token);
	cv::Mat big(1080, 1920, CV_8UC4, cv::Scalar(1, 2, 3, 255));
	send_frame(odd.fd, big, 1920, 1080);
	EXPECT_EQ(what_arrives(odd.fd, DEADLINE), got::closed);

	// An output reader that stops reading is given up; the next one is
	// served.
	sock in = connect_with(s.in.port, s.in.token);
	feeder feed(in.fd, 20);
	{
		sock stuck = connect_with(s.out.port, s.out.token);
		int small = 4096;
		setsockopt(stuck.fd, SOL_SOCKET, SO_RCVBUF, &small,
			   sizeof(small));
		std::this_thread::sleep_for(std::chrono::seconds(4));
	}
	// Readers that take a few bytes and vanish with a reset, mid-frame:
	// writing to them fails, and must not end the controller.
	for (int i = 0; i < 3; i++) {
		sock gone = connect_with(s.out.port, s.out.token);
		uint8_t some[4096];
		EXPECT_EQ(recv_exact(gone.fd, some, sizeof(some), DEADLINE),
			  got::data);
		linger hard{1, 0};
		setsockopt(gone.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
	}
	sock out = connect_with(s.out.port, s.out.token);
	cv::Mat frame;
	EXPECT_EQ(recv_frame(out.fd, frame, DEADLINE), got::data);

	// A second filter connection replaces the first, which is closed.
	sock second = connect_with(s.out.port, s.out.token);
	EXPECT_EQ(recv_frame(second.fd, frame, DEADLINE), got::data);
	auto end = clock_type::now() + DEADLINE;
	got first = got::data;
	while (first == got::data && clock_type::now() < end)
		first = recv_frame(out.fd, frame, milliseconds(500));
	EXPECT_EQ(first, got::closed);

	EXPECT_TRUE(s.ctl->running());
	std::string log = s.ctl->std_err();
	EXPECT_NE(log.find("wrong token"), std::string::npos) << log;
	EXPECT_NE(log.find("1920x1080"), std::string::npos) << log;
	EXPECT_NE(log.find("took nothing for a second"), std::string::npos)
		<< log;
	EXPECT_EQ(s.ctl->stop(SIGTERM), 0);
}

// Runs in the plain build only: it times how soon processed frames come
// back after the faults, which a sanitizer's slowness would decide.
TEST(ControllerProgram, QrWorkersThatAbortOrHangAreReplacedAndFramesFlow)
{
	// ZXing's worker aborts on its 15th run, the fine pass's hangs on
	// its 4th; the workers started after them run clean.
	session s;
	s.start(R"({"face_enabled": false, "phone_enabled": false, "delay": 1.0, "fps": 10})",
		{"--status-every", "0.5"},
		{{"QM_WORKER_FAULT", "abort:15:qr-zxing,hang:4:qr-fine"}});
	sock out = connect_with(s.out.port, s.out.token);
	sock in = connect_with(s.in.port, s.in.token);
	ASSERT_GE(out.fd, 0);
	ASSERT_GE(in.fd, 0);
	auto both_told = [&] {
		std::string log = s.ctl->std_err();
		return log.find("qr-zxing: worker ended by signal 6") !=
			       std::string::npos &&
		       log.find("qr-fine: worker missed its") !=
			       std::string::npos;
	};
	feeder feed(in.fd, 20);
	cv::Mat frame;
	ASSERT_EQ(recv_frame(out.fd, frame, DEADLINE), got::data);
	auto last = clock_type::now(), end = last + DEADLINE;
	clock_type::duration longest_gap{};
	std::optional<clock_type::time_point> fault_over;
	uint64_t first_after = 0;
	size_t readable = 0;
	// Frames until one made after both faults comes back processed.
	for (;;) {
		ASSERT_EQ(recv_frame(out.fd, frame, DEADLINE), got::data);
		auto now = clock_type::now();
		longest_gap = std::max(longest_gap, now - last);
		last = now;
		verdict v = check(frame);
		readable += v.readable_codes;
		if (!fault_over && both_told()) {
			fault_over = now;
			first_after = feed.sent;
		}
		if (fault_over && v.stamped && v.n >= first_after)
			break;
		ASSERT_LT(now, end) << s.ctl->std_err();
	}
	// Processed frames again within the delay and 3 s of the fault (a
	// bound the controller's restart keeps with room to spare).
	EXPECT_LT(last - *fault_over, milliseconds(4000));
	printf("processed again %.2f s after both faults were told\n",
	       std::chrono::duration<double>(last - *fault_over).count());
	// Frames kept coming through the faults, and none showed a code.
	EXPECT_LT(longest_gap, milliseconds(2000));
	EXPECT_EQ(readable, 0u);
	// The status line counts the restarts.
	end = clock_type::now() + DEADLINE;
	while (s.ctl->std_err().find("restarts_qr-fine 1") ==
		       std::string::npos &&
	       clock_type::now() < end)
		std::this_thread::sleep_for(milliseconds(50));
	EXPECT_NE(s.ctl->std_err().find("restarts_qr-fine 1"),
		  std::string::npos);

	EXPECT_EQ(s.ctl->stop(SIGTERM), 0);
	EXPECT_FALSE(fs::exists(s.dir.path / "filter-input.endpoint"));
	EXPECT_FALSE(fs::exists(s.dir.path / "direct-output.endpoint"));
	EXPECT_EQ(s.ctl->summary("restarts_qr-zxing"), 1);
	EXPECT_EQ(s.ctl->summary("restarts_qr-fine"), 1);
	EXPECT_EQ(s.ctl->summary("restarts_qr-opencv"), 0);
	EXPECT_GE(s.ctl->summary("qr-zxing_failures"), 1);
	if (getenv("QM_DUMP_LOG"))
		printf("%s\n%s", s.ctl->std_err().c_str(),
		       s.ctl->std_out().c_str());
}
