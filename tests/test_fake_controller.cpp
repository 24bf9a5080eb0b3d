// The fake controller checked against a tiny raw socket client, so that the
// link tests can trust what it reports about the module.
#include "fake_controller.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace fake;
using namespace std::chrono_literals;

namespace {

// Deadlines that only catch a hang: two cores loaded by other work (or a
// sanitizer) can take seconds for what is instant on a quiet machine.
constexpr auto LONG = std::chrono::seconds(60);

// A blocking loopback client with a receive time-out, closed on scope exit.
struct client {
	int fd = -1;

	explicit client(uint16_t port)
	{
		fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		timeval tv{60, 0};
		::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
		sockaddr_in a{};
		a.sin_family = AF_INET;
		a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		a.sin_port = htons(port);
		if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) !=
		    0) {
			::close(fd);
			fd = -1;
		}
	}
	~client()
	{
		if (fd >= 0)
			::close(fd);
	}
	bool send_all(const void *data, size_t len)
	{
		auto p = static_cast<const uint8_t *>(data);
		while (len > 0) {
			ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
			if (n <= 0)
				return false;
			p += n;
			len -= size_t(n);
		}
		return true;
	}
	bool send_all(const std::string &s)
	{
		return send_all(s.data(), s.size());
	}
	bool send_all(const bytes &b) { return send_all(b.data(), b.size()); }
	// Exactly len bytes, or fewer when the peer closed or time ran out.
	bytes recv_n(size_t len)
	{
		bytes out(len);
		size_t have = 0;
		while (have < len) {
			ssize_t n =
				::recv(fd, out.data() + have, len - have, 0);
			if (n <= 0)
				break;
			have += size_t(n);
		}
		out.resize(have);
		return out;
	}
	// True when the peer closed: recv reports 0 or a reset.
	bool sees_close()
	{
		uint8_t b;
		ssize_t n = ::recv(fd, &b, 1, 0);
		return n == 0 || (n < 0 && errno == ECONNRESET);
	}
};

std::string temp_dir()
{
	std::string root = qm_test::scratch_dir("qm-fakectl");
	return root.empty() ? root
			    : root + "/obs-studio/plugin_config/quilmar-direct";
}

std::string read_text(const std::string &path)
{
	std::ifstream f(path);
	std::stringstream ss;
	ss << f.rdbuf();
	return ss.str();
}

bool exists(const std::string &path)
{
	struct stat st;
	return ::stat(path.c_str(), &st) == 0;
}

size_t count_entries(const char *dir)
{
	size_t n = 0;
	if (DIR *d = ::opendir(dir)) {
		while (::readdir(d))
			n++;
		::closedir(d);
	}
	return n;
}

size_t files_in(const std::string &dir)
{
	return count_entries(dir.c_str()) - 2;
}

bytes pattern_pixels(uint8_t seed)
{
	bytes p(FRAME_BYTES);
	for (size_t i = 0; i < p.size(); i++)
		p[i] = uint8_t(i * 7 + seed + i / 5120);
	return p;
}

// A client connected to one endpoint with the controller's token.
std::unique_ptr<client> join(controller &ctl, endpoint ep)
{
	auto c = std::make_unique<client>(ctl.port(ep));
	EXPECT_GE(c->fd, 0);
	EXPECT_TRUE(c->send_all(ctl.token(ep)));
	return c;
}

} // namespace

TEST(FakeControllerFiles, PublishesBothEndpointsWithFreshTokens)
{
	std::string dir = temp_dir();
	controller ctl(dir);
	ASSERT_TRUE(ctl.start());
	std::string in_text = read_text(dir + "/filter-input.endpoint");
	std::string out_text = read_text(dir + "/direct-output.endpoint");
	EXPECT_EQ(in_text,
		  "{\"port\": " + std::to_string(ctl.port(endpoint::input)) +
			  ", \"token\": \"" + ctl.token(endpoint::input) +
			  "\"}\n");
	EXPECT_EQ(out_text,
		  "{\"port\": " + std::to_string(ctl.port(endpoint::output)) +
			  ", \"token\": \"" + ctl.token(endpoint::output) +
			  "\"}\n");
	EXPECT_NE(ctl.port(endpoint::input), ctl.port(endpoint::output));
	for (endpoint ep : {endpoint::input, endpoint::output}) {
		std::string t = ctl.token(ep);
		ASSERT_EQ(t.size(), TOKEN_BYTES);
		for (char ch : t)
			EXPECT_TRUE(ch > 0x20 && ch < 0x7f) << int(ch);
	}
	EXPECT_NE(ctl.token(endpoint::input), ctl.token(endpoint::output));
	// Only the two endpoint files: no temporary file is left behind.
	EXPECT_EQ(files_in(dir), 2u);

	std::string old = ctl.token(endpoint::input);
	ASSERT_TRUE(ctl.restart());
	EXPECT_NE(ctl.token(endpoint::input), old);
}

