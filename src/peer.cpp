#include "peer.h"

#include <cstring>
#include <vector>

#ifdef _WIN32
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// The kernel's tables are read whole on every check; one larger than
// this (some hundred thousand sockets) is not read at all.
constexpr size_t QM_TABLE_MAX_BYTES = 32u << 20;
constexpr unsigned QM_TCP_LISTEN = 0x0A;

bool qm_ip::operator==(const qm_ip &o) const
{
	return memcmp(bytes, o.bytes, sizeof(bytes)) == 0;
}

qm_ip qm_ip_v4(uint32_t network_order)
{
	qm_ip ip;
	ip.bytes[10] = ip.bytes[11] = 0xff;
	memcpy(ip.bytes + 12, &network_order, 4);
	return ip;
}

static bool parse_number(std::string_view text, unsigned base, uint64_t *out)
{
	if (text.empty() || text.size() > 20)
		return false;
	uint64_t value = 0;
	for (char c : text) {
		unsigned digit;
		if (c >= '0' && c <= '9')
			digit = unsigned(c - '0');
		else if (base == 16 && c >= 'A' && c <= 'F')
			digit = unsigned(c - 'A' + 10);
		else if (base == 16 && c >= 'a' && c <= 'f')
			digit = unsigned(c - 'a' + 10);
		else
			return false;
		if (value > (UINT64_MAX - digit) / base)
			return false;
		value = value * base + digit;
	}
	*out = value;
	return true;
}

// Linux prints each 32-bit word of an address as the machine holds it,
// so the words' bytes in memory are the address's bytes in order.
static bool parse_address_words(std::string_view hex, uint8_t *bytes)
{
	for (size_t i = 0; i < hex.size() / 8; i++) {
		uint64_t word;
		if (!parse_number(hex.substr(i * 8, 8), 16, &word))
			return false;
		uint32_t word32 = uint32_t(word);
		memcpy(bytes + i * 4, &word32, 4);
	}
	return true;
}

// "0100007F:1F90" or 32 hex digits, a colon and 4 hex digits.
static bool parse_endpoint(std::string_view field, qm_ip *ip, uint16_t *port)
{
	size_t colon = field.find(':');
	if (colon == std::string_view::npos)
		return false;
	std::string_view address = field.substr(0, colon);
	uint64_t value;
	if (field.size() - colon - 1 != 4 ||
	    !parse_number(field.substr(colon + 1), 16, &value))
		return false;
	*port = uint16_t(value);
	*ip = qm_ip();
	if (address.size() == 8) {
		uint32_t word;
		if (!parse_address_words(address,
					 reinterpret_cast<uint8_t *>(&word)))
			return false;
		*ip = qm_ip_v4(word);
		return true;
	}
	return address.size() == 32 && parse_address_words(address, ip->bytes);
}

// Splits off the next field separated by blanks; empty at the end.
static std::string_view next_field(std::string_view &rest)
{
	size_t start = rest.find_first_not_of(" \t");
	if (start == std::string_view::npos) {
		rest = {};
		return {};
	}
	size_t end = rest.find_first_of(" \t", start);
	std::string_view field = rest.substr(start, end - start);
	rest = end == std::string_view::npos ? std::string_view()
					     : rest.substr(end);
	return field;
}

bool qm_parse_proc_tcp_line(std::string_view line, qm_tcp_row *row)
{
	// sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
	std::string_view f[10];
	for (auto &field : f)
		if ((field = next_field(line)).empty())
			return false;
	uint64_t state, uid, inode;
	if (f[0].back() != ':' ||
	    !parse_endpoint(f[1], &row->local, &row->local_port) ||
	    !parse_endpoint(f[2], &row->remote, &row->remote_port) ||
	    f[3].size() != 2 || !parse_number(f[3], 16, &state) ||
	    !parse_number(f[7], 10, &uid) || !parse_number(f[9], 10, &inode))
		return false;
	row->listening = state == QM_TCP_LISTEN;
	row->owner = uid;
	// Without a process holding it (inode 0) the uid tells nothing:
	// older kernels give such a socket uid 0 whoever listens.
	row->has_owner = inode != 0;
	return true;
}

