// The controller link inside the real host: quilmar-direct.so loaded into a
// headless libobs, talking over loopback to the fake controller, which
// publishes its endpoints in the module's configuration folder.
#include "fake_controller.h"
#include "host.h"

#include <util/platform.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace qm_test;
using namespace std::chrono_literals;
using fake::endpoint;

namespace {

// Generous: two loaded cores, perhaps a sanitizer; waits end as soon as
// their condition holds.
constexpr auto LONG = std::chrono::milliseconds(60000);

using ms = std::chrono::milliseconds;

ms since(fake::clock::time_point from, fake::clock::time_point to)
{
	return std::chrono::duration_cast<ms>(to - from);
}

fake::bytes pixels_of(const image &img)
{
	return fake::bytes(img.pixels.begin(), img.pixels.end());
}

image image_of(const fake::bytes &px)
{
	image img;
	img.width = FRAME_WIDTH;
	img.height = FRAME_HEIGHT;
	img.pitch = FRAME_LINESIZE;
	img.pixels.assign(px.begin(), px.end());
	return img;
}

fake::bytes processed_pixels(const palette &colours = PROCESSED_PALETTE)
{
	return pixels_of(make_pattern(FRAME_WIDTH, FRAME_HEIGHT, colours));
}

// The first recorded input frame that arrived on a connection.
const fake::input_frame_info *
first_frame_on(const std::vector<fake::input_frame_info> &frames, uint64_t conn)
{
	for (auto &f : frames)
		if (f.connection == conn)
			return &f;
	return nullptr;
}

class link_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_log();
		threads_at_start = thread_count();
		ctl = std::make_unique<fake::controller>(module_config_dir());
	}

	void TearDown() override
	{
		// Closing the controller first wakes the receiver at once, so
		// that destroying the filter does not wait for its time-out.
		ctl->stop();
		fs = filtered_source();
		ctl.reset();
		// The host destroys the filter on a thread of its own; its
		// workers are gone once the thread count is back.
		EXPECT_TRUE(wait_for_thread_count(threads_at_start, LONG))
			<< thread_count() << " threads, " << threads_at_start
			<< " at the start";

		for (auto &line : log_lines()) {
			bool host_json_error =
				allow_json_errors &&
				line.text.find("obs_data_create_from_json") !=
					std::string::npos;
			if (!host_json_error) {
				EXPECT_GT(line.level, LOG_WARNING)
					<< "unexpected log line: " << line.text;
			}
		}
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
	}

	// A 1280x720 pattern source with the filter attached.
	void make_filter(pattern_kind kind = pattern_kind::plain)
	{
		bool async = kind == pattern_kind::async;
		fs = make_filtered(kind, async ? 0 : FRAME_WIDTH,
				   async ? 0 : FRAME_HEIGHT);
		ASSERT_NE(fs.data(), nullptr);
	}

	// The filter on a source without a size: each render only draws,
	// capturing nothing, so that a frame is judged fresh as soon as the
	// render begins, however slowly the machine would capture.
	void make_display_only_filter()
	{
		fs = make_filtered(pattern_kind::plain, 0, 0);
		ASSERT_NE(fs.data(), nullptr);
	}

	image render() { return render_and_read(fs.parent.get()); }

	// Renders until cond holds.
	bool render_until(const std::function<bool(const image &)> &cond,
			  ms deadline = LONG)
	{
		return wait_until([&] { return cond(render()); }, deadline);
	}

	bool shows_processed(const image &img,
			     const palette &colours = PROCESSED_PALETTE)
	{
		return pattern_mismatch(img, colours).empty();
	}

	// The controller sends a frame of colours, again and again, until
	// the filter has drawn it.
	bool draws(const palette &colours)
	{
		return ctl->post_frames_until(
			processed_pixels(colours),
			[&] { return shows_processed(render(), colours); },
			LONG);
	}

	// Closes the controller's connections and renders until both
	// workers have connected again (the sender notices a closed
	// connection only when it next sends a frame).
	bool reconnect_both()
	{
		size_t in = ctl->token_ok_count(endpoint::input);
		size_t out = ctl->token_ok_count(endpoint::output);
		ctl->close_connections(endpoint::input);
		ctl->close_connections(endpoint::output);
		return render_until([&](const image &) {
			return ctl->token_ok_count(endpoint::input) > in &&
			       ctl->token_ok_count(endpoint::output) > out;
		});
	}

	std::unique_ptr<fake::controller> ctl;
	filtered_source fs;
	bool allow_json_errors = false;
	int threads_at_start = 0;
};

