// The controller link's pieces on their own: endpoint validation, the frame
// header, whole transfers, the connection to a published endpoint, and both
// stream loops over a socket pair with an instance record made by hand.
#include "fake_controller.h"
#include "link.h"

#include <util/platform.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using fake::endpoint;

namespace {

constexpr auto LONG = std::chrono::seconds(20);

std::string config_dir;

// A connected pair: `module` is handed to the link code, `peer` plays the
// controller.
struct socket_pair {
	qm_socket module;
	int peer = -1;

	socket_pair()
	{
		int fds[2];
		if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) ==
		    0) {
			module = qm_socket(fds[0]);
			peer = fds[1];
		}
	}
	~socket_pair() { close_peer(); }
	void close_peer()
	{
		if (peer >= 0)
			close(peer);
		peer = -1;
	}
	bool peer_send(const fake::bytes &b)
	{
		size_t done = 0;
		while (done < b.size()) {
			ssize_t n = send(peer, b.data() + done, b.size() - done,
					 MSG_NOSIGNAL);
			if (n <= 0)
				return false;
			done += size_t(n);
		}
		return true;
	}
	fake::bytes peer_recv(size_t len)
	{
		fake::bytes out(len);
		size_t have = 0;
		while (have < len) {
			ssize_t n =
				recv(peer, out.data() + have, len - have, 0);
			if (n <= 0)
				break;
			have += size_t(n);
		}
		out.resize(have);
		return out;
	}
	// Bytes waiting to be read on the module's side.
	int module_unread() const
	{
		int n = -1;
		ioctl(module.get(), FIONREAD, &n);
		return n;
	}
	int peer_unread() const
	{
		int n = -1;
		ioctl(peer, FIONREAD, &n);
		return n;
	}
};

fake::bytes numbered_pixels(uint8_t seed)
{
	fake::bytes p(FRAME_SIZE);
	for (size_t i = 0; i < p.size(); i++)
		p[i] = uint8_t(seed + i * 13 + i / 4093);
	return p;
}

// An instance record with just the frame buffers the workers touch.
std::unique_ptr<direct_filter_data> make_instance()
{
	auto d = std::make_unique<direct_filter_data>();
	EXPECT_TRUE(qm_alloc_frames(d.get()));
	memset(d->output_frame.get(), 0xAB, FRAME_SIZE);
	return d;
}

// What render does with a capture.
void capture(direct_filter_data *d, const fake::bytes &pixels)
{
	memcpy(d->input_frame.get(), pixels.data(), FRAME_SIZE);
	qm_publish_input(d);
}

bool output_is(direct_filter_data *d, const fake::bytes &px)
{
	std::lock_guard<std::mutex> guard(d->lock);
	return memcmp(d->output_frame.get(), px.data(), FRAME_SIZE) == 0;
}

// Waits until the peer has at least n bytes to read.
bool wait_until_unread(const socket_pair &sp, int n)
{
	auto end = std::chrono::steady_clock::now() + LONG;
	while (sp.peer_unread() < n) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(1ms);
	}
	return true;
}

// How often the thread has given up its CPU of its own accord: each wait,
// sleep or blocking call counts one.
long voluntary_switches(pid_t tid)
{
	std::ifstream status("/proc/self/task/" + std::to_string(tid) +
			     "/status");
	std::string line;
	const std::string key = "voluntary_ctxt_switches:";
	while (std::getline(status, line))
		if (line.compare(0, key.size(), key) == 0)
			return std::stol(line.substr(key.size()));
	return -1;
}

timeval socket_timeout(int fd, int option)
{
	timeval tv{-1, -1};
	socklen_t len = sizeof tv;
	getsockopt(fd, SOL_SOCKET, option, &tv, &len);
	return tv;
}

} // namespace

// ---------------------------------------------------------------------------
// Endpoint values and files

TEST(EndpointValues, PortIsTheLow32BitsIn1To65535)
{
	const std::string token(64, 't');
	struct {
		long long stored;
		int port; // 0: refused
	} cases[] = {
		{1, 1},
		{80, 80},
		{65535, 65535},
		{0, 0},
		{-1, 0},
		{65536, 0},
		{65536 + 80, 0},
		{4294967296LL + 80, 80},
		{4294967296LL + 65535, 65535},
		{-4294967296LL + 443, 443},
		{7 * 4294967296LL, 0},
		{2147483648LL + 80, 0}, // negative as a 32-bit value
		{4294967295LL, 0},
		{INT64_MIN, 0},
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.stored);
		qm_endpoint e;
		bool ok = qm_endpoint_from_values(c.stored, token.c_str(), &e);
		EXPECT_EQ(ok, c.port != 0);
		if (ok) {
			EXPECT_EQ(e.port, c.port);
		}
	}
}

