// Phone numbers: Tesseract reads each text line, libphonenumber finds the
// numbers in what it read, and the characters of each number are mapped
// back to a box in the frame.
//
// Tesseract spreads its work over OpenMP threads that spin while they
// wait, several times the work itself in CPU time: run programs that use
// it with OMP_THREAD_LIMIT=1 in their environment (the OpenMP runtime
// reads it when it is loaded, before main).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "text-detector.h"

namespace tesseract {
class TessBaseAPI;
}

struct qm_tesseract_deleter {
	void operator()(tesseract::TessBaseAPI *api) const;
};

struct qm_phone_reader {
	std::unique_ptr<tesseract::TessBaseAPI, qm_tesseract_deleter> ocr;
	// Numbers written without a leading + are read as numbers of this
	// region (two letters, "US", "GB", ...).
	std::string region;
	// Line crops are scaled to this height for Tesseract.
	int line_height = 48;
};

// A phone number found in text: byte offsets into the text (UTF-8).
struct qm_text_span {
	size_t begin = 0;
	size_t end = 0;
};

struct qm_phone_number {
	std::string text;
	// The number's outline in the frame: four corners, tilted with its
	// line.
	std::vector<cv::Point2f> outline;
	cv::Rect box; // bounding box of the outline, frame pixels
};

// Starts Tesseract with its English model (tessdata: Tesseract's own
// default folder when empty). The region is checked against
// libphonenumber's list.
bool qm_load_phone_reader(qm_phone_reader &reader, const std::string &region,
			  std::string &error,
			  const std::string &tessdata = std::string());

// The region of a locale name such as "en_GB.UTF-8"; empty when it names
// none.
std::string qm_region_from_locale(const std::string &locale);

// The user's region from LC_ALL, LC_TELEPHONE or LANG; "US" when none of
// them names one.
std::string qm_default_region();

// The phone numbers in a line of text. Numbers starting with + are found
// in any region; others as the region writes them. Dates, amounts of
// money, and order, invoice, serial or similar numbers are left alone.
std::vector<qm_text_span> qm_match_phone_numbers(const std::string &text,
						 const std::string &region);

// The span widened over what a misread area code leaves beside a number:
// the rest of the word it starts in and one short word just before it
// that holds a digit or a bracket ("(61" of a "(617)" read wrongly), so
// that its box covers those glyphs too. Longer words (dates, prices) stay
// out.
qm_text_span qm_span_with_area_code(const std::string &text, qm_text_span span);

// Text read from one line crop, with the crop-pixel box of each
// character (by byte offset into text).
struct qm_read_line {
	std::string text;
	struct symbol {
		size_t begin, end;
		cv::Rect box;
	};
	std::vector<symbol> symbols;
};

qm_read_line qm_read_text_line(qm_phone_reader &reader, const cv::Mat &crop);

// The phone numbers on the given lines of the frame.
std::vector<qm_phone_number>
qm_find_phone_numbers(qm_phone_reader &reader, const cv::Mat &frame,
		      const std::vector<qm_text_line> &lines);
