// The look-ahead pipeline. Frames read from the filter are stamped on
// arrival and kept (at most "fps" a second) in a buffer of "delay"
// seconds. Detectors run on the kept frames on threads of their own, at
// the spacing and in the mode the planner (planner.h) chose for all of
// them within one CPU budget, on a grid in arrival time; when more want a
// core than the budget has, the run whose frame falls due first goes
// first, and a run that could not finish before its frame falls due is
// not started. A frame leaves when it falls due, at its arrival plus
// "delay", in order, with what the runs around it found hidden, or in a
// class's fallback, or wholly obscured (due-frame.h). Never as it came
// in.
#pragma once

#include "detector.h"
#include "due-frame.h"
#include "frame-buffer.h"
#include "planner.h"
#include "settings.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace qmc {

// Monotonic nanoseconds. Tests give the pipeline a clock of their own.
using clock_fn = std::function<uint64_t()>;

uint64_t steady_now_ns();

// A detector record written with `find` or `find_at` as a kernel (`run`)
// with one mode.
detector as_kernel(detector d);

// A frame that has fallen due, with what is to be hidden in it.
struct due_frame {
	uint64_t seq = 0;
	uint64_t arrival_ns = 0;
	uint64_t due_ns = 0;
	// Shared with detectors that may still read it: never write to it.
	frame_ptr pixels;
	// false: `boxes` are hidden (every wanted detector covered it, or its
	// class's evidence stood in). true: the whole picture is hidden.
	bool whole = false;
	std::vector<cv::Rect> boxes;
	// Detectors that had not covered it.
	std::vector<std::string> missing;
	// Classes whose cheap evidence stood in for a detector.
	std::vector<std::string> fallback;
};

struct detector_stats {
	std::string name;
	std::string kind;
	bool wanted = false;
	uint64_t runs = 0;
	uint64_t failures = 0;
	uint64_t cpu_ns = 0;
	uint64_t wall_ns = 0;
	// Frames that fell due before its runs covered them (in fallback or
	// wholly obscured).
	uint64_t uncovered = 0;
	// Runs not started: the frame would have fallen due first.
	uint64_t skipped = 0;
	std::string last_failure;
};

struct pipeline_stats {
	uint64_t offered = 0;
	uint64_t kept = 0;
	// Frames that fell due: processed, wholly obscured, or passed over
	// for a newer one when the output fell behind.
	uint64_t processed = 0;
	uint64_t obscured_whole = 0;
	uint64_t skipped = 0;
	size_t buffered = 0;
	// The rate frames are kept at: "fps", or less when "delay" seconds of
	// it would not fit into the memory limit.
	double keep_fps = 0;
	std::vector<detector_stats> detectors;
	// Processed frames in which a class's evidence stood in, by class.
	std::map<std::string, uint64_t> fallback;
	// The plan in force, described, and how often it changed.
	std::string plan;
	bool plan_fits = true;
	// The cores planned for the detectors: the budget less what the rest
	// of the controller takes, or less when runs get less of a core than
	// it assumes.
	double planned_cores = 0;
	// What the controller takes besides its detectors' runs.
	double other_cores = 0;
	uint64_t plan_changes = 0;
};

// The CPU budget of the controller: the cores less a quarter of them, and
// less half a core at least (1.5 on two cores), so that OBS and the rest
// of the machine keep room.
double default_cpu_budget(unsigned cores);

struct pipeline_options {
	// Bounds the buffer (memory).
	size_t max_frames = 64;
	// Cores the controller may take: its detectors' runs, and what the
	// rest of it spends (frames in and out, following, obscuring).
	double cpu_budget = 1.5;
	// The CPU time the calling thread has used, in nanoseconds; tests
	// give the pipeline their own clock here too.
	clock_fn thread_cpu;
	// The CPU time the whole process has used, in nanoseconds.
	clock_fn process_cpu;
};

class pipeline {
public:
	// Detector threads start at once and idle until frames come.
	pipeline(std::vector<detector> detectors, clock_fn clock,
		 pipeline_options options);
	~pipeline();
	pipeline(const pipeline &) = delete;
	pipeline &operator=(const pipeline &) = delete;

	// New settings: delay, fps and which detectors are wanted. With
	// "worker_enabled" false the buffer is emptied and nothing is kept.
	void configure(const settings &s);

	// A frame read whole just now. True when it was kept: the pipeline
	// then takes the pixels, and bgra is left empty.
	bool offer(cv::Mat &bgra);

	// Takes the frame that is due now, if any: the oldest one, or, when
	// the output has fallen behind, the newest of the late ones.
	std::optional<due_frame> take_due();
	// Waits until a frame may be due, or at most `limit`.
	void wait_due(std::chrono::milliseconds limit);

	// Waits until no detector is running or has a frame it could run on
	// (for tests that drive the clock themselves).
	bool wait_idle(std::chrono::milliseconds limit);

	pipeline_stats stats() const;

	// Stops and joins the detector threads (also done on destruction).
	void stop();

private:
	using slot = buffered_frame;

	struct worker {
		detector det;
		bool wanted = false;
		// Completed runs by frame number, including frames already
		// written: their findings still reach the frames after them.
		run_history runs;
		bool busy = false;
		// Waiting for a core for a run that must start by then (0:
		// not waiting).
		uint64_t queued_by = 0;
		// The arrival of the frame its last run was on: the grid its
		// runs keep to.
		uint64_t last_arrival = 0;
		cost_meter meter;
		planned plan;
		detector_stats stats;
		std::thread thread;
	};

	clock_fn clock_;
	clock_fn thread_cpu_;
	clock_fn process_cpu_;
	const double budget_;
	// Runs at once, at most: the budget rounded up (and one short run).
	const size_t cores_;

	mutable std::mutex mutex_;
	std::condition_variable work_cv_;
	std::condition_variable idle_cv_;
	std::condition_variable due_cv_;
	bool stopping_ = false;

	settings settings_;
	frame_buffer buffer_;
	std::vector<std::unique_ptr<worker>> workers_;
	size_t running_ = 0;
	pipeline_stats counts_;
	plan plan_;
	uint64_t next_plan_ = 0;
	// CPU time over wall time of recent runs: the share of a core a run
	// gets. Less than one when the machine is busier than the budget
	// assumes.
	double run_share_ = 1;
	// CPU time of runs spent in this process, and where the last
	// measure of the rest began (wall, process CPU, runs' CPU).
	uint64_t runs_here_ns_ = 0;
	uint64_t rest_from_wall_ = 0, rest_from_cpu_ = 0, rest_from_runs_ = 0;

	void replan(uint64_t now);
	void measure_rest(uint64_t now);
	void detector_loop(size_t index);
	slot *pick(size_t index, uint64_t now);
	uint64_t start_by(const worker &w, const slot &s) const;
	bool is_short(const worker &w) const;
	bool may_start(size_t index, uint64_t by) const;
	regions hints_for(size_t index, uint64_t seq) const;
	enum class hints_state { pending, in, passed };
	hints_state hints_of(size_t index, const slot &s) const;
	void run_one(size_t index, slot &s, std::unique_lock<std::mutex> &lock);
	void record(size_t index, uint64_t seq, run_record run, size_t mode,
		    uint64_t cpu_ns, uint64_t wall_ns,
		    const std::string &failure);
	bool idle_locked(uint64_t now);
	bool wanted(const worker &w) const;
	due_frame decide(const slot &s, const cv::Mat &look);
	void forget_old_runs();
};

} // namespace qmc