TEST(EndpointValues, TokenIsExactly64NonZeroBytesAfterCutting)
{
	std::string t64 = fake::random_token();
	qm_endpoint e;
	ASSERT_TRUE(qm_endpoint_from_values(80, t64.c_str(), &e));
	EXPECT_EQ(std::string(e.token), t64);
	EXPECT_EQ(e.token[64], '\0');

	std::string longer = t64 + "and more";
	ASSERT_TRUE(qm_endpoint_from_values(80, longer.c_str(), &e));
	EXPECT_EQ(std::string(e.token), t64);

	// A zero byte ends the text early: only 20 bytes remain.
	std::string with_zero = t64;
	with_zero[20] = '\0';
	EXPECT_FALSE(qm_endpoint_from_values(80, with_zero.c_str(), &e));
	EXPECT_FALSE(
		qm_endpoint_from_values(80, t64.substr(0, 63).c_str(), &e));
	EXPECT_FALSE(qm_endpoint_from_values(80, "", &e));
	EXPECT_FALSE(qm_endpoint_from_values(80, nullptr, &e));
}

TEST(EndpointFile, ReadsPortAndTokenFromJson)
{
	fake::controller ctl(config_dir);
	ASSERT_TRUE(ctl.start(0, 0, false));
	std::string path = ctl.endpoint_path(endpoint::input);
	qm_endpoint e;

	ASSERT_TRUE(ctl.publish(endpoint::input));
	ASSERT_TRUE(qm_read_endpoint(path.c_str(), &e));
	EXPECT_EQ(e.port, ctl.port(endpoint::input));
	EXPECT_EQ(std::string(e.token), ctl.token(endpoint::input));

	fake::endpoint_file high;
	high.port_json = std::to_string(4294967296LL * 3 + 8080);
	ASSERT_TRUE(ctl.publish(endpoint::input, high));
	ASSERT_TRUE(qm_read_endpoint(path.c_str(), &e));
	EXPECT_EQ(e.port, 8080);

	std::string tok = ctl.token(endpoint::input);
	std::vector<std::pair<const char *, fake::endpoint_file>> refused;
	fake::endpoint_file f;
	f.omit_port = true;
	refused.push_back({"no port", f});
	f = {};
	f.omit_token = true;
	refused.push_back({"no token", f});
	f = {};
	f.port_json = "\"8080\"";
	refused.push_back({"port as text", f});
	f.port_json = "0";
	refused.push_back({"port 0", f});
	f = {};
	f.token = tok.substr(0, 63);
	refused.push_back({"63-byte token", f});
	f.token = tok.substr(0, 30) + std::string(1, '\0') + tok.substr(31);
	refused.push_back({"zero byte in the token", f});
	f = {};
	f.raw = "{\"port\": 80, ";
	refused.push_back({"invalid JSON", f});
	f.raw = "[80]";
	refused.push_back({"not an object", f});
	for (auto &r : refused) {
		SCOPED_TRACE(r.first);
		ASSERT_TRUE(ctl.publish(endpoint::input, r.second));
		EXPECT_FALSE(qm_read_endpoint(path.c_str(), &e));
	}
	ctl.unpublish(endpoint::input);
	EXPECT_FALSE(qm_read_endpoint(path.c_str(), &e));
}

// ---------------------------------------------------------------------------
// Frame header

TEST(FrameHeader, WidthAndHeightInNetworkByteOrder)
{
	uint8_t h[QM_HEADER_SIZE];
	qm_encode_header(h, 1280, 720);
	EXPECT_EQ(fake::bytes(h, h + 8),
		  (fake::bytes{0, 0, 5, 0, 0, 0, 2, 208}));
	EXPECT_EQ(fake::bytes(h, h + 8), fake::encode_header(1280, 720));

	for (auto wh : {std::pair<uint32_t, uint32_t>{1920, 1080},
			{0, 0},
			{0xFFFFFFFFu, 1},
			{0x01020304u, 0xA0B0C0D0u}}) {
		fake::bytes wire = fake::encode_header(wh.first, wh.second);
		uint32_t w = 0, hh = 0;
		qm_decode_header(wire.data(), &w, &hh);
		EXPECT_EQ(w, wh.first);
		EXPECT_EQ(hh, wh.second);
		qm_encode_header(h, wh.first, wh.second);
		EXPECT_EQ(fake::bytes(h, h + 8), wire);
	}
}

