// The fake controller's contact with the system and the wire: sockets and
// files on POSIX and on Windows, endpoint files written atomically, and the
// frame and token helpers the tests build their data with.
#include "fake_controller_internal.h"

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>

namespace fake {

namespace internal {

// The platform layer that only this file uses.
namespace {

#ifdef _WIN32
bool is_peer_gone(int err)
{
	return err == WSAECONNRESET || err == WSAECONNABORTED ||
	       err == WSAENOTCONN || err == WSAESHUTDOWN;
}

long recv_call(sock_t s, void *buf, size_t len, int flags)
{
	return ::recv(s, static_cast<char *>(buf), int(len), flags);
}

long send_call(sock_t s, const void *buf, size_t len)
{
	return ::send(s, static_cast<const char *>(buf), int(len), 0);
}

bool make_dir(const std::string &path)
{
	// A drive such as "C:" exists or cannot be made.
	if (path.size() == 2 && path[1] == ':')
		return true;
	return ::_mkdir(path.c_str()) == 0 || errno == EEXIST;
}

bool is_dir(const std::string &path)
{
	DWORD attributes = GetFileAttributesA(path.c_str());
	return attributes != INVALID_FILE_ATTRIBUTES &&
	       (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_separator(char c)
{
	return c == '/' || c == '\\';
}

int open_new_file(const std::string &path)
{
	return ::_open(path.c_str(),
		       _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY |
			       _O_NOINHERIT,
		       _S_IREAD | _S_IWRITE);
}

long write_some(int fd, const char *data, size_t len)
{
	return ::_write(fd, data, unsigned(len));
}

bool close_file(int fd)
{
	return ::_close(fd) == 0;
}

// A rename over a file that someone holds open fails on Windows, even
// when the holder shares deleting; ReplaceFile does not.
bool replace_file(const std::string &from, const std::string &to)
{
	if (ReplaceFileA(to.c_str(), from.c_str(), nullptr, 0, nullptr,
			 nullptr))
		return true;
	return GetLastError() == ERROR_FILE_NOT_FOUND &&
	       MoveFileExA(from.c_str(), to.c_str(), 0);
}

int process_id()
{
	return ::_getpid();
}
#else
bool is_peer_gone(int err)
{
	return err == ECONNRESET || err == EPIPE || err == ENOTCONN;
}

long recv_call(sock_t s, void *buf, size_t len, int flags)
{
	return long(::recv(s, buf, len, flags));
}

// A module that went away must not end the test with SIGPIPE.
long send_call(sock_t s, const void *buf, size_t len)
{
	return long(::send(s, buf, len, MSG_NOSIGNAL));
}

bool make_dir(const std::string &path)
{
	return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool is_dir(const std::string &path)
{
	struct stat st;
	return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_separator(char c)
{
	return c == '/';
}

int open_new_file(const std::string &path)
{
	return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
		      0600);
}

long write_some(int fd, const char *data, size_t len)
{
	return long(::write(fd, data, len));
}

bool close_file(int fd)
{
	return ::close(fd) == 0;
}

bool replace_file(const std::string &from, const std::string &to)
{
	return ::rename(from.c_str(), to.c_str()) == 0;
}

int process_id()
{
	return int(::getpid());
}
#endif

} // namespace

// The platform layer the other files use, declared in
// fake_controller_internal.h.
#ifdef _WIN32
int socket_error()
{
	return WSAGetLastError();
}

bool is_would_block(int err)
{
	return err == WSAEWOULDBLOCK;
}

void close_socket(sock_t s)
{
	::closesocket(s);
}

// A shutdown alone does not wake a receive that another thread is
// blocked in; cancelling the socket's pending calls does.
void shutdown_socket(sock_t s)
{
	::shutdown(s, SD_BOTH);
	CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

int poll_one(sock_t s, short events, short *revents, int timeout_ms)
{
	WSAPOLLFD p{s, events, 0};
	int n = ::WSAPoll(&p, 1, timeout_ms);
	*revents = p.revents;
	return n;
}

sock_t open_listener()
{
	// SO_REUSEADDR would let another program take the port over here.
	return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

sock_t accept_one(sock_t listener)
{
	return ::accept(listener, nullptr, nullptr);
}

void remove_file(const std::string &path)
{
	::_unlink(path.c_str());
}

// Winsock, started once for the process when the first controller is
// made.
void start_socket_library()
{
	static const bool started = [] {
		WSADATA wsa;
		return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
	}();
	(void)started;
}
#else
int socket_error()
{
	return errno;
}

bool is_would_block(int err)
{
	return err == EAGAIN || err == EWOULDBLOCK;
}

void close_socket(sock_t s)
{
	::close(s);
}

void shutdown_socket(sock_t s)
{
	::shutdown(s, SHUT_RDWR);
}

int poll_one(sock_t s, short events, short *revents, int timeout_ms)
{
	pollfd p{s, events, 0};
	int n = ::poll(&p, 1, timeout_ms);
	*revents = p.revents;
	return n;
}

sock_t open_listener()
{
	sock_t fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd != NO_SOCK) {
		int one = 1;
		::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	}
	return fd;
}

sock_t accept_one(sock_t listener)
{
	return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

void remove_file(const std::string &path)
{
	::unlink(path.c_str());
}

void start_socket_library() {}
#endif

// ---------------------------------------------------------------------------

bytes make_wire_frame(const bytes &pixels)
{
	bytes header = encode_header(FRAME_W, FRAME_H);
	bytes out(header.size() + pixels.size());
	std::copy(header.begin(), header.end(), out.begin());
	std::copy(pixels.begin(), pixels.end(), out.begin() + HEADER_BYTES);
	return out;
}

long recv_some(sock_t fd, void *buf, size_t len, int flags)
{
	for (;;) {
		long n = recv_call(fd, buf, len, flags);
		if (n < 0 && errno == EINTR)
			continue;
		return n;
	}
}

long send_some(sock_t fd, const void *buf, size_t len)
{
	for (;;) {
		long n = send_call(fd, buf, len);
		if (n < 0 && errno == EINTR)
			continue;
		return n;
	}
}

bool peer_gone_errno()
{
	return is_peer_gone(socket_error());
}

// Why a send failed: the module went away, or something else.
close_reason send_failure(int err)
{
	return is_peer_gone(err) ? close_reason::peer : close_reason::error;
}

bool make_dirs(const std::string &path)
{
	std::string part;
	for (size_t i = 0; i <= path.size(); i++) {
		if (i == path.size() || is_separator(path[i])) {
			if (!part.empty() && !make_dir(part))
				return false;
		}
		if (i < path.size())
			part += path[i];
	}
	return is_dir(path);
}

bool write_file_atomically(const std::string &path, const std::string &text)
{
	static std::atomic<unsigned> counter{0};
	std::string tmp = path + ".tmp." + std::to_string(process_id()) + "." +
			  std::to_string(counter++);
	int fd = open_new_file(tmp);
	if (fd < 0)
		return false;
	size_t done = 0;
	while (done < text.size()) {
		long n = write_some(fd, text.data() + done, text.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			close_file(fd);
			remove_file(tmp);
			return false;
		}
		done += size_t(n);
	}
	if (!close_file(fd) || !replace_file(tmp, path)) {
		remove_file(tmp);
		return false;
	}
	return true;
}

} // namespace internal

const char *endpoint_name(endpoint ep)
{
	return ep == endpoint::input ? "filter-input" : "direct-output";
}

const char *close_reason_name(close_reason r)
{
	switch (r) {
	case close_reason::open:
		return "open";
	case close_reason::peer:
		return "peer";
	case close_reason::requested:
		return "requested";
	case close_reason::bad_token:
		return "bad_token";
	case close_reason::bad_header:
		return "bad_header";
	case close_reason::behavior:
		return "behavior";
	case close_reason::error:
		return "error";
	case close_reason::stopped:
		return "stopped";
	}
	return "?";
}

bytes encode_header(uint32_t width, uint32_t height)
{
	bytes h(HEADER_BYTES);
	for (int i = 0; i < 4; i++) {
		h[size_t(i)] = uint8_t(width >> (24 - 8 * i));
		h[size_t(4 + i)] = uint8_t(height >> (24 - 8 * i));
	}
	return h;
}

bytes encode_frame(const bytes &pixels)
{
	return internal::make_wire_frame(pixels);
}

bytes solid_pixels(uint8_t b, uint8_t g, uint8_t r, uint8_t a)
{
	bytes p(FRAME_BYTES);
	for (size_t i = 0; i < FRAME_BYTES; i += 4) {
		p[i] = b;
		p[i + 1] = g;
		p[i + 2] = r;
		p[i + 3] = a;
	}
	return p;
}

std::string json_quote(const std::string &text)
{
	std::string out = "\"";
	for (unsigned char ch : text) {
		if (ch == '"' || ch == '\\') {
			out += '\\';
			out += char(ch);
		} else if (ch < 0x20 || ch == 0x7f) {
			char esc[8];
			std::snprintf(esc, sizeof esc, "\\u%04x", ch);
			out += esc;
		} else {
			out += char(ch);
		}
	}
	return out + "\"";
}

std::string random_token()
{
	static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
				       "abcdefghijklmnopqrstuvwxyz0123456789";
	std::random_device rd;
	std::mt19937_64 gen((uint64_t(rd()) << 32) ^ rd());
	std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
	std::string t;
	for (size_t i = 0; i < TOKEN_BYTES; i++)
		t += alphabet[pick(gen)];
	return t;
}

} // namespace fake
