// Text lines: PaddleOCR's PP-OCRv4 DB detector run by OpenCV's DNN module,
// its probability map turned into (rotated) line boxes, and upright crops
// of those lines for a recogniser.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

// The frame is scaled to this size for the network (multiples of 32).
// 960x544 finds lines from 12 px tall in a 1280x720 frame; 640x352
// costs half as much and finds them from 20 px.
constexpr int QM_TEXT_INPUT_WIDTH = 960;
constexpr int QM_TEXT_INPUT_HEIGHT = 544;

struct qm_text_detector {
	cv::dnn::Net net;
	// Fixed when the model is loaded: OpenCV 4.6 computes wrong maps
	// when one network is given inputs of different sizes.
	cv::Size input;
	// The model file it was loaded from, for a second detector of
	// another input size.
	std::string path;
};

// The smaller input, for a cheaper second detector.
constexpr int QM_TEXT_SMALL_WIDTH = 640;
constexpr int QM_TEXT_SMALL_HEIGHT = 352;

struct qm_text_options {
	// A pixel is text above this probability.
	float pixel_threshold = 0.3f;
	// A line is kept when its mean probability is above this.
	float box_threshold = 0.6f;
	// Lines are grown by area * unclip / perimeter on every side: the
	// network marks a shrunken core of each line.
	float unclip = 1.5f;
};

struct qm_text_line {
	cv::RotatedRect box; // frame pixels
	float score = 0;
};

bool qm_load_text_detector(qm_text_detector &detector, const std::string &path,
			   std::string &error,
			   cv::Size input = {QM_TEXT_INPUT_WIDTH,
					     QM_TEXT_INPUT_HEIGHT});

// Text lines of a BGR or BGRA frame, in frame pixels.
std::vector<qm_text_line> qm_detect_text(qm_text_detector &detector,
					 const cv::Mat &frame,
					 const qm_text_options &options = {});

// The lines in a probability map (CV_32F, values 0 to 1) of a frame of
// the given size.
std::vector<qm_text_line>
qm_text_lines_from_map(const cv::Mat &map, cv::Size frame,
		       const qm_text_options &options);

// The line turned level and cut out (grey), scaled so that it is height
// pixels tall; to_frame (2x3) takes crop pixels back to frame pixels.
cv::Mat qm_crop_text_line(const cv::Mat &frame, const cv::RotatedRect &box,
			  int height, cv::Mat &to_frame);
