#include "pipeline.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

// A frame due longer ago than this is passed over when a newer one is due
// as well: an output that fell behind catches up instead of lagging.
constexpr uint64_t LATE_LIMIT_NS = 250000000;
// Credit that may be saved up, in seconds at the kept rate (and frames at
// least): how far the kept frames may bunch up when the filter's frames
// come irregularly. Frames that come at random moments barely faster than
// "fps" need a quarter of a second of it to keep nearly "fps" a second;
// with one and a half frames they lose a third.
constexpr double MAX_CREDIT_S = 0.25;
constexpr double MIN_MAX_CREDIT = 1.5;
// How often idle detectors look again (time-based conditions change).
constexpr auto RECHECK = std::chrono::milliseconds(20);

uint64_t ns(double seconds)
{
	return seconds <= 0 ? 0 : uint64_t(std::llround(seconds * 1e9));
}

uint64_t distance(uint64_t a, uint64_t b)
{
	return a > b ? a - b : b - a;
}

uint64_t thread_cpu_ns()
{
	timespec ts;
	if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0)
		return 0;
	return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

cv::Rect grown(const cv::Rect &box, int by, const cv::Size &frame)
{
	cv::Rect r(box.x - by, box.y - by, box.width + 2 * by,
		   box.height + 2 * by);
	return r & cv::Rect(0, 0, frame.width, frame.height);
}

} // namespace

uint64_t steady_now_ns()
{
	return uint64_t(
		std::chrono::duration_cast<std::chrono::nanoseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
			.count());
}

pipeline::pipeline(std::vector<detector> detectors, clock_fn clock,
		   size_t max_frames)
	: clock_(std::move(clock)),
	  max_frames_(std::max<size_t>(max_frames, 1))
{
	apply_rates();
	for (detector &d : detectors) {
		auto w = std::make_unique<worker>();
		w->stats.name = d.name;
		w->det = std::move(d);
		w->wanted = wanted(*w);
		workers_.push_back(std::move(w));
	}
	for (size_t i = 0; i < workers_.size(); i++)
		workers_[i]->thread =
			std::thread(&pipeline::detector_loop, this, i);
}

pipeline::~pipeline()
{
	stop();
}

void pipeline::stop()
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		stopping_ = true;
	}
	work_cv_.notify_all();
	due_cv_.notify_all();
	idle_cv_.notify_all();
	for (auto &w : workers_)
		if (w->thread.joinable())
			w->thread.join();
}

void pipeline::apply_rates()
{
	delay_ns_ = ns(settings_.delay);
	// "delay" seconds at the kept rate must fit into the buffer.
	double fit = double(max_frames_) / std::max(settings_.delay, 0.001);
	counts_.keep_fps = std::min(double(settings_.fps), fit);
}

void pipeline::configure(const settings &s)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		settings_ = s;
		apply_rates();
		for (auto &w : workers_)
			w->wanted = wanted(*w);
		if (!s.worker_enabled) {
			buffer_.clear();
			for (auto &w : workers_)
				w->runs.clear();
			credit_at_ = 0;
		}
	}
	work_cv_.notify_all();
	due_cv_.notify_all();
	idle_cv_.notify_all();
}

bool pipeline::offer(cv::Mat &bgra)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		uint64_t now = clock_();
		counts_.offered++;
		if (stopping_ || !settings_.worker_enabled)
			return false;
		// Frames come at the filter's pace, irregularly: credit
		// earned at the kept rate, of which a little may be saved up,
		// keeps "fps" a second on average without losing frames to
		// jitter.
		double most = std::max(MIN_MAX_CREDIT,
				       MAX_CREDIT_S * counts_.keep_fps);
		if (!credit_at_)
			credit_ = 1;
		else if (now > credit_at_)
			credit_ = std::min(
				most, credit_ + double(now - credit_at_) / 1e9 *
							counts_.keep_fps);
		credit_at_ = now;
		// (A frame exactly one period later must not miss its turn by
		// a rounding error.)
		if (credit_ < 1 - 1e-6 || buffer_.size() >= max_frames_)
			return false;
		credit_ = std::max(0.0, credit_ - 1);
		buffer_.push_back(
			{next_seq_++, now,
			 std::make_shared<const cv::Mat>(std::move(bgra)),
			 std::vector<run_state>(workers_.size(),
						run_state::none)});
		counts_.kept++;
	}
	work_cv_.notify_all();
	due_cv_.notify_all();
	return true;
}