using Handshake = link_test;
using InputStream = link_test;
using OutputStream = link_test;
using RoundTrip = link_test;
using Faults = link_test;

} // namespace

// ---------------------------------------------------------------------------
// Handshake

TEST_F(Handshake, RefusesInvalidEndpointFiles)
{
	// libobs reports the unreadable JSON itself; the module says nothing.
	allow_json_errors = true;
	ASSERT_TRUE(ctl->start(0, 0, false));
	// A listener on 65535 catches a port cut to 16 bits (-1 -> 65535).
	fake::controller top(module_config_dir());
	bool have_top = top.start(65535, 0, false);
	make_filter();

	std::string in_tok = ctl->token(endpoint::input);
	std::string out_tok = ctl->token(endpoint::output);
	std::string in_port = std::to_string(ctl->port(endpoint::input));
	std::string out_port = std::to_string(ctl->port(endpoint::output));
	std::string in_high =
		std::to_string(65536 + ctl->port(endpoint::input));
	std::string out_high =
		std::to_string(65536 + ctl->port(endpoint::output));

	struct bad_case {
		const char *what;
		fake::endpoint_file in, out;
	};
	std::vector<bad_case> cases;
	endpoint_reads reads;
	auto both = [&](const char *what, fake::endpoint_file f) {
		cases.push_back({what, f, f});
	};
	{
		fake::endpoint_file in, out;
		in.token = in_tok.substr(0, 63);
		out.token = out_tok.substr(0, 63);
		cases.push_back({"63-byte token", in, out});
	}
	{
		fake::endpoint_file in, out;
		in.token = in_tok.substr(0, 20) + std::string(1, '\0') +
			   in_tok.substr(21);
		out.token = out_tok.substr(0, 20) + std::string(1, '\0') +
			    out_tok.substr(21);
		cases.push_back({"zero byte inside the token", in, out});
	}
	{
		fake::endpoint_file f;
		f.port_json = "0";
		both("port 0", f);
		f.port_json = "-1";
		both("port -1", f);
		f.port_json = "65536";
		both("port 65536", f);
	}
	{
		fake::endpoint_file in, out;
		in.port_json = in_high;
		out.port_json = out_high;
		cases.push_back({"port 65536 + a listening port", in, out});
	}
	{
		fake::endpoint_file f;
		f.omit_port = true;
		both("no port", f);
		f = {};
		f.raw = "{\"port\": " + in_port + ", \"token\": ";
		fake::endpoint_file g;
		g.raw = "{\"port\": " + out_port + ", \"token\": ";
		cases.push_back({"invalid JSON", f, g});
		f = {};
		f.raw = "";
		both("empty file", f);
	}

	// Each worker reads its file before every attempt: after three reads
	// of a file, at least two attempts have seen it.
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		ASSERT_TRUE(ctl->publish(endpoint::input, c.in));
		ASSERT_TRUE(ctl->publish(endpoint::output, c.out));
		reads.mark();
		ASSERT_TRUE(reads.wait(3));
		EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
		EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);
		if (have_top) {
			EXPECT_EQ(top.connection_count(endpoint::input), 0u);
		}
	}

	SCOPED_TRACE("missing files");
	ctl->unpublish(endpoint::input);
	ctl->unpublish(endpoint::output);
	reads.mark();
	ASSERT_TRUE(reads.wait(3));
	EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);

	// The workers were trying all along: valid files are taken at once.
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	if (!have_top)
		std::cout << "port 65535 busy: cut ports checked without it\n";
}

