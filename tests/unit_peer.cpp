// Reading the kernel's TCP tables and judging who stands behind a
// connection, on tables written as Linux writes them on a little-endian
// machine.
#include "peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint16_t PEER_PORT = 0xD495;
constexpr uint16_t OUR_PORT = 0xD056;
constexpr uint64_t OWN_UID = 1000;
constexpr uint64_t STRANGER_UID = 65534;

bool little_endian()
{
	uint16_t one = 1;
	return *reinterpret_cast<uint8_t *>(&one) == 1;
}

qm_ip loopback()
{
	// 127.0.0.1 as it lies in memory.
	const uint8_t bytes[4] = {127, 0, 0, 1};
	uint32_t word;
	memcpy(&word, bytes, 4);
	return qm_ip_v4(word);
}

// A /proc/net/tcp line; addresses as Linux prints them.
std::string line(const std::string &local, const std::string &remote,
		 const char *state, uint64_t uid, uint64_t inode)
{
	return "   7: " + local + " " + remote + " " + state +
	       " 00000000:00000000 00:00000000 00000000 " +
	       std::to_string(uid) + "        0 " + std::to_string(inode) +
	       " 1 0000000000000000 100 0 0 10 0";
}

const std::string V4_LOOP = "0100007F";
const std::string V4_ANY = "00000000";
const std::string V6_MAPPED_LOOP = "0000000000000000FFFF00000100007F";
const std::string V6_ANY = "00000000000000000000000000000000";
const std::string V6_LOOP = "00000000000000000000000001000000";

std::string at(const std::string &address, uint16_t port)
{
	char hex[8];
	snprintf(hex, sizeof(hex), "%04X", port);
	return address + ":" + hex;
}

std::string listener(const std::string &address, uint64_t uid,
		     uint16_t port = PEER_PORT)
{
	std::string any = address.size() == 8 ? V4_ANY : V6_ANY;
	return line(at(address, port), at(any, 0), "0A", uid, 4242);
}

// The peer's end of the connection: inode 0 until a process accepts it,
// when older kernels give it uid 0 whoever listens.
std::string peer_end(uint64_t uid, uint64_t inode,
		     const std::string &address = V4_LOOP)
{
	return line(at(address, PEER_PORT), at(address, OUR_PORT), "01", uid,
		    inode);
}

// This side's end, owned by this user.
std::string our_end()
{
	return line(at(V4_LOOP, OUR_PORT), at(V4_LOOP, PEER_PORT), "01",
		    OWN_UID, 777);
}

bool own_or_root(uint64_t uid)
{
	return uid == OWN_UID || uid == 0;
}

qm_peer judge(const std::vector<std::string> &table,
	      bool (*trusted_uid)(uint64_t) = own_or_root)
{
	qm_tcp_pair pair;
	pair.ours = pair.peer = loopback();
	pair.our_port = OUR_PORT;
	pair.peer_port = PEER_PORT;
	qm_peer_owners owners(pair);
	for (auto &text : table) {
		qm_tcp_row row;
		if (qm_parse_proc_tcp_line(text, &row))
			owners.consider(row);
	}
	return owners.judge(trusted_uid);
}

bool trusted(const std::vector<std::string> &table,
	     bool (*trusted_uid)(uint64_t) = own_or_root)
{
	return judge(table, trusted_uid) == qm_peer::trusted;
}

class ProcTcp : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!little_endian())
			GTEST_SKIP() << "tables written for little-endian";
	}
};

TEST_F(ProcTcp, ReadsRowsOfBothTables)
{
	qm_tcp_row row;
	ASSERT_TRUE(qm_parse_proc_tcp_line(listener(V4_LOOP, 65534), &row));
	EXPECT_TRUE(row.local == loopback());
	EXPECT_EQ(row.local_port, PEER_PORT);
	EXPECT_TRUE(row.remote == qm_ip_v4(0));
	EXPECT_EQ(row.remote_port, 0);
	EXPECT_TRUE(row.listening);
	EXPECT_EQ(row.owner, 65534u);
	EXPECT_TRUE(row.has_owner);

	// A v4-mapped address in tcp6 is the same address as in tcp.
	ASSERT_TRUE(
		qm_parse_proc_tcp_line(peer_end(0, 0, V6_MAPPED_LOOP), &row));
	EXPECT_TRUE(row.local == loopback());
	EXPECT_TRUE(row.remote == loopback());
	EXPECT_EQ(row.remote_port, OUR_PORT);
	EXPECT_FALSE(row.listening);
	EXPECT_FALSE(row.has_owner);

	ASSERT_TRUE(qm_parse_proc_tcp_line(listener(V6_LOOP, 5), &row));
	qm_ip v6_loop;
	v6_loop.bytes[15] = 1;
	EXPECT_TRUE(row.local == v6_loop);
	ASSERT_TRUE(qm_parse_proc_tcp_line(listener(V6_ANY, 5), &row));
	EXPECT_TRUE(row.local == qm_ip());
	EXPECT_FALSE(row.local == qm_ip_v4(0));
}

