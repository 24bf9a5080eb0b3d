// The labelled set of the quality benchmark, built at run time from
// Debian packages (opencv-doc's photos, the DejaVu and Liberation fonts)
// and from codes ZXing draws: moving 1280x720 sequences, each frame
// stamped with its number as the QR scene is, with where every object is.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace quality {

// Frames of one cycle of a sequence: objects move along closed paths, so
// that the cycle repeats without a jump (3 s at 30 fps).
constexpr int CYCLE = 90;

enum class kind { face, kept, qr, phone, distractor };

struct labelled {
	kind what;
	cv::Rect box;
	int height; // the object's height in pixels (faces, text)
};

struct sequence {
	std::string name;
	// Frame n of the cycle, stamped with n, BGRA.
	std::vector<cv::Mat> frames;
	std::vector<std::vector<labelled>> truth;
};

// The photos and fonts are installed.
bool available();

// Strangers' faces 40 to 120 pixels tall, and the person to keep (whose
// photo goes to kept_photo, as a reference photo) beside one of them.
sequence faces(const std::string &kept_photo);
// QR codes of 2 to 5 pixels a module, turned up to 15 degrees.
sequence codes();
// Phone numbers in six fonts, 16 to 36 pixels tall, turned up to 15
// degrees.
sequence phones();
// Dates, prices, order numbers, plain text and barcodes that are not QR
// codes: nothing in them is to be hidden.
sequence distractors();

// Seven QR codes of 2 to 8 pixels a module (one turned, one seen at a
// slant), three faces and two phone numbers over fine texture, with
// sensor noise of sigma 8 to 14 changing from frame to frame.
sequence grainy();
// Sixteen strangers' faces 46 to 160 pixels tall.
sequence crowd_faces();
// Seven QR codes of 2 to 5 pixels a module and seven phone numbers.
sequence crowd_cards();
// All of these at once: sixteen faces, seven codes, seven numbers.
sequence crowd_mix();

// Still frames for the cost of the detectors as the picture fills: count
// faces about 60 pixels tall, or count lines of text with a phone number
// each.
cv::Mat with_faces(int count);
cv::Mat with_lines(int count);

// The frame number stamped into a frame of a sequence (at the top, or the
// copy at the bottom when a region covers that one); -1 when none is
// readable, as in a frame wholly obscured.
long long stamp_of(const cv::Mat &bgra);

} // namespace quality
