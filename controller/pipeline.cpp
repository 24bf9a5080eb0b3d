#include "pipeline.h"

#include "follow-look.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

// How often idle detectors look again (time-based conditions change).
constexpr auto RECHECK = std::chrono::milliseconds(20);

uint64_t ns(double seconds)
{
	return seconds <= 0 ? 0 : uint64_t(std::llround(seconds * 1e9));
}

uint64_t cpu_clock_ns(clockid_t which)
{
	timespec ts;
	if (clock_gettime(which, &ts) != 0)
		return 0;
	return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

uint64_t thread_cpu_ns()
{
	return cpu_clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

uint64_t process_cpu_ns()
{
	return cpu_clock_ns(CLOCK_PROCESS_CPUTIME_ID);
}

// How often the plan is made again from the measured costs.
constexpr uint64_t REPLAN_NS = 500000000;
// A run this many times longer than planned is planned for at once.
constexpr double OVERRUN = 1.5;
// How far a class's evidence may stand in for a detector that did not
// cover a frame: its reach, a second at least. Mostly the run after a
// frame is late, and the one before is within reach.
constexpr double FALLBACK_REACHES = 1;
constexpr double MIN_FALLBACK_S = 1;
// Weight of one run in the share of a core runs get, and the least share
// planned for.
constexpr double SHARE_WEIGHT = 0.1;
constexpr double MIN_SHARE = 0.1;
// Over about how long what the rest of the controller takes is measured,
// and the least share of the budget its detectors keep however much that
// is.
constexpr double REST_OVER_S = 2;
constexpr double MIN_DETECTOR_SHARE = 0.5;

} // namespace

// A detector record written with `find` or `find_at` as a kernel with one
// mode.
detector as_kernel(detector d)
{
	if (!d.run && d.find_at) {
		auto f = d.find_at;
		d.run = [f](const cv::Mat &m, const regions &h, uint64_t at,
			    size_t) {
			return findings{f(m, h, at), {}};
		};
	} else if (!d.run && d.find) {
		auto f = d.find;
		d.run = [f](const cv::Mat &m, const regions &h, uint64_t,
			    size_t) {
			return findings{f(m, h), {}};
		};
	} else if (!d.run) {
		d.run = [](const cv::Mat &, const regions &, uint64_t, size_t) {
			return findings{};
		};
	}
	if (d.modes.empty())
		d.modes.push_back({"full", 1});
	if (d.kind.empty())
		d.kind = d.name;
	return d;
}

namespace {

std::vector<double> guesses_of(const detector &d)
{
	std::vector<double> out;
	for (const detector_mode &m : d.modes)
		out.push_back(d.expected_cpu_s * m.relative_cost);
	return out;
}

} // namespace

uint64_t steady_now_ns()
{
	return uint64_t(
		std::chrono::duration_cast<std::chrono::nanoseconds>(
			std::chrono::steady_clock::now().time_since_epoch())
			.count());
}

double default_cpu_budget(unsigned cores)
{
	double n = std::max(1u, cores);
	return std::max(0.5, n - std::max(0.5, n / 4));
}

pipeline::pipeline(std::vector<detector> detectors, clock_fn clock,
		   pipeline_options options)
	: clock_(std::move(clock)),
	  thread_cpu_(options.thread_cpu ? std::move(options.thread_cpu)
					 : clock_fn(thread_cpu_ns)),
	  process_cpu_(options.process_cpu ? std::move(options.process_cpu)
					   : clock_fn(process_cpu_ns)),
	  budget_(options.cpu_budget > 0
			  ? options.cpu_budget
			  : default_cpu_budget(
				    std::thread::hardware_concurrency())),
	  cores_(std::max<size_t>(1, size_t(std::ceil(budget_ - 1e-9)))),
	  buffer_(options.max_frames)
{
	buffer_.set_rates(settings_.delay, settings_.fps);
	for (detector &d : detectors) {
		detector k = as_kernel(std::move(d));
		auto w = std::unique_ptr<worker>(
			new worker{k,
				   false,
				   {},
				   false,
				   0,
				   0,
				   cost_meter(guesses_of(k)),
				   {},
				   {},
				   {}});
		w->stats.name = w->det.name;
		w->stats.kind = w->det.kind;
		w->wanted = wanted(*w);
		workers_.push_back(std::move(w));
	}
	rest_from_wall_ = clock_();
	rest_from_cpu_ = process_cpu_();
	replan(rest_from_wall_);
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

void pipeline::replan(uint64_t now)
{
	std::vector<demand> ds;
	std::vector<worker *> in_plan;
	std::vector<std::vector<std::string>> names;
	for (auto &w : workers_) {
		if (!w->wanted)
			continue;
		demand d{w->det.name,      {},
			 w->det.reach_s,   w->det.min_age_s,
			 w->det.spacing_s, w->plan.mode};
		names.emplace_back();
		for (size_t m = 0; m < w->det.modes.size(); m++) {
			d.modes.push_back(w->meter.cost(m));
			names.back().push_back(w->det.modes[m].name);
		}
		ds.push_back(std::move(d));
		in_plan.push_back(w.get());
	}
	measure_rest(now);
	plan_limits limits;
	// What the machine really gives: runs that get half a core each do
	// half the work the budget assumes.
	double left = std::max(budget_ - counts_.other_cores,
			       budget_ * MIN_DETECTOR_SHARE);
	limits.budget_cores = std::min(
		left, double(cores_) * std::max(run_share_, MIN_SHARE));
	counts_.planned_cores = limits.budget_cores;
	limits.delay_s = settings_.delay;
	limits.frame_period_s = buffer_.period_s();
	plan p = make_plan(ds, limits);
	for (size_t i = 0; i < in_plan.size() && i < p.detectors.size(); i++)
		in_plan[i]->plan = p.detectors[i];
	if (plan_changed(plan_, p))
		counts_.plan_changes++;
	counts_.plan = describe_plan(p, names);
	counts_.plan_fits = p.fits;
	plan_ = std::move(p);
	next_plan_ = now + REPLAN_NS;
}

// What the controller spent besides its detectors' runs since the last
// measure: the process's CPU time less the part of runs spent in it (runs
// in worker processes spend theirs there).
void pipeline::measure_rest(uint64_t now)
{
	uint64_t cpu = process_cpu_();
	if (now <= rest_from_wall_)
		return;
	double spent = double(cpu - rest_from_cpu_) -
		       double(runs_here_ns_ - rest_from_runs_);
	double dt = double(now - rest_from_wall_);
	double weight = 1 - std::exp(-dt / 1e9 / REST_OVER_S);
	counts_.other_cores = (1 - weight) * counts_.other_cores +
			      weight * std::max(0.0, spent) / dt;
	rest_from_wall_ = now;
	rest_from_cpu_ = cpu;
	rest_from_runs_ = runs_here_ns_;
}

void pipeline::configure(const settings &s)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		settings_ = s;
		buffer_.set_rates(s.delay, s.fps);
		for (auto &w : workers_)
			w->wanted = wanted(*w);
		if (!s.worker_enabled) {
			buffer_.clear();
			for (auto &w : workers_) {
				w->runs.clear();
				w->last_arrival = 0;
			}
		}
		replan(clock_());
	}
	work_cv_.notify_all();
	due_cv_.notify_all();
	idle_cv_.notify_all();
}

