// QR codes, found three ways and hidden where any finds one:
//  - ZXing-C++ on every kept frame: fast, finds several sharp codes at any
//    angle and under perspective;
//  - OpenCV's QRCodeDetector on a few frames a second: slower, but it
//    locates blurred, low-contrast and partly covered codes that ZXing
//    misses. Codes ZXing found in the same frame are masked out first, so
//    that each of its runs looks for the ones still unfound. It looks at
//    the whole picture (or the picture halved, in a cheaper mode), then in
//    windows around finder-pattern-like marks (alone, in the cheapest);
//  - ZXing-C++ again, a few frames a second, on the picture enlarged and
//    sharpened: it reads small codes (2-pixel modules) that blur and
//    compression ran together.
// ZXing's runs also bring the class's cheap evidence: areas around those
// marks, where a code may be.
#pragma once

#include "detector.h"

#include <opencv2/core.hpp>

#include <vector>

namespace qmc {

// The three detectors, wanted while "qr_enabled" is set.
std::vector<detector> make_qr_detectors();

// One run of each on a BGRA frame (for tests and the benchmark).
regions find_qr_zxing(const cv::Mat &bgra);
// OpenCV's locator on the picture scaled by scale (1: as it is); boxes
// in frame pixels either way.
regions find_qr_opencv(const cv::Mat &bgra, const regions &hints,
		       double scale = 1);
regions find_qr_fine(const cv::Mat &bgra);

// OpenCV's locator only in windows around finder marks (code_windows):
// one code a window, several windows, no picture scaled down.
regions find_qr_opencv_near_marks(const cv::Mat &bgra, const regions &hints);

// The windows to look in for the given areas: each at least a minimum
// size, overlapping ones joined, the largest first, a bounded number.
std::vector<cv::Rect> code_windows(std::vector<cv::Rect> areas,
				   const cv::Size &frame);

// Areas around finder-pattern-like marks of a BGRA frame, largest first,
// a bounded number.
regions find_qr_finder_areas(const cv::Mat &bgra);

// The areas where codes may be around the given finder marks (their
// bounding boxes), largest marks first, a bounded number, clipped to the
// frame.
std::vector<cv::Rect> finder_areas(const std::vector<cv::Rect> &marks,
				   const cv::Size &frame);

// Corners found in a picture scaled by scale, in frame pixels.
std::vector<cv::Point2f>
corners_in_frame(const std::vector<cv::Point2f> &corners, double scale);

// The codes three of these finder marks outline (a corner mark and two at
// about a right angle from it, of like size and distance), as boxes in
// the frame: codes located whether or not they can be read.
std::vector<cv::Rect> codes_outlined(std::vector<cv::Rect> marks,
				     const cv::Size &frame);

// Whether OpenCV's outline of a code in a grey picture can be one: four
// corners of a convex quadrilateral, none far outside the picture (it
// sometimes returns corners that span the whole frame), and when it spans
// much of the picture, finder marks at two of its corners.
bool plausible_outline(const std::vector<cv::Point2f> &corners,
		       const cv::Mat &grey);

// The box to hide for a code with these corners: their bounding box grown
// by a margin for the corners' inaccuracy, clipped to the frame.
cv::Rect code_box(const std::vector<cv::Point2f> &corners,
		  const cv::Size &frame);

} // namespace qmc