TEST_F(ProcTcp, RefusesHeadingsAndMalformedLines)
{
	qm_tcp_row row;
	const std::string good = listener(V4_LOOP, 1);
	ASSERT_TRUE(qm_parse_proc_tcp_line(good, &row));
	for (const std::string &bad : {
		     std::string("  sl  local_address rem_address   st "
				 "tx_queue rx_queue tr tm->when retrnsmt   uid "
				 " timeout inode"),
		     std::string(),
		     good.substr(0, good.find(" 4242")), // no inode
		     line("0100007F:D49", "00000000:0000", "0A", 1, 1),
		     line("0100007:D495", "00000000:0000", "0A", 1, 1),
		     line("0100007G:D495", "00000000:0000", "0A", 1, 1),
		     line("0100007FD495", "00000000:0000", "0A", 1, 1),
		     line(V6_ANY + "0:D495", "00000000:0000", "0A", 1, 1),
		     line("0100007F:D495", "00000000:0000", "A", 1, 1),
	     })
		EXPECT_FALSE(qm_parse_proc_tcp_line(bad, &row)) << bad;
	// A uid that does not fit is no uid.
	std::string huge = good;
	huge.replace(huge.find(" 1 "), 3, " 99999999999999999999999 ");
	EXPECT_FALSE(qm_parse_proc_tcp_line(huge, &row));
}

TEST_F(ProcTcp, TrustsOnlyListenersOfThisUserOrRoot)
{
	// Not yet accepted: the listener decides, not the uid 0 that older
	// kernels give the peer's end.
	EXPECT_TRUE(trusted(
		{our_end(), listener(V4_LOOP, OWN_UID), peer_end(0, 0)}));
	EXPECT_TRUE(trusted({listener(V4_LOOP, 0), peer_end(0, 0)}));
	EXPECT_EQ(qm_peer::other,
		  judge({our_end(), listener(V4_LOOP, STRANGER_UID),
			 peer_end(0, 0)}));
	EXPECT_EQ(qm_peer::other, judge({listener(V4_ANY, STRANGER_UID),
					 peer_end(STRANGER_UID, 0)}));
	// Dual-stack listeners in tcp6, connections on v4-mapped addresses.
	EXPECT_EQ(qm_peer::other, judge({listener(V6_ANY, STRANGER_UID),
					 peer_end(0, 0, V6_MAPPED_LOOP)}));
	EXPECT_EQ(qm_peer::other, judge({listener(V6_MAPPED_LOOP, STRANGER_UID),
					 peer_end(0, 0, V6_MAPPED_LOOP)}));
	EXPECT_TRUE(trusted(
		{listener(V6_ANY, OWN_UID), peer_end(0, 0, V6_MAPPED_LOOP)}));

	// Once accepted, the process that holds the peer's end counts too,
	// with or without the listener.
	EXPECT_TRUE(trusted({peer_end(OWN_UID, 9)}));
	EXPECT_EQ(qm_peer::other, judge({peer_end(STRANGER_UID, 9)}));
	EXPECT_EQ(qm_peer::other, judge({listener(V4_LOOP, OWN_UID),
					 peer_end(STRANGER_UID, 9)}));
}

