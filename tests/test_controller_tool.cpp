// The stand-in controller, driven from outside as the module drives it:
// endpoint files, token, frames over loopback, settings.json and signals.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t W = 1280;
constexpr uint32_t H = 720;
constexpr size_t FRAME_BYTES = size_t(W) * H * 4;
// Generous: the machine may be loaded, and the tool may run under a
// sanitizer.
constexpr auto DEADLINE = std::chrono::seconds(20);

using clock_type = std::chrono::steady_clock;

struct temp_dir {
	fs::path path;
	temp_dir()
	{
		char tmpl[] = "/tmp/qm-tool-XXXXXX";
		path = mkdtemp(tmpl);
	}
	~temp_dir()
	{
		std::error_code ec;
		fs::remove_all(path, ec);
	}
};

std::string slurp(const fs::path &p)
{
	std::ifstream f(p, std::ios::binary);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

void write_text(const fs::path &p, const std::string &text)
{
	fs::path tmp = p.string() + ".new";
	std::ofstream(tmp, std::ios::binary) << text;
	fs::rename(tmp, p);
}

// The tool as a child process with its output in files.
struct tool {
	pid_t pid = -1;
	bool exited = false;
	int status = -1;
	fs::path out, err;

	tool(const std::vector<std::string> &args, const fs::path &logs,
	     const std::map<std::string, const char *> &env = {})
	{
		out = logs / "stdout.txt";
		err = logs / "stderr.txt";
		pid = fork();
		if (pid == 0) {
			int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
				     0600);
			int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
				     0600);
			dup2(o, 1);
			dup2(e, 2);
			for (auto &kv : env) {
				if (kv.second)
					setenv(kv.first.c_str(), kv.second, 1);
				else
					unsetenv(kv.first.c_str());
			}
			std::vector<char *> argv;
			argv.push_back(const_cast<char *>(QM_CONTROLLER_PATH));
			for (auto &a : args)
				argv.push_back(const_cast<char *>(a.c_str()));
			argv.push_back(nullptr);
			execv(QM_CONTROLLER_PATH, argv.data());
			_exit(127);
		}
	}
	~tool()
	{
		if (running()) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
		}
	}
	bool running()
	{
		if (pid <= 0 || exited)
			return false;
		int st = 0;
		pid_t r = waitpid(pid, &st, WNOHANG);
		if (r == 0)
			return true;
		exited = true;
		status = r == pid ? st : -1;
		return false;
	}
	// The exit code, or -1 when it did not exit by itself in time.
	int wait_exit(std::chrono::seconds limit = DEADLINE)
	{
		auto end = clock_type::now() + limit;
		while (running() && clock_type::now() < end)
			std::this_thread::sleep_for(
				std::chrono::milliseconds(20));
		if (running())
			return -1;
		return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	}
	int stop(int sig = SIGTERM)
	{
		if (running())
			kill(pid, sig);
		return wait_exit();
	}
	std::string std_out() { return slurp(out); }
	std::string std_err() { return slurp(err); }
};

struct endpoint {
	int port = 0;
	std::string token;
};

