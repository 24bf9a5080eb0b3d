// The phone-number stage: text lines found by the DB text detector, each
// read by Tesseract, and what libphonenumber takes for a phone number in
// what was read hidden with a margin. Slow (half a second or more a run):
// it runs on about one kept frame a second, and its findings are carried
// to the frames between.
#pragma once

#include "detector.h"
#include "phone-numbers.h"
#include "text-detector.h"

#include <memory>

namespace qmc {

struct phone_models {
	qm_text_detector text;
	qm_phone_reader reader;
};

// The region hidden for a number: its outline's box grown by a share of
// its height (the characters' boxes are only roughly where the ink is),
// clipped to the frame.
cv::Rect phone_region(const qm_phone_number &number, const cv::Size &frame);

// The stage as the pipeline's "phones" detector, wanted while
// "phone_enabled" is set.
detector make_phone_detector(std::shared_ptr<phone_models> models);

} // namespace qmc
