#include "quality-set.h"
#include "quality-parts.h"

#include "qr-scene.h"

#define ZX_USE_UTF8
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <cmath>

namespace quality {

namespace parts {

const std::string DOC = "/usr/share/doc/opencv-doc/";
const std::string FONTS = "/usr/share/fonts/truetype/";

// The person to keep first, then four strangers (found once with the
// face detector and written down). Each box's top lies 0.55 to 0.71 of the
// distance from eyes to mouth above the eyes (the detector's boxes, 0.52
// to 0.68); the right face of example.jpg was written down 16 px lower
// (0.46), and is set where the others' rule puts it.
const face_photo PEOPLE[] = {
	{"opencv4/html/227943776_1.jpg", {138, 120, 161, 161}},
	{"opencv4/html/230501201_1.jpg", {174, 276, 313, 313}},
	{"opencv4/html/example.jpg", {29, 223, 322, 322}},
	{"opencv4/html/example.jpg", {805, 223, 314, 314}},
	{"opencv4/html/example.jpg", {423, 215, 313, 313}},
};

const char *const FONT_FILES[] = {
	"dejavu/DejaVuSans.ttf",
	"dejavu/DejaVuSerif.ttf",
	"liberation/LiberationSans-Regular.ttf",
	"liberation/LiberationSerif-Regular.ttf",
	"liberation/LiberationMono-Regular.ttf",
	"dejavu/DejaVuSans-Bold.ttf",
};

cv::Mat street()
{
	static const cv::Mat s = [] {
		cv::Mat m = cv::imread(DOC + "examples/data/building.jpg");
		cv::resize(m, m,
			   {qm_scene::SCENE_WIDTH, qm_scene::SCENE_HEIGHT});
		cv::cvtColor(m, m, cv::COLOR_BGR2BGRA);
		return m;
	}();
	return s.clone();
}

cv::Mat face_patch(const face_photo &p, float height, cv::Rect2f *face_at,
		   float around)
{
	cv::Mat photo = cv::imread(DOC + p.file);
	float side = p.face.height * around;
	cv::Point2f c = (p.face.tl() + p.face.br()) * 0.5f;
	cv::Rect crop = cv::Rect(int(c.x - side / 2), int(c.y - side / 2),
				 int(side), int(side)) &
			cv::Rect({0, 0}, photo.size());
	float scale = height / p.face.height;
	cv::Mat out;
	cv::resize(photo(crop), out, {}, scale, scale, cv::INTER_AREA);
	cv::cvtColor(out, out, cv::COLOR_BGR2BGRA);
	*face_at = {(p.face.x - float(crop.x)) * scale,
		    (p.face.y - float(crop.y)) * scale, p.face.width * scale,
		    p.face.height * scale};
	return out;
}

cv::Mat text_card(const std::string &text, const char *font, int height,
		  cv::Scalar ink, cv::Scalar paper)
{
	cv::Ptr<cv::freetype::FreeType2> ft = cv::freetype::createFreeType2();
	ft->loadFontData(FONTS + font, 0);
	int baseline = 0;
	cv::Size size = ft->getTextSize(text, height, -1, &baseline);
	int pad = height / 2 + 2;
	cv::Mat card(size.height + baseline + 2 * pad, size.width + 2 * pad,
		     CV_8UC3, paper);
	ft->putText(card, text, {pad, pad + size.height}, height, ink, -1,
		    cv::LINE_AA, true);
	cv::cvtColor(card, card, cv::COLOR_BGR2BGRA);
	return card;
}

cv::Mat barcode(const std::string &digits, ZXing::BarcodeFormat format)
{
	ZXing::BitMatrix bits =
		ZXing::MultiFormatWriter(format).setMargin(10).encode(digits,
								      300, 90);
	cv::Mat m(bits.height(), bits.width(), CV_8UC4);
	for (int y = 0; y < bits.height(); y++)
		for (int x = 0; x < bits.width(); x++)
			m.at<cv::Vec4b>(y, x) =
				bits.get(x, y) ? cv::Vec4b(0, 0, 0, 255)
					       : cv::Vec4b(255, 255, 255, 255);
	return m;
}

cv::Point2f along(cv::Point2f base, cv::Point2f sway, int n, double phase)
{
	double t = 2 * CV_PI * double(n) / CYCLE + phase;
	return base + cv::Point2f(sway.x * float(std::sin(t)),
				  sway.y * float(std::sin(2 * t)));
}

cv::Matx33d placement(cv::Size patch, cv::Point2f centre, double angle,
		      double tilt)
{
	cv::Point2f pc(float(patch.width) / 2, float(patch.height) / 2);
	cv::Matx33d turn = cv::Matx33d::eye();
	cv::Mat r = cv::getRotationMatrix2D(pc, angle, 1.0);
	for (int y = 0; y < 2; y++)
		for (int x = 0; x < 3; x++)
			turn(y, x) = r.at<double>(y, x);
	turn(0, 2) += centre.x - pc.x;
	turn(1, 2) += centre.y - pc.y;
	if (tilt == 0)
		return turn;
	auto w = float(patch.width), h = float(patch.height);
	float inset = float(tilt) * pc.x;
	std::vector<cv::Point2f> from = {{0, 0}, {w, 0}, {w, h}, {0, h}};
	std::vector<cv::Point2f> to = {{inset, 0},
				       {w - inset, 0},
				       {w, h},
				       {0, h}};
	return turn * cv::Matx33d(cv::getPerspectiveTransform(from, to));
}

// The noise of frame n for the objects spoilt with it (one picture a
// frame, made once: the objects are drawn frame by frame).
const cv::Mat &object_noise(int n, cv::Size size)
{
	static int made = -1;
	static cv::Mat noise;
	if (made != n || noise.size() != size) {
		noise.create(size, CV_16SC4);
		cv::RNG rng(uint64_t(n) * 7919 + 17);
		rng.fill(noise, cv::RNG::NORMAL, 0, 8);
		made = n;
	}
	return noise;
}

cv::Rect put(cv::Mat &frame, const cv::Mat &patch, cv::Point2f centre,
	     double angle, const cv::Rect2f &part, int spoil, int n,
	     double tilt)
{
	cv::Mat src = patch.clone();
	if (spoil == 1)
		cv::GaussianBlur(src, src, {0, 0}, 1.0);
	cv::Matx33d m = placement(src.size(), centre, angle, tilt);
	// Only the part of the frame the patch can reach is warped.
	auto w = float(src.cols), h = float(src.rows);
	std::vector<cv::Point2f> outline = {{0, 0}, {w, 0}, {w, h}, {0, h}};
	cv::perspectiveTransform(outline, outline, m);
	cv::Rect reach = cv::boundingRect(outline);
	cv::Rect roi = cv::Rect(reach.x - 2, reach.y - 2, reach.width + 4,
				reach.height + 4) &
		       cv::Rect({0, 0}, frame.size());
	if (roi.empty())
		return {};
	cv::Matx33d to_roi(1, 0, -roi.x, 0, 1, -roi.y, 0, 0, 1);
	cv::Matx33d mr = to_roi * m;
	cv::Mat warped, mask, all(src.size(), CV_8U, cv::Scalar(255));
	if (tilt == 0) {
		cv::Matx23d affine = mr.get_minor<2, 3>(0, 0);
		cv::warpAffine(src, warped, affine, roi.size(),
			       cv::INTER_LINEAR, cv::BORDER_CONSTANT);
		cv::warpAffine(all, mask, affine, roi.size(), cv::INTER_NEAREST,
			       cv::BORDER_CONSTANT);
	} else {
		cv::warpPerspective(src, warped, mr, roi.size(),
				    cv::INTER_LINEAR, cv::BORDER_CONSTANT);
		cv::warpPerspective(all, mask, mr, roi.size(),
				    cv::INTER_NEAREST, cv::BORDER_CONSTANT);
	}
	if (spoil == 2) {
		cv::Mat wide;
		warped.convertTo(wide, CV_16SC4);
		wide += object_noise(n, frame.size())(roi);
		wide.convertTo(warped, CV_8UC4);
	}
	warped.copyTo(frame(roi), mask);
	std::vector<cv::Point2f> corners = {part.tl(),
					    {part.br().x, part.y},
					    part.br(),
					    {part.x, part.br().y}};
	cv::perspectiveTransform(corners, corners, m);
	return cv::boundingRect(corners) & cv::Rect({0, 0}, frame.size());
}

cv::Rect bottom_stamp(const cv::Size &frame)
{
	return {0, frame.height - STAMP_ROWS, frame.width, STAMP_ROWS};
}

void finish(cv::Mat &frame, int n)
{
	std::vector<uint8_t> jpeg;
	cv::Mat bgr;
	cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
	cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 75});
	cv::Mat back = cv::imdecode(jpeg, cv::IMREAD_COLOR);
	cv::cvtColor(back, frame, cv::COLOR_BGR2BGRA);
	cv::Rect top(0, 0, qm_scene::SCENE_WIDTH, qm_scene::SCENE_TOP);
	qm_scene::scene_frame(uint64_t(n))(top).copyTo(frame(top));
	frame(cv::Rect(0, 0, frame.cols, STAMP_ROWS))
		.copyTo(frame(bottom_stamp(frame.size())));
}