bool read_endpoint(const fs::path &file, endpoint &ep)
{
	static const std::regex re(
		R"re(^\s*\{\s*"port"\s*:\s*(\d+)\s*,\s*"token"\s*:\s*"([^"\\]*)"\s*\}\s*$)re");
	std::smatch m;
	std::string text = slurp(file);
	if (!std::regex_match(text, m, re))
		return false;
	ep.port = std::stoi(m[1]);
	ep.token = m[2];
	return true;
}

// Waits until the tool has published both endpoints in dir.
bool wait_endpoints(const fs::path &dir, endpoint &in, endpoint &out)
{
	auto end = clock_type::now() + DEADLINE;
	while (clock_type::now() < end) {
		if (read_endpoint(dir / "filter-input.endpoint", in) &&
		    read_endpoint(dir / "direct-output.endpoint", out))
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return false;
}

struct sock {
	int fd = -1;
	sock() = default;
	explicit sock(int f) : fd(f) {}
	sock(sock &&o) noexcept : fd(o.fd) { o.fd = -1; }
	sock &operator=(sock &&o) noexcept
	{
		std::swap(fd, o.fd);
		return *this;
	}
	~sock()
	{
		if (fd >= 0)
			close(fd);
	}
};

bool send_all(int fd, const void *data, size_t len)
{
	auto p = static_cast<const uint8_t *>(data);
	while (len) {
		ssize_t n = send(fd, p, std::min<size_t>(len, 1 << 20),
				 MSG_NOSIGNAL);
		if (n <= 0)
			return false;
		p += n;
		len -= size_t(n);
	}
	return true;
}

// Connects to the port and presents the token, as the module does.
sock connect_as_module(int port, const std::string &token)
{
	sock s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(uint16_t(port));
	if (connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) !=
		    0 ||
	    !send_all(s.fd, token.data(), token.size()))
		return sock();
	return s;
}

bool send_frame(int fd, const std::vector<uint8_t> &pixels)
{
	uint32_t header[2] = {htonl(W), htonl(H)};
	return send_all(fd, header, sizeof(header)) &&
	       send_all(fd, pixels.data(), pixels.size());
}

enum class got { data, closed, nothing };

// Receives exactly len bytes within the time limit.
got recv_exact(int fd, uint8_t *buf, size_t len,
	       std::chrono::milliseconds limit)
{
	auto end = clock_type::now() + limit;
	size_t done = 0;
	while (done < len) {
		auto left =
			std::chrono::duration_cast<std::chrono::milliseconds>(
				end - clock_type::now());
		if (left.count() <= 0)
			return got::nothing;
		pollfd p{fd, POLLIN, 0};
		if (poll(&p, 1, int(left.count())) <= 0)
			continue;
		ssize_t n = recv(fd, buf + done, len - done, 0);
		if (n <= 0)
			return got::closed;
		done += size_t(n);
	}
	return got::data;
}

// Reads one frame; header checked, pixels returned.
got recv_frame(int fd, std::vector<uint8_t> &pixels,
	       std::chrono::milliseconds limit = DEADLINE)
{
	// Only the start of a frame is awaited within the limit: once it has
	// begun, the rest is read whole, so the stream never loses its place.
	uint8_t header[8];
	got g = recv_exact(fd, header, 1, limit);
	if (g == got::data)
		g = recv_exact(fd, header + 1, sizeof(header) - 1, DEADLINE);
	if (g != got::data)
		return g;
	uint32_t w, h;
	memcpy(&w, header, 4);
	memcpy(&h, header + 4, 4);
	EXPECT_EQ(ntohl(w), W);
	EXPECT_EQ(ntohl(h), H);
	pixels.assign(FRAME_BYTES, 0);
	return recv_exact(fd, pixels.data(), FRAME_BYTES, DEADLINE);
}

std::vector<uint8_t> noise_frame(unsigned seed)
{
	std::mt19937 rng(seed);
	std::vector<uint8_t> f(FRAME_BYTES);
	for (auto &b : f)
		b = uint8_t(rng());
	return f;
}

const uint8_t *pixel(const std::vector<uint8_t> &f, int x, int y)
{
	return f.data() + (size_t(y) * W + size_t(x)) * 4;
}

// Checks that every block of the area, laid from its top-left corner, is
// one colour equal to the rounded mean of the input block. Returns the
// number of blocks that break that.
int bad_blocks(const std::vector<uint8_t> &in, const std::vector<uint8_t> &out,
	       int block, int x0, int y0, int x1, int y1)
{
	int bad = 0;
	for (int by = y0; by < y1; by += block)
		for (int bx = x0; bx < x1; bx += block) {
			int ex = std::min(bx + block, x1);
			int ey = std::min(by + block, y1);
			uint64_t sum[4] = {0, 0, 0, 0};
			for (int y = by; y < ey; y++)
				for (int x = bx; x < ex; x++)
					for (int c = 0; c < 4; c++)
						sum[c] += pixel(in, x, y)[c];
			uint64_t n = uint64_t(ex - bx) * uint64_t(ey - by);
			bool ok = true;
			for (int y = by; y < ey && ok; y++)
				for (int x = bx; x < ex && ok; x++)
					for (int c = 0; c < 4; c++) {
						int want = int(
							(sum[c] + n / 2) / n);
						if (std::abs(pixel(out, x,
								   y)[c] -
							     want) > 1)
							ok = false;
					}
			bad += !ok;
		}
	return bad;
}

// A started tool with both connections made as the module makes them.
struct session {
	temp_dir dir;
	std::unique_ptr<tool> t;
	endpoint in, out;

	void start(std::vector<std::string> args)
	{
		args.insert(args.begin(), {"--config-dir", dir.path.string()});
		t = std::make_unique<tool>(args, dir.path);
		ASSERT_TRUE(wait_endpoints(dir.path, in, out)) << t->std_err();
	}
};

const char *const GOOD_TOKEN =
	"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!#";

} // namespace

