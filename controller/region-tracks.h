// Regions followed between two runs of a detector. The look-ahead gives
// every frame a run on each side; an object both runs saw is hidden where
// it is between them, its box interpolated in time, instead of wherever it
// could have moved from either run. An object that one run saw and the
// other did not (coming, going, or missed) is followed by its one look, or
// grows for motion.
#pragma once

#include "detector.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace qmc {

// The regions of one completed run, at the time of its frame; with the
// frame's look (follow-look.h) when its objects are followed by it.
struct timed_regions {
	uint64_t at_ns = 0;
	const regions *found = nullptr;
	const cv::Mat *look = nullptr;
};

// For each region of `a`, the index of its partner in `b`, or -1: the
// same track when both carry one, otherwise the nearest box of a like
// size that overlaps it or whose centre is within max_shift pixels.
std::vector<int> partners(const regions &a, const regions &b, double max_shift);

// The boxes to hide at time t from the nearest runs before and after it.
// Kept regions are left out. Partnered objects are interpolated and grown
// by how far they may stray from a straight line, or placed where their
// look is found in the frame's `look` when both runs' looks agree; the
// others are placed where their one run's look is found, or grow by all
// the motion possible since their run.
std::vector<cv::Rect> boxes_between(const timed_regions &before,
				    const timed_regions &after, uint64_t t,
				    const motion_limits &motion,
				    const cv::Size &frame,
				    const cv::Mat *look = nullptr);

// The boxes of one run carried to time t, each where the run's look is
// found again in the frame's `look`, or grown for the motion possible in
// between.
std::vector<cv::Rect> boxes_carried(const timed_regions &run, uint64_t t,
				    double motion_px_per_s,
				    const cv::Size &frame,
				    const cv::Mat *look = nullptr);

// A box grown by `by` pixels on every side, clipped to the frame.
cv::Rect grown_box(const cv::Rect &box, int by, const cv::Size &frame);

} // namespace qmc