// ---------------------------------------------------------------------------
// Whole transfers

TEST(Transfer, MovesWholeBuffersAndFailsOnAClosedPeer)
{
	socket_pair sp;
	ASSERT_GE(sp.peer, 0);
	fake::bytes data = numbered_pixels(7);
	std::thread reader([&] { EXPECT_EQ(sp.peer_recv(FRAME_SIZE), data); });
	EXPECT_TRUE(qm_send_all(sp.module, data.data(), data.size()));
	reader.join();

	std::thread writer([&] { EXPECT_TRUE(sp.peer_send(data)); });
	fake::bytes got(FRAME_SIZE);
	EXPECT_TRUE(qm_recv_all(sp.module, got.data(), got.size()));
	writer.join();
	EXPECT_EQ(got, data);

	// Half of what is asked for, then the peer goes away.
	ASSERT_TRUE(
		sp.peer_send(fake::bytes(data.begin(), data.begin() + 1000)));
	sp.close_peer();
	EXPECT_FALSE(qm_recv_all(sp.module, got.data(), 2000));
	// Sending to it fails, and raises no SIGPIPE that would end us.
	EXPECT_FALSE(qm_send_all(sp.module, data.data(), data.size()));
	EXPECT_FALSE(qm_send_all(sp.module, data.data(), 8));
}

// ---------------------------------------------------------------------------
// Connecting to a published endpoint

TEST(Connect, PresentsTheTokenWithTheTimeOutOfItsDirection)
{
	fake::controller ctl(config_dir);
	bool told = false;
	ASSERT_TRUE(ctl.start());

	qm_socket in = qm_connect("filter-input", true, &told);
	ASSERT_TRUE(in.valid());
	qm_socket out = qm_connect("direct-output", false, &told);
	ASSERT_TRUE(out.valid());
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::input, 1, LONG));
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::output, 1, LONG));
	EXPECT_EQ(ctl.tokens(endpoint::input)[0], ctl.token(endpoint::input));

	timeval snd = socket_timeout(in.get(), SO_SNDTIMEO);
	timeval rcv = socket_timeout(in.get(), SO_RCVTIMEO);
	EXPECT_EQ(snd.tv_sec, 1);
	EXPECT_EQ(snd.tv_usec, 0);
	EXPECT_EQ(rcv.tv_sec, 0);
	EXPECT_EQ(rcv.tv_usec, 0);
	snd = socket_timeout(out.get(), SO_SNDTIMEO);
	rcv = socket_timeout(out.get(), SO_RCVTIMEO);
	EXPECT_EQ(snd.tv_sec, 0);
	EXPECT_EQ(snd.tv_usec, 0);
	EXPECT_EQ(rcv.tv_sec, 1);
	EXPECT_EQ(rcv.tv_usec, 0);
	EXPECT_TRUE(fcntl(in.get(), F_GETFD) & FD_CLOEXEC);
	EXPECT_TRUE(fcntl(out.get(), F_GETFD) & FD_CLOEXEC);

	// A controller that sends nothing: the receive gives up after 1 s.
	uint8_t byte;
	auto start = std::chrono::steady_clock::now();
	EXPECT_LT(qm_recv_some(out, &byte, 1), 0);
	auto took = std::chrono::steady_clock::now() - start;
	EXPECT_GE(took, 900ms);
	EXPECT_LE(took, 4000ms);
}

TEST(Connect, RereadsTheEndpointFileOnEveryAttempt)
{
	fake::controller ctl(config_dir);
	bool told = false;
	ASSERT_TRUE(ctl.start(0, 0, false));
	EXPECT_FALSE(qm_connect("filter-input", true, &told).valid());

	ASSERT_TRUE(ctl.publish(endpoint::input));
	EXPECT_TRUE(qm_connect("filter-input", true, &told).valid());
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::input, 1, LONG));

	// A new controller run: new port, new token.
	ctl.stop();
	EXPECT_FALSE(qm_connect("filter-input", true, &told).valid());
	ASSERT_TRUE(ctl.start());
	EXPECT_TRUE(qm_connect("filter-input", true, &told).valid());
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::input, 2, LONG));
	auto conns = ctl.connections(endpoint::input);
	EXPECT_EQ(conns.back().token, ctl.token(endpoint::input));
	EXPECT_NE(conns[0].token, conns.back().token);

	ctl.unpublish(endpoint::output);
	EXPECT_FALSE(qm_connect("direct-output", false, &told).valid());
}

