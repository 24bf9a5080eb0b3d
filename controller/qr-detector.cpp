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

} // namespace

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

regions find_qr_opencv(const cv::Mat &bgra, const regions &hints)
{
	cv::Mat grey = grey_of(bgra);
	// What is already found is painted over, so that each call finds a
	// code still unfound (the detector reports one per call).
	for (const region &h : hints)
		cv::rectangle(grey, h.box, cv::Scalar(128), cv::FILLED);
	cv::QRCodeDetector opencv;
	regions found;
	for (int i = 0; i < OPENCV_MAX_CODES; i++) {
		std::vector<cv::Point2f> corners;
		if (!opencv.detect(grey, corners) || corners.size() != 4)
			break;
		cv::Rect box = code_box(corners, grey.size());
		if (box.empty())
			break;
		found.push_back({box, -1, false});
		cv::rectangle(grey, box, cv::Scalar(128), cv::FILLED);
	}
	return found;
}

std::vector<detector> make_qr_detectors()
{
	auto wanted = [](const settings &s) {
		return s.qr_enabled;
	};

	detector zxing;
	zxing.name = "qr-zxing";
	zxing.kind = "qr";
	zxing.wanted = wanted;
	zxing.find = [](const cv::Mat &bgra, const regions &) {
		return find_qr_zxing(bgra);
	};
	zxing.expected_cpu_s = 0.006;
	zxing.spacing_s = 0;
	// Covers a frame it had no time for from its neighbours, and holds
	// a code it missed for a frame or two.
	zxing.reach_s = 0.25;
	zxing.carry_s = 0.1;
	zxing.motion_px_per_s = 200;

	detector opencv;
	opencv.name = "qr-opencv";
	opencv.kind = "qr";
	opencv.wanted = wanted;
	opencv.find = find_qr_opencv;
	// About 30 ms a run: three runs a second. Each reaches the frames up
	// to the next but one, so that a busy machine that lets it run only
	// every second or so still has its frames covered.
	opencv.expected_cpu_s = 0.035;
	opencv.spacing_s = 0.3;
	opencv.reach_s = 0.75;
	opencv.carry_s = 0;
	opencv.motion_px_per_s = 200;
	// ZXing's findings for the frame are in by then.
	opencv.min_age_s = 0.1;
	// A fifth of a core at most, whatever the machine.
	opencv.max_share = 0.2;

	detector fine;
	fine.name = "qr-fine";
	fine.kind = "qr";
	fine.wanted = wanted;
	fine.find = [](const cv::Mat &bgra, const regions &) {
		return find_qr_fine(bgra);
	};
	// About 20 ms a run: as often as OpenCV's, and as far-reaching.
	// Such codes are at the edge of what it reads: a run that misses one
	// is bridged by the runs beside it.
	fine.expected_cpu_s = 0.02;
	fine.spacing_s = 0.3;
	fine.reach_s = 0.75;
	fine.carry_s = 0.4;
	fine.motion_px_per_s = 200;
	fine.max_share = 0.2;
	return {zxing, opencv, fine};
}

} // namespace qmc
