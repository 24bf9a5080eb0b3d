#include "endpoints.h"

#include "crash-cleanup.h"
#include "settings.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <sstream>
#include <vector>

namespace qmc {

namespace {

// Handshakes in progress at once; the oldest gives way to a newer one.
constexpr size_t MAX_PENDING = 32;
constexpr int POLL_MS = 100;

using steady = std::chrono::steady_clock;

struct handshake {
	int fd;
	endpoint *ep;
	steady::time_point deadline;
	uint8_t got[TOKEN_BYTES];
	size_t have = 0;
};

int listen_loopback(int *port)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
			IPPROTO_TCP);
	if (fd < 0)
		return -1;
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	addr.sin_port = 0;
	socklen_t len = sizeof(addr);
	if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
	    listen(fd, 16) != 0 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
		int err = errno;
		close(fd);
		errno = err;
		return -1;
	}
	*port = ntohs(addr.sin_port);
	return fd;
}

// Told on the 1st, 10th, 100th ... refusal, so that a flood of bad
// connections cannot flood the log.
bool worth_telling(uint64_t count)
{
	while (count >= 10 && count % 10 == 0)
		count /= 10;
	return count == 1;
}

void refuse(handshake &h, const char *why, const note_fn &note)
{
	close(h.fd);
	uint64_t n = ++h.ep->refused;
	if (note && worth_telling(n))
		note(h.ep->name + ": refused a connection (" + why + "; " +
		     std::to_string(n) + " so far)");
}

// Reads what the peer has sent of its token. True when the handshake is
// over (either way).
bool advance(handshake &h, const std::string &token, const note_fn &note)
{
	for (;;) {
		ssize_t n = recv(h.fd, h.got + h.have, TOKEN_BYTES - h.have,
				 MSG_DONTWAIT);
		if (n > 0) {
			h.have += size_t(n);
			if (h.have < TOKEN_BYTES)
				continue;
			if (!token_matches(h.got, token)) {
				refuse(h, "wrong token", note);
				return true;
			}
			h.ep->accepted++;
			h.ep->slot.offer(h.fd);
			return true;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return false;
		refuse(h, "closed before a whole token", note);
		return true;
	}
}

void accept_all(endpoint &ep, std::list<handshake> &pending,
		const note_fn &note)
{
	for (;;) {
		int fd = accept4(ep.listener, nullptr, nullptr,
				 SOCK_CLOEXEC | SOCK_NONBLOCK);
		if (fd < 0)
			return;
		if (pending.size() >= MAX_PENDING) {
			refuse(pending.front(), "too many handshakes", note);
			pending.pop_front();
		}
		handshake h{};
		h.fd = fd;
		h.ep = &ep;
		h.deadline = steady::now() + TOKEN_DEADLINE;
		pending.push_back(h);
	}
}

} // namespace

connection_slot::~connection_slot()
{
	if (fd_ >= 0)
		close(fd_);
}

void connection_slot::offer(int fd)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
		pending_ = true;
	}
	cv_.notify_all();
}

int connection_slot::take(std::chrono::milliseconds limit)
{
	std::unique_lock<std::mutex> lock(mutex_);
	cv_.wait_for(lock, limit, [&] { return fd_ >= 0; });
	int fd = fd_;
	fd_ = -1;
	pending_ = false;
	return fd;
}

bool random_token(std::string *out)
{
	static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
				       "abcdefghijklmnopqrstuvwxyz0123456789";
	out->clear();
	while (out->size() < TOKEN_BYTES) {
		unsigned char bytes[128];
		ssize_t n = getrandom(bytes, sizeof(bytes), 0);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		for (ssize_t i = 0; i < n && out->size() < TOKEN_BYTES; i++)
			// 248 = 4 * 62: the rest is dropped so that every
			// character is equally likely.
			if (bytes[i] < 248)
				*out += alphabet[bytes[i] % 62];
	}
	return true;
}

bool token_matches(const uint8_t *got, const std::string &token)
{
	if (token.size() != TOKEN_BYTES)
		return false;
	unsigned diff = 0;
	for (size_t i = 0; i < TOKEN_BYTES; i++)
		diff |= unsigned(got[i] ^ uint8_t(token[i]));
	return diff == 0;
}

std::string endpoint_json(int port, const std::string &token)
{
	// The token holds letters and digits only: nothing to escape.
	return "{\"port\": " + std::to_string(port) + ", \"token\": \"" +
	       token + "\"}\n";
}

bool write_file_whole(const std::string &path, const std::string &text,
		      std::string *error)
{
	std::string tmp = path + ".tmp";
	unlink(tmp.c_str());
	int fd = open(tmp.c_str(),
		      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
		      0600);
	if (fd < 0) {
		*error = tmp + ": " + strerror(errno);
		return false;
	}
	size_t done = 0;
	while (done < text.size()) {
		ssize_t n = write(fd, text.data() + done, text.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += size_t(n);
	}
	bool ok = done == text.size() && fsync(fd) == 0;
	int err = errno;
	if (close(fd) != 0 && ok) {
		ok = false;
		err = errno;
	}
	if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
		ok = false;
		err = errno;
	}
	if (!ok) {
		*error = path + ": " + strerror(err);
		unlink(tmp.c_str());
	}
	return ok;
}