// ---------------------------------------------------------------------------
// The stream loops

TEST(ReceiveOutput, StoresWholeFramesWithTheirArrivalTime)
{
	auto d = make_instance();
	frame_buffer scratch = qm_alloc_frame();
	socket_pair sp;
	fake::bytes a = numbered_pixels(1), b = numbered_pixels(2);
	uint64_t before = os_gettime_ns();
	std::thread worker(
		[&] { qm_receive_output(d.get(), sp.module, scratch); });
	ASSERT_TRUE(sp.peer_send(fake::encode_frame(a)));
	ASSERT_TRUE(sp.peer_send(fake::encode_frame(b)));
	// A cut frame, then the controller goes away.
	fake::bytes c = fake::encode_frame(numbered_pixels(3));
	c.resize(8 + FRAME_SIZE / 3);
	ASSERT_TRUE(sp.peer_send(c));
	sp.close_peer();
	worker.join();
	uint64_t after = os_gettime_ns();

	EXPECT_TRUE(output_is(d.get(), b));
	std::lock_guard<std::mutex> guard(d->lock);
	EXPECT_TRUE(d->has_output);
	EXPECT_GE(d->output_time, before);
	EXPECT_LE(d->output_time, after);
}

TEST(ReceiveOutput, NeverShowsACutFrame)
{
	auto d = make_instance();
	frame_buffer scratch = qm_alloc_frame();
	socket_pair sp;
	fake::bytes cut = fake::encode_frame(numbered_pixels(4));
	cut.resize(8 + FRAME_SIZE - 1);
	std::thread worker(
		[&] { qm_receive_output(d.get(), sp.module, scratch); });
	ASSERT_TRUE(sp.peer_send(cut));
	sp.close_peer();
	worker.join();
	EXPECT_TRUE(output_is(d.get(), fake::bytes(FRAME_SIZE, 0xAB)));
	std::lock_guard<std::mutex> guard(d->lock);
	EXPECT_FALSE(d->has_output);
}

TEST(ReceiveOutput, StopsReadingAtAWrongHeader)
{
	for (auto wh : {std::pair<uint32_t, uint32_t>{1920, 1080},
			{1280, 721},
			{720, 1280},
			{0, 0}}) {
		SCOPED_TRACE(std::to_string(wh.first) + "x" +
			     std::to_string(wh.second));
		auto d = make_instance();
		frame_buffer scratch = qm_alloc_frame();
		socket_pair sp;
		fake::bytes wire = fake::encode_header(wh.first, wh.second);
		fake::bytes px = numbered_pixels(5);
		wire.insert(wire.end(), px.begin(), px.begin() + 5000);
		ASSERT_TRUE(sp.peer_send(wire));
		// A receiver that read on would stall here without this.
		timeval tv{2, 0};
		setsockopt(sp.module.get(), SOL_SOCKET, SO_RCVTIMEO, &tv,
			   sizeof tv);
		// Returns by itself, with the peer still there, having read
		// only the header.
		qm_receive_output(d.get(), sp.module, scratch);
		EXPECT_EQ(sp.module_unread(), 5000);
		EXPECT_TRUE(output_is(d.get(), fake::bytes(FRAME_SIZE, 0xAB)));
	}
}

TEST(StreamInput, SendsEachNewCaptureOnceAndEndsOnStop)
{
	auto d = make_instance();
	socket_pair sp;
	std::thread worker([&] { qm_stream_input(d.get(), sp.module); });

	// Nothing captured yet: nothing sent.
	std::this_thread::sleep_for(100ms);
	EXPECT_EQ(sp.peer_unread(), 0);

	fake::bytes a = numbered_pixels(6);
	capture(d.get(), a);
	EXPECT_EQ(sp.peer_recv(8 + FRAME_SIZE), fake::encode_frame(a));
	// The same capture is not sent again.
	std::this_thread::sleep_for(100ms);
	EXPECT_EQ(sp.peer_unread(), 0);

	fake::bytes b = numbered_pixels(8);
	capture(d.get(), b);
	EXPECT_EQ(sp.peer_recv(8 + FRAME_SIZE), fake::encode_frame(b));

	// Idle and told to stop: ends at once, woken rather than polling.
	auto start = std::chrono::steady_clock::now();
	qm_request_stop(d.get());
	worker.join();
	EXPECT_LE(std::chrono::steady_clock::now() - start, 3000ms);
}

