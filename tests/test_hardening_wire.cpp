// Hardening, in the real host against the fake controller: controllers that
// misbehave in every way the wire allows: at the handshake, in the frames
// they send, by never reading the captures, and when connecting.
// Throughout, what the filter draws must never contain the source's own
// pixels, and every case ends with no thread, descriptor or libobs
// allocation left behind (the fixture is in hardening_support.h).
#include "hardening_support.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

using namespace hardening;

namespace {

using Handshake = hardening_test;
using Receiver = hardening_test;
using Sender = hardening_test;
using Connect = hardening_test;

} // namespace

// ---------------------------------------------------------------------------
// Hostile controllers

TEST_F(Handshake, WrongTokensNeverGetAPicture)
{
	ctl->set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 50ms));
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	std::string in_tok = ctl->token(endpoint::input);
	std::string out_tok = ctl->token(endpoint::output);

	struct token_case {
		const char *what;
		std::string token_json; // raw JSON of "token"
		bool connects;          // with the wrong token
	};
	auto quoted = [](const std::string &t) {
		return fake::json_quote(t);
	};
	const token_case cases[] = {
		{"empty token", "\"\"", false},
		{"1-byte token", "\"a\"", false},
		{"token as a number", "12345", false},
		{"token as null", "null", false},
		{"token as an object", "{\"x\": 1}", false},
		{"64 bytes, last one wrong",
		 quoted(in_tok.substr(0, 63) + (in_tok[63] == 'x' ? "y" : "x")),
		 true},
		{"64 bytes of another token", quoted(fake::random_token()),
		 true},
		{"64 bytes of multi-byte UTF-8", quoted([] {
			 std::string t;
			 while (t.size() < 64)
				 t += "\xc3\xa9";
			 return t;
		 }()),
		 true},
	};

	for (auto &c : cases) {
		step = c.what;
		SCOPED_TRACE(c.what);
		size_t in_before = ctl->connection_count(endpoint::input);
		size_t out_before = ctl->connection_count(endpoint::output);
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			fake::endpoint_file f;
			f.raw = "{\"port\": " + std::to_string(ctl->port(ep)) +
				", \"token\": " + c.token_json + "}";
			ASSERT_TRUE(ctl->publish(ep, f));
		}
		if (c.connects) {
			// Each worker keeps trying, 250 ms apart, and never
			// gets past the handshake.
			EXPECT_TRUE(render_until([&](const image &img) {
				EXPECT_TRUE(is_opaque_black(img));
				return ctl->connection_count(endpoint::input) >=
					       in_before + 2 &&
				       ctl->connection_count(
					       endpoint::output) >=
					       out_before + 2;
			}));
		} else {
			EXPECT_TRUE(only_black_while_reread());
			EXPECT_EQ(ctl->connection_count(endpoint::input),
				  in_before);
			EXPECT_EQ(ctl->connection_count(endpoint::output),
				  out_before);
		}
	}

	// The connections are looked at only once none is in its handshake:
	// without files no new one comes (a worker reads its file before each
	// attempt, so after two reads its last attempt is over), and each one
	// there is has ended.
	step = "no files";
	ctl->unpublish(endpoint::input);
	ctl->unpublish(endpoint::output);
	endpoints_read.mark();
	ASSERT_TRUE(only_black_until([&] { return endpoints_read.seen(2); }));
	std::vector<fake::connection_info> conns[2];
	ASSERT_TRUE(ctl->wait(
		[&] {
			bool ended = true;
			for (endpoint ep :
			     {endpoint::input, endpoint::output}) {
				auto &list = conns[int(ep)];
				list = ctl->connections(ep);
				for (auto &c : list)
					ended = ended &&
						c.closed !=
							fake::close_reason::open;
			}
			return ended;
		},
		LONG));
	EXPECT_EQ(ctl->token_ok_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->token_ok_count(endpoint::output), 0u);
	for (auto &list : conns)
		for (auto &c : list) {
			EXPECT_EQ(c.token.size(), 64u) << "connection " << c.id;
			EXPECT_EQ(c.closed, fake::close_reason::bad_token)
				<< "connection " << c.id;
		}

	// With the right tokens the picture comes.
	step = "right tokens";
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(render_until(shows_processed));
	EXPECT_EQ(in_tok, ctl->token(endpoint::input));
	EXPECT_EQ(out_tok, ctl->token(endpoint::output));
}

