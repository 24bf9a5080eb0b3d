// The pieces the labelled sequences are built from (quality-set.cpp,
// quality-crowds.cpp): photos and fonts from Debian packages, objects
// pasted along closed paths, and the finish every frame gets.
#pragma once

#include "quality-set.h"

#include <string>
#include <vector>

namespace quality::parts {

extern const std::string DOC, FONTS;

struct face_photo {
	const char *file;
	cv::Rect2f face;
};

// The person to keep first, then four strangers.
extern const face_photo PEOPLE[5];
extern const char *const FONT_FILES[6];

// opencv-doc's street photo at 1280x720, BGRA.
cv::Mat street();
// The part of a photo around a face (around times its height, square),
// scaled so that the face is height pixels tall, BGRA; face_at is where
// the face lies in it.
cv::Mat face_patch(const face_photo &p, float height, cv::Rect2f *face_at,
		   float around = 1.5f);
// A line of text on a card, BGRA.
cv::Mat text_card(const std::string &text, const char *font, int height,
		  cv::Scalar ink = {20, 20, 20},
		  cv::Scalar paper = {245, 245, 245});

// Where a moving object is in frame n: around base, along a closed path
// (at most about 4.2 times sway pixels a second at 30 fps).
cv::Point2f along(cv::Point2f base, cv::Point2f sway, int n, double phase);
// Where a patch's pixels go: turned by angle degrees about its centre and
// tilted (0.2 makes the top edge 20 % shorter, as seen at a slant), its
// centre at centre.
cv::Matx33d placement(cv::Size patch, cv::Point2f centre, double angle,
		      double tilt);
// Pastes a patch so placed, blurred (spoil 1) or noisy (spoil 2); returns
// the bounding box of the given part of it in the frame.
cv::Rect put(cv::Mat &frame, const cv::Mat &patch, cv::Point2f centre,
	     double angle, const cv::Rect2f &part, int spoil, int n,
	     double tilt = 0);

// A copy of the stamp along the bottom edge: a region grown for motion
// near the top may cover the first one.
constexpr int STAMP_ROWS = 16;
cv::Rect bottom_stamp(const cv::Size &frame);
// JPEG loss over the picture, then the stamp, untouched, on top and at
// the bottom.
void finish(cv::Mat &frame, int n);

struct thing {
	cv::Mat patch;
	cv::Rect2f part; // the object within the patch
	kind what;
	int height;
	cv::Point2f base, sway;
	double angle = 0, tilt = 0;
};

// What lies under and over the objects: a background (the street when
// empty) and sensor noise whose sigma goes from grain_min to grain_max
// and back twice a cycle (none when grain_max is 0).
struct look {
	cv::Mat background;
	double grain_min = 0, grain_max = 0;
};

sequence animate(const std::string &name, const std::vector<thing> &things,
		 const look &l = {});
thing text_thing(const std::string &text, const char *font, int height,
		 kind what, cv::Point2f base, double angle);

} // namespace quality::parts
