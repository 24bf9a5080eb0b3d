// Following an object between two runs by its look. The runs say where an
// object was; the frames between them say where it is, when its look at
// both runs is found again, clearly and at the same place, near where the
// straight line between its boxes puts it; when the whole look is not,
// the part of it that moved with the object from one run to the other,
// without what lay behind it. A look not found so (turned away, hidden,
// too plain, changed between the runs) leaves the
// object to the bounds of its motion. An object only one run saw is
// followed by that run's look alone, and only when the place found looks
// back to it.
#pragma once

#include <opencv2/core.hpp>

#include <optional>

namespace qmc {

// A frame's picture as the follower sees it: grey, at half scale,
// smoothed.
cv::Mat look_of(const cv::Mat &bgra);

// One sighting: the look of a frame and the box of the object in it, in
// full-frame pixels.
struct sighting {
	const cv::Mat *look = nullptr;
	cv::Rect box;
};

// Where the object seen at `a` and `b` is in the frame of `look`: `guess`
// moved to where both sightings' looks are found. Each run's box sits on
// the object a little differently: the box is placed between the two
// places, `toward_b` of the way from a's (the share of the time between
// the runs that has passed), as a run on this frame would have put one.
// A look found at several places nearly as alike as the best (a line of
// like digits looks alike a digit over) is placed at every one of them
// that the other look finds too, within a tenth of the object's size.
// Nothing when no place within `reach` pixels of the guess is found by
// both.
std::optional<cv::Rect> follow_look(const sighting &a, const sighting &b,
				    const cv::Mat &look, const cv::Rect &guess,
				    int reach, const cv::Size &frame,
				    double toward_b = 0.5);

// Where the object one sighting saw is in the frame of `look`: its box
// moved to where its look is found within `reach` pixels (every place
// nearly as alike), when what is found there is found back at the
// sighting's place (not only at a neighbour that looks alike), grown by
// the match's step and a change of scale. Nothing when it is not found
// so.
std::optional<cv::Rect> follow_one(const sighting &s, const cv::Mat &look,
				   int reach, const cv::Size &frame);

} // namespace qmc
