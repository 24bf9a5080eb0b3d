// Who listens at the far end of a loopback connection. Before its token
// goes out, the filter makes sure that the controller's listening socket
// belongs to its own user or to the system: after a controller crash the
// endpoint files name a free port, which any other local user could take.
#pragma once

#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// An IPv6 address in network byte order; IPv4 addresses are held
// v4-mapped (::ffff:a.b.c.d), so that both tables compare alike.
struct qm_ip {
	uint8_t bytes[16] = {};
	bool operator==(const qm_ip &o) const;
};
qm_ip qm_ip_v4(uint32_t network_order);

// One row of the system's TCP table.
struct qm_tcp_row {
	qm_ip local, remote;
	uint16_t local_port = 0, remote_port = 0;
	bool listening = false;
	// The owner: a uid on Linux, a process id on Windows. has_owner is
	// false when the row names none: a connection that no process has
	// accepted yet (Linux gives it inode 0, and older kernels uid 0 too)
	// or process id 0.
	uint64_t owner = 0;
	bool has_owner = false;
};

// One line of /proc/net/tcp or /proc/net/tcp6 as Linux writes it: each
// address as the machine's own 32-bit words in hex, ports in hex. False
// for the heading and for anything malformed.
bool qm_parse_proc_tcp_line(std::string_view line, qm_tcp_row *row);
// The effective uid from the "Uid:" line of /proc/PID/status.
bool qm_parse_status_uid(std::string_view line, uint64_t *uid);

// The two ends of a connection as this side sees them.
struct qm_tcp_pair {
	qm_ip ours, peer;
	uint16_t our_port = 0, peer_port = 0;
};

// What the system's tables say about the listener behind a connection.
enum class qm_peer {
	// This user, root or SYSTEM.
	trusted,
	// Another user, or one that cannot be found out.
	other,
	// Nobody holds the other end any more, nor listens for it: the
	// connection failed on its own (a listener that reset it at once,
	// or went away).
	gone,
};

// Gathers from a TCP table the owners of every socket that may stand
// behind the connection: the peer's own end of it once a process holds
// it, and each listener that can take a connection to the peer's address
// and port (bound to it or to any address, IPv4 or IPv6).
class qm_peer_owners {
public:
	explicit qm_peer_owners(const qm_tcp_pair &pair) : pair_(pair) {}
	void consider(const qm_tcp_row &row);

	// trusted when trusted(owner) holds for every owner found; gone
	// without the peer's end or any owner; otherwise other.
	template<class Trusted> qm_peer judge(Trusted trusted) const
	{
		if (!seen_ || (count_ == 0 && !ownerless_))
			return qm_peer::gone;
		if (ownerless_ || overflow_)
			return qm_peer::other;
		for (size_t i = 0; i < count_; i++)
			if (!trusted(owners_[i]))
				return qm_peer::other;
		return qm_peer::trusted;
	}

private:
	void add_owner(uint64_t owner);

	qm_tcp_pair pair_;
	static constexpr size_t MAX_OWNERS = 8;
	uint64_t owners_[MAX_OWNERS] = {};
	size_t count_ = 0;
	bool seen_ = false;
	bool ownerless_ = false;
	bool overflow_ = false;
};

// Who holds the listener behind the loopback connection s. Reads the
// system's TCP tables once; other when they cannot be read.
qm_peer qm_peer_of(const qm_socket &s);
