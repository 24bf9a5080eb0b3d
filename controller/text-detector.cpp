#include "text-detector.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "onnx-model.h"

namespace {

// The network's input normalisation, per channel in the frame's own
// (blue, green, red) order, as it was trained.
const float MEAN[] = {0.485f, 0.456f, 0.406f};
const float STDDEV[] = {0.229f, 0.224f, 0.225f};
constexpr int MIN_SIDE = 3;
constexpr size_t MAX_CANDIDATES = 1000;

cv::Mat make_input(const cv::Mat &frame, cv::Size size)
{
	cv::Mat bgr = frame;
	if (frame.channels() == 4)
		cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
	cv::Mat scaled;
	cv::resize(bgr, scaled, size, 0, 0, cv::INTER_LINEAR);
	const int sizes[] = {1, 3, size.height, size.width};
	cv::Mat blob(4, sizes, CV_32F);
	std::vector<cv::Mat> planes;
	for (int c = 0; c < 3; c++)
		planes.emplace_back(size, CV_32F, blob.ptr<float>(0, c));
	std::vector<cv::Mat> channels;
	cv::split(scaled, channels);
	for (int c = 0; c < 3; c++)
		channels[c].convertTo(planes[c], CV_32F,
				      1.0 / (255.0 * STDDEV[c]),
				      -MEAN[c] / STDDEV[c]);
	return blob;
}

// Mean probability inside the contour.
float contour_score(const cv::Mat &map, const std::vector<cv::Point> &contour)
{
	cv::Rect r = cv::boundingRect(contour) & cv::Rect({0, 0}, map.size());
	if (r.empty())
		return 0;
	cv::Mat mask = cv::Mat::zeros(r.size(), CV_8U);
	std::vector<std::vector<cv::Point>> shifted(1);
	for (const cv::Point &p : contour)
		shifted[0].push_back(p - r.tl());
	cv::fillPoly(mask, shifted, cv::Scalar(1));
	return (float)cv::mean(map(r), mask)[0];
}

// A box's corners with its long side first: a, b along the line, d
// across it.
struct line_frame {
	cv::Point2f centre, along, across;
	float length, thickness;
};

line_frame frame_of(const cv::RotatedRect &box)
{
	line_frame f;
	f.centre = box.center;
	float rad = box.angle * (float)CV_PI / 180.0f;
	cv::Point2f u(std::cos(rad), std::sin(rad)), v(-u.y, u.x);
	if (box.size.width >= box.size.height) {
		f.along = u, f.across = v;
		f.length = box.size.width, f.thickness = box.size.height;
	} else {
		f.along = v, f.across = u;
		f.length = box.size.height, f.thickness = box.size.width;
	}
	if (f.along.x < 0)
		f.along = -f.along;
	return f;
}

// Whether two boxes are pieces of one line: parallel, of a height, level
// with each other and separated by less than a few characters' gap.
bool same_line(const cv::RotatedRect &a, const cv::RotatedRect &b)
{
	line_frame fa = frame_of(a), fb = frame_of(b);
	if (std::abs(fa.along.dot(fb.along)) < std::cos(8.0 * CV_PI / 180.0))
		return false;
	float t = std::max(fa.thickness, fb.thickness);
	if (std::min(fa.thickness, fb.thickness) < t / 1.6f)
		return false;
	cv::Point2f d = fb.centre - fa.centre;
	if (std::abs(d.dot(fa.across)) > t * 0.4f)
		return false;
	float gap = std::abs(d.dot(fa.along)) - (fa.length + fb.length) / 2;
	return gap < t * 1.5f;
}

// The pairs of lines that may be pieces of one line: those whose boxes,
// grown by more than the gap same_line allows, overlap. A sweep along x,
// not every pair: a page of text has hundreds of lines.
std::vector<std::pair<size_t, size_t>>
close_pairs(const std::vector<qm_text_line> &lines)
{
	std::vector<cv::Rect2f> reach;
	for (const qm_text_line &l : lines) {
		float t = frame_of(l.box).thickness;
		cv::Rect2f r = l.box.boundingRect2f();
		reach.emplace_back(r.x - 2.5f * t, r.y - 2.5f * t,
				   r.width + 5 * t, r.height + 5 * t);
	}
	std::vector<size_t> order(lines.size());
	for (size_t i = 0; i < order.size(); i++)
		order[i] = i;
	std::sort(order.begin(), order.end(),
		  [&](size_t a, size_t b) { return reach[a].x < reach[b].x; });
	std::vector<std::pair<size_t, size_t>> pairs;
	for (size_t k = 0; k < order.size(); k++) {
		const cv::Rect2f &a = reach[order[k]];
		for (size_t m = k + 1;
		     m < order.size() && reach[order[m]].x <= a.br().x; m++) {
			const cv::Rect2f &b = reach[order[m]];
			if (b.y <= a.br().y && a.y <= b.br().y)
				pairs.emplace_back(order[k], order[m]);
		}
	}
	return pairs;
}

size_t root_of(std::vector<size_t> &parent, size_t i)
{
	while (parent[i] != i)
		i = parent[i] = parent[parent[i]];
	return i;
}

// One round of joining: every group of pieces linked pairwise becomes one
// line. False when nothing was joined.
bool join_round(std::vector<qm_text_line> &lines)
{
	std::vector<size_t> parent(lines.size());
	for (size_t i = 0; i < parent.size(); i++)
		parent[i] = i;
	bool joined = false;
	for (const auto &[a, b] : close_pairs(lines)) {
		size_t ra = root_of(parent, a), rb = root_of(parent, b);
		if (ra == rb || !same_line(lines[a].box, lines[b].box))
			continue;
		parent[std::max(ra, rb)] = std::min(ra, rb);
		joined = true;
	}
	if (!joined)
		return false;
	std::vector<std::vector<cv::Point2f>> points(lines.size());
	std::vector<float> score(lines.size(), 0);
	for (size_t i = 0; i < lines.size(); i++) {
		size_t r = root_of(parent, i);
		cv::Point2f p[4];
		lines[i].box.points(p);
		points[r].insert(points[r].end(), p, p + 4);
		score[r] = std::max(score[r], lines[i].score);
	}
	std::vector<qm_text_line> out;
	for (size_t i = 0; i < lines.size(); i++)
		if (parent[i] == i)
			out.push_back({points[i].size() == 4
					       ? lines[i].box
					       : cv::minAreaRect(points[i]),
				       score[i]});
	lines = std::move(out);
	return true;
}

// Joins the pieces of each line: the network splits a line where words
// stand far apart, and a phone number must be read whole. A joined line
// may reach a further piece: rounds until nothing joins.
std::vector<qm_text_line> join_lines(std::vector<qm_text_line> lines)
{
	while (join_round(lines)) {
	}
	return lines;
}

} // namespace

