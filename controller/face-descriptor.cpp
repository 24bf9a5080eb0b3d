#include "face-descriptor.h"

#include <cmath>
#include <exception>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "onnx-model.h"

namespace {

// Where the network's training chips put the eye centres, the nose tip
// and the mouth centre: the mean face of its 68-point aligner, with a
// quarter of the face's size as margin, in 150x150 pixels.
const cv::Point2f CHIP_POINTS[] = {{47.55f, 46.60f},
				   {100.48f, 46.60f},
				   {74.01f, 76.56f},
				   {74.01f, 105.42f}};
const cv::Scalar MEAN_BGR(104.298, 117.001, 122.782);

// Least-squares rotation, uniform scale and shift taking from onto to.
cv::Mat similarity(const cv::Point2f *from, const cv::Point2f *to, int n)
{
	cv::Point2f cf, ct;
	for (int i = 0; i < n; i++) {
		cf += from[i];
		ct += to[i];
	}
	cf /= n;
	ct /= n;
	double a = 0, b = 0, norm = 0;
	for (int i = 0; i < n; i++) {
		cv::Point2f p = from[i] - cf, q = to[i] - ct;
		a += p.x * q.x + p.y * q.y;
		b += p.x * q.y - p.y * q.x;
		norm += p.x * p.x + p.y * p.y;
	}
	if (norm <= 0)
		norm = 1;
	a /= norm;
	b /= norm;
	cv::Mat m = (cv::Mat_<double>(2, 3) << a, -b, 0, b, a, 0);
	m.at<double>(0, 2) = ct.x - (a * cf.x - b * cf.y);
	m.at<double>(1, 2) = ct.y - (b * cf.x + a * cf.y);
	return m;
}

} // namespace

bool qm_load_face_describer(qm_face_describer &describer,
			    const std::string &path, std::string &error)
{
	return qm_load_onnx(describer.net, path, "face recognition", error);
}

cv::Mat qm_align_face(const cv::Mat &frame, const qm_face &face)
{
	const cv::Point2f from[] = {face.keypoints[QM_RIGHT_EYE],
				    face.keypoints[QM_LEFT_EYE],
				    face.keypoints[QM_NOSE_TIP],
				    face.keypoints[QM_MOUTH]};
	cv::Mat m = similarity(from, CHIP_POINTS, 4);
	cv::Mat chip, bgr;
	cv::warpAffine(frame, chip, m, {QM_FACE_CHIP_SIZE, QM_FACE_CHIP_SIZE},
		       cv::INTER_AREA, cv::BORDER_CONSTANT);
	if (chip.channels() != 4)
		return chip;
	cv::cvtColor(chip, bgr, cv::COLOR_BGRA2BGR);
	return bgr;
}

qm_descriptor qm_describe_face(qm_face_describer &describer,
			       const cv::Mat &frame, const qm_face &face)
{
	cv::Mat chip = qm_align_face(frame, face);
	describer.net.setInput(cv::dnn::blobFromImage(
		chip, 1.0 / 255.0, chip.size(), MEAN_BGR, true, false));
	cv::Mat out = describer.net.forward();
	qm_descriptor d{};
	const float *p = out.ptr<float>();
	std::copy(p, p + std::min<size_t>(out.total(), d.size()), d.begin());
	return d;
}

float qm_descriptor_distance(const qm_descriptor &a, const qm_descriptor &b)
{
	double sum = 0;
	for (size_t i = 0; i < a.size(); i++)
		sum += ((double)a[i] - b[i]) * ((double)a[i] - b[i]);
	return (float)std::sqrt(sum);
}

namespace {

bool judgeable(const qm_face &face, float min_eye_distance)
{
	cv::Point2f eyes =
		face.keypoints[QM_LEFT_EYE] - face.keypoints[QM_RIGHT_EYE];
	return std::hypot(eyes.x, eyes.y) >= min_eye_distance;
}

} // namespace

qm_match qm_match_face(const qm_face &face, const qm_descriptor &descriptor,
		       const std::vector<qm_reference_face> &references,
		       float max_distance)
{
	qm_match match;
	match.distance = std::numeric_limits<float>::infinity();
	for (size_t i = 0; i < references.size(); i++) {
		float d = qm_descriptor_distance(descriptor,
						 references[i].descriptor);
		if (d < match.distance) {
			match.distance = d;
			match.reference = (int)i;
		}
	}
	cv::Point2f eyes =
		face.keypoints[QM_LEFT_EYE] - face.keypoints[QM_RIGHT_EYE];
	bool judgeable = std::hypot(eyes.x, eyes.y) >= QM_MIN_EYE_DISTANCE;
	// NaN distances fail this test too.
	match.keep = judgeable && match.distance <= max_distance;
	return match;
}

namespace {

void describe_photo(qm_face_detector &detector, qm_face_describer &describer,
		    const std::string &path, const qm_reference_limits &limits,
		    qm_reference_set &set)
{
	std::string error;
	cv::Mat image = qm_read_reference_image(path, limits, error);
	if (image.empty()) {
		set.problems.push_back(path + ": " + error);
		return;
	}
	std::vector<qm_face> faces = qm_detect_faces(detector, image);
	if (faces.empty()) {
		set.problems.push_back(path + ": no face found");
		return;
	}
	for (const qm_face &face : faces) {
		// A face too small to recognise would match strangers at
		// random: it keeps nobody.
		if (!judgeable(face, limits.min_eye_distance)) {
			set.problems.push_back(
				path + ": a face too small to recognise "
				       "was left out");
			continue;
		}
		qm_reference_face ref;
		ref.path = path;
		ref.box = face.box;
		ref.descriptor = qm_describe_face(describer, image, face);
		set.faces.push_back(ref);
	}
}

} // namespace

qm_reference_set qm_load_reference_photo(qm_face_detector &detector,
					 qm_face_describer &describer,
					 const std::string &path,
					 const qm_reference_limits &limits)
{
	qm_reference_set set;
	try {
		describe_photo(detector, describer, path, limits, set);
	} catch (const std::exception &e) {
		// All or nothing: a photo half described keeps only some of
		// its people.
		set.faces.clear();
		std::string why = e.what();
		why = why.substr(0, why.find('\n'));
		set.problems.push_back(path + ": cannot be described (" + why +
				       ")");
	}
	return set;
}

qm_reference_set qm_load_references(qm_face_detector &detector,
				    qm_face_describer &describer,
				    const std::vector<std::string> &paths,
				    const qm_reference_limits &limits)
{
	qm_reference_set set;
	for (const std::string &path : paths) {
		qm_reference_set one = qm_load_reference_photo(
			detector, describer, path, limits);
		set.faces.insert(set.faces.end(), one.faces.begin(),
				 one.faces.end());
		set.problems.insert(set.problems.end(), one.problems.begin(),
				    one.problems.end());
	}
	return set;
}