bool pipeline::offer(cv::Mat &bgra)
{
	{
		std::lock_guard<std::mutex> lock(mutex_);
		counts_.offered++;
		if (stopping_ || !settings_.worker_enabled ||
		    !buffer_.offer(bgra, clock_(), workers_.size()))
			return false;
	}
	work_cv_.notify_all();
	due_cv_.notify_all();
	return true;
}

// The frame at the next point of the detector's grid: the latest one at
// or before its last run plus its spacing, once that time has come, or
// the first one after it when there is none. Frames too old for it and
// the run after it to finish before they fall due are passed over; when
// every frame left is such a frame, the newest is taken all the same: its
// findings still reach the frames after it, and its run time is measured
// afresh.
pipeline::slot *pipeline::pick(size_t index, uint64_t now)
{
	worker &w = *workers_[index];
	if (stopping_ || !w.wanted || w.busy)
		return nullptr;
	const uint64_t min_age = ns(w.det.min_age_s);
	// A frame is worth a run only when the run after it, one spacing
	// later, can still finish before the frames in between fall due. A
	// detector that fell behind (a busy machine, a slow start) would
	// otherwise run just before each frame falls due from then on,
	// leaving the frames between its runs uncovered: it skips ahead.
	const uint64_t wall = ns(w.meter.cost(w.plan.mode).wall_s);
	const uint64_t keep_up = 2 * wall + ns(plan_margin_s(settings_.delay));
	const bool grid = w.last_arrival != 0;
	const uint64_t target = w.last_arrival + ns(w.plan.spacing_s);
	const uint64_t period = ns(buffer_.period_s());
	slot *at_or_before = nullptr, *late = nullptr;
	std::vector<slot *> passed;
	auto chosen = [&](slot *s) {
		for (slot *p : passed)
			if (p != s) {
				p->started[index] = true;
				w.stats.skipped++;
			}
		return s;
	};
	for (slot &s : buffer_.frames()) {
		if (now < s.arrival + min_age)
			break;
		if (s.started[index] || (grid && s.arrival <= w.last_arrival))
			continue;
		if (s.arrival + buffer_.delay_ns() < now + keep_up) {
			passed.push_back(&s);
			late = &s;
			continue;
		}
		// A detector that waits for hints runs on frames the
		// every-frame detectors ran on, once their findings are in.
		// Frames after one still waiting are newer: no run starts on
		// a late one while they may come.
		if (min_age) {
			hints_state h = hints_of(index, s);
			if (h == hints_state::pending) {
				late = nullptr;
				break;
			}
			if (h == hints_state::passed)
				continue;
		}
		if (!grid)
			return chosen(&s);
		if (s.arrival <= target) {
			at_or_before = &s;
			continue;
		}
		return chosen(at_or_before ? at_or_before : &s);
	}
	// Kept frames come a period apart: after the last one that can come
	// before the step, nothing is worth waiting for.
	if (at_or_before)
		return now >= target + min_age ||
				       at_or_before->arrival + period > target
			       ? chosen(at_or_before)
			       : nullptr;
	return chosen(late && late->arrival >= target ? late : nullptr);
}