TEST_F(Handshake, SendsTheTokenUnchangedOrCutTo64Bytes)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	for (endpoint ep : {endpoint::input, endpoint::output}) {
		auto conns = ctl->connections(ep);
		ASSERT_EQ(conns.size(), 1u);
		EXPECT_EQ(conns[0].token, ctl->token(ep));
		// Nothing more from the module on its receiving connection.
		if (ep == endpoint::output) {
			EXPECT_EQ(conns[0].bytes_after_token, 0u);
		}
	}

	// Longer tokens: only their first 64 bytes go out.
	std::string in_tok = fake::random_token();
	std::string out_tok = fake::random_token();
	ctl->set_token(endpoint::input, in_tok);
	ctl->set_token(endpoint::output, out_tok);
	fake::endpoint_file in, out;
	in.token = in_tok + "-and-some-more-bytes";
	out.token = out_tok + std::string(200, 'z');
	ASSERT_TRUE(ctl->publish(endpoint::input, in));
	ASSERT_TRUE(ctl->publish(endpoint::output, out));
	ASSERT_TRUE(reconnect_both());
	EXPECT_EQ(ctl->tokens(endpoint::input).back(), in_tok);
	EXPECT_EQ(ctl->tokens(endpoint::output).back(), out_tok);
	for (endpoint ep : {endpoint::input, endpoint::output})
		for (auto &c : ctl->connections(ep))
			EXPECT_TRUE(c.token_ok) << "connection " << c.id;
}

TEST_F(Handshake, TakesTheLow32BitsOfThePort)
{
	ASSERT_TRUE(ctl->start(0, 0, false));
	fake::endpoint_file in, out;
	in.port_json =
		std::to_string(4294967296LL + ctl->port(endpoint::input));
	out.port_json =
		std::to_string(-3 * 4294967296LL + ctl->port(endpoint::output));
	ASSERT_TRUE(ctl->publish(endpoint::input, in));
	ASSERT_TRUE(ctl->publish(endpoint::output, out));
	make_filter();
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
}

TEST_F(Handshake, AcceptsPort65535)
{
	if (!ctl->start(65535, 0, true))
		GTEST_SKIP() << "port 65535 on 127.0.0.1 is in use";
	ASSERT_EQ(ctl->port(endpoint::input), 65535);
	make_filter();
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	EXPECT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
}

// ---------------------------------------------------------------------------
// Input stream: captured frames to "filter-input"

TEST_F(InputStream, SendsOnlyTheTokenBeforeTheFirstCapture)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	std::this_thread::sleep_for(1000ms);
	EXPECT_EQ(input_seq(fs.data()), 0u);
	EXPECT_EQ(ctl->connections(endpoint::input)[0].bytes_after_token, 0u);

	render();
	EXPECT_TRUE(ctl->wait_input_frames(1, LONG));
}

TEST_F(InputStream, SendsTheCapturedFrameByteExact)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	render();
	ASSERT_TRUE(ctl->wait_input_frames(1, LONG));

	uint64_t seq = 0;
	image captured = copy_input_frame(fs.data(), &seq);
	EXPECT_EQ(seq, 1u);
	EXPECT_EQ(pattern_mismatch(captured), "");
	auto frames = ctl->input_frames();
	ASSERT_EQ(frames.size(), 1u);
	EXPECT_EQ(frames[0].width, 1280u);
	EXPECT_EQ(frames[0].height, 720u);
	EXPECT_TRUE(frames[0].complete);
	EXPECT_TRUE(ctl->last_input_frame() == pixels_of(captured));

	// One capture, one frame: an unchanged sequence sends nothing.
	std::this_thread::sleep_for(1000ms);
	EXPECT_EQ(ctl->input_frames().size(), 1u);
	EXPECT_EQ(ctl->connections(endpoint::input)[0].bytes_after_token,
		  8 + FRAME_SIZE);
}

TEST_F(InputStream, ResendsTheLatestFrameAtOnceAfterReconnecting)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	render();
	ASSERT_TRUE(ctl->wait_input_frames(1, LONG));

	// The sender finds the connection closed when it sends the next
	// capture, and reconnects. No capture follows that one.
	ctl->close_connections(endpoint::input);
	ASSERT_TRUE(ctl->wait_closed(ctl->connections(endpoint::input)[0].id,
				     LONG));
	render();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 2, LONG));
	uint64_t second = ctl->connections(endpoint::input)[1].id;
	ASSERT_TRUE(ctl->wait(
		[&] {
			auto f = ctl->input_frames();
			auto *on = first_frame_on(f, second);
			return on && on->complete;
		},
		LONG));

	uint64_t seq = 0;
	image captured = copy_input_frame(fs.data(), &seq);
	EXPECT_EQ(seq, 2u);
	EXPECT_TRUE(ctl->last_input_frame() == pixels_of(captured));
	auto conns = ctl->connections(endpoint::input);
	EXPECT_EQ(conns[1].token, ctl->token(endpoint::input));
	EXPECT_GE(since(conns[0].closed_at, conns[1].accepted_at), 200ms);
}

