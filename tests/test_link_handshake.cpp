// The controller link's handshake inside the real host: which endpoint
// files the module takes, the token it sends and the ports it reads, with
// quilmar-direct.so loaded into a headless libobs against the fake
// controller (the fixture is in link_fixture.h).
#include "link_fixture.h"

#include <iostream>
#include <string>
#include <vector>

using namespace qm_link;

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