bool qm_parse_status_uid(std::string_view line, uint64_t *uid)
{
	// "Uid:" real, effective, saved, file system.
	if (line.substr(0, 4) != "Uid:")
		return false;
	line.remove_prefix(4);
	next_field(line);
	return parse_number(next_field(line), 10, uid);
}

void qm_peer_owners::add_owner(uint64_t owner)
{
	for (size_t i = 0; i < count_; i++)
		if (owners_[i] == owner)
			return;
	if (count_ == MAX_OWNERS)
		overflow_ = true;
	else
		owners_[count_++] = owner;
}

void qm_peer_owners::consider(const qm_tcp_row &row)
{
	static const qm_ip any_v6;
	static const qm_ip any_v4 = qm_ip_v4(0);
	if (!row.listening && row.local == pair_.peer &&
	    row.local_port == pair_.peer_port && row.remote == pair_.ours &&
	    row.remote_port == pair_.our_port) {
		seen_ = true;
		if (row.has_owner)
			add_owner(row.owner);
		return;
	}
	bool takes_it = row.listening && row.local_port == pair_.peer_port &&
			(row.local == pair_.peer || row.local == any_v4 ||
			 row.local == any_v6);
	if (!takes_it)
		return;
	if (row.has_owner)
		add_owner(row.owner);
	else
		ownerless_ = true;
}

#ifdef _WIN32
using qm_socklen = int;
#else
using qm_socklen = socklen_t;
#endif

static bool connection_pair(const qm_socket &s, qm_tcp_pair *pair)
{
	sockaddr_in ours{}, peer{};
	qm_socklen n = sizeof(ours);
	if (getsockname(s.get(), reinterpret_cast<sockaddr *>(&ours), &n) !=
		    0 ||
	    ours.sin_family != AF_INET)
		return false;
	n = sizeof(peer);
	if (getpeername(s.get(), reinterpret_cast<sockaddr *>(&peer), &n) !=
		    0 ||
	    peer.sin_family != AF_INET)
		return false;
	pair->ours = qm_ip_v4(ours.sin_addr.s_addr);
	pair->peer = qm_ip_v4(peer.sin_addr.s_addr);
	pair->our_port = ntohs(ours.sin_port);
	pair->peer_port = ntohs(peer.sin_port);
	return true;
}

// The Linux kernel's tables, whose owners are uids; tcp6 may be missing
// on a system without IPv6.
static qm_peer proc_tables_judge(const qm_tcp_pair &pair, const char *tcp,
				 const char *tcp6, uint64_t own_uid)
{
	qm_peer_owners owners(pair);
	auto consider = [&owners](std::string_view line) {
		qm_tcp_row row;
		if (qm_parse_proc_tcp_line(line, &row))
			owners.consider(row);
	};
	if (qm_for_each_line(tcp, QM_TABLE_MAX_BYTES, consider) !=
		    qm_read_status::done ||
	    qm_for_each_line(tcp6, QM_TABLE_MAX_BYTES, consider) ==
		    qm_read_status::failed)
		return qm_peer::other;
	return owners.judge(
		[own_uid](uint64_t uid) { return uid == own_uid || uid == 0; });
}

#ifdef _WIN32

// Wine gives every Windows process the same user, whichever Linux user
// runs it, and (8.0) names no owner in its TCP tables: there the owners
// that count are the Linux ones, read from the kernel as on Linux.
static bool under_wine()
{
	HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
	return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

static bool wine_own_uid(uint64_t *uid)
{
	bool found = false;
	auto status =
		qm_for_each_line("\\\\?\\unix\\proc\\self\\status", 1 << 16,
				 [&](std::string_view line) {
					 found = found ||
						 qm_parse_status_uid(line, uid);
				 });
	return status == qm_read_status::done && found;
}

// A token's user, with room for the longest SID.
struct qm_token_user {
	alignas(TOKEN_USER) unsigned char data[sizeof(TOKEN_USER) +
					       SECURITY_MAX_SID_SIZE];
	PSID sid() { return reinterpret_cast<TOKEN_USER *>(data)->User.Sid; }
};

static bool process_user(HANDLE process, qm_token_user *user)
{
	HANDLE token;
	if (!OpenProcessToken(process, TOKEN_QUERY, &token))
		return false;
	DWORD n = 0;
	BOOL ok = GetTokenInformation(token, TokenUser, user->data,
				      sizeof(user->data), &n);
	CloseHandle(token);
	return ok != 0;
}

// Whether the process runs as own_user or as SYSTEM; false when that
// cannot be found out.
static bool process_trusted(uint64_t pid, PSID own_user)
{
	HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
				     DWORD(pid));
	if (!process)
		return false;
	qm_token_user user;
	bool known = process_user(process, &user);
	CloseHandle(process);
	return known && (EqualSid(user.sid(), own_user) ||
			 IsWellKnownSid(user.sid(), WinLocalSystemSid));
}

