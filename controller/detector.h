// What a detector is to the pipeline, and what it reports. Every detector
// (QR codes now; faces, text and the like later) is one of these records:
// the pipeline runs it on a thread of its own, on the kept frames it picks
// at its own pace, and carries its findings to the neighbouring frames.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qmc {

struct settings;

// A part of one frame that a detector found: the bounding box of the
// object's outline, already grown by the detector's own margin.
struct region {
	cv::Rect box;
	// The object's identity across frames, for a detector that follows
	// objects; -1 for one that does not.
	int64_t track = -1;
	// Found but to stay visible (a person the user chose to keep): never
	// obscured. Everything else a detector reports is obscured.
	bool keep = false;
	// When the box was last seen, for an object this run missed but still
	// reports where it was (monotonic nanoseconds); 0: seen in the run's
	// own frame.
	uint64_t seen_ns = 0;
};

using regions = std::vector<region>;

// What one run of a detector found.
struct findings {
	// What is to be hidden in the frame (or kept visible, `keep`).
	regions found;
	// The class's cheap evidence: what may stand in for this detector's
	// findings on frames it could not cover in time (text lines found but
	// not read, areas where a code may be). The found regions count as
	// evidence too; this holds only what comes on top of them.
	regions evidence;
	// CPU time the run took in another process (a worker), in
	// nanoseconds: counted as the run's own.
	uint64_t worker_cpu_ns = 0;
};

// One way of running a detector. Modes come best first; a later one sees
// less (fewer tiles, a smaller picture, only what changed) and costs less.
struct detector_mode {
	std::string name;
	// Cost relative to the first mode: the planner's guess until the mode
	// has run and its cost is measured.
	double relative_cost = 1;
};

// How the objects of a class may move across the picture.
struct motion_limits {
	// Fastest: a finding carried to a frame dt seconds away grows by
	// this times dt on every side.
	double px_per_s = 200;
	// How fast it may change speed or direction: between two runs ta and
	// tb seconds away that both saw it, it strays from the straight line
	// between their boxes by at most this times ta * tb / 2.
	double px_per_s2 = 1000;
	// Runs further apart than this say too little of the path between
	// them to interpolate.
	double interpolate_s = 0.5;
	// Between two runs that saw it, an object is looked for in each frame
	// by its look at both runs (follow-look.h).
	bool follow = false;
};

struct detector {
	std::string name;
	// Whether the settings ask for this detector (always, when empty).
	std::function<bool(const settings &)> wanted;
	// Finds what is to be hidden in one BGRA frame. `hints` holds what
	// other detectors had found in the same frame when this run began.
	// Called on the detector's own thread only. It may throw: a failed
	// run covers no frame.
	std::function<regions(const cv::Mat &bgra, const regions &hints)> find;
	// The same for a detector that follows objects over time, which
	// also needs the frame's arrival time (monotonic nanoseconds); used
	// instead of `find` when set.
	std::function<regions(const cv::Mat &bgra, const regions &hints,
			      uint64_t arrival_ns)>
		find_at;

	// The class of what it hides ("qr", "faces", "phones"). A frame that
	// one of a class's detectors could not cover in time falls back to
	// that class's evidence.
	std::string kind;
	// The kernel: one run on one BGRA frame that arrived at arrival_ns
	// (monotonic nanoseconds; for detectors that follow objects over
	// time), in the given mode (an index into `modes`). `hints` holds what
	// other detectors had found in the same frame when the run began. It
	// owns no thread and reads no clock. It may throw: a failed run covers
	// no frame. Used instead of `find` and `find_at` when set.
	std::function<findings(const cv::Mat &bgra, const regions &hints,
			       uint64_t arrival_ns, size_t mode)>
		run;
	// Its modes, best first; none means one mode, "full".
	std::vector<detector_mode> modes;
	// The CPU time of one run in the first mode on a 1280x720 frame, as
	// guessed before any run was measured.
	double expected_cpu_s = 0.05;

	// Runs this far apart at least, in arrival time; 0 runs on every kept
	// frame it can. For a detector too slow to run on every frame.
	double spacing_s = 0;
	// A frame is covered by this detector once it has run on frames no
	// further than this before and after it (or on the frame itself).
	double reach_s = 0.25;
	// Findings also reach frames this far away, beyond the nearest runs on
	// each side: a detector that misses an object now and then still
	// keeps it hidden.
	double carry_s = 0;
	// How the objects it finds may move between runs.
	motion_limits motion;
	// Frames younger than this are left alone at first, so that faster
	// detectors' findings arrive as hints.
	double min_age_s = 0;
};

} // namespace qmc