TEST(StreamInput, SleepsUntilACaptureComes)
{
	auto d = make_instance();
	socket_pair sp;
	std::atomic<pid_t> tid{0};
	std::thread worker([&] {
		tid = pid_t(syscall(SYS_gettid));
		qm_stream_input(d.get(), sp.module);
	});
	fake::bytes a = numbered_pixels(3);
	capture(d.get(), a);
	EXPECT_EQ(sp.peer_recv(8 + FRAME_SIZE), fake::encode_frame(a));

	// Idle for a second: a sender that looked every 10 ms would give up
	// its CPU about a hundred times; one that waits for render's signal
	// does so once, and a few more for the rare spurious wake.
	long before = voluntary_switches(tid);
	ASSERT_GE(before, 0);
	std::this_thread::sleep_for(1000ms);
	long idle = voluntary_switches(tid) - before;
	EXPECT_LE(idle, 10);

	// The signal still wakes it.
	fake::bytes b = numbered_pixels(4);
	capture(d.get(), b);
	EXPECT_EQ(sp.peer_recv(8 + FRAME_SIZE), fake::encode_frame(b));
	EXPECT_GT(voluntary_switches(tid), before);
	qm_request_stop(d.get());
	worker.join();
}

TEST(StreamInput, SendsTheLatestOfCapturesMadeWhileBusy)
{
	auto d = make_instance();
	socket_pair sp;
	fake::bytes first = numbered_pixels(1);
	capture(d.get(), first);
	std::thread worker([&] { qm_stream_input(d.get(), sp.module); });
	// The first frame fills the socket's buffers: the worker is busy
	// sending it while four more captures come, each into the buffer
	// render has free.
	ASSERT_TRUE(wait_until_unread(sp, 1));
	fake::bytes last;
	for (uint8_t i = 2; i <= 5; i++) {
		last = numbered_pixels(i);
		capture(d.get(), last);
	}
	EXPECT_EQ(sp.peer_recv(8 + FRAME_SIZE), fake::encode_frame(first));
	// Only the latest follows, whole.
	EXPECT_EQ(sp.peer_recv(8 + FRAME_SIZE), fake::encode_frame(last));
	std::this_thread::sleep_for(100ms);
	EXPECT_EQ(sp.peer_unread(), 0);

	// The latest capture stays readable while it is being sent, and
	// after; a reconnection sends it again.
	{
		std::lock_guard<std::mutex> guard(d->lock);
		EXPECT_EQ(d->input_seq, 5u);
		EXPECT_EQ(memcmp(qm_latest_input(d.get()), last.data(),
				 FRAME_SIZE),
			  0);
	}
	qm_request_stop(d.get());
	worker.join();
	d->stop = false;
	socket_pair again;
	std::thread resend([&] { qm_stream_input(d.get(), again.module); });
	EXPECT_EQ(again.peer_recv(8 + FRAME_SIZE), fake::encode_frame(last));
	qm_request_stop(d.get());
	resend.join();
}

TEST(StreamInput, EndsWhenTheControllerGoesAway)
{
	auto d = make_instance();
	socket_pair sp;
	sp.close_peer();
	capture(d.get(), numbered_pixels(1));
	// Returns on the failed send, without SIGPIPE.
	qm_stream_input(d.get(), sp.module);
	EXPECT_FALSE(d->stop.load());
}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	// The module finds its configuration folder through the environment:
	// point it at a fresh folder before any thread starts.
	char home[] = "/tmp/qm-link-unit-XXXXXX";
	if (!mkdtemp(home))
		return 2;
	setenv("XDG_CONFIG_HOME", home, 1);
	config_dir =
		std::string(home) + "/obs-studio/plugin_config/quilmar-direct";
	int result = RUN_ALL_TESTS();
	std::string cleanup = std::string("rm -rf '") + home + "'";
	if (system(cleanup.c_str()) != 0)
		fprintf(stderr, "could not remove %s\n", home);
	return result;
}