bool pipeline::near_run(const worker &w, const slot &s) const
{
	uint64_t spacing = ns(w.det.spacing_s);
	// Runs are ordered by frame number, and so by arrival: the nearest
	// on each side decide.
	auto after = w.runs.lower_bound(s.seq);
	if (after != w.runs.end() &&
	    after->second.arrival - s.arrival < spacing)
		return true;
	return after != w.runs.begin() &&
	       s.arrival - std::prev(after)->second.arrival < spacing;
}

pipeline::slot *pipeline::pick(size_t index, uint64_t now)
{
	worker &w = *workers_[index];
	if (stopping_ || !w.wanted || w.busy || now < w.rest_until)
		return nullptr;
	// The oldest frame it can still finish before the frame falls due.
	// When there is none, the newest: its findings still reach the
	// frames after it, and the run time is measured afresh.
	uint64_t guard = ns(2 * w.mean_run_s) + 10000000;
	uint64_t min_age = ns(w.det.min_age_s);
	slot *newest = nullptr;
	for (slot &s : buffer_) {
		if (s.state[index] != run_state::none)
			continue;
		if (now < s.arrival + min_age)
			break;
		if (w.det.spacing_s > 0 && near_run(w, s))
			continue;
		if (s.arrival + delay_ns_ >= now + guard)
			return &s;
		newest = &s;
	}
	return newest;
}

regions pipeline::hints_for(size_t index, uint64_t seq) const
{
	regions hints;
	for (size_t j = 0; j < workers_.size(); j++) {
		if (j == index)
			continue;
		auto it = workers_[j]->runs.find(seq);
		if (it != workers_[j]->runs.end() && it->second.ok)
			hints.insert(hints.end(), it->second.found.begin(),
				     it->second.found.end());
	}
	return hints;
}

void pipeline::detector_loop(size_t index)
{
	worker &w = *workers_[index];
	pthread_setname_np(pthread_self(), w.det.name.substr(0, 15).c_str());
	std::unique_lock<std::mutex> lock(mutex_);
	while (!stopping_) {
		slot *s = pick(index, clock_());
		if (!s) {
			idle_cv_.notify_all();
			work_cv_.wait_for(lock, RECHECK);
			continue;
		}
		s->state[index] = run_state::running;
		w.busy = true;
		uint64_t seq = s->seq, arrival = s->arrival;
		frame_ptr pixels = s->pixels;
		regions hints = hints_for(index, seq);
		lock.unlock();

		uint64_t cpu0 = thread_cpu_ns(), wall0 = steady_now_ns();
		regions found;
		bool ok = false;
		std::string failure;
		try {
			found = w.det.find_at
					? w.det.find_at(*pixels, hints, arrival)
					: w.det.find(*pixels, hints);
			ok = true;
		} catch (const std::exception &e) {
			failure = e.what();
		} catch (...) {
			failure = "unknown error";
		}
		uint64_t cpu = thread_cpu_ns() - cpu0;
		uint64_t wall = steady_now_ns() - wall0;
		pixels.reset();

		lock.lock();
		record(index, seq, arrival, ok, std::move(found), cpu, wall,
		       failure);
	}
	idle_cv_.notify_all();
}

void pipeline::record(size_t index, uint64_t seq, uint64_t arrival, bool ok,
		      regions found, uint64_t cpu_ns, uint64_t wall_ns,
		      const std::string &failure)
{
	worker &w = *workers_[index];
	w.busy = false;
	w.runs[seq] = run{arrival, ok, std::move(found)};
	if (ok) {
		w.stats.runs++;
	} else {
		w.stats.failures++;
		w.stats.last_failure = failure;
	}
	w.stats.cpu_ns += cpu_ns;
	w.stats.wall_ns += wall_ns;
	double s = double(wall_ns) / 1e9;
	w.mean_run_s = w.mean_run_s == 0 ? s : 0.8 * w.mean_run_s + 0.2 * s;
	if (w.det.max_share > 0 && w.det.max_share < 1)
		w.rest_until = clock_() + uint64_t(double(cpu_ns) *
						   (1 / w.det.max_share - 1));
	for (slot &sl : buffer_)
		if (sl.seq == seq)
			sl.state[index] = run_state::done;
	work_cv_.notify_all();
	idle_cv_.notify_all();
}