TEST(FakeControllerFiles, WritesBrokenFilesOnRequest)
{
	std::string dir = temp_dir();
	std::string path = dir + "/filter-input.endpoint";
	{
		controller ctl(dir);
		ASSERT_TRUE(ctl.start());
		std::string tok = ctl.token(endpoint::input);

		endpoint_file f;
		f.port_json = "4294967296";
		f.token = std::string("ab\0c\"\\", 6);
		ASSERT_TRUE(ctl.publish(endpoint::input, f));
		EXPECT_EQ(read_text(path),
			  "{\"port\": 4294967296, "
			  "\"token\": \"ab\\u0000c\\\"\\\\\"}\n");

		endpoint_file no_port;
		no_port.omit_port = true;
		ASSERT_TRUE(ctl.publish(endpoint::input, no_port));
		EXPECT_EQ(read_text(path), "{\"token\": \"" + tok + "\"}\n");

		endpoint_file raw;
		raw.raw = "{\"port\": ";
		ASSERT_TRUE(ctl.publish(endpoint::input, raw));
		EXPECT_EQ(read_text(path), "{\"port\": ");

		ctl.unpublish(endpoint::input);
		EXPECT_FALSE(exists(path));
		ASSERT_TRUE(ctl.publish(endpoint::input));
		EXPECT_TRUE(exists(path));
	}
	// The destructor removes what it published.
	EXPECT_FALSE(exists(path));
	EXPECT_FALSE(exists(dir + "/direct-output.endpoint"));
}

TEST(FakeControllerHandshake, ChecksAndRecordsEveryToken)
{
	controller ctl(temp_dir());
	ASSERT_TRUE(ctl.start());
	std::string tok = ctl.token(endpoint::input);

	std::string wrong = tok;
	wrong[10] ^= 1;
	client bad(ctl.port(endpoint::input));
	ASSERT_TRUE(bad.send_all(wrong));
	EXPECT_TRUE(bad.sees_close());

	{
		client short_one(ctl.port(endpoint::input));
		ASSERT_TRUE(short_one.send_all(tok.substr(0, 63)));
		ASSERT_TRUE(ctl.wait(
			[&] {
				auto t = ctl.tokens(endpoint::input);
				return t.size() == 2 && t[1].size() == 63;
			},
			LONG));
	}

	auto good = join(ctl, endpoint::input);
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::input, 1, LONG));
	ASSERT_TRUE(ctl.wait(
		[&] {
			return ctl.connections(endpoint::input)[1].closed ==
			       close_reason::peer;
		},
		LONG));

	auto conns = ctl.connections(endpoint::input);
	ASSERT_EQ(conns.size(), 3u);
	EXPECT_EQ(conns[0].token, wrong);
	EXPECT_FALSE(conns[0].token_ok);
	EXPECT_EQ(conns[0].closed, close_reason::bad_token);
	EXPECT_EQ(conns[1].token, tok.substr(0, 63));
	EXPECT_FALSE(conns[1].token_ok);
	EXPECT_EQ(conns[2].token, tok);
	EXPECT_TRUE(conns[2].token_ok);
	EXPECT_EQ(conns[2].closed, close_reason::open);
	EXPECT_LE(conns[0].accepted_at, conns[2].accepted_at);
	EXPECT_EQ(ctl.connection_count(endpoint::output), 0u);
	EXPECT_EQ(ctl.open_count(endpoint::input), 1u);

	// A token accepted in place of the published one.
	std::string other(64, 'x');
	ctl.set_accepted_token(endpoint::input, other);
	client x(ctl.port(endpoint::input));
	ASSERT_TRUE(x.send_all(other));
	EXPECT_TRUE(ctl.wait_token_ok(endpoint::input, 2, LONG));
}

