// The fake controller's endpoints: loopback listeners, published endpoint
// files, one thread per accepted connection and its token handshake, and
// the snapshots and waits over the record of everything the module did,
// guarded by one mutex.
#include "fake_controller_internal.h"

#include <pthread.h>

#include <algorithm>

namespace fake {

using namespace internal;

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
