// QR codes, found three ways and hidden where any finds one:
//  - ZXing-C++ on every kept frame: fast, finds several sharp codes at any
//    angle and under perspective;
//  - OpenCV's QRCodeDetector on a few frames a second: slower, but it
//    locates blurred, low-contrast and partly covered codes that ZXing
//    misses. Codes ZXing found in the same frame are masked out first, so
//    that each of its runs looks for the ones still unfound;
//  - ZXing-C++ again, a few frames a second, on the picture enlarged and
//    sharpened: it reads small codes (2-pixel modules) that blur and
//    compression ran together.
#pragma once

#include "detector.h"

#include <opencv2/core.hpp>

#include <vector>

namespace qmc {

// The three detectors, wanted while "qr_enabled" is set.
std::vector<detector> make_qr_detectors();

// One run of each on a BGRA frame (for tests and the benchmark).
regions find_qr_zxing(const cv::Mat &bgra);
regions find_qr_opencv(const cv::Mat &bgra, const regions &hints);
regions find_qr_fine(const cv::Mat &bgra);

// The box to hide for a code with these corners: their bounding box grown
// by a margin for the corners' inaccuracy, clipped to the frame.
cv::Rect code_box(const std::vector<cv::Point2f> &corners,
		  const cv::Size &frame);

} // namespace qmc