// One of the system's TCP tables with owning process ids; the table may
// grow between asking for its size and reading it.
static bool read_owner_table(ULONG family, std::vector<char> &table)
{
	DWORD size = 0;
	for (int attempt = 0; attempt < 4; attempt++) {
		DWORD result = GetExtendedTcpTable(
			table.empty() ? nullptr : table.data(), &size, FALSE,
			family, TCP_TABLE_OWNER_PID_ALL, 0);
		if (result == NO_ERROR && !table.empty())
			return true;
		if (result != ERROR_INSUFFICIENT_BUFFER && result != NO_ERROR)
			return false;
		try {
			table.assign(size_t(size) + 4096, 0);
		} catch (...) {
			return false;
		}
		size = DWORD(table.size());
	}
	return false;
}

// Both tables' rows: ports in network byte order, owners as process ids.
template<class Row>
static qm_tcp_row owner_row(const Row &e, const qm_ip &local,
			    const qm_ip &remote)
{
	qm_tcp_row row;
	row.local = local;
	row.remote = remote;
	row.local_port = ntohs(u_short(e.dwLocalPort));
	row.remote_port = ntohs(u_short(e.dwRemotePort));
	row.listening = e.dwState == MIB_TCP_STATE_LISTEN;
	row.owner = e.dwOwningPid;
	row.has_owner = e.dwOwningPid != 0;
	return row;
}

static qm_ip v6_address(const UCHAR *bytes)
{
	qm_ip ip;
	memcpy(ip.bytes, bytes, 16);
	return ip;
}

static qm_tcp_row owner_row(const MIB_TCPROW_OWNER_PID &e)
{
	return owner_row(e, qm_ip_v4(e.dwLocalAddr), qm_ip_v4(e.dwRemoteAddr));
}

static qm_tcp_row owner_row(const MIB_TCP6ROW_OWNER_PID &e)
{
	return owner_row(e, v6_address(e.ucLocalAddr),
			 v6_address(e.ucRemoteAddr));
}

template<class Table>
static bool consider_table(ULONG family, qm_peer_owners &owners)
{
	std::vector<char> buffer;
	if (!read_owner_table(family, buffer))
		return false;
	auto *table = reinterpret_cast<const Table *>(buffer.data());
	for (DWORD i = 0; i < table->dwNumEntries; i++)
		owners.consider(owner_row(table->table[i]));
	return true;
}

qm_peer qm_peer_of(const qm_socket &s)
{
	qm_tcp_pair pair;
	if (!connection_pair(s, &pair))
		return qm_peer::gone;
	uint64_t uid;
	if (under_wine())
		return wine_own_uid(&uid)
			       ? proc_tables_judge(
					 pair, "\\\\?\\unix\\proc\\net\\tcp",
					 "\\\\?\\unix\\proc\\net\\tcp6", uid)
			       : qm_peer::other;
	qm_token_user own;
	qm_peer_owners owners(pair);
	if (!process_user(GetCurrentProcess(), &own) ||
	    !consider_table<MIB_TCPTABLE_OWNER_PID>(AF_INET, owners) ||
	    !consider_table<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, owners))
		return qm_peer::other;
	PSID own_user = own.sid();
	return owners.judge([own_user](uint64_t pid) {
		return process_trusted(pid, own_user);
	});
}

#else

qm_peer qm_peer_of(const qm_socket &s)
{
	qm_tcp_pair pair;
	if (!connection_pair(s, &pair))
		return qm_peer::gone;
	return proc_tables_judge(pair, "/proc/net/tcp", "/proc/net/tcp6",
				 geteuid());
}

#endif