void add_grain(cv::Mat &frame, const look &l, int n)
{
	if (l.grain_max <= 0)
		return;
	// Stronger and weaker by turns, as a camera's gain follows the light.
	double t = 0.5 + 0.5 * std::sin(2 * CV_PI * 2 * double(n) / CYCLE);
	double sigma = l.grain_min + (l.grain_max - l.grain_min) * t;
	cv::Mat wide, noise(frame.size(), CV_16SC4);
	cv::RNG rng(uint64_t(n) * 104729 + 3);
	rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
	frame.convertTo(wide, CV_16SC4);
	wide += noise;
	wide.convertTo(frame, CV_8UC4);
}

sequence animate(const std::string &name, const std::vector<thing> &things,
		 const look &l)
{
	sequence s;
	s.name = name;
	cv::Mat background = l.background.empty() ? street() : l.background;
	for (int n = 0; n < CYCLE; n++) {
		cv::Mat frame = background.clone();
		std::vector<labelled> truth;
		for (size_t i = 0; i < things.size(); i++) {
			const thing &t = things[i];
			cv::Rect box = put(frame, t.patch,
					   along(t.base, t.sway, n, double(i)),
					   t.angle, t.part, int(i % 3), n,
					   t.tilt);
			truth.push_back({t.what, box, t.height});
		}
		add_grain(frame, l, n);
		finish(frame, n);
		s.frames.push_back(frame);
		s.truth.push_back(truth);
	}
	return s;
}

