// The phone-number stage: text lines found by the DB text detector, each
// read by Tesseract, and what libphonenumber takes for a phone number in
// what was read hidden with a margin. Slow (half a second or more a run):
// it runs on about one kept frame a second, and its findings are carried
// to the frames between.
//
// Its modes, best first: every line read, on the detector's full input;
// only the lines that are new or changed since the last run read (the
// others keep what was read there, moved with them); the same on the
// smaller input, which misses lines under about 20 pixels. A run reads
// MAX_LINES_READ lines at most, the largest; the others are hidden whole.
#pragma once

#include "detector.h"
#include "phone-numbers.h"
#include "text-detector.h"

#include <memory>
#include <optional>
#include <vector>

namespace qmc {

struct phone_models {
	qm_text_detector text;
	qm_phone_reader reader;
	// The same text detector with the smaller input; loaded by
	// make_phone_detector from text's file when it is not yet.
	qm_text_detector small;
};

enum phone_mode : size_t {
	PHONES_READ_ALL,
	PHONES_READ_NEW,
	PHONES_SMALL_READ_NEW,
};

// Lines read in one run at most, the largest first.
constexpr size_t MAX_LINES_READ = 24;

// The region hidden for a number: its outline's box grown by a share of
// its height (the characters' boxes are only roughly where the ink is),
// clipped to the frame.
cv::Rect phone_region(const qm_phone_number &number, const cv::Size &frame);

// The region hidden for a whole text line: its box grown as a number's.
cv::Rect line_region(const cv::RotatedRect &line, const cv::Size &frame);

// The lines to read, MAX_LINES_READ at most, the largest; the others'
// regions go to hidden.
std::vector<qm_text_line> lines_to_read(std::vector<qm_text_line> lines,
					regions &hidden, const cv::Size &frame);

// A small grey picture of a line, to tell whether it changed.
cv::Mat line_look(const cv::Mat &frame, const cv::RotatedRect &line);

// Whether two looks of a line show the same text: the same size within a
// few pixels, and no column darker or lighter on the whole, the best of
// a pixel's shift either way allowed.
bool same_look(const cv::Mat &a, const cv::Mat &b);

// What the last run read, line by line, for the next to reuse.
class line_cache {
public:
	struct entry {
		cv::RotatedRect line;
		cv::Mat look;
		std::vector<qm_phone_number> numbers;
	};

	// The numbers read before on a line of about this length, no
	// further than a swaying card moves between runs, that looks the
	// same, moved with the line; none when it must be read.
	std::optional<std::vector<qm_phone_number>>
	reuse(const cv::RotatedRect &line, const cv::Mat &look) const;

	// This run's lines replace the last run's.
	void replace(std::vector<entry> entries);

private:
	std::vector<entry> entries_;
};

// The models for reading numbers of the given region, with the text
// detector from model_dir; none, with the reason in *problem, when they
// cannot be loaded (*bad_region also set when libphonenumber does not know
// the region).
std::shared_ptr<phone_models> load_phone_models(const std::string &model_dir,
						const std::string &region,
						std::string *problem,
						bool *bad_region);

// The stage as the pipeline's "phones" detector, wanted while
// "phone_enabled" is set.
detector make_phone_detector(std::shared_ptr<phone_models> models);

} // namespace qmc