TEST(ControllerTool, HelpExplainsEveryOptionAndExitsZero)
{
	temp_dir dir;
	tool t({"--help"}, dir.path);
	ASSERT_EQ(t.wait_exit(), 0);
	std::string help = t.std_out();
	for (const char *opt :
	     {"--config-dir", "--token", "--input-port", "--output-port",
	      "--block", "--rect", "--fps", "--ignore-settings", "--duration",
	      "--frames", "--quiet", "--help", "\"worker_enabled\"", "\"fps\""})
		EXPECT_NE(help.find(opt), std::string::npos) << opt;
}

TEST(ControllerTool, BadArgumentsExitTwoWithAClearErrorAndPublishNothing)
{
	const std::vector<std::vector<std::string>> cases = {
		{"--no-such-option"},
		{"stray"},
		{"--block", "1"},
		{"--block", "many"},
		{"--fps", "4"},
		{"--fps", "61"},
		{"--input-port", "65536"},
		{"--output-port", "-1"},
		{"--input-port", "4000", "--output-port", "4000"},
		{"--token", "too-short"},
		{"--token", std::string(63, 'a') + " "},
		{"--rect", "1,2,3"},
		{"--rect", "0,0,0,10"},
		{"--rect", "1280,0,10,10"},
		{"--duration", "0"},
		{"--duration", "soon"},
		{"--frames", "0"},
		{"--quiet=yes"},
		{"--duration"},
	};
	for (const auto &c : cases) {
		temp_dir dir;
		std::vector<std::string> args = c;
		args.insert(args.begin(), {"--config-dir", dir.path.string()});
		tool t(args, dir.path);
		std::string shown = c[0] + (c.size() > 1 ? " " + c[1] : "");
		EXPECT_EQ(t.wait_exit(), 2) << shown;
		EXPECT_NE(t.std_err().find("error"), std::string::npos)
			<< shown;
		EXPECT_FALSE(fs::exists(dir.path / "filter-input.endpoint"))
			<< shown;
	}
}

TEST(ControllerTool, FindsTheConfigurationFolderLikeTheModule)
{
	temp_dir dir;
	const fs::path tail = "obs-studio/plugin_config/quilmar-direct";
	std::string xdg = (dir.path / "xdg").string();
	std::string home = (dir.path / "home").string();
	struct env_case {
		const char *xdg;
		fs::path expected;
	};
	for (const env_case &c :
	     {env_case{xdg.c_str(), dir.path / "xdg" / tail},
	      env_case{nullptr, dir.path / "home/.config" / tail},
	      env_case{"", dir.path / "home/.config" / tail},
	      env_case{"relative/dir", dir.path / "home/.config" / tail}}) {
		tool t({"--quiet"}, dir.path,
		       {{"XDG_CONFIG_HOME", c.xdg}, {"HOME", home.c_str()}});
		endpoint in, out;
		ASSERT_TRUE(wait_endpoints(c.expected, in, out))
			<< "XDG_CONFIG_HOME=" << (c.xdg ? c.xdg : "(unset)");
		EXPECT_EQ(in.token, out.token);
		EXPECT_EQ(in.token.size(), 64u);
		EXPECT_TRUE(std::regex_match(in.token,
					     std::regex("[A-Za-z0-9]{64}")));
		EXPECT_NE(in.port, out.port);
		EXPECT_EQ(t.stop(), 0);
		EXPECT_FALSE(fs::exists(c.expected / "filter-input.endpoint"));
		EXPECT_FALSE(fs::exists(c.expected / "direct-output.endpoint"));
		fs::remove_all(dir.path / "xdg");
		fs::remove_all(dir.path / "home");
	}
}