TEST_F(Receiver, WrongFrameSizesEndTheConnectionAfterTheHeader)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));

	struct size_case {
		uint32_t width, height;
	};
	const size_case cases[] = {{0, 0},       {1280, 0},
				   {0, 720},     {4294967295u, 4294967295u},
				   {1920, 1080}, {720, 1280},
				   {1280, 721},  {1279, 720}};
	fake::bytes pixels = processed_pixels();
	for (auto &c : cases) {
		step = std::to_string(c.width) + "x" + std::to_string(c.height);
		SCOPED_TRACE(step);
		size_t conns = ctl->token_ok_count(endpoint::output);
		ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
		uint64_t id = ctl->connections(endpoint::output).back().id;
		// The processed pixels follow, trickled: a receiver that read
		// on past the header would stay connected for seconds.
		fake::bytes wire = fake::encode_header(c.width, c.height);
		wire.insert(wire.end(), pixels.begin(), pixels.end());
		auto posted = fake::clock::now();
		uint64_t job = ctl->post_bytes(wire, fake::pacing{4096, 10ms});

		bool black = true;
		ASSERT_TRUE(render_until([&](const image &img) {
			black = black && is_opaque_black(img);
			return ctl->token_ok_count(endpoint::output) > conns;
		})) << "no new connection";
		EXPECT_TRUE(black) << "something other than black was drawn";
		bool ok = true;
		ASSERT_TRUE(ctl->wait_job(job, LONG, &ok));
		EXPECT_FALSE(ok) << "all the pixels were taken";
		auto all = ctl->connections(endpoint::output);
		auto it = std::find_if(all.begin(), all.end(),
				       [&](auto &x) { return x.id == id; });
		ASSERT_NE(it, all.end());
		EXPECT_EQ(it->closed, fake::close_reason::peer);
		EXPECT_LE(since(posted, it->closed_at), 6000ms);
		EXPECT_EQ(it->frames, 0u);
	}

	step = "a whole frame";
	ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
	EXPECT_TRUE(processed_frames_are_drawn());
}

TEST_F(Receiver, FramesCutAtAnyOffsetAreNeverShown)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	fake::bytes whole = fake::encode_frame(processed_pixels());
	const size_t offsets[] = {1,
				  7,
				  8,
				  9,
				  8 + 4096,
				  8 + 1048576 - 1,
				  8 + 1048576,
				  8 + 1048576 + 1,
				  8 + FRAME_SIZE / 2,
				  8 + FRAME_SIZE - 1};
	for (size_t cut : offsets) {
		step = "cut after " + std::to_string(cut) + " bytes";
		SCOPED_TRACE(step);
		fake::bytes part(whole.begin(), whole.begin() + long(cut));
		ASSERT_TRUE(ctl->send_bytes_while_open(part, LONG, true));
		size_t conns = ctl->token_ok_count(endpoint::output);
		bool black = true;
		ASSERT_TRUE(render_until([&](const image &img) {
			black = black && is_opaque_black(img);
			return ctl->token_ok_count(endpoint::output) > conns;
		}));
		EXPECT_TRUE(black) << "part of a cut frame was drawn";
		EXPECT_TRUE(is_opaque_black(show()));
	}

	// A whole frame after all that is drawn.
	step = "a whole frame";
	ASSERT_TRUE(ctl->wait_open(endpoint::output, LONG));
	EXPECT_TRUE(processed_frames_are_drawn());
}

TEST_F(Receiver, TrickledFrameHoldsTeardownUntilTheControllerLetsGo)
{
	ASSERT_TRUE(ctl->start());
	auto before = thread_ids_but_controller();
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, LONG));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, LONG));
	auto workers = started_since(before);
	ASSERT_GE(workers.size(), 2u);

	// The header at once, then one pixel byte every half second: each
	// receive call gets a byte well before its one-second time-out, so
	// the frame is never given up. After the last byte the controller
	// closes.
	const size_t trickled = 12;
	ASSERT_TRUE(ctl->send_bytes_while_open(fake::encode_header(1280, 720),
					       LONG));
	size_t n = ctl->last_written_output();
	uint64_t id = ctl->connections(endpoint::output)[n].id;
	fake::bytes bytes = processed_pixels();
	bytes.resize(trickled);
	uint64_t job = ctl->post_bytes(bytes, fake::pacing{1, 500ms}, true);
	step = "trickle";
	ASSERT_TRUE(render_until([&](const image &img) {
		EXPECT_TRUE(is_opaque_black(img));
		return ctl->connections(endpoint::output)[n].bytes_sent >=
		       8 + 2;
	}));

	auto destroy_at = fake::clock::now();
	fs = filtered_source();
	ASSERT_TRUE(wait_until([&] { return still_running(workers) == 0; },
			       ms(30000)));
	auto ended_at = fake::clock::now();
	bool ok = false;
	ASSERT_TRUE(ctl->wait_job(job, LONG, &ok));
	EXPECT_TRUE(ok);
	ASSERT_TRUE(ctl->wait_closed(id, LONG));
	auto conns = ctl->connections(endpoint::output);
	ASSERT_EQ(conns[n].id, id);
	EXPECT_EQ(conns[n].closed, fake::close_reason::requested);
	auto alive = since(destroy_at, conns[n].closed_at);
	auto took = since(destroy_at, ended_at);
	std::cout << "controller kept the frame alive for " << alive.count()
		  << " ms after destroy began; destroy took " << took.count()
		  << " ms\n";
	// Meaningful only when the trickle outlasted a receive time-out.
	EXPECT_GE(alive, 1500ms);
	EXPECT_GE(took, alive - 50ms) << "teardown gave up the frame early";
	EXPECT_LE(took, alive + 4000ms);
}