namespace {

// Palettes told apart by the blue of their top-left region.
palette numbered_palette(int i)
{
	uint8_t v = uint8_t(10 + 20 * i);
	return palette{{bgra{v, 40, 200, 255}, bgra{40, v, 60, 255},
			bgra{200, 100, v, 255},
			bgra{uint8_t(250 - v), 250, 30, 255}}};
}

int palette_number(const image &img)
{
	bgra c = img.at(0, 0);
	for (int i = 0; i < 12; i++)
		if (near(c, numbered_palette(i).colours[0]))
			return i;
	return -1;
}

} // namespace

TEST_F(InputStream, SlowControllerGetsWholeLatestFrames)
{
	// About 60 reads with a pause after each: over a second a frame.
	ctl->set_input_behavior(fake::input_behavior::slow(64 * 1024, 20ms));
	ctl->set_kept_frames(16);
	ASSERT_TRUE(ctl->start());
	make_filter(pattern_kind::async);
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));

	const int captures = 12;
	for (int i = 0; i < captures; i++) {
		// Pushed again until captured: a pushed frame does not
		// always reach the next render.
		ASSERT_TRUE(wait_until([&] {
			push_pattern_frame(fs.parent.get(), FRAME_WIDTH,
					   FRAME_HEIGHT, numbered_palette(i));
			render();
			return palette_number(copy_input_frame(fs.data())) == i;
		}))
			<< "capture " << i;
	}
	uint64_t seq = input_seq(fs.data());

	// The latest capture arrives in the end. The last frame is looked at
	// only when a new one is in: copying frames under the controller's
	// lock at every read would hold up its reading.
	uint64_t looked_at = 0;
	ASSERT_TRUE(ctl->wait(
		[&] {
			uint64_t in = ctl->input_frame_count();
			if (in == looked_at)
				return false;
			looked_at = in;
			fake::bytes last = ctl->last_input_frame();
			return !last.empty() &&
			       palette_number(image_of(last)) == captures - 1;
		},
		std::chrono::seconds(60)));

	// Several captures show each picture, so pictures may repeat, but
	// never go back.
	EXPECT_LT(ctl->input_frame_count(), seq) << "no capture was skipped";
	auto kept = ctl->kept_input_frames();
	int last = -1;
	for (auto &px : kept) {
		image img = image_of(px);
		int n = palette_number(img);
		// A capture made before the first picture reached the GPU
		// shows nothing at all: whole, and older than every picture.
		if (n < 0 && last < 0 && is_all(img, bgra{0, 0, 0, 0}))
			continue;
		// Whole and of one capture, never mixed from two.
		EXPECT_EQ(pattern_mismatch(img, numbered_palette(n)), "")
			<< "frame of picture " << n;
		EXPECT_GE(n, last) << "an older picture after a newer one";
		last = n;
	}
	for (auto &f : ctl->input_frames())
		EXPECT_TRUE(f.complete && f.width == 1280 && f.height == 720);
	EXPECT_EQ(ctl->connection_count(endpoint::input), 1u);
}

// ---------------------------------------------------------------------------
// Output stream: processed frames from "direct-output" on screen

