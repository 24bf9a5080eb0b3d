// The fake controller's own pieces shared by its source files: the thin
// layer over POSIX and Windows sockets and files, the wire and file
// helpers, and the records behind controller's connections, jobs and
// listening sides. Not for the tests; they use fake_controller.h.
#pragma once

#include "fake_controller.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace fake {

namespace internal {

// ---------------------------------------------------------------------------
// What differs between POSIX sockets and files and their Windows
// counterparts. Winsock has no signals to suppress and no EINTR; it reports
// errors through WSAGetLastError, and its poll knows no POLLRDHUP.

#ifdef _WIN32
using sock_t = SOCKET;
constexpr sock_t NO_SOCK = INVALID_SOCKET;
constexpr short POLL_CLOSED = 0;
constexpr int NO_WAIT = 0; // poll said readable: recv does not block
#else
using sock_t = int;
constexpr sock_t NO_SOCK = -1;
constexpr short POLL_CLOSED = POLLRDHUP;
constexpr int NO_WAIT = MSG_DONTWAIT;
#endif

int socket_error();
bool is_would_block(int err);
void close_socket(sock_t s);
// Also wakes a receive that another thread is blocked in.
void shutdown_socket(sock_t s);
int poll_one(sock_t s, short events, short *revents, int timeout_ms);
sock_t open_listener();
sock_t accept_one(sock_t listener);
void remove_file(const std::string &path);
// Once per process, before the first socket; nothing on POSIX.
void start_socket_library();

// ---------------------------------------------------------------------------

constexpr size_t TRANSFER_UNIT = 1024 * 1024;
constexpr size_t KEPT_JOBS = 256;

bytes make_wire_frame(const bytes &pixels);
// recv and send, again after EINTR.
long recv_some(sock_t fd, void *buf, size_t len, int flags = 0);
long send_some(sock_t fd, const void *buf, size_t len);
bool peer_gone_errno();
// Why a send failed: the module went away, or something else.
close_reason send_failure(int err);
// The folder and its parents.
bool make_dirs(const std::string &path);
// A temporary file beside `path`, then renamed over it.
bool write_file_atomically(const std::string &path, const std::string &text);

} // namespace internal

// Work posted to the output connections.
struct controller::job {
	uint64_t id = 0;
	std::shared_ptr<const bytes> data;
	pacing p;
	bool close_after = false;
	bool is_frame = false;
	int pending = 0;
	bool ok = true;
	bool done = false;
};

struct controller::conn {
	connection_info info;
	// Closed only by the connection's own thread.
	internal::sock_t fd = internal::NO_SOCK;
	std::thread thread;
	bool done = false; // the thread has finished
	bool close_requested = false;
	bool serving = false; // right token taken, still open
	// Output side.
	bool echo = false;
	pixel_transform transform;
	std::deque<std::shared_ptr<job>> queue;
	std::shared_ptr<const bytes> echo_frame; // latest only
	// Input side: position of the frame being read in frames_.
	size_t current_frame = 0;
};

struct controller::side {
	endpoint ep = endpoint::input;
	internal::sock_t listen_fd = internal::NO_SOCK;
	uint16_t port = 0;
	std::string token;
	bool token_fixed = false;
	std::string accepted;
	bool accepted_fixed = false;
	bool published = false;
	std::thread acceptor;
	std::vector<std::shared_ptr<conn>> conns;
};

} // namespace fake
