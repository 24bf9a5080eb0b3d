// Pictures for the detector tests and figures, built at run time from
// photos and fonts that Debian packages install (opencv-doc, fonts-dejavu-
// core, fonts-liberation): nothing of them is kept in the tree.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "face-descriptor.h"

// Whether the photos the detector tests need are installed; also holds
// OpenCV to one core, since ctest runs two programs at once beside tests
// that measure time.
bool qm_detector_samples_ready();

// A file of the installed model folder of this build.
std::string qm_model_path(const char *name);

// A photo from opencv-doc (path relative to its documentation folder), or
// an empty image when the package is missing.
cv::Mat qm_doc_image(const std::string &relative);

// One person in a photo: where the photo is and which part holds them.
struct qm_person_photo {
	const char *name;
	const char *file;
	cv::Rect part; // empty: the whole photo
};

// Photos of three different people, one face each.
const std::vector<qm_person_photo> &qm_person_photos();
cv::Mat qm_load_person(const qm_person_photo &person);

// A 1280x720 street scene with no face in it.
cv::Mat qm_background();

// Pastes the region around a face (box grown to a square of grow times
// its height) into the scene, scaled so that the face is height pixels
// tall, with its top-left corner at at; returns the face's box there.
cv::Rect2f qm_paste_face(cv::Mat &scene, const cv::Mat &photo,
			 const cv::Rect2f &face, float height, cv::Point at,
			 float grow = 1.6f);

// A font file from the installed font packages.
std::string qm_font_path(const char *file);

// Text drawn with a TrueType font: black on white unless told otherwise.
// Returns the text's box.
cv::Rect qm_draw_text(cv::Mat &image, const std::string &text,
		      const std::string &font, int height, cv::Point origin,
		      cv::Scalar color = cv::Scalar::all(0));

// A line of text on a white card, turned by angle degrees and pasted into
// the scene with its centre at centre; returns the text's outline there.
cv::RotatedRect qm_paste_text(cv::Mat &scene, const std::string &text,
			      const std::string &font, int height,
			      cv::Point2f centre, float angle,
			      cv::Scalar ink = cv::Scalar::all(0),
			      cv::Scalar paper = cv::Scalar::all(255));

// How much of the truth's area the found box covers (0 to 1).
float qm_coverage(const cv::RotatedRect &found, const cv::RotatedRect &truth);
