// The fake controller: loopback listeners, one thread per connection, and
// a record of everything the module did, guarded by one mutex.
#include "fake_controller.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>

namespace fake {

namespace {

// ---------------------------------------------------------------------------
// What differs between POSIX sockets and files and their Windows
// counterparts. Winsock has no signals to suppress and no EINTR; it reports
// errors through WSAGetLastError, and its poll knows no POLLRDHUP.

#ifdef _WIN32
using sock_t = SOCKET;
constexpr sock_t NO_SOCK = INVALID_SOCKET;
constexpr short POLL_CLOSED = 0;
constexpr int NO_WAIT = 0; // poll said readable: recv does not block

int socket_error()
{
	return WSAGetLastError();
}

bool is_peer_gone(int err)
{
	return err == WSAECONNRESET || err == WSAECONNABORTED ||
	       err == WSAENOTCONN || err == WSAESHUTDOWN;
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

void remove_file(const std::string &path)
{
	::_unlink(path.c_str());
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
using sock_t = int;
constexpr sock_t NO_SOCK = -1;
constexpr short POLL_CLOSED = POLLRDHUP;
constexpr int NO_WAIT = MSG_DONTWAIT;

int socket_error()
{
	return errno;
}

bool is_peer_gone(int err)
{
	return err == ECONNRESET || err == EPIPE || err == ENOTCONN;
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

void remove_file(const std::string &path)
{
	::unlink(path.c_str());
}

bool replace_file(const std::string &from, const std::string &to)
{
	return ::rename(from.c_str(), to.c_str()) == 0;
}

int process_id()
{
	return int(::getpid());
}

void start_socket_library() {}
#endif

// ---------------------------------------------------------------------------

constexpr size_t TRANSFER_UNIT = 1024 * 1024;
constexpr size_t KEPT_JOBS = 256;

bytes make_wire_frame(const bytes &pixels)
{
	bytes header = encode_header(FRAME_W, FRAME_H);
	bytes out(header.size() + pixels.size());
	std::copy(header.begin(), header.end(), out.begin());
	std::copy(pixels.begin(), pixels.end(), out.begin() + HEADER_BYTES);
	return out;
}

long recv_some(sock_t fd, void *buf, size_t len, int flags = 0)
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

} // namespace

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
	sock_t fd = NO_SOCK; // closed only by the connection's own thread
	std::thread thread;
	bool done = false; // the thread has finished
	bool close_requested = false;
	bool serving = false; // right token taken, still open
	// Output side.
	bool echo = false;
	std::function<void(bytes &)> transform;
	std::deque<std::shared_ptr<job>> queue;
	std::shared_ptr<const bytes> echo_frame; // latest only
	// Input side: position of the frame being read in frames_.
	size_t current_frame = 0;
};

struct controller::side {
	endpoint ep = endpoint::input;
	sock_t listen_fd = NO_SOCK;
	uint16_t port = 0;
	std::string token;
	bool token_fixed = false;
	std::string accepted;
	bool accepted_fixed = false;
	bool published = false;
	std::thread acceptor;
	std::vector<std::shared_ptr<conn>> conns;
};

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
	return make_wire_frame(pixels);
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

controller::controller(std::string dir)
	: dir_(std::move(dir)),
	  in_(new side),
	  out_(new side)
{
	start_socket_library();
	in_->ep = endpoint::input;
	out_->ep = endpoint::output;
}

controller::~controller()
{
	stop();
	for (side *s : {in_.get(), out_.get()}) {
		if (s->published)
			remove_file(endpoint_path(s->ep));
	}
}

controller::side &controller::get(endpoint ep)
{
	return ep == endpoint::input ? *in_ : *out_;
}

const controller::side &controller::get(endpoint ep) const
{
	return ep == endpoint::input ? *in_ : *out_;
}

std::string controller::endpoint_path(endpoint ep) const
{
	return dir_ + "/" + endpoint_name(ep) + ".endpoint";
}

bool controller::listen_on(side &s, uint16_t port)
{
	sock_t fd = open_listener();
	if (fd == NO_SOCK)
		return false;
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = htons(port);
	socklen_t len = sizeof addr;
	if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
	    ::listen(fd, 16) != 0 ||
	    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
		close_socket(fd);
		return false;
	}
	s.listen_fd = fd;
	s.port = ntohs(addr.sin_port);
	return true;
}

bool controller::start(uint16_t input_port, uint16_t output_port, bool publish)
{
	stop();
	{
		std::lock_guard<std::mutex> lk(mu_);
		for (side *s : {in_.get(), out_.get()}) {
			if (!s->token_fixed)
				s->token = random_token();
			if (!s->accepted_fixed)
				s->accepted = s->token;
		}
		if (!listen_on(*in_, input_port) ||
		    !listen_on(*out_, output_port)) {
			for (side *s : {in_.get(), out_.get()}) {
				if (s->listen_fd != NO_SOCK)
					close_socket(s->listen_fd);
				s->listen_fd = NO_SOCK;
			}
			return false;
		}
		stopping_ = false;
		running_ = true;
		in_->acceptor = std::thread(&controller::accept_loop, this,
					    endpoint::input);
		out_->acceptor = std::thread(&controller::accept_loop, this,
					     endpoint::output);
	}
	if (!make_dirs(dir_))
		return false;
	return !publish || publish_all();
}

void controller::stop()
{
	stopping_ = true;
	for (side *s : {in_.get(), out_.get()}) {
		if (s->acceptor.joinable())
			s->acceptor.join();
	}
	std::vector<std::thread> threads;
	{
		std::lock_guard<std::mutex> lk(mu_);
		for (side *s : {in_.get(), out_.get()}) {
			for (auto &c : s->conns) {
				if (c->fd != NO_SOCK)
					shutdown_socket(c->fd);
				if (c->thread.joinable())
					threads.push_back(std::move(c->thread));
			}
			if (s->listen_fd != NO_SOCK)
				close_socket(s->listen_fd);
			s->listen_fd = NO_SOCK;
		}
		running_ = false;
		cv_.notify_all();
	}
	for (auto &t : threads)
		t.join();
}

bool controller::restart()
{
	uint16_t pin, pout;
	{
		std::lock_guard<std::mutex> lk(mu_);
		pin = in_->port;
		pout = out_->port;
	}
	stop();
	return start(pin, pout, true);
}

bool controller::running() const
{
	std::lock_guard<std::mutex> lk(mu_);
	return running_;
}

uint16_t controller::port(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	return get(ep).port;
}

std::string controller::token(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	return get(ep).token;
}

void controller::set_token(endpoint ep, const std::string &token)
{
	std::lock_guard<std::mutex> lk(mu_);
	side &s = get(ep);
	s.token = token;
	s.token_fixed = true;
	s.accepted = token;
	s.accepted_fixed = true;
}

void controller::set_accepted_token(endpoint ep, const std::string &token)
{
	std::lock_guard<std::mutex> lk(mu_);
	get(ep).accepted = token;
	get(ep).accepted_fixed = true;
}

bool controller::publish(endpoint ep, const endpoint_file &file)
{
	std::string text;
	{
		std::lock_guard<std::mutex> lk(mu_);
		const side &s = get(ep);
		if (file.raw) {
			text = *file.raw;
		} else {
			std::vector<std::string> members;
			if (!file.omit_port)
				members.push_back(
					"\"port\": " +
					file.port_json.value_or(
						std::to_string(s.port)));
			if (!file.omit_token)
				members.push_back(
					"\"token\": " +
					json_quote(
						file.token.value_or(s.token)));
			text = "{";
			for (size_t i = 0; i < members.size(); i++)
				text += (i ? ", " : "") + members[i];
			text += "}\n";
		}
	}
	if (!make_dirs(dir_) || !write_file_atomically(endpoint_path(ep), text))
		return false;
	std::lock_guard<std::mutex> lk(mu_);
	get(ep).published = true;
	return true;
}

bool controller::publish_all()
{
	return publish(endpoint::input) && publish(endpoint::output);
}

void controller::unpublish(endpoint ep)
{
	remove_file(endpoint_path(ep));
	std::lock_guard<std::mutex> lk(mu_);
	get(ep).published = false;
}

void controller::set_input_behavior(const input_behavior &b)
{
	std::lock_guard<std::mutex> lk(mu_);
	input_default_ = b;
}

void controller::push_input_behavior(const input_behavior &b)
{
	std::lock_guard<std::mutex> lk(mu_);
	input_queue_.push_back(b);
}

void controller::set_output_behavior(const output_behavior &b)
{
	std::lock_guard<std::mutex> lk(mu_);
	output_default_ = b;
}

void controller::push_output_behavior(const output_behavior &b)
{
	std::lock_guard<std::mutex> lk(mu_);
	output_queue_.push_back(b);
}

void controller::set_kept_frames(size_t n)
{
	std::lock_guard<std::mutex> lk(mu_);
	keep_ = n;
	while (kept_.size() > keep_)
		kept_.pop_front();
}

void controller::close_connections(endpoint ep)
{
	std::lock_guard<std::mutex> lk(mu_);
	for (auto &c : get(ep).conns) {
		if (c->fd != NO_SOCK) {
			c->close_requested = true;
			shutdown_socket(c->fd);
		}
	}
	cv_.notify_all();
}

void controller::accept_loop(endpoint ep)
{
	// Named, so that tests can tell these threads from the module's.
	pthread_setname_np(pthread_self(), "fakectl-accept");
	side &s = get(ep);
	while (!stopping_) {
		short revents = 0;
		if (poll_one(s.listen_fd, POLLIN, &revents, 20) <= 0 ||
		    !(revents & POLLIN))
			continue;
		sock_t fd = accept_one(s.listen_fd);
		if (fd == NO_SOCK)
			continue;
		std::vector<std::thread> finished;
		{
			std::lock_guard<std::mutex> lk(mu_);
			auto c = std::make_shared<conn>();
			c->fd = fd;
			c->info.id = next_conn_id_++;
			c->info.ep = ep;
			c->info.accepted_at = clock::now();
			for (auto &old : s.conns) {
				if (old->done && old->thread.joinable())
					finished.push_back(
						std::move(old->thread));
			}
			s.conns.push_back(c);
			c->thread = std::thread(&controller::serve, this, c);
			change_++;
			cv_.notify_all();
		}
		// These threads have returned; joining them is immediate.
		for (auto &t : finished)
			t.join();
	}
}

void controller::serve(std::shared_ptr<conn> c)
{
	pthread_setname_np(pthread_self(), "fakectl-conn");
	if (take_token(*c)) {
		std::unique_lock<std::mutex> lk(mu_);
		if (c->info.ep == endpoint::input) {
			input_behavior b = input_default_;
			if (!input_queue_.empty()) {
				b = input_queue_.front();
				input_queue_.pop_front();
			}
			lk.unlock();
			serve_input(*c, b);
		} else {
			output_behavior b = output_default_;
			if (!output_queue_.empty()) {
				b = output_queue_.front();
				output_queue_.pop_front();
			}
			c->echo = b.mode == output_mode::echo;
			c->transform = b.transform;
			lk.unlock();
			serve_output(*c, b);
		}
	}
	std::lock_guard<std::mutex> lk(mu_);
	c->done = true;
	cv_.notify_all();
}

void controller::finish(conn &c, close_reason why)
{
	std::lock_guard<std::mutex> lk(mu_);
	if (c.info.closed == close_reason::open) {
		if (c.close_requested)
			why = close_reason::requested;
		else if (stopping_)
			why = close_reason::stopped;
		c.info.closed = why;
		c.info.closed_at = clock::now();
	}
	if (c.fd != NO_SOCK)
		close_socket(c.fd);
	c.fd = NO_SOCK;
	c.serving = false;
	for (auto &j : c.queue) {
		j->ok = false;
		if (--j->pending == 0) {
			j->done = true;
			j->data.reset();
		}
	}
	c.queue.clear();
	c.echo_frame.reset();
	change_++;
	cv_.notify_all();
}

bool controller::take_token(conn &c)
{
	char buf[TOKEN_BYTES];
	size_t have = 0;
	while (have < TOKEN_BYTES) {
		long n = recv_some(c.fd, buf + have, TOKEN_BYTES - have);
		if (n <= 0) {
			finish(c, n == 0 || peer_gone_errno()
					  ? close_reason::peer
					  : close_reason::error);
			return false;
		}
		std::lock_guard<std::mutex> lk(mu_);
		c.info.token.append(buf + have, size_t(n));
		have += size_t(n);
		change_++;
		cv_.notify_all();
	}
	bool ok;
	{
		std::lock_guard<std::mutex> lk(mu_);
		c.info.token_at = clock::now();
		ok = c.info.token == get(c.info.ep).accepted;
		c.info.token_ok = ok;
		c.serving = ok;
		change_++;
		cv_.notify_all();
	}
	if (!ok)
		finish(c, close_reason::bad_token);
	return ok;
}

void controller::record_frame_start(conn &c, uint32_t w, uint32_t h)
{
	std::lock_guard<std::mutex> lk(mu_);
	input_frame_info f;
	f.index = frames_.size() + 1;
	f.connection = c.info.id;
	f.width = w;
	f.height = h;
	f.started = clock::now();
	frames_.push_back(f);
	c.current_frame = frames_.size() - 1;
	change_++;
	cv_.notify_all();
}

void controller::record_frame_end(conn &c, bytes &pixels)
{
	// Echo first, outside the lock: transforms may be slow.
	std::vector<
		std::pair<std::shared_ptr<conn>, std::function<void(bytes &)>>>
		targets;
	{
		std::lock_guard<std::mutex> lk(mu_);
		for (auto &o : out_->conns) {
			if (o->serving && o->echo && o->fd != NO_SOCK)
				targets.emplace_back(o, o->transform);
		}
	}
	std::vector<std::shared_ptr<const bytes>> echoes;
	for (auto &t : targets) {
		bytes copy = pixels;
		if (t.second)
			t.second(copy);
		echoes.push_back(
			std::make_shared<const bytes>(make_wire_frame(copy)));
	}

	std::lock_guard<std::mutex> lk(mu_);
	for (size_t i = 0; i < targets.size(); i++) {
		if (targets[i].first->serving)
			targets[i].first->echo_frame = echoes[i];
	}
	input_frame_info &f = frames_[c.current_frame];
	f.complete = true;
	f.completed = clock::now();
	c.info.frames++;
	whole_frames_++;
	if (keep_ > 0) {
		kept_.push_back(std::move(pixels));
		while (kept_.size() > keep_)
			kept_.pop_front();
	}
	change_++;
	cv_.notify_all();
}

void controller::serve_input(conn &c, const input_behavior &b)
{
	if (b.mode == input_mode::never_read) {
		// Hold the connection without reading; notice only its end.
		for (;;) {
			{
				std::lock_guard<std::mutex> lk(mu_);
				if (stopping_ || c.close_requested)
					break;
			}
			short revents = 0;
			if (poll_one(c.fd, POLL_CLOSED, &revents, 10) > 0 &&
			    (revents & (POLL_CLOSED | POLLHUP | POLLERR))) {
				finish(c, close_reason::peer);
				return;
			}
		}
		finish(c, close_reason::stopped);
		return;
	}

	uint8_t header[HEADER_BYTES];
	size_t header_have = 0;
	bytes pixels(FRAME_BYTES);
	size_t pixels_have = 0;
	bool in_pixels = false;
	uint64_t budget = b.mode == input_mode::close_after
				  ? b.close_after_bytes
				  : UINT64_MAX;
	size_t unit = b.mode == input_mode::slow ? b.chunk : TRANSFER_UNIT;
	if (unit == 0)
		unit = TRANSFER_UNIT;

	for (;;) {
		if (budget == 0) {
			finish(c, close_reason::behavior);
			return;
		}
		size_t want = in_pixels ? FRAME_BYTES - pixels_have
					: HEADER_BYTES - header_have;
		want = std::min<uint64_t>({want, unit, budget});
		uint8_t *dst = in_pixels ? pixels.data() + pixels_have
					 : header + header_have;
		long n = recv_some(c.fd, dst, want);
		if (n <= 0) {
			finish(c, n == 0 || peer_gone_errno()
					  ? close_reason::peer
					  : close_reason::error);
			return;
		}
		budget -= uint64_t(n);
		{
			std::lock_guard<std::mutex> lk(mu_);
			c.info.bytes_after_token += uint64_t(n);
			change_++;
			cv_.notify_all();
		}
		if (!in_pixels) {
			header_have += size_t(n);
			if (header_have == HEADER_BYTES) {
				uint32_t w = uint32_t(header[0]) << 24 |
					     uint32_t(header[1]) << 16 |
					     uint32_t(header[2]) << 8 |
					     header[3];
				uint32_t h = uint32_t(header[4]) << 24 |
					     uint32_t(header[5]) << 16 |
					     uint32_t(header[6]) << 8 |
					     header[7];
				record_frame_start(c, w, h);
				if (w != FRAME_W || h != FRAME_H) {
					finish(c, close_reason::bad_header);
					return;
				}
				in_pixels = true;
				header_have = 0;
			}
		} else {
			pixels_have += size_t(n);
			if (pixels_have == FRAME_BYTES) {
				record_frame_end(c, pixels);
				pixels.assign(FRAME_BYTES, 0);
				pixels_have = 0;
				in_pixels = false;
			}
		}
		if (b.mode == input_mode::slow && b.pause.count() > 0) {
			std::unique_lock<std::mutex> lk(mu_);
			cv_.wait_for(lk, b.pause, [&] {
				return stopping_ || c.close_requested;
			});
		}
	}
}

bool controller::write_job(conn &c, const job &j, int *err)
{
	*err = 0;
	const bytes &data = *j.data;
	size_t unit = j.p.chunk ? std::min(j.p.chunk, TRANSFER_UNIT)
				: TRANSFER_UNIT;
	size_t done = 0;
	while (done < data.size()) {
		long n = send_some(c.fd, data.data() + done,
				   std::min(unit, data.size() - done));
		if (n <= 0) {
			*err = socket_error();
			return false;
		}
		done += size_t(n);
		std::unique_lock<std::mutex> lk(mu_);
		c.info.bytes_sent += uint64_t(n);
		c.info.sent_at = clock::now();
		change_++;
		cv_.notify_all();
		if (j.p.pause.count() > 0 && done < data.size()) {
			if (cv_.wait_for(lk, j.p.pause, [&] {
				    return stopping_.load() ||
					   c.close_requested;
			    }))
				return false;
		}
	}
	if (j.is_frame) {
		std::lock_guard<std::mutex> lk(mu_);
		c.info.frames++;
		change_++;
		cv_.notify_all();
	}
	return true;
}

void controller::job_done(job &j, bool ok)
{
	std::lock_guard<std::mutex> lk(mu_);
	if (!ok)
		j.ok = false;
	if (--j.pending == 0) {
		j.done = true;
		j.data.reset();
	}
	change_++;
	cv_.notify_all();
}

void controller::serve_output(conn &c, const output_behavior &b)
{
	if (b.mode == output_mode::close_at_once) {
		finish(c, close_reason::behavior);
		return;
	}
	std::shared_ptr<const bytes> repeat;
	if (b.mode == output_mode::repeat)
		repeat =
			std::make_shared<const bytes>(make_wire_frame(b.frame));
	clock::time_point next_repeat = clock::now();

	for (;;) {
		std::shared_ptr<job> j;
		std::shared_ptr<const bytes> frame;
		{
			std::lock_guard<std::mutex> lk(mu_);
			if (stopping_ || c.close_requested)
				break;
			if (!c.queue.empty()) {
				j = c.queue.front();
				c.queue.pop_front();
			} else if (c.echo_frame) {
				frame = std::move(c.echo_frame);
			} else if (repeat && clock::now() >= next_repeat) {
				frame = repeat;
				next_repeat = clock::now() + b.interval;
			}
		}
		int err = 0;
		if (j) {
			bool ok = write_job(c, *j, &err);
			job_done(*j, ok);
			if (!ok) {
				finish(c, send_failure(err));
				return;
			}
			if (j->close_after) {
				{
					std::lock_guard<std::mutex> lk(mu_);
					c.close_requested = true;
				}
				finish(c, close_reason::requested);
				return;
			}
			continue;
		}
		if (frame) {
			job whole;
			whole.data = frame;
			whole.is_frame = true;
			if (!write_job(c, whole, &err)) {
				finish(c, send_failure(err));
				return;
			}
			continue;
		}
		// Idle: the module must write nothing here, so anything
		// readable is either its close or a fault worth recording.
		short revents = 0;
		if (poll_one(c.fd, POLLIN | POLL_CLOSED, &revents, 5) <= 0)
			continue;
		uint8_t scratch[4096];
		long n = recv_some(c.fd, scratch, sizeof scratch, NO_WAIT);
		if (n > 0) {
			std::lock_guard<std::mutex> lk(mu_);
			c.info.bytes_after_token += uint64_t(n);
			change_++;
			cv_.notify_all();
			continue;
		}
		if (n < 0 && is_would_block(socket_error()))
			continue;
		finish(c, close_reason::peer);
		return;
	}
	finish(c, close_reason::stopped);
}

uint64_t controller::post_bytes(bytes data, pacing p, bool close_after)
{
	return post(std::move(data), p, close_after, false);
}

uint64_t controller::post(bytes data, pacing p, bool close_after, bool is_frame)
{
	auto j = std::make_shared<job>();
	j->data = std::make_shared<const bytes>(std::move(data));
	j->p = p;
	j->close_after = close_after;
	j->is_frame = is_frame;
	std::lock_guard<std::mutex> lk(mu_);
	j->id = next_job_id_++;
	for (auto &c : out_->conns) {
		if (c->serving && c->fd != NO_SOCK && !c->close_requested) {
			c->queue.push_back(j);
			j->pending++;
		}
	}
	if (j->pending == 0) {
		j->ok = false;
		j->done = true;
		j->data.reset();
	}
	jobs_.push_back(j);
	while (jobs_.size() > KEPT_JOBS && jobs_.front()->done)
		jobs_.erase(jobs_.begin());
	change_++;
	cv_.notify_all();
	return j->id;
}

uint64_t controller::post_frame(const bytes &pixels, pacing p)
{
	return post(make_wire_frame(pixels), p, false, true);
}

bool controller::wait_job(uint64_t id, clock::duration timeout, bool *ok)
{
	auto deadline = clock::now() + timeout;
	std::unique_lock<std::mutex> lk(mu_);
	for (;;) {
		std::shared_ptr<job> j;
		for (auto &x : jobs_) {
			if (x->id == id)
				j = x;
		}
		if (!j)
			return false;
		if (j->done) {
			if (ok)
				*ok = j->ok;
			return true;
		}
		if (!wait_change(lk, deadline))
			return false;
	}
}

bool controller::send_frame(const bytes &pixels, clock::duration timeout,
			    pacing p)
{
	bool ok = false;
	return wait_job(post_frame(pixels, p), timeout, &ok) && ok;
}

bool controller::post_frames_until(const bytes &pixels,
				   const std::function<bool()> &done,
				   clock::duration timeout)
{
	auto deadline = clock::now() + timeout;
	uint64_t last = 0;
	while (clock::now() < deadline) {
		if (done())
			return true;
		if (!last || wait_job(last, clock::duration::zero()))
			last = post_frame(pixels);
	}
	return done();
}

bool controller::send_header(uint32_t width, uint32_t height,
			     clock::duration timeout)
{
	return send_bytes(encode_header(width, height), timeout);
}

bool controller::send_bytes(bytes data, clock::duration timeout, pacing p,
			    bool close_after)
{
	bool ok = false;
	return wait_job(post_bytes(std::move(data), p, close_after), timeout,
			&ok) &&
	       ok;
}

bool controller::send_bytes_while_open(const bytes &data,
				       clock::duration timeout,
				       bool close_after)
{
	auto deadline = clock::now() + timeout;
	while (clock::now() < deadline) {
		if (!wait_open(endpoint::output, deadline - clock::now()))
			return false;
		if (send_bytes(data, deadline - clock::now(), {}, close_after))
			return true;
	}
	return false;
}

std::vector<connection_info> controller::connections(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	std::vector<connection_info> out;
	for (auto &c : get(ep).conns)
		out.push_back(c->info);
	return out;
}

size_t controller::connection_count(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	return get(ep).conns.size();
}

size_t controller::last_written_output() const
{
	std::lock_guard<std::mutex> lk(mu_);
	const auto &conns = out_->conns;
	size_t last = 0;
	for (size_t i = 1; i < conns.size(); i++)
		if (conns[i]->info.sent_at > conns[last]->info.sent_at)
			last = i;
	return last;
}

size_t controller::token_ok_count(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	size_t n = 0;
	for (auto &c : get(ep).conns)
		n += c->info.token_ok ? 1 : 0;
	return n;
}

size_t controller::open_count(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	size_t n = 0;
	for (auto &c : get(ep).conns)
		n += c->serving ? 1 : 0;
	return n;
}

std::vector<std::string> controller::tokens(endpoint ep) const
{
	std::lock_guard<std::mutex> lk(mu_);
	std::vector<std::string> out;
	for (auto &c : get(ep).conns)
		out.push_back(c->info.token);
	return out;
}

std::vector<input_frame_info> controller::input_frames() const
{
	std::lock_guard<std::mutex> lk(mu_);
	return frames_;
}

uint64_t controller::input_frame_count() const
{
	std::lock_guard<std::mutex> lk(mu_);
	return whole_frames_;
}

std::vector<bytes> controller::kept_input_frames() const
{
	std::lock_guard<std::mutex> lk(mu_);
	return std::vector<bytes>(kept_.begin(), kept_.end());
}

bytes controller::last_input_frame() const
{
	std::lock_guard<std::mutex> lk(mu_);
	return kept_.empty() ? bytes() : kept_.back();
}

bool controller::wait_change(std::unique_lock<std::mutex> &lk,
			     clock::time_point deadline) const
{
	if (clock::now() >= deadline)
		return false;
	uint64_t seen = change_;
	cv_.wait_until(lk, deadline, [&] { return change_ != seen; });
	return true;
}

bool controller::wait_token_ok(endpoint ep, size_t count,
			       clock::duration timeout) const
{
	return wait([&] { return token_ok_count(ep) >= count; }, timeout);
}

bool controller::wait_connections(endpoint ep, size_t count,
				  clock::duration timeout) const
{
	return wait([&] { return connection_count(ep) >= count; }, timeout);
}

bool controller::wait_open(endpoint ep, clock::duration timeout) const
{
	return wait([&] { return open_count(ep) > 0; }, timeout);
}

bool controller::wait_closed(uint64_t id, clock::duration timeout) const
{
	auto closed = [&] {
		std::lock_guard<std::mutex> lk(mu_);
		for (const side *s : {in_.get(), out_.get()}) {
			for (auto &c : s->conns) {
				if (c->info.id == id)
					return c->info.closed !=
					       close_reason::open;
			}
		}
		return false;
	};
	return wait(closed, timeout);
}

bool controller::wait_input_frames(uint64_t count,
				   clock::duration timeout) const
{
	return wait([&] { return input_frame_count() >= count; }, timeout);
}

bool controller::wait(const std::function<bool()> &pred,
		      clock::duration timeout) const
{
	auto deadline = clock::now() + timeout;
	for (;;) {
		if (pred())
			return true;
		auto now = clock::now();
		if (now >= deadline)
			return false;
		std::unique_lock<std::mutex> lk(mu_);
		uint64_t seen = change_;
		cv_.wait_until(lk, std::min(deadline, now + milliseconds(5)),
			       [&] { return change_ != seen; });
	}
}

} // namespace fake
