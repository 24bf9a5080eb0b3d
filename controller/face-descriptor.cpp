#include "face-descriptor.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>

#include <opencv2/imgcodecs.hpp>
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

uint32_t be32(const unsigned char *p)
{
	return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 |
	       (uint32_t)p[2] << 8 | p[3];
}

int32_t le32(const unsigned char *p)
{
	return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 |
			 (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

// Width and height from a BMP, PNG or JPEG header, before any decoding.
bool image_size(const std::vector<unsigned char> &d, long long &w, long long &h)
{
	size_t n = d.size();
	if (n >= 26 && d[0] == 'B' && d[1] == 'M') {
		w = le32(&d[18]);
		h = std::llabs((long long)le32(&d[22]));
		return true;
	}
	static const unsigned char png[] = {0x89, 'P',  'N',  'G',
					    '\r', '\n', 0x1a, '\n'};
	if (n >= 24 && std::equal(png, png + 8, d.begin())) {
		w = be32(&d[16]);
		h = be32(&d[20]);
		return true;
	}
	if (n < 4 || d[0] != 0xff || d[1] != 0xd8)
		return false;
	size_t i = 2;
	while (i + 9 < n) {
		if (d[i] != 0xff) {
			return false;
		}
		unsigned char marker = d[i + 1];
		if (marker == 0xff) {
			i++;
			continue;
		}
		size_t length = (size_t)d[i + 2] << 8 | d[i + 3];
		bool frame = marker >= 0xc0 && marker <= 0xcf &&
			     marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
		if (frame) {
			h = (long long)d[i + 5] << 8 | d[i + 6];
			w = (long long)d[i + 7] << 8 | d[i + 8];
			return true;
		}
		if (length < 2)
			return false;
		i += 2 + length;
	}
	return false;
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

cv::Mat qm_read_reference_image(const std::string &path,
				const qm_reference_limits &limits,
				std::string &error)
{
	std::error_code ec;
	std::filesystem::path p(path);
	if (!std::filesystem::is_regular_file(p, ec)) {
		error = "not a readable file";
		return {};
	}
	auto size = std::filesystem::file_size(p, ec);
	if (ec) {
		error = "not a readable file";
		return {};
	}
	if ((long long)size > limits.max_file_bytes) {
		error = "file too large";
		return {};
	}
	std::ifstream in(p, std::ios::binary);
	std::vector<unsigned char> data((size_t)size);
	if (!in.read((char *)data.data(), (std::streamsize)size)) {
		error = "cannot read the file";
		return {};
	}
	long long w = 0, h = 0;
	if (!image_size(data, w, h)) {
		error = "not a BMP, PNG or JPEG image";
		return {};
	}
	if (w <= 0 || h <= 0 || w > limits.max_side || h > limits.max_side) {
		error = "image too large (" + std::to_string(w) + "x" +
			std::to_string(h) + ")";
		return {};
	}
	cv::Mat image;
	try {
		image = cv::imdecode(data, cv::IMREAD_COLOR);
	} catch (const cv::Exception &) {
		image.release();
	}
	if (image.empty())
		error = "cannot decode the image";
	return image;
}

qm_reference_set qm_load_references(qm_face_detector &detector,
				    qm_face_describer &describer,
				    const std::vector<std::string> &paths,
				    const qm_reference_limits &limits)
{
	qm_reference_set set;
	for (const std::string &path : paths) {
		std::string error;
		cv::Mat image = qm_read_reference_image(path, limits, error);
		if (image.empty()) {
			set.problems.push_back(path + ": " + error);
			continue;
		}
		std::vector<qm_face> faces = qm_detect_faces(detector, image);
		if (faces.empty()) {
			set.problems.push_back(path + ": no face found");
			continue;
		}
		for (const qm_face &face : faces) {
			// A face too small to recognise would match strangers
			// at random: it keeps nobody.
			if (!judgeable(face, limits.min_eye_distance)) {
				set.problems.push_back(
					path +
					": a face too small to recognise "
					"was left out");
				continue;
			}
			qm_reference_face ref;
			ref.path = path;
			ref.box = face.box;
			ref.descriptor =
				qm_describe_face(describer, image, face);
			set.faces.push_back(ref);
		}
	}
	return set;
}