TEST(FakeControllerInput, RecordsWholeFramesAndHeaders)
{
	controller ctl(temp_dir());
	ctl.set_kept_frames(2);
	ASSERT_TRUE(ctl.start());
	auto c = join(ctl, endpoint::input);
	bytes a = pattern_pixels(1), b = pattern_pixels(2);
	bytes wire = encode_frame(a);
	bytes second = encode_frame(b);
	wire.insert(wire.end(), second.begin(), second.end());
	// Odd pieces, so that frames straddle the reads.
	for (size_t off = 0; off < wire.size(); off += 777777)
		ASSERT_TRUE(c->send_all(wire.data() + off,
					std::min<size_t>(777777,
							 wire.size() - off)));
	ASSERT_TRUE(ctl.wait_input_frames(2, LONG));
	EXPECT_EQ(ctl.last_input_frame(), b);
	auto kept = ctl.kept_input_frames();
	ASSERT_EQ(kept.size(), 2u);
	EXPECT_EQ(kept[0], a);
	EXPECT_EQ(kept[1], b);
	auto frames = ctl.input_frames();
	ASSERT_EQ(frames.size(), 2u);
	for (auto &f : frames) {
		EXPECT_EQ(f.width, FRAME_W);
		EXPECT_EQ(f.height, FRAME_H);
		EXPECT_TRUE(f.complete);
		EXPECT_LE(f.started, f.completed);
	}
	EXPECT_EQ(ctl.connections(endpoint::input)[0].bytes_after_token,
		  2 * (HEADER_BYTES + FRAME_BYTES));

	// A wrong header is recorded and ends the connection.
	ASSERT_TRUE(c->send_all(encode_header(1920, 1080)));
	EXPECT_TRUE(c->sees_close());
	ASSERT_TRUE(ctl.wait_closed(1, LONG));
	frames = ctl.input_frames();
	ASSERT_EQ(frames.size(), 3u);
	EXPECT_EQ(frames[2].width, 1920u);
	EXPECT_EQ(frames[2].height, 1080u);
	EXPECT_FALSE(frames[2].complete);
	EXPECT_EQ(ctl.connections(endpoint::input)[0].closed,
		  close_reason::bad_header);
	EXPECT_EQ(ctl.input_frame_count(), 2u);
}

TEST(FakeControllerInput, MisbehavesOnRequest)
{
	controller ctl(temp_dir());
	ASSERT_TRUE(ctl.start());
	const uint64_t cut = HEADER_BYTES + 1000000;
	ctl.push_input_behavior(input_behavior::close_after(cut));
	ctl.push_input_behavior(input_behavior::never_read());
	ctl.push_input_behavior(input_behavior::slow(512 * 1024, 40ms));
	bytes wire = encode_frame(pattern_pixels(3));

	// Closes after exactly `cut` bytes; the frame does not count.
	auto a = join(ctl, endpoint::input);
	a->send_all(wire);
	ASSERT_TRUE(ctl.wait_closed(1, LONG));
	auto info = ctl.connections(endpoint::input)[0];
	EXPECT_EQ(info.closed, close_reason::behavior);
	EXPECT_EQ(info.bytes_after_token, cut);
	EXPECT_EQ(ctl.input_frame_count(), 0u);

	// Reads nothing, but notices the client going away.
	{
		auto b = join(ctl, endpoint::input);
		ASSERT_TRUE(ctl.wait_token_ok(endpoint::input, 2, LONG));
		ASSERT_TRUE(b->send_all(wire.data(), 100000));
		std::this_thread::sleep_for(100ms);
		EXPECT_EQ(ctl.connections(endpoint::input)[1].bytes_after_token,
			  0u);
	}
	ASSERT_TRUE(ctl.wait_closed(2, LONG));
	EXPECT_EQ(ctl.connections(endpoint::input)[1].closed,
		  close_reason::peer);

	// Slow: eight pieces with a pause after each, so at least 7 pauses.
	auto c = join(ctl, endpoint::input);
	auto t0 = clock::now();
	ASSERT_TRUE(c->send_all(wire));
	ASSERT_TRUE(ctl.wait_input_frames(1, LONG));
	EXPECT_GE(clock::now() - t0, 7 * 40ms);
	EXPECT_EQ(ctl.last_input_frame(), pattern_pixels(3));

	// The queue is used up: the next connection reads normally.
	auto d = join(ctl, endpoint::input);
	ASSERT_TRUE(d->send_all(wire));
	ASSERT_TRUE(ctl.wait_input_frames(2, LONG));

	// close_connections ends every open connection.
	ctl.close_connections(endpoint::input);
	EXPECT_TRUE(c->sees_close());
	EXPECT_TRUE(d->sees_close());
	ASSERT_TRUE(ctl.wait(
		[&] { return ctl.open_count(endpoint::input) == 0; }, LONG));
	ASSERT_TRUE(ctl.wait_closed(3, LONG));
	ASSERT_TRUE(ctl.wait_closed(4, LONG));
	EXPECT_EQ(ctl.connections(endpoint::input)[2].closed,
		  close_reason::requested);
	EXPECT_EQ(ctl.connections(endpoint::input)[3].closed,
		  close_reason::requested);
}

