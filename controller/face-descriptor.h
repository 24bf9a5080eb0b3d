// Who a face belongs to: a 128-value descriptor from dlib's face
// recognition ResNet (run by OpenCV's DNN module) on a face aligned from
// the detector's own keypoints, the distance between two descriptors, and
// the decision to keep a face visible. Also the reference photos of the
// people to keep.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "face-detector.h"
#include "reference-image.h"

constexpr int QM_DESCRIPTOR_SIZE = 128;
using qm_descriptor = std::array<float, QM_DESCRIPTOR_SIZE>;

// Two faces of one person lie closer than this; faces of different people
// farther. Stricter than the model's usual 0.6: a stranger kept visible is
// worse than a kept person hidden.
constexpr float QM_MATCH_DISTANCE = 0.5f;
// Side of the aligned face the network reads.
constexpr int QM_FACE_CHIP_SIZE = 150;

struct qm_face_describer {
	cv::dnn::Net net;
};

// A face of a person to keep, found in a reference photo.
struct qm_reference_face {
	std::string path;
	cv::Rect2f box; // in the photo
	qm_descriptor descriptor;
};

struct qm_reference_set {
	std::vector<qm_reference_face> faces;
	// One line per file that was skipped, and why ("PATH: reason").
	std::vector<std::string> problems;
};

bool qm_load_face_describer(qm_face_describer &describer,
			    const std::string &path, std::string &error);

// The face turned upright and scaled so that its eyes, nose and mouth lie
// where the network expects them: a 150x150 BGR image.
cv::Mat qm_align_face(const cv::Mat &frame, const qm_face &face);

qm_descriptor qm_describe_face(qm_face_describer &describer,
			       const cv::Mat &frame, const qm_face &face);

float qm_descriptor_distance(const qm_descriptor &a, const qm_descriptor &b);

struct qm_match {
	bool keep = false;
	int reference = -1; // index of the closest reference face, or -1
	float distance = 0; // to that face
};

// Keeps a face only when it is large enough to judge and clearly matches
// a reference face; in every other case it is to be obscured.
qm_match qm_match_face(const qm_face &face, const qm_descriptor &descriptor,
		       const std::vector<qm_reference_face> &references,
		       float max_distance = QM_MATCH_DISTANCE);

// A descriptor for every face found in one photo. A file that cannot be
// read, is too large, holds no face or makes the networks fail gives no
// face and is reported, and so are faces too small to recognise.
qm_reference_set
qm_load_reference_photo(qm_face_detector &detector,
			qm_face_describer &describer, const std::string &path,
			const qm_reference_limits &limits = {});

// The same for each photo in turn.
qm_reference_set qm_load_references(qm_face_detector &detector,
				    qm_face_describer &describer,
				    const std::vector<std::string> &paths,
				    const qm_reference_limits &limits = {});
