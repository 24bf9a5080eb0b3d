// The controller link's faults inside the real host: a controller that
// closes mid-frame, and destroying the filter while the controller sends
// nothing, reads nothing or is not there, with quilmar-direct.so loaded
// into a headless libobs against the fake controller (the fixture is in
// link_fixture.h).
#include "link_fixture.h"

#include <thread>

using namespace qm_link;

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
