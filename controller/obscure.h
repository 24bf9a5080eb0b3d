// Irreversible obscuring: a region becomes a coarse mosaic, each cell the
// mean of its pixels, at most MOSAIC_CELLS cells across. Pixels outside the
// regions are never touched.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace qmc {

constexpr int MOSAIC_CELLS = 8;

// Turns one region of a BGRA picture into a mosaic, or only the pixels of
// it that `only` (a mask of the picture's size) marks. The region is
// clipped to the picture.
void mosaic(cv::Mat &bgra, cv::Rect region, int cells = MOSAIC_CELLS,
	    const cv::Mat &only = cv::Mat());

// Boxes that overlap by at least half of the smaller one merged into their
// bounding boxes, until no two of the result do, so that each object gets
// one mosaic. Other boxes stay apart: each gets its own mosaic, and where
// they overlap both apply. So do the boxes of a group that fill less than
// most of its bounding box (a chain of objects in a crowd). compose
// mosaics a merged box over the boxes in it only.
std::vector<cv::Rect> merge_overlapping(std::vector<cv::Rect> boxes);

// Writes the picture to `out` (reusing its memory) with the boxes
// obscured, or with the whole picture obscured when `whole` is set.
void compose(const cv::Mat &bgra, const std::vector<cv::Rect> &boxes,
	     bool whole, cv::Mat &out);

} // namespace qmc