TEST(ControllerTool, PixelatesTheWholeFrameAndReportsTheRoundTrip)
{
	session s;
	s.start({"--token", GOOD_TOKEN, "--ignore-settings"});
	EXPECT_EQ(s.in.token, GOOD_TOKEN);
	EXPECT_EQ(s.out.token, GOOD_TOKEN);
	sock out = connect_as_module(s.out.port, s.out.token);
	sock in = connect_as_module(s.in.port, s.in.token);
	ASSERT_GE(out.fd, 0);
	ASSERT_GE(in.fd, 0);

	std::vector<uint8_t> frame = noise_frame(1), back;
	// The output connection counts from the first frame processed after
	// it was accepted, so keep offering the same frame until one comes.
	got g = got::nothing;
	for (int i = 0; i < 100 && g == got::nothing; i++) {
		ASSERT_TRUE(send_frame(in.fd, frame));
		g = recv_frame(out.fd, back, std::chrono::milliseconds(200));
	}
	ASSERT_EQ(g, got::data);
	EXPECT_NE(back, frame);
	EXPECT_EQ(bad_blocks(frame, back, 32, 0, 0, W, H), 0);

	// The live status line shows the frames and their round trip. On a
	// slow machine a second offer may have been processed too.
	const std::regex status(R"(out [1-9][0-9]* .*round trip [0-9.]+ ms)");
	auto end = clock_type::now() + DEADLINE;
	while (!std::regex_search(s.t->std_err(), status) &&
	       clock_type::now() < end)
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	EXPECT_TRUE(std::regex_search(s.t->std_err(), status))
		<< s.t->std_err();

	EXPECT_EQ(s.t->stop(SIGINT), 0);
	std::smatch m;
	std::string summary = s.t->std_out();
	ASSERT_TRUE(std::regex_search(
		summary, m,
		std::regex(
			R"(frames_in=(\d+) frames_out=(\d+) rtt_mean_ms=([0-9.]+))")))
		<< summary;
	EXPECT_GE(std::stoi(m[1]), 1);
	EXPECT_GE(std::stoi(m[2]), 1);
	EXPECT_GT(std::stod(m[3]), 0.0);
	EXPECT_FALSE(fs::exists(s.dir.path / "filter-input.endpoint"));
	EXPECT_FALSE(fs::exists(s.dir.path / "direct-output.endpoint"));
}

TEST(ControllerTool, RectangleOptionLeavesTheRestOfTheFrameAlone)
{
	session s;
	s.start({"--ignore-settings", "--quiet", "--block", "16", "--rect",
		 "100,50,200,90"});
	sock out = connect_as_module(s.out.port, s.out.token);
	sock in = connect_as_module(s.in.port, s.in.token);
	std::vector<uint8_t> frame = noise_frame(2), back;
	got g = got::nothing;
	for (int i = 0; i < 100 && g == got::nothing; i++) {
		ASSERT_TRUE(send_frame(in.fd, frame));
		g = recv_frame(out.fd, back, std::chrono::milliseconds(200));
	}
	ASSERT_EQ(g, got::data);
	EXPECT_EQ(bad_blocks(frame, back, 16, 100, 50, 300, 140), 0);
	size_t changed_outside = 0;
	for (int y = 0; y < int(H); y++)
		for (int x = 0; x < int(W); x++) {
			bool inside = x >= 100 && x < 300 && y >= 50 && y < 140;
			if (!inside && memcmp(pixel(frame, x, y),
					      pixel(back, x, y), 4) != 0)
				changed_outside++;
		}
	EXPECT_EQ(changed_outside, 0u);
}