bool qm_load_text_detector(qm_text_detector &detector, const std::string &path,
			   std::string &error, cv::Size input)
{
	if (input.width <= 0 || input.height <= 0 || input.width % 32 ||
	    input.height % 32) {
		error = "text detection input size must be multiples of 32";
		return false;
	}
	detector.input = input;
	detector.path = path;
	return qm_load_onnx(detector.net, path, "text detection", error);
}

std::vector<qm_text_line> qm_text_lines_from_map(const cv::Mat &map,
						 cv::Size frame,
						 const qm_text_options &options)
{
	std::vector<qm_text_line> lines;
	cv::Mat bitmap = map > options.pixel_threshold;
	std::vector<std::vector<cv::Point>> contours;
	cv::findContours(bitmap, contours, cv::RETR_LIST,
			 cv::CHAIN_APPROX_SIMPLE);
	if (contours.size() > MAX_CANDIDATES)
		contours.resize(MAX_CANDIDATES);
	float sx = (float)frame.width / (float)map.cols;
	float sy = (float)frame.height / (float)map.rows;
	for (const std::vector<cv::Point> &contour : contours) {
		cv::RotatedRect core = cv::minAreaRect(contour);
		if (std::min(core.size.width, core.size.height) < MIN_SIDE)
			continue;
		float score = contour_score(map, contour);
		if (score < options.box_threshold)
			continue;
		float w = core.size.width, h = core.size.height;
		float grow = w * h * options.unclip / (2 * (w + h));
		cv::RotatedRect box(core.center, {w + 2 * grow, h + 2 * grow},
				    core.angle);
		if (std::min(box.size.width, box.size.height) < MIN_SIDE + 2)
			continue;
		// Map pixels to frame pixels: scale the corners, which keeps
		// the box right when the two axes scale differently.
		cv::Point2f corners[4];
		box.points(corners);
		std::vector<cv::Point2f> scaled;
		for (const cv::Point2f &p : corners)
			scaled.emplace_back(p.x * sx, p.y * sy);
		lines.push_back({cv::minAreaRect(scaled), score});
	}
	return join_lines(std::move(lines));
}

std::vector<qm_text_line> qm_detect_text(qm_text_detector &detector,
					 const cv::Mat &frame,
					 const qm_text_options &options)
{
	detector.net.setInput(make_input(frame, detector.input));
	cv::Mat out = detector.net.forward();
	// 1x1xHxW
	cv::Mat map(out.size[2], out.size[3], CV_32F, out.ptr<float>());
	return qm_text_lines_from_map(map, frame.size(), options);
}

cv::Mat qm_crop_text_line(const cv::Mat &frame, const cv::RotatedRect &box,
			  int height, cv::Mat &to_frame)
{
	cv::Point2f p[4];
	box.points(p);
	// The corner nearest the top-left of the frame, then the one along
	// the line's long side: lines are read left to right, tilted less
	// than 45 degrees.
	int first = 0;
	for (int i = 1; i < 4; i++)
		if (p[i].x + p[i].y < p[first].x + p[first].y)
			first = i;
	cv::Point2f a = p[first], b = p[(first + 1) % 4],
		    d = p[(first + 3) % 4];
	if (std::abs(b.x - a.x) < std::abs(d.x - a.x))
		std::swap(b, d);
	float length = (float)cv::norm(b - a),
	      thickness = (float)cv::norm(d - a);
	float scale = (float)height / std::max(thickness, 1.0f);
	int width = std::max(1, (int)std::lround(length * scale));
	const cv::Point2f src[] = {a, b, d};
	const cv::Point2f dst[] = {{0, 0},
				   {(float)width, 0},
				   {0, (float)height}};
	cv::Mat to_crop = cv::getAffineTransform(src, dst);
	cv::invertAffineTransform(to_crop, to_frame);
	cv::Mat crop, grey;
	cv::warpAffine(frame, crop, to_crop, {width, height}, cv::INTER_LINEAR,
		       cv::BORDER_REPLICATE);
	if (crop.channels() == 1)
		return crop;
	int code = crop.channels() == 4 ? cv::COLOR_BGRA2GRAY
					: cv::COLOR_BGR2GRAY;
	cv::cvtColor(crop, grey, code);
	return grey;
}