uint64_t pipeline::start_by(const worker &w, const slot &s) const
{
	return run_start_by(w.last_arrival, s.arrival, ns(buffer_.period_s()),
			    buffer_.delay_ns(),
			    ns(w.meter.cost(w.plan.mode).wall_s));
}

// A run much shorter than the time kept free before a frame falls due.
// One such run may share a core with the others: the QR finder's runs,
// tens of ms every few frames, would otherwise wait behind face and text
// runs of a second on a busy machine, and OpenCV's locator, which needs
// their findings, with them. The runs it shares with lose a third of a
// core for as long; their measured times show it to the planner.
bool pipeline::is_short(const worker &w) const
{
	return w.meter.cost(w.plan.mode).wall_s <=
	       plan_margin_s(settings_.delay) / 2;
}

// Least laxity first among the detectors waiting for a core (the shared
// one: among the short runs).
bool pipeline::may_start(size_t index, uint64_t by) const
{
	const bool shared = running_ >= cores_;
	if (shared && (running_ > cores_ || !is_short(*workers_[index])))
		return false;
	for (size_t j = 0; j < workers_.size(); j++) {
		const worker &o = *workers_[j];
		if (j != index && o.queued_by && (!shared || is_short(o)) &&
		    (o.queued_by < by || (o.queued_by == by && j < index)))
			return false;
	}
	return true;
}

regions pipeline::hints_for(size_t index, uint64_t seq) const
{
	regions hints;
	for (size_t j = 0; j < workers_.size(); j++) {
		if (j == index)
			continue;
		auto it = workers_[j]->runs.find(seq);
		if (it != workers_[j]->runs.end() && it->second.ok)
			hints.insert(hints.end(),
				     it->second.result.found.begin(),
				     it->second.result.found.end());
	}
	return hints;
}

