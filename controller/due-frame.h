// What becomes of a frame that falls due: a plain function of the frame,
// the runs of each detector around it and the rules of each.
//
//   - A detector covered the frame when it ran no further than its reach
//     before and after it: its findings are hidden, boxes interpolated
//     between the two runs (region-tracks.h), and findings of runs within
//     its carry that those two did not have, grown for motion. Reach and
//     carry count in arrival time; motion in picture time, so that a
//     picture a stalled source sent again is hidden where it was.
//   - A detector that did not cover it falls back to its class's cheap
//     evidence: everything the class's detectors found or noticed (text
//     lines, code candidates, face tracks) in runs within the class's
//     fallback window, grown for motion. The other classes keep their
//     exact regions.
//   - Only when a class has no run at all within that window (start-up,
//     a detector failing) is the whole picture obscured.
#pragma once

#include "detector.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qmc {

// A completed run of one detector. `picture`: when its frame's picture
// came first (frame-buffer.h); 0 for the arrival. Where objects are moves
// with that time.
struct run_record {
	uint64_t arrival = 0;
	bool ok = false;
	findings result;
	uint64_t picture = 0;
	// The frame's look, for a detector whose objects are followed by it.
	cv::Mat look{};
};

// Runs of one detector by frame number (ordered by arrival too).
using run_history = std::map<uint64_t, run_record>;

// What the decision needs to know of one detector.
struct coverage_rule {
	std::string name;
	std::string kind;
	bool wanted = false;
	double reach_s = 0.25;
	double carry_s = 0;
	motion_limits motion;
	// How far the class's evidence may stand in when this detector did
	// not cover a frame.
	double fallback_s = 1;
};

struct frame_ref {
	uint64_t seq = 0;
	uint64_t arrival = 0;
	cv::Size size;
	uint64_t picture = 0; // as a run's
	cv::Mat look{};       // as a run's; empty: nothing is followed
};

struct due_decision {
	// The whole picture is obscured: some class had no evidence.
	bool whole = false;
	std::vector<cv::Rect> boxes;
	// Detectors that had not covered the frame.
	std::vector<std::string> missing;
	// Classes whose cheap evidence stood in.
	std::vector<std::string> fallback;
	// The detector whose class had no evidence (when `whole`).
	std::string blamed;
};

// rules[i] goes with runs[i].
due_decision decide_due(const frame_ref &f,
			const std::vector<coverage_rule> &rules,
			const std::vector<const run_history *> &runs);

// How long a detector's runs must be kept after the oldest buffered frame
// for the decision to see them.
double history_needed_s(const coverage_rule &rule);

} // namespace qmc
