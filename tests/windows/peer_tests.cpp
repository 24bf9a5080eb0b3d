// Whom the module talks to, in the Windows build under Wine. Beside the
// program (tests/with_stranger.sh) listens another Linux user, nobody:
// under Wine every user has the same SID and the TCP table names no
// owner, so the module goes by the Linux owner of the listener. That
// listener gets no byte from the module and the picture stays black; a
// listener in this program, of its own user, is trusted.
#include "environment.h"
#include "fake_controller.h"
#include "peer.h"
#include "platform.h"
#include "stranger_report.h"
#include "wide_files.h"

#include <windows.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace qm_wintest;
using fake::endpoint;

namespace {

constexpr auto DEADLINE = std::chrono::seconds(60);

// The stranger's ports and report, when the program runs beside one.
struct stranger {
	std::vector<uint16_t> ports;
	std::string report_path;

	stranger()
	{
		const char *ports_text = getenv("QM_STRANGER_PORTS");
		const char *report = getenv("QM_STRANGER_REPORT");
		if (!ports_text || !report)
			return;
		std::istringstream in(ports_text);
		for (unsigned port; in >> port;)
			ports.push_back(uint16_t(port));
		// The Linux path as Wine names it.
		report_path = std::string("\\\\?\\unix") + report;
		for (auto &c : report_path)
			if (c == '/')
				c = '\\';
	}
	bool present() const { return ports.size() >= 2; }
	size_t count(const char *what, long port = -1) const
	{
		auto text = qm_wide::read_text(qm_wide::widen(report_path));
		return stranger_report::count(text.value_or(""), what, port);
	}
};

size_t stranger_reports(const char *name)
{
	return log_lines_containing(stranger_report::module_warning(name))
		.size();
}

// A loopback listener of this program, of its own user.
struct own_listener {
	SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
	uint16_t port = 0;

	own_listener()
	{
		sockaddr_in addr{};
		addr.sin_family = AF_INET;
		addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		int len = sizeof(addr);
		if (bind(s, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
		    listen(s, 4) == 0 &&
		    getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) ==
			    0)
			port = ntohs(addr.sin_port);
	}
	~own_listener() { closesocket(s); }
};

TEST(PeerCheck, ListenersOfThisUserAreTrustedAndAnotherUsersNot)
{
	own_listener own;
	ASSERT_NE(own.port, 0);
	qm_socket to_own = qm_connect_loopback(own.port, true, 1000);
	ASSERT_TRUE(to_own.valid());
	EXPECT_EQ(qm_peer_of(to_own), qm_peer::trusted);
	// Accepted, the connection's other end is held by this program too.
	SOCKET accepted = accept(own.s, nullptr, nullptr);
	ASSERT_NE(accepted, INVALID_SOCKET);
	EXPECT_EQ(qm_peer_of(to_own), qm_peer::trusted);
	closesocket(accepted);

	stranger other;
	if (!other.present())
		GTEST_SKIP() << "no listener of another user beside the "
				"program (tests/with_stranger.sh)";
	qm_socket to_other = qm_connect_loopback(other.ports[0], true, 1000);
	ASSERT_TRUE(to_other.valid());
	EXPECT_EQ(qm_peer_of(to_other), qm_peer::other);
}

TEST(PeerCheck, TheModuleSendsNoByteToAnotherUsersListener)
{
	stranger other;
	if (!other.present())
		GTEST_SKIP() << "no listener of another user beside the "
				"program (tests/with_stranger.sh)";
	clear_log();
	int threads_at_start = thread_count();
	// Endpoint files that name the stranger's ports, as a stopped
	// controller's would once another user has taken them.
	fake::controller ctl(module_config_dir());
	fake::endpoint_file in, out;
	std::string token(64, 'q');
	in.raw = "{\"port\": " + std::to_string(other.ports[0]) +
		 ", \"token\": \"" + token + "\"}";
	out.raw = "{\"port\": " + std::to_string(other.ports[1]) +
		  ", \"token\": \"" + token + "\"}";
	ASSERT_TRUE(ctl.publish(endpoint::input, in));
	ASSERT_TRUE(ctl.publish(endpoint::output, out));

	{
		filtered_source fs = make_filtered(pattern_kind::plain,
						   FRAME_WIDTH, FRAME_HEIGHT);
		ASSERT_NE(fs.data(), nullptr);
		size_t pictures = 0, black = 0;
		EXPECT_TRUE(wait_until(
			[&] {
				pictures++;
				black += is_opaque_black(
					render_and_read(fs.parent.get()));
				return other.count("closed", other.ports[0]) >=
					       3 &&
				       other.count("closed", other.ports[1]) >=
					       3;
			},
			DEADLINE));
		EXPECT_EQ(black, pictures);
	}
	EXPECT_TRUE(wait_for_thread_count(threads_at_start, DEADLINE));

	EXPECT_EQ(other.count("bytes"), 0u);
	EXPECT_EQ(stranger_reports("filter-input"), 1u);
	EXPECT_EQ(stranger_reports("direct-output"), 1u);
}

} // namespace