// Whether the detectors that run on every kept frame (spacing 0) have yet
// to finish with the frame, ran on it, or passed it by. On a busy machine
// they can be behind by more than a slower detector's wait: without
// their findings masked, OpenCV's locator outlines several codes as one.
pipeline::hints_state pipeline::hints_of(size_t index, const slot &s) const
{
	hints_state state = hints_state::in;
	for (size_t j = 0; j < workers_.size(); j++) {
		const worker &o = *workers_[j];
		if (j == index || !o.wanted || o.det.spacing_s > 0)
			continue;
		if (o.last_arrival < s.arrival ||
		    (o.busy && o.last_arrival == s.arrival))
			return hints_state::pending;
		if (!o.runs.count(s.seq))
			state = hints_state::passed;
	}
	return state;
}

void pipeline::detector_loop(size_t index)
{
	worker &w = *workers_[index];
	pthread_setname_np(pthread_self(), w.det.name.substr(0, 15).c_str());
	std::unique_lock<std::mutex> lock(mutex_);
	while (!stopping_) {
		uint64_t now = clock_();
		if (now >= next_plan_)
			replan(now);
		slot *s = pick(index, now);
		uint64_t by = s ? start_by(w, *s) : 0;
		if (!s || !may_start(index, by)) {
			w.queued_by = by;
			idle_cv_.notify_all();
			work_cv_.wait_for(lock, RECHECK);
			continue;
		}
		w.queued_by = 0;
		run_one(index, *s, lock);
	}
	idle_cv_.notify_all();
}

void pipeline::run_one(size_t index, slot &s,
		       std::unique_lock<std::mutex> &lock)
{
	worker &w = *workers_[index];
	s.started[index] = true;
	w.busy = true;
	w.last_arrival = s.arrival;
	running_++;
	const uint64_t seq = s.seq, arrival = s.arrival, picture = s.picture;
	const size_t mode = w.plan.mode;
	frame_ptr pixels = s.pixels;
	regions hints = hints_for(index, seq);
	lock.unlock();

	uint64_t cpu0 = thread_cpu_(), wall0 = clock_();
	findings found;
	bool ok = false;
	uint64_t cpu_elsewhere = 0;
	std::string failure;
	try {
		// Objects followed over time move with the picture's time.
		found = w.det.run(*pixels, hints, picture, mode);
		ok = true;
		// A run in a worker process spent its CPU time there.
		cpu_elsewhere = found.worker_cpu_ns;
	} catch (const std::exception &e) {
		failure = e.what();
	} catch (...) {
		failure = "unknown error";
	}
	uint64_t cpu = thread_cpu_() - cpu0 + cpu_elsewhere;
	uint64_t wall = clock_() - wall0;
	cv::Mat look = ok && w.det.motion.follow ? look_of(*pixels) : cv::Mat();
	pixels.reset();

	lock.lock();
	running_--;
	runs_here_ns_ += cpu - cpu_elsewhere;
	record(index, seq, {arrival, ok, std::move(found), picture, look}, mode,
	       cpu, wall, failure);
}

void pipeline::record(size_t index, uint64_t seq, run_record run, size_t mode,
		      uint64_t cpu_ns, uint64_t wall_ns,
		      const std::string &failure)
{
	worker &w = *workers_[index];
	w.busy = false;
	bool ok = run.ok;
	w.runs[seq] = std::move(run);
	if (ok) {
		w.stats.runs++;
	} else {
		w.stats.failures++;
		w.stats.last_failure = failure;
	}
	w.stats.cpu_ns += cpu_ns;
	w.stats.wall_ns += wall_ns;
	// A failed run says nothing of a run's cost (a worker killed at its
	// deadline took the deadline). The first run is measured too: the
	// controller ran each detector once before frames came.
	if (ok) {
		// A run far over the time its plan assumed (the first on real
		// frames, a machine turned busy): plan again before the next
		// run, not half a second later. Beside a busy host a phone
		// run of 1.65 s was otherwise followed by one of 2.5 s in the
		// same mode, and frames between them fell due uncovered.
		if (double(wall_ns) / 1e9 > OVERRUN * w.plan.wall_s)
			next_plan_ = 0;
		w.meter.add(mode, double(cpu_ns) / 1e9, double(wall_ns) / 1e9);
		if (wall_ns > 0 && cpu_ns > 0)
			run_share_ =
				(1 - SHARE_WEIGHT) * run_share_ +
				SHARE_WEIGHT *
					std::min(1.0, double(cpu_ns) /
							      double(wall_ns));
	}
	work_cv_.notify_all();
	idle_cv_.notify_all();
}

