// The controller link's two streams inside the real host: captured frames
// to "filter-input", processed frames from "direct-output" on screen, and
// the whole round trip, with quilmar-direct.so loaded into a headless
// libobs against the fake controller (the fixture is in link_fixture.h).
#include "link_fixture.h"

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace qm_link;

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

	// One more frame, then none, but the link stays up: the next header
	// and a few pixels come a byte every 200 ms, for about eight seconds.
	// Black then means a stale frame, since only the end of a connection
	// clears has_output. The trickle follows the frame at once: a slow
	// machine may take longer than the receive's time-out to draw it.
	ctl->post_frame(processed_pixels(PROCESSED_PALETTE));
	fake::bytes bytes = fake::encode_header(1280, 720);
	bytes.resize(bytes.size() + 32, 0x40);
	uint64_t trickle = ctl->post_bytes(bytes, fake::pacing{1, 200ms});
	bool linked = false;
	ASSERT_TRUE(wait_until(
		[&] {
			image img = render_and_read_after(
				[&] { linked = has_output(fs.data()); },
				fs.parent.get());
			return linked && is_opaque_black(img);
		},
		LONG))
		<< "never black while the frame was still the latest";

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
	ctl->set_output_behavior(fake::output_behavior::echo(
		[](fake::bytes &p) {
			for (size_t i = 0; i < p.size(); i += 4)
				std::swap(p[i], p[i + 2]);
		},
		300ms));
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