TEST_F(ProcTcp, CountsEveryListenerThatCouldTakeTheConnection)
{
	// Ours on the address, a stranger's on any address of the same port.
	EXPECT_EQ(qm_peer::other,
		  judge({listener(V4_LOOP, OWN_UID),
			 listener(V6_ANY, STRANGER_UID), peer_end(0, 0)}));
	// Listeners that cannot take it: other ports, other addresses.
	EXPECT_TRUE(trusted({listener(V4_LOOP, OWN_UID),
			     listener(V4_LOOP, STRANGER_UID, PEER_PORT + 1),
			     listener("0200007F", STRANGER_UID),
			     listener(V6_LOOP, STRANGER_UID), peer_end(0, 0)}));
	// Other connections to the same listener, and a stranger's
	// connection that merely comes from this port.
	EXPECT_TRUE(
		trusted({listener(V4_LOOP, OWN_UID), peer_end(0, 0),
			 line(at(V4_LOOP, PEER_PORT), at(V4_LOOP, OUR_PORT + 1),
			      "01", STRANGER_UID, 12),
			 line(at(V4_LOOP, OUR_PORT + 1), at(V4_LOOP, PEER_PORT),
			      "01", STRANGER_UID, 13)}));
}

TEST_F(ProcTcp, WithoutTheConnectionOrAnOwnerItIsGoneOrUnknown)
{
	// The peer's end is missing: a listener that reset the connection
	// at once, or another network's table.
	EXPECT_EQ(judge({listener(V4_LOOP, OWN_UID)}), qm_peer::gone);
	EXPECT_EQ(judge({our_end(), listener(V4_LOOP, STRANGER_UID)}),
		  qm_peer::gone);
	EXPECT_EQ(judge({}), qm_peer::gone);
	// An end nobody holds, and no listener any more.
	EXPECT_EQ(judge({peer_end(0, 0)}), qm_peer::gone);
	// A listener without an inode has no owner to go by.
	EXPECT_EQ(
		judge({line(at(V4_LOOP, PEER_PORT), at(V4_ANY, 0), "0A", 0, 0),
		       peer_end(0, 0)}),
		qm_peer::other);

	// More owners than are kept, however each would be judged.
	auto anyone = [](uint64_t) {
		return true;
	};
	std::vector<std::string> many = {peer_end(0, 0)};
	for (uint64_t uid = 1; uid <= 8; uid++)
		many.push_back(listener(V4_LOOP, uid));
	EXPECT_EQ(judge(many, anyone), qm_peer::trusted);
	many.push_back(listener(V4_ANY, 9));
	EXPECT_EQ(judge(many, anyone), qm_peer::other);
}

TEST(ProcStatus, TakesTheEffectiveUid)
{
	uint64_t uid = 7;
	EXPECT_TRUE(qm_parse_status_uid("Uid:\t1000\t1001\t1002\t1003", &uid));
	EXPECT_EQ(uid, 1001u);
	EXPECT_FALSE(qm_parse_status_uid("Gid:\t1000\t1001\t1002\t1003", &uid));
	EXPECT_FALSE(qm_parse_status_uid("Uid:\t1000", &uid));
	EXPECT_FALSE(qm_parse_status_uid("Uid:\t1000\tx", &uid));
	EXPECT_EQ(uid, 1001u);
}

// ---------------------------------------------------------------------------
// Reading a table line by line

struct lines_file {
	std::string path = "qm-unit-lines.txt";
	explicit lines_file(const std::string &text)
	{
		FILE *f = fopen(path.c_str(), "wb");
		if (f) {
			fwrite(text.data(), 1, text.size(), f);
			fclose(f);
		}
	}
	~lines_file() { remove(path.c_str()); }
};

std::vector<std::string> lines_of(const std::string &path, size_t max,
				  qm_read_status *status)
{
	std::vector<std::string> lines;
	*status = qm_for_each_line(path.c_str(), max, [&](std::string_view l) {
		lines.emplace_back(l);
	});
	return lines;
}

TEST(ForEachLine, PassesEveryLineAndSkipsOverLongOnes)
{
	std::string long_line(5000, 'x');
	std::string middle(4000, 'y');
	lines_file file("first\n\n" + long_line + "\n" + middle + "\nlast");
	qm_read_status status;
	auto lines = lines_of(file.path, 1 << 20, &status);
	EXPECT_EQ(status, qm_read_status::done);
	EXPECT_EQ(lines,
		  (std::vector<std::string>{"first", "", middle, "last"}));

	// Longer than allowed: failed, whatever was passed on meanwhile.
	lines_of(file.path, 1000, &status);
	EXPECT_EQ(status, qm_read_status::failed);

	lines_of("qm-unit-no-such-file.txt", 1000, &status);
	EXPECT_EQ(status, qm_read_status::missing);
}

} // namespace