TEST_F(OutputStream, DrawsFreshFramesThenBlackAfterHalfASecond)
{
	ASSERT_TRUE(ctl->start());
	make_display_only_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	EXPECT_TRUE(is_opaque_black(render()));
	ASSERT_TRUE(draws(PROCESSED_PALETTE));

	// No frame after that, but the link stays up: the next header and a
	// few pixels come a byte every 200 ms, for about four seconds. Black
	// then means a stale frame, since only the end of a connection
	// clears has_output.
	fake::bytes bytes = fake::encode_header(1280, 720);
	bytes.resize(bytes.size() + 12, 0x40);
	uint64_t trickle = ctl->post_bytes(bytes, fake::pacing{1, 200ms});
	bool linked = false;
	ASSERT_TRUE(wait_until([&] {
		image img = render_and_read_after(
			[&] { linked = has_output(fs.data()); },
			fs.parent.get());
		return linked && is_opaque_black(img);
	})) << "never black while the frame was still the latest";

	// Once those bytes are through, nothing comes: the receive times out
	// a second after the last one, and the receiver connects again about
	// 250 ms after that.
	bool ok = false;
	ASSERT_TRUE(ctl->wait_job(trickle, LONG, &ok) && ok);
	size_t n = ctl->last_written_output();
	ASSERT_TRUE(ctl->wait_closed(ctl->connections(endpoint::output)[n].id,
				     LONG));
	auto conns = ctl->connections(endpoint::output);
	EXPECT_EQ(conns[n].closed, fake::close_reason::peer);
	EXPECT_GE(since(conns[n].sent_at, conns[n].closed_at), 900ms);
	EXPECT_LE(since(conns[n].sent_at, conns[n].closed_at), 6000ms);
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, n + 2, LONG));
	conns = ctl->connections(endpoint::output);
	EXPECT_GE(since(conns[n].closed_at, conns[n + 1].accepted_at), 200ms);
	EXPECT_LE(since(conns[n].closed_at, conns[n + 1].accepted_at), 6000ms);
	EXPECT_TRUE(is_opaque_black(render()));
}

TEST_F(OutputStream, ShowsOnlyTheNewestOfQuickFrames)
{
	ASSERT_TRUE(ctl->start());
	make_display_only_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	fake::bytes a = processed_pixels(numbered_palette(1));
	fake::bytes b = processed_pixels(numbered_palette(2));
	// Two frames right after each other, again until the host has drawn
	// the second fresh: the first only ever shows when a render falls
	// between them.
	std::string mismatch;
	EXPECT_TRUE(wait_until(
		[&] {
			uint64_t ja = ctl->post_frame(a);
			uint64_t jb = ctl->post_frame(b);
			bool ok_a = false, ok_b = false;
			bool sent = ctl->wait_job(ja, LONG, &ok_a) && ok_a;
			sent = ctl->wait_job(jb, LONG, &ok_b) && ok_b && sent;
			if (!sent) {
				// The receiver gave up on the silent
				// connection before they went out; the next
				// connection takes them.
				mismatch = "not sent";
				ctl->wait_open(endpoint::output, LONG);
				return false;
			}
			mismatch =
				pattern_mismatch(render(), numbered_palette(2));
			return mismatch.empty();
		},
		LONG))
		<< mismatch;
}

TEST_F(OutputStream, LossOfTheConnectionTurnsBlackAtOnce)
{
	ctl->set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 30ms));
	ASSERT_TRUE(ctl->start());
	make_display_only_filter();
	ASSERT_TRUE(render_until(
		[&](const image &img) { return shows_processed(img); }));

	auto closed = fake::clock::now();
	ctl->close_connections(endpoint::output);
	// Only the end of the connection clears has_output; a frame that
	// merely went stale leaves it set.
	ASSERT_TRUE(
		wait_until([&] { return !has_output(fs.data()); }, LONG, 1ms));
	EXPECT_TRUE(is_opaque_black(render()));

	// Reconnected about 250 ms later, and drawing again.
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 2, LONG));
	EXPECT_GE(since(closed,
			ctl->connections(endpoint::output)[1].accepted_at),
		  200ms);
	EXPECT_TRUE(render_until(
		[&](const image &img) { return shows_processed(img); }));
}

