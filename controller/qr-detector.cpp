#include "qr-detector.h"
#include "settings.h"

#define ZX_USE_UTF8
#include <ZXing/ReadBarcode.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>
#include <memory>

namespace qmc {

namespace {

// Share of a code's size added on every side, and a floor in pixels.
constexpr double MARGIN_SHARE = 0.15;
constexpr int MARGIN_PX = 4;
// OpenCV's detector finds one code per call; this many calls at most.
constexpr int OPENCV_MAX_CODES = 4;
// The fine pass: the picture enlarged this much, then sharpened (unsharp
// masking of this strength and radius), which brings back the modules of
// small codes that blur and compression ran together.
constexpr double FINE_SCALE = 1.75;
constexpr double FINE_AMOUNT = 3.0;
constexpr double FINE_SIGMA = 1.5;
// OpenCV's reduced mode looks at the picture this much smaller: a quarter
// of the pixels, and grain averaged away before its finder-pattern scan.
constexpr double OPENCV_REDUCED_SCALE = 0.5;
// OpenCV's windowed mode looks only around finder marks: in this many
// windows at most, the largest, each at least this wide and tall.
constexpr size_t MAX_OPENCV_WINDOWS = 6;
constexpr int MIN_WINDOW_PX = 96;
// Finder-pattern-like marks (a dark square in a light ring in a dark
// square) reported as evidence: at most this many, largest first, and
// from this side in pixels (a code of 2-pixel modules).
constexpr size_t MAX_FINDER_AREAS = 24;
constexpr double MIN_FINDER_PX = 12;
// Three finder marks outline a code when their sizes and their distances
// from the corner one differ by no more than this factor (perspective)
// and the corner's angle is within about 35 degrees of a right angle.
constexpr double MARK_SIZE_RATIO = 1.6;
constexpr double MAX_CORNER_COSINE = 0.57;
// An outline wider or taller than this share of the picture's height must
// have finder marks at its corners.
constexpr double LARGE_OUTLINE_SHARE = 0.5;

cv::Mat grey_of(const cv::Mat &bgra)
{
	cv::Mat grey;
	cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
	return grey;
}

regions zxing_in(const cv::Mat &grey, double scale = 1)
{
	ZXing::DecodeHints hints;
	hints.setFormats(ZXing::BarcodeFormat::QRCode |
			 ZXing::BarcodeFormat::MicroQRCode);
	hints.setTryHarder(true);
	// Finder patterns work at any angle; turning the picture only helps
	// one-dimensional codes.
	hints.setTryRotate(false);
	hints.setTryDownscale(true);
	// A code it locates but cannot read is still a code to hide.
	hints.setReturnErrors(true);
	ZXing::ImageView view(grey.data, grey.cols, grey.rows,
			      ZXing::ImageFormat::Lum, int(grey.step));
	regions found;
	for (const ZXing::Result &r : ZXing::ReadBarcodes(view, hints)) {
		if (r.format() == ZXing::BarcodeFormat::None)
			continue;
		std::vector<cv::Point2f> corners;
		for (const auto &p : r.position())
			corners.emplace_back(float(p.x / scale),
					     float(p.y / scale));
		cv::Rect box = code_box(corners,
					{int(std::lround(grey.cols / scale)),
					 int(std::lround(grey.rows / scale))});
		if (!box.empty())
			found.push_back({box, -1, false});
	}
	return found;
}

// A box of the frame in a picture scaled by scale, grown to whole pixels.
cv::Rect scaled_box(const cv::Rect &box, double scale)
{
	return cv::Rect(cv::Point(int(std::floor(box.x * scale)),
				  int(std::floor(box.y * scale))),
			cv::Point(int(std::ceil(box.br().x * scale)),
				  int(std::ceil(box.br().y * scale))));
}

// A contour that is one of a finder pattern's three nested squares.
bool squarish(const std::vector<cv::Point> &contour, double min_side)
{
	cv::Rect r = cv::boundingRect(contour);
	if (std::min(r.width, r.height) < min_side ||
	    std::max(r.width, r.height) > 2 * std::min(r.width, r.height))
		return false;
	// A square at any angle fills between half of its bounding box
	// (turned 45 degrees) and all of it.
	double fill = cv::contourArea(contour) / r.area();
	return fill > 0.45;
}

// The finder marks: a dark square holding a light ring holding a dark
// square, the inner one of a sixth to a half of the outer one's width.
// Looked for at half scale: a quarter of the work, and grain averaged
// away (at full scale grain makes it four times as slow).
std::vector<cv::Rect> finder_marks(const cv::Mat &full)
{
	cv::Mat grey, dark;
	cv::resize(full, grey, {}, 0.5, 0.5, cv::INTER_AREA);
	cv::adaptiveThreshold(grey, dark, 255, cv::ADAPTIVE_THRESH_MEAN_C,
			      cv::THRESH_BINARY_INV, 15, 10);
	std::vector<std::vector<cv::Point>> contours;
	std::vector<cv::Vec4i> tree;
	cv::findContours(dark, contours, tree, cv::RETR_TREE,
			 cv::CHAIN_APPROX_SIMPLE);
	std::vector<cv::Rect> marks;
	for (size_t i = 0; i < contours.size(); i++) {
		int ring = tree[i][2];
		int core = ring >= 0 ? tree[size_t(ring)][2] : -1;
		if (core < 0 || !squarish(contours[i], MIN_FINDER_PX / 2) ||
		    !squarish(contours[size_t(core)], MIN_FINDER_PX / 14))
			continue;
		cv::Rect outer = cv::boundingRect(contours[i]);
		cv::Rect inner = cv::boundingRect(contours[size_t(core)]);
		double share = double(inner.width) / outer.width;
		if (share > 1.0 / 6 && share < 0.5 && (inner & outer) == inner)
			marks.emplace_back(2 * outer.x, 2 * outer.y,
					   2 * outer.width, 2 * outer.height);
	}
	return marks;
}

} // namespace

std::vector<cv::Rect> finder_areas(const std::vector<cv::Rect> &marks,
				   const cv::Size &frame)
{
	std::vector<cv::Rect> sorted = marks;
	std::sort(sorted.begin(), sorted.end(),
		  [](const cv::Rect &a, const cv::Rect &b) {
			  return a.area() > b.area();
		  });
	if (sorted.size() > MAX_FINDER_AREAS)
		sorted.resize(MAX_FINDER_AREAS);
	// A mark is a corner of its code, which reaches (modules / 7) of
	// its widths from there in a direction the mark does not tell. Codes
	// shown to a camera are mostly small (up to version 5, 37 modules):
	// the area reaches four of its widths beyond it on every side.
	std::vector<cv::Rect> areas;
	cv::Rect whole(0, 0, frame.width, frame.height);
	for (const cv::Rect &m : sorted) {
		int grow = 4 * std::max(m.width, m.height);
		cv::Rect a(m.x - grow, m.y - grow, m.width + 2 * grow,
			   m.height + 2 * grow);
		areas.push_back(a & whole);
	}
	return areas;
}

regions find_qr_finder_areas(const cv::Mat &bgra)
{
	regions out;
	for (const cv::Rect &a :
	     finder_areas(finder_marks(grey_of(bgra)), bgra.size()))
		out.push_back({a, -1, false});
	return out;
}

namespace {

cv::Point2d mid(const cv::Rect &r)
{
	return {r.x + r.width / 2.0, r.y + r.height / 2.0};
}

bool like_marks(const cv::Rect &a, const cv::Rect &b)
{
	double sa = std::max(a.width, a.height),
	       sb = std::max(b.width, b.height);
	return sa <= MARK_SIZE_RATIO * sb && sb <= MARK_SIZE_RATIO * sa;
}

// Whether c is the corner of a code whose other two finder marks are a
// and b: both as far from it (within what perspective allows), at two to
// eight marks' widths (21 to 57 modules: versions 1 to 10), at about a
// right angle.
bool corner_of(const cv::Rect &c, const cv::Rect &a, const cv::Rect &b)
{
	cv::Point2d ca = mid(a) - mid(c), cb = mid(b) - mid(c);
	double da = cv::norm(ca), db = cv::norm(cb);
	// Perspective makes near marks larger and far ones closer: the bounds
	// have room for both.
	double side =
		(std::max(c.width, c.height) + std::max(a.width, a.height) +
		 std::max(b.width, b.height)) /
		3.0;
	double near = 1.4 * side, far = 9 * side;
	if (da < near || db < near || da > far || db > far ||
	    std::max(da, db) > MARK_SIZE_RATIO * std::min(da, db))
		return false;
	double cosine = ca.dot(cb) / (da * db);
	return std::abs(cosine) < MAX_CORNER_COSINE;
}

} // namespace

std::vector<cv::Rect> codes_outlined(std::vector<cv::Rect> marks,
				     const cv::Size &frame)
{
	// The largest first, a bounded number: no cubic work on grain.
	std::stable_sort(marks.begin(), marks.end(),
			 [](const cv::Rect &a, const cv::Rect &b) {
				 return a.area() > b.area();
			 });
	std::vector<cv::Rect> codes;
	size_t n = std::min(marks.size(), MAX_FINDER_AREAS);
	for (size_t i = 0; i < n; i++)
		for (size_t j = 0; j < n; j++)
			for (size_t k = j + 1; k < n; k++) {
				if (i == j || i == k ||
				    !like_marks(marks[i], marks[j]) ||
				    !like_marks(marks[i], marks[k]) ||
				    !corner_of(marks[i], marks[j], marks[k]))
					continue;
				// The fourth corner completes the code.
				cv::Point2d far = mid(marks[j]) +
						  mid(marks[k]) - mid(marks[i]);
				std::vector<cv::Point2f> outline;
				for (const cv::Rect &m :
				     {marks[i], marks[j], marks[k]}) {
					outline.emplace_back(m.tl());
					outline.emplace_back(m.br());
				}
				int half = marks[i].width / 2;
				outline.emplace_back(far -
						     cv::Point2d(half, half));
				outline.emplace_back(far +
						     cv::Point2d(half, half));
				cv::Rect box = code_box(outline, frame);
				if (!box.empty())
					codes.push_back(box);
			}
	return codes;
}

bool plausible_outline(const std::vector<cv::Point2f> &corners,
		       const cv::Mat &grey)
{
	const cv::Size picture = grey.size();
	if (corners.size() != 4)
		return false;
	float reach = float(std::min(picture.width, picture.height)) / 2;
	for (const cv::Point2f &p : corners)
		if (!std::isfinite(p.x) || !std::isfinite(p.y) ||
		    p.x < -reach || p.y < -reach ||
		    p.x > float(picture.width) + reach ||
		    p.y > float(picture.height) + reach)
			return false;
	std::vector<cv::Point2f> quad = corners;
	if (!cv::isContourConvex(quad) || cv::contourArea(quad) < 1)
		return false;
	// Across much of the picture, it is a code only where finder marks
	// stand at two of its corners at least: OpenCV now and then outlines
	// one from three faces of a crowd.
	cv::Rect r = cv::boundingRect(quad);
	double side = std::max(r.width, r.height);
	if (side <=
	    LARGE_OUTLINE_SHARE * std::min(picture.width, picture.height))
		return true;
	std::vector<cv::Rect> marks = finder_marks(grey);
	int held = 0;
	for (const cv::Point2f &c : quad)
		for (const cv::Rect &m : marks)
			if (cv::norm(mid(m) - cv::Point2d(c)) <= side / 4) {
				held++;
				break;
			}
	return held >= 2;
}

cv::Rect code_box(const std::vector<cv::Point2f> &corners,
		  const cv::Size &frame)
{
	if (corners.empty())
		return {};
	float x0 = corners[0].x, x1 = x0, y0 = corners[0].y, y1 = y0;
	for (const cv::Point2f &p : corners) {
		if (!std::isfinite(p.x) || !std::isfinite(p.y))
			return {};
		x0 = std::min(x0, p.x);
		x1 = std::max(x1, p.x);
		y0 = std::min(y0, p.y);
		y1 = std::max(y1, p.y);
	}
	double size = std::max(x1 - x0, y1 - y0);
	double margin = MARGIN_PX + MARGIN_SHARE * size;
	double left = std::max(0.0, std::floor(x0 - margin));
	double top = std::max(0.0, std::floor(y0 - margin));
	double right = std::min(double(frame.width), std::ceil(x1 + margin));
	double bottom = std::min(double(frame.height), std::ceil(y1 + margin));
	if (right <= left || bottom <= top)
		return {};
	return cv::Rect(int(left), int(top), int(right - left),
			int(bottom - top));
}

regions find_qr_zxing(const cv::Mat &bgra)
{
	return zxing_in(grey_of(bgra));
}

regions find_qr_fine(const cv::Mat &bgra)
{
	cv::Mat large, soft, sharp;
	cv::resize(grey_of(bgra), large, {}, FINE_SCALE, FINE_SCALE,
		   cv::INTER_CUBIC);
	cv::GaussianBlur(large, soft, {0, 0}, FINE_SIGMA);
	cv::addWeighted(large, 1 + FINE_AMOUNT, soft, -FINE_AMOUNT, 0, sharp);
	return zxing_in(sharp, FINE_SCALE);
}

regions find_qr_opencv(const cv::Mat &bgra, const regions &hints, double scale)
{
	cv::Mat grey = grey_of(bgra);
	if (scale != 1)
		cv::resize(grey, grey, {}, scale, scale, cv::INTER_AREA);
	// What is already found is painted over, so that each call finds a
	// code still unfound (the detector reports one per call).
	for (const region &h : hints)
		cv::rectangle(grey, scaled_box(h.box, scale), cv::Scalar(128),
			      cv::FILLED);
	cv::QRCodeDetector opencv;
	regions found;
	for (int i = 0; i < OPENCV_MAX_CODES; i++) {
		std::vector<cv::Point2f> corners;
		if (!opencv.detect(grey, corners) || corners.size() != 4)
			break;
		if (!plausible_outline(corners, grey))
			break;
		cv::Rect box =
			code_box(corners_in_frame(corners, scale), bgra.size());
		if (box.empty())
			break;
		found.push_back({box, -1, false});
		cv::rectangle(grey, scaled_box(box, scale), cv::Scalar(128),
			      cv::FILLED);
	}
	return found;
}

std::vector<cv::Rect> code_windows(std::vector<cv::Rect> areas,
				   const cv::Size &frame)
{
	cv::Rect whole(0, 0, frame.width, frame.height);
	for (cv::Rect &a : areas) {
		int gx = std::max(0, MIN_WINDOW_PX - a.width) / 2;
		int gy = std::max(0, MIN_WINDOW_PX - a.height) / 2;
		a = cv::Rect(a.x - gx, a.y - gy, a.width + 2 * gx,
			     a.height + 2 * gy) &
		    whole;
	}
	// Overlapping areas become one window (a bounded number of them:
	// a handful of joins over a few dozen areas).
	for (bool joined = true; joined;) {
		joined = false;
		for (size_t i = 0; i < areas.size() && !joined; i++)
			for (size_t j = i + 1; j < areas.size() && !joined; j++)
				if ((areas[i] & areas[j]).area() > 0) {
					areas[i] |= areas[j];
					areas.erase(areas.begin() + long(j));
					joined = true;
				}
	}
	std::sort(areas.begin(), areas.end(),
		  [](const cv::Rect &a, const cv::Rect &b) {
			  return a.area() > b.area();
		  });
	if (areas.size() > MAX_OPENCV_WINDOWS)
		areas.resize(MAX_OPENCV_WINDOWS);
	return areas;
}

regions find_qr_opencv_near_marks(const cv::Mat &bgra, const regions &hints)
{
	cv::Mat grey = grey_of(bgra);
	for (const region &h : hints)
		cv::rectangle(grey, h.box, cv::Scalar(128), cv::FILLED);
	cv::QRCodeDetector opencv;
	regions found;
	for (const cv::Rect &w :
	     code_windows(finder_areas(finder_marks(grey), grey.size()),
			  grey.size())) {
		cv::Mat part = grey(w).clone();
		std::vector<cv::Point2f> corners;
		if (found.size() >= size_t(OPENCV_MAX_CODES) ||
		    !opencv.detect(part, corners) || corners.size() != 4 ||
		    !plausible_outline(corners, part))
			continue;
		for (cv::Point2f &p : corners)
			p += cv::Point2f(w.tl());
		cv::Rect box = code_box(corners, bgra.size());
		if (!box.empty())
			found.push_back({box, -1, false});
	}
	return found;
}

std::vector<cv::Point2f>
corners_in_frame(const std::vector<cv::Point2f> &corners, double scale)
{
	std::vector<cv::Point2f> out;
	for (const cv::Point2f &p : corners)
		out.emplace_back(float(p.x / scale), float(p.y / scale));
	return out;
}

namespace {

bool inside_any(const cv::Rect &r, const regions &found)
{
	for (const region &g : found)
		if ((r & g.box) == r)
			return true;
	return false;
}

// ZXing on every kept frame: what it finds; the codes that three finder
// marks outline, read or not; and the finder marks as the class's
// evidence for frames no QR detector covered in time.
findings run_zxing(const cv::Mat &bgra)
{
	cv::Mat grey = grey_of(bgra);
	findings f;
	f.found = zxing_in(grey);
	std::vector<cv::Rect> marks = finder_marks(grey);
	std::vector<cv::Rect> loose;
	for (const cv::Rect &m : marks)
		if (!inside_any(m, f.found))
			loose.push_back(m);
	for (const cv::Rect &c : codes_outlined(loose, grey.size()))
		f.found.push_back({c, -1, false});
	for (const cv::Rect &a : finder_areas(marks, grey.size()))
		f.evidence.push_back({a, -1, false});
	return f;
}

using kernel = decltype(detector::run);

// A QR detector of the given kernel; `find` is its first mode.
detector qr_detector(const char *name, kernel run,
		     std::vector<detector_mode> modes, double cpu_s)
{
	detector d;
	d.name = name;
	d.kind = "qr";
	d.wanted = [](const settings &s) {
		return s.qr_enabled;
	};
	d.find = [run](const cv::Mat &bgra, const regions &hints) {
		return run(bgra, hints, 0, 0).found;
	};
	d.run = std::move(run);
	d.modes = std::move(modes);
	d.expected_cpu_s = cpu_s;
	// Codes held up move at about 120 px a second and turn back
	// gently; runs as far apart as two of OpenCV's around a frame they
	// cover (twice its reach) are interpolated, and a code is placed
	// where its look is found in between.
	d.motion = {200, 1000, 1.5, true};
	return d;
}

detector zxing_detector()
{
	detector d = qr_detector(
		"qr-zxing",
		[](const cv::Mat &bgra, const regions &, uint64_t, size_t) {
			return run_zxing(bgra);
		},
		{{"full", 1}}, 0.015);
	d.find = [](const cv::Mat &bgra, const regions &) {
		return find_qr_zxing(bgra);
	};
	// Covers a frame it had no time for from its neighbours, and holds
	// a code it missed for a frame or two.
	d.spacing_s = 0;
	d.reach_s = 0.25;
	d.carry_s = 0.1;
	// It runs on nearly every kept frame: between two of its runs a code
	// cannot stray far enough for a look to place it closer, and a look
	// of every frame it ran on would cost a millisecond each.
	d.motion.follow = false;
	return d;
}

detector opencv_detector()
{
	// The whole picture first (reduced in the second mode: cheaper, and
	// it still locates codes of 6-pixel modules and more), then windows
	// around finder marks, where one code alone in a window is located
	// even when several in one picture derail the whole-picture pass.
	// Relative costs measured with and without grain (detector_figures
	// qr-modes).
	detector d = qr_detector(
		"qr-opencv",
		[](const cv::Mat &bgra, const regions &hints, uint64_t,
		   size_t mode) {
			findings f;
			if (mode < 2)
				f.found = find_qr_opencv(
					bgra, hints,
					mode == 0 ? 1.0 : OPENCV_REDUCED_SCALE);
			regions known = hints;
			known.insert(known.end(), f.found.begin(),
				     f.found.end());
			for (const region &r :
			     find_qr_opencv_near_marks(bgra, known))
				f.found.push_back(r);
			return f;
		},
		{{"full and near finder marks", 1},
		 {"half scale and near finder marks", 0.35},
		 {"near finder marks", 0.15}},
		0.04);
	// Three runs a second. Each reaches the frames up to the next but
	// one, so that a busy machine that lets it run only every second or
	// so still has its frames covered.
	d.spacing_s = 0.3;
	d.reach_s = 0.75;
	d.carry_s = 0;
	// ZXing's findings for the frame are in by then.
	d.min_age_s = 0.1;
	// A fifth of a core at most, whatever the machine.
	return d;
}

detector fine_detector()
{
	detector d = qr_detector(
		"qr-fine",
		[](const cv::Mat &bgra, const regions &, uint64_t, size_t) {
			return findings{find_qr_fine(bgra), {}};
		},
		{{"full", 1}}, 0.02);
	// As often as OpenCV's, and as far-reaching. Such codes are at the
	// edge of what it reads: a run that misses one is bridged by the
	// runs beside it.
	d.spacing_s = 0.3;
	d.reach_s = 0.75;
	d.carry_s = 0.4;
	return d;
}

} // namespace

std::vector<detector> make_qr_detectors()
{
	return {zxing_detector(), opencv_detector(), fine_detector()};
}

} // namespace qmc