bool pipeline::covers(const worker &w, const slot &s,
		      std::vector<cv::Rect> &boxes) const
{
	const uint64_t reach = ns(w.det.reach_s), carry = ns(w.det.carry_s);
	const uint64_t limit = std::max(reach, carry);
	std::vector<const run *> reaching;
	bool before = false, after = false;
	auto take = [&](const run &r, bool &side) {
		uint64_t dt = distance(r.arrival, s.arrival);
		if (!r.ok)
			return;
		bool nearest = !side && dt <= reach;
		if (nearest)
			side = true;
		if (nearest || dt <= carry)
			reaching.push_back(&r);
	};
	// On or after the frame, then on or before it.
	for (auto it = w.runs.lower_bound(s.seq);
	     it != w.runs.end() && it->second.arrival - s.arrival <= limit;
	     ++it)
		take(it->second, after);
	for (auto it = w.runs.upper_bound(s.seq); it != w.runs.begin();) {
		--it;
		if (s.arrival - it->second.arrival > limit)
			break;
		take(it->second, before);
	}
	for (const run *r : reaching) {
		double dt = double(distance(r->arrival, s.arrival)) / 1e9;
		int by = int(std::ceil(w.det.motion_px_per_s * dt));
		for (const region &g : r->found)
			if (!g.keep)
				boxes.push_back(
					grown(g.box, by, s.pixels->size()));
	}
	return before && after;
}

bool pipeline::wanted(const worker &w) const
{
	return settings_.worker_enabled &&
	       (!w.det.wanted || w.det.wanted(settings_));
}

due_frame pipeline::decide(slot &s)
{
	due_frame f;
	f.seq = s.seq;
	f.arrival_ns = s.arrival;
	f.due_ns = s.arrival + delay_ns_;
	f.pixels = s.pixels;
	for (const auto &w : workers_)
		if (w->wanted && !covers(*w, s, f.boxes)) {
			f.missing.push_back(w->det.name);
			w->stats.uncovered++;
		}
	f.whole = !f.missing.empty();
	if (f.whole) {
		f.boxes.clear();
		counts_.obscured_whole++;
	} else {
		counts_.processed++;
	}
	return f;
}

void pipeline::forget_old_runs()
{
	if (buffer_.empty())
		return;
	uint64_t oldest = buffer_.front().arrival;
	for (auto &w : workers_) {
		uint64_t keep = ns(std::max(
			{w->det.reach_s, w->det.carry_s, w->det.spacing_s}));
		while (!w->runs.empty() &&
		       w->runs.begin()->second.arrival + keep < oldest)
			w->runs.erase(w->runs.begin());
	}
}

std::optional<due_frame> pipeline::take_due()
{
	std::optional<due_frame> out;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		uint64_t now = clock_();
		while (!buffer_.empty()) {
			uint64_t due = buffer_.front().arrival + delay_ns_;
			if (due > now)
				break;
			bool late = now - due > LATE_LIMIT_NS;
			if (late && buffer_.size() > 1 &&
			    buffer_[1].arrival + delay_ns_ <= now) {
				counts_.skipped++;
				buffer_.pop_front();
				continue;
			}
			out = decide(buffer_.front());
			buffer_.pop_front();
			forget_old_runs();
			break;
		}
	}
	if (out)
		idle_cv_.notify_all();
	return out;
}

void pipeline::wait_due(std::chrono::milliseconds limit)
{
	std::unique_lock<std::mutex> lock(mutex_);
	if (stopping_)
		return;
	auto wait = std::chrono::nanoseconds(limit);
	if (!buffer_.empty()) {
		uint64_t due = buffer_.front().arrival + delay_ns_;
		uint64_t now = clock_();
		if (due <= now)
			return;
		wait = std::min(wait, std::chrono::nanoseconds(due - now));
	}
	due_cv_.wait_for(lock, wait);
}

bool pipeline::idle_locked(uint64_t now)
{
	for (size_t i = 0; i < workers_.size(); i++)
		if (workers_[i]->busy || pick(i, now))
			return false;
	return true;
}

bool pipeline::wait_idle(std::chrono::milliseconds limit)
{
	auto deadline = std::chrono::steady_clock::now() + limit;
	std::unique_lock<std::mutex> lock(mutex_);
	while (!idle_locked(clock_())) {
		if (idle_cv_.wait_until(lock, deadline) ==
		    std::cv_status::timeout)
			return idle_locked(clock_());
	}
	return true;
}

pipeline_stats pipeline::stats() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	pipeline_stats out = counts_;
	out.buffered = buffer_.size();
	for (const auto &w : workers_) {
		out.detectors.push_back(w->stats);
		out.detectors.back().wanted = w->wanted;
	}
	return out;
}

} // namespace qmc
