// The fake controller's traffic: frames read from the module on
// "filter-input", and the frames and bytes written to it on
// "direct-output", by behaviour or as jobs the tests post.
#include "fake_controller_internal.h"

#include <algorithm>
#include <climits>

namespace fake {

using namespace internal;

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
	// Echo first, outside the lock: transforms may be slow, under a
	// sanitizer slower than the second the module waits for data before
	// dropping a connection. So the echo goes to the echo connections
	// open when it is ready, not only to those open when the frame ended.
	std::vector<pixel_transform> wanted;
	{
		std::lock_guard<std::mutex> lk(mu_);
		for (auto &o : out_->conns)
			if (o->serving && o->echo && o->fd != NO_SOCK &&
			    std::find(wanted.begin(), wanted.end(),
				      o->transform) == wanted.end())
				wanted.push_back(o->transform);
	}
	std::vector<std::shared_ptr<const bytes>> echoes;
	for (auto &t : wanted) {
		bytes copy = pixels;
		if (t)
			(*t)(copy);
		echoes.push_back(
			std::make_shared<const bytes>(make_wire_frame(copy)));
	}

	std::lock_guard<std::mutex> lk(mu_);
	for (auto &o : out_->conns) {
		auto it = std::find(wanted.begin(), wanted.end(), o->transform);
		if (o->serving && o->echo && it != wanted.end())
			o->echo_frame = echoes[size_t(it - wanted.begin())];
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
	std::shared_ptr<const bytes> last_echo;

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
				frame = last_echo = std::move(c.echo_frame);
				next_repeat = clock::now() + b.again;
			} else if (last_echo && b.again.count() > 0 &&
				   clock::now() >= next_repeat) {
				frame = last_echo;
				next_repeat = clock::now() + b.again;
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

} // namespace fake