TEST(FakeControllerOutput, SendsWhatTheTestAsks)
{
	controller ctl(temp_dir());
	ASSERT_TRUE(ctl.start());
	// No module connected: the job fails at once.
	EXPECT_FALSE(ctl.send_frame(pattern_pixels(0), 1s));

	auto c = join(ctl, endpoint::output);
	ASSERT_TRUE(ctl.wait_open(endpoint::output, LONG));
	bytes px = pattern_pixels(4);
	uint64_t job = ctl.post_frame(px);
	bytes got = c->recv_n(HEADER_BYTES + FRAME_BYTES);
	EXPECT_EQ(got, encode_frame(px));
	bool ok = false;
	ASSERT_TRUE(ctl.wait_job(job, LONG, &ok));
	EXPECT_TRUE(ok);

	ASSERT_TRUE(ctl.send_header(1920, 1080, LONG));
	EXPECT_EQ(c->recv_n(8), (bytes{0, 0, 7, 128, 0, 0, 4, 56}));

	// Slow bytes, then a cut frame and a close.
	bytes whole = encode_frame(px);
	bytes part(whole.begin(), whole.begin() + 300000);
	auto t0 = clock::now();
	ASSERT_TRUE(ctl.send_bytes(part, LONG, pacing{100000, 50ms}, true));
	EXPECT_GE(clock::now() - t0, 2 * 50ms);
	EXPECT_EQ(c->recv_n(300000), part);
	EXPECT_TRUE(c->sees_close());
	ASSERT_TRUE(ctl.wait_closed(1, LONG));
	auto info = ctl.connections(endpoint::output)[0];
	EXPECT_EQ(info.closed, close_reason::requested);
	EXPECT_EQ(info.frames, 1u);
	EXPECT_EQ(info.bytes_sent, HEADER_BYTES + FRAME_BYTES + 8 + 300000);

	// The module closing its side is noticed while idle.
	{
		auto d = join(ctl, endpoint::output);
		ASSERT_TRUE(ctl.wait_token_ok(endpoint::output, 2, LONG));
	}
	ASSERT_TRUE(ctl.wait_closed(2, LONG));
	EXPECT_EQ(ctl.connections(endpoint::output)[1].closed,
		  close_reason::peer);
}