bool pipeline::wanted(const worker &w) const
{
	return settings_.worker_enabled &&
	       (!w.det.wanted || w.det.wanted(settings_));
}

due_frame pipeline::decide(const slot &s, const cv::Mat &look)
{
	std::vector<coverage_rule> rules;
	std::vector<const run_history *> runs;
	for (const auto &w : workers_) {
		const detector &d = w->det;
		rules.push_back({d.name, d.kind, w->wanted, d.reach_s,
				 d.carry_s, d.motion,
				 std::max(MIN_FALLBACK_S,
					  FALLBACK_REACHES * d.reach_s)});
		runs.push_back(&w->runs);
	}
	due_decision d = decide_due({s.seq, s.arrival, s.pixels->size(),
				     s.picture, look},
				    rules, runs);
	for (auto &w : workers_)
		for (const std::string &name : d.missing)
			if (w->det.name == name)
				w->stats.uncovered++;
	for (const std::string &kind : d.fallback)
		counts_.fallback[kind]++;
	if (d.whole)
		counts_.obscured_whole++;
	else
		counts_.processed++;
	due_frame f;
	f.seq = s.seq;
	f.arrival_ns = s.arrival;
	f.due_ns = s.arrival + buffer_.delay_ns();
	f.pixels = s.pixels;
	f.whole = d.whole;
	f.boxes = std::move(d.boxes);
	f.missing = std::move(d.missing);
	f.fallback = std::move(d.fallback);
	return f;
}

void pipeline::forget_old_runs()
{
	if (buffer_.frames().empty())
		return;
	uint64_t oldest = buffer_.frames().front().arrival;
	for (auto &w : workers_) {
		const detector &d = w->det;
		uint64_t keep =
			ns(std::max({d.reach_s, d.carry_s, w->plan.spacing_s,
				     std::max(MIN_FALLBACK_S,
					      FALLBACK_REACHES * d.reach_s)}));
		while (!w->runs.empty() &&
		       w->runs.begin()->second.arrival + keep < oldest)
			w->runs.erase(w->runs.begin());
	}
}

std::optional<due_frame> pipeline::take_due()
{
	std::optional<due_frame> out;
	std::optional<slot> s;
	bool follow = false;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		s = buffer_.take_due(clock_());
		if (!s)
			return out;
		for (const auto &w : workers_)
			follow |= w->wanted && w->det.motion.follow;
	}
	// Outside the lock: the runs go on meanwhile.
	cv::Mat look = follow ? look_of(*s->pixels) : cv::Mat();
	{
		std::lock_guard<std::mutex> lock(mutex_);
		out = decide(*s, look);
		forget_old_runs();
	}
	idle_cv_.notify_all();
	return out;
}

void pipeline::wait_due(std::chrono::milliseconds limit)
{
	std::unique_lock<std::mutex> lock(mutex_);
	if (stopping_)
		return;
	auto wait = std::chrono::nanoseconds(limit);
	if (std::optional<uint64_t> due = buffer_.next_due()) {
		uint64_t now = clock_();
		if (*due <= now)
			return;
		wait = std::min(wait, std::chrono::nanoseconds(*due - now));
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
	out.buffered = buffer_.frames().size();
	out.kept = buffer_.kept();
	out.skipped = buffer_.passed_over();
	out.keep_fps = buffer_.keep_fps();
	for (const auto &w : workers_) {
		out.detectors.push_back(w->stats);
		out.detectors.back().wanted = w->wanted;
	}
	return out;
}

} // namespace qmc
