// Face detection: MediaPipe's BlazeFace ("back" model, 256x256 input) run
// by OpenCV's DNN module over the whole frame and over overlapping tiles,
// so that small faces far from the camera are found too.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

// The keypoints, named from the person's own point of view: their right
// eye appears on the left of an unmirrored picture.
enum qm_face_keypoint {
	QM_RIGHT_EYE,
	QM_LEFT_EYE,
	QM_NOSE_TIP,
	QM_MOUTH,
	QM_RIGHT_EAR,
	QM_LEFT_EAR,
	QM_KEYPOINT_COUNT
};

struct qm_face {
	cv::Rect2f box; // frame pixels
	std::array<cv::Point2f, QM_KEYPOINT_COUNT> keypoints;
	float score = 0;
};

struct qm_face_detector {
	cv::dnn::Net net;
};

struct qm_face_options {
	// Lowest detection score reported.
	float min_score = 0.6f;
	// Tile grid laid over the frame on top of the whole-frame pass
	// (0 or 1 column: whole frame only). Tiles overlap by overlap of
	// their width and height.
	int tile_columns = 3;
	int tile_rows = 2;
	float overlap = 0.25f;
};

// Loads the model file; false with a reason in error when it cannot.
bool qm_load_face_detector(qm_face_detector &detector, const std::string &path,
			   std::string &error);

// All faces in a BGR or BGRA frame, in frame pixels, strongest first.
std::vector<qm_face> qm_detect_faces(qm_face_detector &detector,
				     const cv::Mat &frame,
				     const qm_face_options &options = {});

// The same over the whole frame and the given tiles only. A small face
// the whole frame shows inside a tile that holds it whole is left to that
// tile.
std::vector<qm_face> qm_detect_faces_with(qm_face_detector &detector,
					  const cv::Mat &frame,
					  const std::vector<cv::Rect> &tiles,
					  float min_score);

// Faces in one square-padded region of the frame (the whole-frame pass is
// the region of the whole frame). Faces cut by an edge of the region that
// is not an edge of the frame are left out: another pass sees them whole.
std::vector<qm_face> qm_detect_faces_in(qm_face_detector &detector,
					const cv::Mat &frame,
					const cv::Rect &region,
					float min_score);

// Merges overlapping detections (intersection over union above 0.3) into
// their score-weighted mean, strongest first.
std::vector<qm_face> qm_merge_faces(std::vector<qm_face> faces);

// The rectangles of the tile grid for a frame of the given size; none
// when the tiles would be smaller than the network's input.
std::vector<cv::Rect> qm_face_tiles(cv::Size frame,
				    const qm_face_options &options);
