// The look-ahead pipeline. Frames read from the filter are stamped on
// arrival and kept (at most "fps" a second) in a buffer of "delay"
// seconds. Detectors run on the kept frames on threads of their own, each
// at its own pace; what one finds in a frame is carried to the frames
// around it, grown for motion. A frame leaves when it falls due, at its
// arrival plus "delay", in order:
//   - processed, with the union of what reaches it obscured, when every
//     wanted detector has run close enough before and after it (its reach)
//     that anything it could find there has been carried to it;
//   - wholly obscured otherwise. Never as it came in.
#pragma once

#include "detector.h"
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

// A kept frame, shared between the threads that read it. Its matrix is
// never copied across threads, so that the last reader frees it in plain
// sight of the others (OpenCV counts its own references where tools that
// check threads cannot see).
using frame_ptr = std::shared_ptr<const cv::Mat>;
uint64_t steady_now_ns();

// A frame that has fallen due, with what is to be hidden in it.
struct due_frame {
	uint64_t seq = 0;
	uint64_t arrival_ns = 0;
	uint64_t due_ns = 0;
	// Shared with detectors that may still read it: never write to it.
	frame_ptr pixels;
	// false: every wanted detector covered it, and `boxes` are hidden.
	// true: it fell due before that, and the whole picture is hidden.
	bool whole = false;
	std::vector<cv::Rect> boxes;
	// Detectors that had not covered it (when `whole`).
	std::vector<std::string> missing;
};

struct detector_stats {
	std::string name;
	bool wanted = false;
	uint64_t runs = 0;
	uint64_t failures = 0;
	uint64_t cpu_ns = 0;
	uint64_t wall_ns = 0;
	// Frames that fell due before its runs covered them, and so went
	// out wholly obscured.
	uint64_t uncovered = 0;
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
};

class pipeline {
public:
	// max_frames bounds the buffer (memory). Detector threads start at
	// once and idle until frames come.
	pipeline(std::vector<detector> detectors, clock_fn clock,
		 size_t max_frames);
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
	enum class run_state : uint8_t { none, running, done };

	struct slot {
		uint64_t seq;
		uint64_t arrival;
		frame_ptr pixels;
		std::vector<run_state> state; // per detector
	};

	struct run {
		uint64_t arrival;
		bool ok;
		regions found;
	};

	struct worker {
		detector det;
		bool wanted = false;
		// Completed runs by frame number, including frames already
		// written: their findings still reach the frames after them.
		std::map<uint64_t, run> runs;
		bool busy = false;
		double mean_run_s = 0;
		uint64_t rest_until = 0;
		detector_stats stats;
		std::thread thread;
	};

	clock_fn clock_;
	const size_t max_frames_;

	mutable std::mutex mutex_;
	std::condition_variable work_cv_;
	std::condition_variable idle_cv_;
	std::condition_variable due_cv_;
	bool stopping_ = false;

	settings settings_;
	uint64_t delay_ns_ = 0;
	// Frames that may be kept now, earned at the kept rate; a frame
	// costs one.
	double credit_ = 0;
	uint64_t credit_at_ = 0;
	uint64_t next_seq_ = 1;
	std::deque<slot> buffer_;
	std::vector<std::unique_ptr<worker>> workers_;
	pipeline_stats counts_;

	void apply_rates();
	void detector_loop(size_t index);
	slot *pick(size_t index, uint64_t now);
	bool near_run(const worker &w, const slot &s) const;
	regions hints_for(size_t index, uint64_t seq) const;
	void record(size_t index, uint64_t seq, uint64_t arrival, bool ok,
		    regions found, uint64_t cpu_ns, uint64_t wall_ns,
		    const std::string &failure);
	bool idle_locked(uint64_t now);
	bool wanted(const worker &w) const;
	due_frame decide(slot &s);
	bool covers(const worker &w, const slot &s,
		    std::vector<cv::Rect> &boxes) const;
	void forget_old_runs();
};

} // namespace qmc