TEST(ControllerTool, WrongTokenIsClosedAndTheRightOneStillServed)
{
	session s;
	s.start({"--ignore-settings"});
	std::string wrong = s.in.token;
	wrong[10] = wrong[10] == 'x' ? 'y' : 'x';
	for (int port : {s.in.port, s.out.port}) {
		sock bad = connect_as_module(port, wrong);
		ASSERT_GE(bad.fd, 0);
		uint8_t byte;
		EXPECT_EQ(recv_exact(bad.fd, &byte, 1,
				     std::chrono::milliseconds(20000)),
			  got::closed);
	}
	// A half token is closed too, once the tool stops waiting for it.
	sock half = connect_as_module(s.in.port, s.in.token.substr(0, 32));
	uint8_t byte;
	EXPECT_EQ(recv_exact(half.fd, &byte, 1,
			     std::chrono::milliseconds(20000)),
		  got::closed);

	sock out = connect_as_module(s.out.port, s.out.token);
	sock in = connect_as_module(s.in.port, s.in.token);
	std::vector<uint8_t> frame = noise_frame(3), back;
	got g = got::nothing;
	for (int i = 0; i < 100 && g == got::nothing; i++) {
		ASSERT_TRUE(send_frame(in.fd, frame));
		g = recv_frame(out.fd, back, std::chrono::milliseconds(200));
	}
	EXPECT_EQ(g, got::data);
	EXPECT_NE(s.t->std_err().find("wrong token"), std::string::npos);
}

TEST(ControllerTool, SurvivesAVanishingReaderAndServesTheReconnection)
{
	session s;
	s.start({"--ignore-settings", "--quiet", "--fps", "60"});
	std::atomic<bool> done{false};
	sock in = connect_as_module(s.in.port, s.in.token);
	ASSERT_GE(in.fd, 0);
	std::vector<uint8_t> frame = noise_frame(4);
	std::thread feeder([&] {
		while (!done && send_frame(in.fd, frame))
			std::this_thread::sleep_for(
				std::chrono::milliseconds(20));
	});

	// Readers that take a few bytes and vanish with a reset, mid-frame:
	// a write to them fails, and must not end the tool.
	for (int i = 0; i < 3; i++) {
		sock gone = connect_as_module(s.out.port, s.out.token);
		uint8_t some[4096];
		EXPECT_EQ(recv_exact(gone.fd, some, sizeof(some), DEADLINE),
			  got::data);
		linger hard{1, 0};
		setsockopt(gone.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
	}
	// The reader reads all the time, as the filter's does: a reader that
	// pauses for long is dropped by the tool, rightly.
	sock out = connect_as_module(s.out.port, s.out.token);
	std::vector<uint8_t> second = noise_frame(5);
	std::atomic<int> firsts{0}, seconds{0};
	std::atomic<bool> reading{true};
	std::thread reader([&] {
		std::vector<uint8_t> back;
		while (reading && recv_frame(out.fd, back) == got::data) {
			if (bad_blocks(frame, back, 32, 0, 0, W, H) == 0)
				firsts++;
			else if (bad_blocks(second, back, 32, 0, 0, W, H) == 0)
				seconds++;
		}
		reading = false;
	});
	auto wait_for = [&](const std::atomic<int> &count) {
		auto end = clock_type::now() + DEADLINE;
		while (count == 0 && reading && clock_type::now() < end)
			std::this_thread::sleep_for(
				std::chrono::milliseconds(10));
		return count > 0;
	};
	EXPECT_TRUE(wait_for(firsts));
	EXPECT_TRUE(s.t->running());

	// The filter's sender reconnecting is served as well.
	done = true;
	feeder.join();
	in = connect_as_module(s.in.port, s.in.token);
	std::atomic<bool> sent_all{false};
	std::thread sender([&] {
		while (seconds == 0 && reading && send_frame(in.fd, second))
			std::this_thread::sleep_for(
				std::chrono::milliseconds(20));
		sent_all = true;
	});
	EXPECT_TRUE(wait_for(seconds)) << "the reader was dropped";
	// Ends both helpers: the tool's end closes their connections.
	EXPECT_EQ(s.t->stop(), 0);
	reading = false;
	sender.join();
	reader.join();
	EXPECT_TRUE(sent_all);
}

TEST(ControllerTool, WorkerDisabledPassesNothingUntilEnabledAgain)
{
	session s;
	write_text(
		s.dir.path / "settings.json",
		R"({"fps": 60, "worker_enabled": false, "references": [{"value": "a\"b}"}]})");
	s.start({"--quiet"});
	sock out = connect_as_module(s.out.port, s.out.token);
	sock in = connect_as_module(s.in.port, s.in.token);
	std::vector<uint8_t> frame = noise_frame(6), back;
	// Settings are read before the endpoints appear, so nothing may come.
	for (int i = 0; i < 5; i++) {
		ASSERT_TRUE(send_frame(in.fd, frame));
		EXPECT_EQ(recv_frame(out.fd, back,
				     std::chrono::milliseconds(200)),
			  got::nothing);
	}
	write_text(s.dir.path / "settings.json", R"({"worker_enabled": true})");
	got g = got::nothing;
	for (int i = 0; i < 100 && g == got::nothing; i++) {
		ASSERT_TRUE(send_frame(in.fd, frame));
		g = recv_frame(out.fd, back, std::chrono::milliseconds(200));
	}
	EXPECT_EQ(g, got::data);
}