TEST(FakeControllerOutput, EchoesRepeatsAndCloses)
{
	controller ctl(temp_dir());
	ASSERT_TRUE(ctl.start());
	ctl.push_output_behavior(output_behavior::echo([](bytes &p) {
		for (size_t i = 0; i < p.size(); i += 4)
			p[i] = uint8_t(255 - p[i]);
	}));
	ctl.push_output_behavior(output_behavior::close_at_once());
	ctl.push_output_behavior(
		output_behavior::repeat(pattern_pixels(9), 20ms));

	auto out = join(ctl, endpoint::output);
	ASSERT_TRUE(ctl.wait_open(endpoint::output, LONG));
	auto in = join(ctl, endpoint::input);
	bytes px = pattern_pixels(5);
	ASSERT_TRUE(in->send_all(encode_frame(px)));
	bytes want = px;
	for (size_t i = 0; i < want.size(); i += 4)
		want[i] = uint8_t(255 - want[i]);
	EXPECT_EQ(out->recv_n(HEADER_BYTES + FRAME_BYTES), encode_frame(want));

	auto closing = join(ctl, endpoint::output);
	EXPECT_TRUE(closing->sees_close());
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::output, 2, LONG));
	// Ids count across both endpoints.
	ASSERT_TRUE(
		ctl.wait_closed(ctl.connections(endpoint::output)[1].id, LONG));
	EXPECT_EQ(ctl.connections(endpoint::output)[1].closed,
		  close_reason::behavior);

	auto rep = join(ctl, endpoint::output);
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(rep->recv_n(HEADER_BYTES + FRAME_BYTES),
			  encode_frame(pattern_pixels(9)));

	// The default behaviour is back: silence.
	auto quiet = join(ctl, endpoint::output);
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::output, 3, LONG));
	std::this_thread::sleep_for(100ms);
	EXPECT_EQ(ctl.connections(endpoint::output)[3].bytes_sent, 0u);
}

TEST(FakeControllerOutput, EchoesAgainAndToConnectionsOpenedMeanwhile)
{
	// The transform holds the echo until a second connection is open.
	std::atomic<bool> second_open{false};
	controller ctl(temp_dir());
	ASSERT_TRUE(ctl.start());
	ctl.set_output_behavior(output_behavior::echo(
		[&](bytes &) {
			while (!second_open)
				std::this_thread::sleep_for(1ms);
		},
		50ms));
	auto first = join(ctl, endpoint::output);
	ASSERT_TRUE(ctl.wait_open(endpoint::output, LONG));
	auto in = join(ctl, endpoint::input);
	ASSERT_TRUE(in->send_all(encode_frame(pattern_pixels(5))));
	auto second = join(ctl, endpoint::output);
	ASSERT_TRUE(ctl.wait_token_ok(endpoint::output, 2, LONG));
	second_open = true;
	// One frame in; the first connection gets its echo again and again.
	for (auto *c : {first.get(), first.get(), first.get(), second.get()})
		EXPECT_EQ(c->recv_n(HEADER_BYTES + FRAME_BYTES),
			  encode_frame(pattern_pixels(5)));
	EXPECT_EQ(ctl.input_frame_count(), 1u);
}

TEST(FakeControllerLife, StopsRestartsAndLeavesNothingBehind)
{
	// A sanitizer runtime may start a helper thread of its own with the
	// first thread of the process: let it do so before counting.
	std::thread([] {}).join();
	size_t fds = count_entries("/proc/self/fd");
	size_t threads = count_entries("/proc/self/task");
	std::string dir = temp_dir();
	{
		controller ctl(dir);
		ASSERT_TRUE(ctl.start());
		auto in = join(ctl, endpoint::input);
		auto out = join(ctl, endpoint::output);
		ASSERT_TRUE(ctl.wait_open(endpoint::input, LONG));
		ASSERT_TRUE(ctl.wait_open(endpoint::output, LONG));
		uint16_t pin = ctl.port(endpoint::input);
		ctl.stop();
		EXPECT_FALSE(ctl.running());
		EXPECT_TRUE(in->sees_close());
		EXPECT_TRUE(out->sees_close());
		EXPECT_EQ(ctl.connections(endpoint::input)[0].closed,
			  close_reason::stopped);
		// The files stay, pointing at a closed port.
		EXPECT_TRUE(exists(dir + "/filter-input.endpoint"));
		client refused(pin);
		EXPECT_LT(refused.fd, 0);

		ASSERT_TRUE(ctl.restart());
		EXPECT_EQ(ctl.port(endpoint::input), pin);
		auto again = join(ctl, endpoint::input);
		ASSERT_TRUE(ctl.wait_token_ok(endpoint::input, 2, LONG));
		// Destroyed with a connection open and a client attached.
	}
	EXPECT_EQ(count_entries("/proc/self/fd"), fds);
	EXPECT_EQ(count_entries("/proc/self/task"), threads);
}