TEST_F(Sender, ControllerThatNeverReadsIsDroppedAndReconnected)
{
	ctl->push_input_behavior(fake::input_behavior::never_read());
	ctl->set_output_behavior(greying_echo());
	ASSERT_TRUE(ctl->start());
	make_filter();

	// The first connection fills up; each send gives up after a second
	// without progress, and the sender connects again. The second
	// connection reads, and the round trip shows.
	step = "stalled controller";
	ASSERT_TRUE(round_trip_until([&] {
		return ctl->token_ok_count(endpoint::input) >= 2 &&
		       ctl->input_frame_count() >= 1;
	}));
	auto conns = ctl->connections(endpoint::input);
	ASSERT_GE(conns.size(), 2u);
	EXPECT_EQ(conns[0].frames, 0u);
	EXPECT_GE(since(conns[0].token_at, conns[1].accepted_at),
		  1000ms + 200ms);
	// The new connection carries whole frames.
	EXPECT_TRUE(ctl->wait(
		[&] {
			for (auto &f : ctl->input_frames())
				if (f.connection == conns[1].id && f.complete)
					return true;
			return false;
		},
		LONG));
}

TEST_F(Connect, RefusedClosedOrResetConnectionsAreRetriedQuietly)
{
	ctl->set_output_behavior(greying_echo());
	ASSERT_TRUE(ctl->start(0, 0, false));
	make_filter();
	auto publish_port = [&](uint16_t port) {
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			fake::endpoint_file f;
			f.port_json = std::to_string(port);
			ASSERT_TRUE(ctl->publish(ep, f));
		}
	};

	{
		step = "refused";
		refusing_port refusing;
		ASSERT_NE(refusing.port, 0);
		publish_port(refusing.port);
		EXPECT_TRUE(only_black_while_reread());
	}
	for (hangup how :
	     {hangup::close_at_once, hangup::reset_at_once,
	      hangup::close_after_token, hangup::reset_after_token}) {
		step = hangup_name(how);
		SCOPED_TRACE(step);
		hanging_up_listener listener(how);
		ASSERT_NE(listener.port(), 0);
		publish_port(listener.port());
		// Captures go on, so the sender also writes frames into the
		// dying connections (never raising SIGPIPE). Both workers keep
		// trying, with their pause between tries.
		bool after_token = how == hangup::close_after_token ||
				   how == hangup::reset_after_token;
		auto start = fake::clock::now();
		EXPECT_TRUE(only_black_until([&] {
			return listener.accepted() >= 6 &&
			       (!after_token || listener.tokens() >= 4);
		}));
		auto took = elapsed(start);
		EXPECT_LE(listener.accepted(), 2 * int(took.count() / 250 + 2));
	}

	step = "a working controller";
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(round_trip_until());
}

TEST_F(Connect, FollowsEndpointFilesRewrittenToOtherPorts)
{
	// A processes by greying the capture; B sends a picture of its own.
	ctl->set_output_behavior(greying_echo());
	ASSERT_TRUE(ctl->start());
	fake::controller b(module_config_dir());
	b.set_output_behavior(
		fake::output_behavior::repeat(processed_pixels(), 50ms));
	ASSERT_TRUE(b.start(0, 0, false));
	make_filter();
	step = "controller A";
	ASSERT_TRUE(round_trip_until());

	// The files now name B; once A drops the connections, both workers
	// go to B.
	step = "rewritten to B";
	ASSERT_TRUE(b.publish_all());
	size_t a_in = ctl->connection_count(endpoint::input);
	size_t a_out = ctl->connection_count(endpoint::output);
	ctl->close_connections(endpoint::input);
	ctl->close_connections(endpoint::output);
	EXPECT_TRUE(render_until([&](const image &img) {
		return b.token_ok_count(endpoint::input) >= 1 &&
		       b.input_frame_count() >= 1 && shows_processed(img);
	}));
	EXPECT_EQ(ctl->connection_count(endpoint::input), a_in);
	EXPECT_EQ(ctl->connection_count(endpoint::output), a_out);

	// Rewritten again, between attempts, to a port where nobody listens:
	// black, and nothing reaches either controller.
	step = "rewritten to a closed port";
	{
		refusing_port refusing;
		for (endpoint ep : {endpoint::input, endpoint::output}) {
			fake::endpoint_file f;
			f.port_json = std::to_string(refusing.port);
			ASSERT_TRUE(b.publish(ep, f));
		}
		size_t b_in = b.connection_count(endpoint::input);
		size_t b_out = b.connection_count(endpoint::output);
		b.close_connections(endpoint::input);
		b.close_connections(endpoint::output);
		EXPECT_TRUE(render_until(is_opaque_black));
		EXPECT_TRUE(only_black_while_reread());
		EXPECT_EQ(b.connection_count(endpoint::output), b_out);
		EXPECT_LE(b.connection_count(endpoint::input), b_in + 1);
	}

	step = "back to A";
	ASSERT_TRUE(ctl->publish_all());
	EXPECT_TRUE(round_trip_until(
		[&] { return ctl->connection_count(endpoint::input) > a_in; }));
	b.stop();
}