endpoints::endpoints()
{
	input_.name = "filter-input";
	output_.name = "direct-output";
}

endpoints::~endpoints()
{
	for (endpoint *ep : {&input_, &output_})
		if (ep->listener >= 0)
			close(ep->listener);
}

bool endpoints::open(std::string *error)
{
	if (!random_token(&token_)) {
		*error = std::string("cannot draw a token: ") + strerror(errno);
		return false;
	}
	for (endpoint *ep : {&input_, &output_}) {
		ep->listener = listen_loopback(&ep->port);
		if (ep->listener < 0) {
			*error = "cannot listen on 127.0.0.1 for " + ep->name +
				 ": " + strerror(errno);
			return false;
		}
	}
	return true;
}

bool endpoints::publish(const std::string &dir, std::string *error)
{
	for (endpoint *ep : {&input_, &output_}) {
		ep->path = dir + "/" + ep->name + ".endpoint";
		ep->text = endpoint_json(ep->port, token_);
		if (!write_file_whole(ep->path, ep->text, error))
			return false;
		// The token holds the text within bounds; a path too long to
		// arm is one the file could not have been written under.
		crash_cleanup_add(ep->path, ep->text);
	}
	return true;
}

void endpoints::unpublish()
{
	crash_cleanup_clear();
	for (endpoint *ep : {&input_, &output_}) {
		if (ep->path.empty())
			continue;
		// A controller started after us owns the file now.
		std::string now, why;
		if (read_small_file(ep->path, 4096, &now, &why) ==
			    file_read::ok &&
		    now == ep->text)
			unlink(ep->path.c_str());
	}
}

bool listening_as_us(int port)
{
	const uint32_t loopback = htonl(INADDR_LOOPBACK);
	std::ifstream table("/proc/net/tcp");
	std::string line;
	std::getline(table, line); // the column names
	while (std::getline(table, line)) {
		// sl local_address rem_address st tx:rx tr:when retrnsmt uid
		std::istringstream fields(line);
		std::string sl, local, remote, state, queues, timer, retr;
		unsigned long uid = 0;
		if (!(fields >> sl >> local >> remote >> state >> queues >>
		      timer >> retr >> uid))
			continue;
		size_t colon = local.find(':');
		if (colon == std::string::npos || state != "0A")
			continue;
		// Addresses as the kernel holds them: network byte order.
		uint32_t addr = uint32_t(std::strtoul(
			local.substr(0, colon).c_str(), nullptr, 16));
		long p = std::strtol(local.c_str() + colon + 1, nullptr, 16);
		if (p == port && (addr == loopback || addr == 0) &&
		    uid == geteuid())
			return true;
	}
	return false;
}

void remove_stale_endpoints(const std::string &dir, const note_fn &note)
{
	for (const char *name : {"filter-input", "direct-output"}) {
		std::string path = dir + "/" + name + ".endpoint", text, why;
		if (read_small_file(path, 4096, &text, &why) != file_read::ok)
			continue;
		nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
		int port = 0;
		if (j.is_object() && j.contains("port") &&
		    j["port"].is_number_integer())
			port = int(std::clamp<int64_t>(j["port"].get<int64_t>(),
						       0, 65536));
		if (port > 0 && port < 65536 && listening_as_us(port))
			continue;
		// Removed only when unchanged since read: a controller that
		// has just started may have put its own in place.
		std::string again;
		if (read_small_file(path, 4096, &again, &why) ==
			    file_read::ok &&
		    again == text && unlink(path.c_str()) == 0 && note)
			note("removed the stale " + path +
			     " (no listener of this user on its port)");
	}
}

void endpoints::serve(const std::atomic<bool> &stop, const note_fn &note)
{
	std::list<handshake> pending;
	std::vector<pollfd> fds;
	while (!stop) {
		fds.clear();
		fds.push_back({input_.listener, POLLIN, 0});
		fds.push_back({output_.listener, POLLIN, 0});
		for (const handshake &h : pending)
			fds.push_back({h.fd, POLLIN, 0});
		int r = poll(fds.data(), nfds_t(fds.size()), POLL_MS);
		if (r < 0 && errno != EINTR)
			break;

		auto now = steady::now();
		size_t i = 2;
		for (auto it = pending.begin(); it != pending.end(); i++) {
			bool over = false;
			if (fds[i].revents)
				over = advance(*it, token_, note);
			if (!over && now >= it->deadline) {
				refuse(*it, "no whole token within a second",
				       note);
				over = true;
			}
			it = over ? pending.erase(it) : std::next(it);
		}
		if (fds[0].revents & POLLIN)
			accept_all(input_, pending, note);
		if (fds[1].revents & POLLIN)
			accept_all(output_, pending, note);
	}
	for (handshake &h : pending)
		close(h.fd);
}

} // namespace qmc