thing text_thing(const std::string &text, const char *font, int height,
		 kind what, cv::Point2f base, double angle)
{
	thing t;
	t.patch = text_card(text, font, height);
	int pad = height / 2 + 2;
	t.part = cv::Rect2f(float(pad), float(pad),
			    float(t.patch.cols - 2 * pad),
			    float(t.patch.rows - 2 * pad));
	t.what = what;
	t.height = height;
	t.base = base;
	t.sway = {20, 10};
	t.angle = angle;
	return t;
}

} // namespace parts

using namespace parts;

bool available()
{
	return access((DOC + PEOPLE[0].file).c_str(), R_OK) == 0 &&
	       access((FONTS + FONT_FILES[4]).c_str(), R_OK) == 0;
}

sequence faces(const std::string &kept_photo)
{
	cv::imwrite(kept_photo, cv::imread(DOC + PEOPLE[0].file));
	const float heights[] = {40, 48, 64, 80, 100, 120};
	const cv::Point2f at[] = {{110, 140}, {330, 140},  {600, 170},
				  {900, 200}, {1130, 420}, {380, 470}};
	std::vector<thing> things;
	for (size_t i = 0; i < std::size(heights); i++) {
		thing t;
		t.patch = face_patch(PEOPLE[1 + i % 4], heights[i], &t.part);
		t.what = kind::face;
		t.height = int(heights[i]);
		t.base = at[i];
		t.sway = {60, 25};
		t.angle = 0;
		things.push_back(t);
	}
	thing kept;
	kept.patch = face_patch(PEOPLE[0], 90, &kept.part);
	kept.what = kind::kept;
	kept.height = 90;
	kept.base = {780, 500};
	kept.sway = {30, 15};
	kept.angle = 0;
	things.push_back(kept);
	return animate("faces", things);
}

