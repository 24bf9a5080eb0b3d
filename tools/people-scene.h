// A moving street scene for the controller's tests and the demo, stamped
// with its frame number as the QR scene (qr-scene.h) is: two QR codes,
// three face photos (one that moves across the top, a person to keep and
// a stranger beside them), a card with a phone number and, below it, a
// date, and a card of numbers that are not phone numbers (an order
// number, a price, opening hours). Built at run time from installed
// Debian packages (opencv-doc, fonts-dejavu-core); nothing of them is kept
// in the tree.
#pragma once

#include "qr-scene.h"

#include <opencv2/core.hpp>

#include <string>

namespace qm_scene {

// Where things are in one frame of the people scene.
struct people_truth {
	cv::Rect moving_face, kept_face, stranger_face;
	cv::Rect phone, date;
	std::vector<cv::Rect> other_numbers;
	std::vector<placed_code> codes;
};

// The photos and the font are installed.
bool people_scene_available();

// Frame n, with its stamp.
// An empty picture when people_scene_available() is false.
cv::Mat people_frame(uint64_t n, people_truth *truth = nullptr);

// Writes a photo of the person to keep (the one at kept_face) to path
// (the format from its extension), as a user's reference photo.
bool write_kept_person_photo(const std::string &path);
// Writes a photo of the stranger (the one at stranger_face).
bool write_stranger_photo(const std::string &path);

} // namespace qm_scene