TEST_F(OutputStream, WrongFrameSizeClosesTheConnectionUnshown)
{
	ASSERT_TRUE(ctl->start());
	make_display_only_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	uint64_t first = ctl->connections(endpoint::output)[0].id;

	// A 1920x1080 frame in the processed colours, trickled: a receiver
	// that read past the header would stay connected for many seconds.
	image big = make_pattern(1920, 1080, PROCESSED_PALETTE);
	fake::bytes wire = fake::encode_header(1920, 1080);
	wire.insert(wire.end(), big.pixels.begin(), big.pixels.end());
	auto posted = fake::clock::now();
	uint64_t job = ctl->post_bytes(wire, fake::pacing{4096, 10ms});

	bool shown = false;
	ASSERT_TRUE(render_until([&](const image &img) {
		shown = shown || !is_opaque_black(img);
		return ctl->token_ok_count(endpoint::output) >= 2;
	}));
	EXPECT_FALSE(shown) << "something other than black was drawn";
	bool ok = true;
	ASSERT_TRUE(ctl->wait_job(job, LONG, &ok));
	EXPECT_FALSE(ok);
	auto conns = ctl->connections(endpoint::output);
	EXPECT_EQ(conns[0].id, first);
	EXPECT_EQ(conns[0].closed, fake::close_reason::peer);
	EXPECT_LE(since(posted, conns[0].closed_at), 6000ms);
	EXPECT_GE(since(conns[0].closed_at, conns[1].accepted_at), 150ms);

	// The new connection works.
	EXPECT_TRUE(draws(PROCESSED_PALETTE));
}

TEST_F(OutputStream, CutFrameNeverReachesTheScreen)
{
	ASSERT_TRUE(ctl->start());
	make_display_only_filter();
	fake::bytes whole = fake::encode_frame(processed_pixels());
	fake::bytes half(whole.begin(), whole.begin() + 8 + FRAME_SIZE / 2);
	bool shown = false;
	auto watch = [&](size_t connections) {
		return render_until([&](const image &img) {
			shown = shown || !is_opaque_black(img);
			return ctl->token_ok_count(endpoint::output) >=
			       connections;
		});
	};

	// Half a frame, then the controller closes.
	ASSERT_TRUE(ctl->send_bytes_while_open(half, LONG, true));
	size_t cut = ctl->last_written_output();
	ASSERT_TRUE(watch(cut + 2));
	// Half a frame, then silence until the receive times out.
	ASSERT_TRUE(ctl->send_bytes_while_open(half, LONG));
	size_t silent = ctl->last_written_output();
	ASSERT_TRUE(watch(silent + 2));
	EXPECT_FALSE(shown) << "part of a cut frame was drawn";
	auto conns = ctl->connections(endpoint::output);
	EXPECT_EQ(conns[cut].closed, fake::close_reason::requested);
	EXPECT_EQ(conns[silent].closed, fake::close_reason::peer);

	// A whole frame on the third connection is drawn.
	EXPECT_TRUE(draws(PROCESSED_PALETTE));
}

// ---------------------------------------------------------------------------
// The whole round trip

TEST_F(RoundTrip, ProcessedCapturesAreDrawn)
{
	// The controller swaps blue and red: red, green, blue, yellow come
	// back as blue, green, red, cyan.
	ctl->set_output_behavior(
		fake::output_behavior::echo([](fake::bytes &p) {
			for (size_t i = 0; i < p.size(); i += 4)
				std::swap(p[i], p[i + 2]);
		}));
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	const palette swapped{{BLUE, GREEN, RED, CYAN}};
	// Each render draws the latest echo as if it had just arrived: on a
	// slow machine the next render may start after it has gone stale,
	// which the freshness cases cover on their own.
	image shown;
	EXPECT_TRUE(draws_fresh(fs, swapped, &shown, 0, 0, LONG))
		<< pattern_mismatch(shown, swapped);
	EXPECT_GE(ctl->input_frame_count(), 1u);
	uint64_t written = 0;
	for (auto &c : ctl->connections(endpoint::output))
		written += c.frames;
	EXPECT_GE(written, 1u);
}

// ---------------------------------------------------------------------------
// Faults