TEST(ControllerTool, IgnoreSettingsKeepsProcessingOn)
{
	session s;
	write_text(s.dir.path / "settings.json",
		   R"({"worker_enabled": false})");
	s.start({"--quiet", "--ignore-settings"});
	sock out = connect_as_module(s.out.port, s.out.token);
	sock in = connect_as_module(s.in.port, s.in.token);
	std::vector<uint8_t> frame = noise_frame(7), back;
	got g = got::nothing;
	for (int i = 0; i < 100 && g == got::nothing; i++) {
		ASSERT_TRUE(send_frame(in.fd, frame));
		g = recv_frame(out.fd, back, std::chrono::milliseconds(200));
	}
	EXPECT_EQ(g, got::data);
}

TEST(ControllerTool, FpsSettingCapsTheFramesWrittenBack)
{
	session s;
	write_text(s.dir.path / "settings.json", R"({"fps": 5})");
	s.start({"--quiet"});
	sock out = connect_as_module(s.out.port, s.out.token);
	sock in = connect_as_module(s.in.port, s.in.token);
	std::atomic<bool> done{false};
	std::vector<uint8_t> frame = noise_frame(8);
	std::thread feeder([&] {
		while (!done && send_frame(in.fd, frame)) {
		}
	});
	std::vector<uint8_t> back;
	ASSERT_EQ(recv_frame(out.fd, back), got::data);
	auto end = clock_type::now() + std::chrono::seconds(2);
	int more = 0;
	while (clock_type::now() < end) {
		auto left =
			std::chrono::duration_cast<std::chrono::milliseconds>(
				end - clock_type::now());
		if (recv_frame(out.fd, back, left) == got::data)
			more++;
	}
	done = true;
	shutdown(in.fd, SHUT_RDWR);
	feeder.join();
	// 5 per second: frames start at least 200 ms apart, so 2 s after the
	// first hold at most 10 more (one more allowed for a frame in flight).
	EXPECT_LE(more, 11);
	EXPECT_GE(more, 1);
}

TEST(ControllerTool, EndsByItselfAfterDurationOrFrames)
{
	{
		session s;
		s.start({"--quiet", "--duration", "0.5"});
		EXPECT_EQ(s.t->wait_exit(), 0);
		EXPECT_FALSE(fs::exists(s.dir.path / "filter-input.endpoint"));
		EXPECT_FALSE(fs::exists(s.dir.path / "direct-output.endpoint"));
		EXPECT_NE(s.t->std_out().find("frames_in=0 frames_out=0"),
			  std::string::npos);
	}
	{
		session s;
		s.start({"--quiet", "--ignore-settings", "--fps", "60",
			 "--frames", "2"});
		sock out = connect_as_module(s.out.port, s.out.token);
		sock in = connect_as_module(s.in.port, s.in.token);
		std::vector<uint8_t> frame = noise_frame(9), back;
		int frames = 0;
		for (int i = 0; i < 200 && frames < 2; i++) {
			// Once it has written two, the tool closes the input
			// side while the second may still be on its way here.
			send_frame(in.fd, frame);
			if (recv_frame(out.fd, back,
				       std::chrono::milliseconds(100)) ==
			    got::data)
				frames++;
		}
		EXPECT_EQ(frames, 2);
		EXPECT_EQ(s.t->wait_exit(), 0);
		EXPECT_FALSE(fs::exists(s.dir.path / "filter-input.endpoint"));
	}
}