sequence codes()
{
	const int modules[] = {2, 2, 3, 3, 4, 5};
	const double angles[] = {-15, 8, 0, 15, -6, 12};
	const cv::Point2f at[] = {{150, 150},  {450, 170}, {800, 160},
				  {1100, 200}, {300, 480}, {850, 480}};
	std::vector<thing> things;
	for (size_t i = 0; i < std::size(modules); i++) {
		thing t;
		t.patch = qm_scene::render_qr("quilmar benchmark code " +
						      std::to_string(i),
					      modules[i]);
		t.part = cv::Rect2f(0, 0, float(t.patch.cols),
				    float(t.patch.rows));
		t.what = kind::qr;
		t.height = t.patch.rows;
		t.base = at[i];
		t.sway = {40, 20};
		t.angle = angles[i];
		things.push_back(t);
	}
	return animate("QR codes", things);
}

sequence phones()
{
	const char *numbers[] = {"+44 20 7946 0958", "(202) 555-0143",
				 "555-0100",         "+1 415 555 2671",
				 "212-555-0187",     "+49 30 901820",
				 "(617) 555-0199",   "800 555 0175"};
	const int heights[] = {16, 18, 20, 24, 28, 32, 36, 22};
	const double angles[] = {0, -15, 6, 12, -8, 15, -4, 10};
	std::vector<thing> things;
	for (size_t i = 0; i < std::size(numbers); i++) {
		cv::Point2f at(320 + 640 * float(i % 2),
			       110 + 160 * float(i / 2));
		things.push_back(text_thing(
			numbers[i], FONT_FILES[i % std::size(FONT_FILES)],
			heights[i], kind::phone, at, angles[i]));
	}
	return animate("phone numbers", things);
}

sequence distractors()
{
	const char *texts[] = {"12.03.2025",
			       "2024-11-05",
			       "Total $1,299.00",
			       "EUR 249.99",
			       "Order No. 4711-2024-0815",
			       "Invoice INV-2024-00123",
			       "Open 9:30-17:00",
			       "Quilmar direct privacy filter"};
	std::vector<thing> things;
	for (size_t i = 0; i < std::size(texts); i++) {
		cv::Point2f at(300 + 640 * float(i % 2),
			       100 + 120 * float(i / 2));
		things.push_back(text_thing(
			texts[i], FONT_FILES[i % std::size(FONT_FILES)],
			20 + 4 * int(i % 4), kind::distractor, at,
			double(int(i % 5) * 3 - 6)));
	}
	const std::pair<const char *, ZXing::BarcodeFormat> bars[] = {
		{"QUILMAR-2024", ZXing::BarcodeFormat::Code128},
		{"4006381333931", ZXing::BarcodeFormat::EAN13}};
	for (size_t i = 0; i < std::size(bars); i++) {
		thing t;
		t.patch = barcode(bars[i].first, bars[i].second);
		t.part = cv::Rect2f(0, 0, float(t.patch.cols),
				    float(t.patch.rows));
		t.what = kind::distractor;
		t.height = t.patch.rows;
		t.base = {300 + 640 * float(i), 610};
		t.sway = {20, 5};
		t.angle = 4;
		things.push_back(t);
	}
	return animate("distractors", things);
}

cv::Mat with_faces(int count)
{
	cv::Mat frame = street();
	for (int i = 0; i < count; i++) {
		cv::Rect2f part;
		cv::Mat patch = face_patch(PEOPLE[i % 5], 60, &part);
		cv::Point2f at(110 + 210 * float(i % 6),
			       130 + 200 * float(i / 6));
		put(frame, patch, at, 0, part, 0, 0);
	}
	finish(frame, 0);
	return frame;
}

cv::Mat with_lines(int count)
{
	cv::Mat frame = street();
	for (int i = 0; i < count; i++) {
		cv::Mat card =
			text_card("Call (202) 555-01" + std::to_string(10 + i),
				  FONT_FILES[0], 24);
		cv::Point2f at(330 + 620 * float(i % 2),
			       90 + 120 * float(i / 2));
		put(frame, card, at, 0, {}, 0, 0);
	}
	finish(frame, 0);
	return frame;
}

long long stamp_of(const cv::Mat &bgra)
{
	uint64_t n = 0;
	if (qm_scene::read_scene_stamp(bgra, &n) ||
	    (bgra.rows > STAMP_ROWS &&
	     qm_scene::read_scene_stamp(bgra(bottom_stamp(bgra.size())), &n)))
		return (long long)n;
	return -1;
}

} // namespace quality