TEST_F(Faults, ControllerClosingMidFrameGetsAWholeFrameAfterReconnecting)
{
	const uint64_t cut = 8 + FRAME_SIZE / 2;
	ctl->push_input_behavior(fake::input_behavior::close_after(cut));
	ASSERT_TRUE(ctl->start());
	make_filter();

	// Captures go on, as in the running host, so the sender meets the
	// closed connection on its next send at the latest.
	ASSERT_TRUE(render_until(
		[&](const image &) { return ctl->input_frame_count() >= 1; }));
	auto conns = ctl->connections(endpoint::input);
	ASSERT_GE(conns.size(), 2u);
	EXPECT_EQ(conns[0].closed, fake::close_reason::behavior);
	EXPECT_EQ(conns[0].bytes_after_token, cut);
	EXPECT_EQ(conns[0].frames, 0u);
	EXPECT_EQ(conns[1].token, ctl->token(endpoint::input));
	EXPECT_GE(since(conns[0].closed_at, conns[1].accepted_at), 200ms);

	// The first thing after the new token is a whole frame.
	auto frames = ctl->input_frames();
	auto *f = first_frame_on(frames, conns[1].id);
	ASSERT_NE(f, nullptr);
	EXPECT_TRUE(f->complete);
	EXPECT_EQ(f->width, 1280u);
	EXPECT_EQ(f->height, 720u);
	EXPECT_EQ(pattern_mismatch(image_of(ctl->last_input_frame())), "");
	EXPECT_TRUE(ctl->last_input_frame() ==
		    pixels_of(copy_input_frame(fs.data())));
}

TEST_F(Faults, DestroyWhileTheControllerSendsNothingEndsWithinTheTimeout)
{
	ASSERT_TRUE(ctl->start());
	int before = thread_count_but_controller();
	make_filter();
	// The receiver waits on a controller that sends nothing; the sender,
	// with its one capture sent, polls for the next.
	ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
	render();
	ASSERT_TRUE(ctl->wait_input_frames(1, LONG));
	std::this_thread::sleep_for(300ms);

	auto start = fake::clock::now();
	fs = filtered_source();
	ASSERT_TRUE(wait_until(
		[&] { return thread_count_but_controller() <= before; }, LONG));
	EXPECT_LE(since(start, fake::clock::now()), 1000ms + 4000ms);
	for (endpoint ep : {endpoint::input, endpoint::output})
		for (auto &c : ctl->connections(ep))
			EXPECT_TRUE(ctl->wait_closed(c.id, LONG))
				<< "connection " << c.id << " left open";
}

TEST_F(Faults, DestroyWhileTheControllerReadsNothingEndsAfterTheFrame)
{
	ctl->set_input_behavior(fake::input_behavior::never_read());
	ASSERT_TRUE(ctl->start());
	int before = thread_count_but_controller();
	make_filter();
	// The sender blocks on a controller that reads nothing.
	ASSERT_TRUE(render_until([&](const image &) {
		return ctl->open_count(endpoint::input) > 0 &&
		       ctl->open_count(endpoint::output) > 0 &&
		       input_seq(fs.data()) >= 3;
	}));
	std::this_thread::sleep_for(300ms);

	// Each send gives up after a second, but one that moved some bytes
	// first is continued: the kernel lets a stalled connection take a
	// few more now and then, so the frame in progress may need one
	// timed-out call per 1 MiB piece (header and four pieces).
	auto start = fake::clock::now();
	fs = filtered_source();
	ASSERT_TRUE(wait_until(
		[&] { return thread_count_but_controller() <= before; }, LONG));
	EXPECT_LE(since(start, fake::clock::now()), 5 * 1000ms + 6000ms);

	// The receiving connection was closed. (The sending one cannot be
	// seen closing: its unsent bytes wait for a reader that never reads.)
	for (auto &c : ctl->connections(endpoint::output))
		EXPECT_TRUE(ctl->wait_closed(c.id, LONG))
			<< "connection " << c.id << " left open";
}

TEST_F(Faults, DestroyWithoutControllerEndsAfterThePause)
{
	int before = thread_count_but_controller();
	endpoint_reads reads;
	make_filter();
	// The workers are in their retry pauses once they found no file.
	ASSERT_TRUE(reads.wait(2));
	auto start = fake::clock::now();
	fs = filtered_source();
	ASSERT_TRUE(wait_until(
		[&] { return thread_count_but_controller() <= before; }, LONG));
	// Woken from the pause: well before a pause and a time-out.
	EXPECT_LE(since(start, fake::clock::now()), 250ms + 4000ms);
	EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
}
