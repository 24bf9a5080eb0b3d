#include "people-scene.h"

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <unistd.h>

namespace qm_scene {

namespace {

const char *const PHOTOS = "/usr/share/doc/opencv-doc/opencv4/html/";
const char *const STREET =
	"/usr/share/doc/opencv-doc/examples/data/building.jpg";
const char *const FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A face photo and where its face is in it (found once with the face
// detector and written down, so that the scene's truth does not depend
// on the detector under test).
struct person {
	const char *file;
	cv::Rect2f face;
};

const person KEPT = {"227943776_1.jpg", {138, 120, 161, 161}};
const person STRANGER = {"230501201_1.jpg", {174, 276, 313, 313}};
const person MOVING = {"example.jpg", {29, 223, 322, 322}};

// Faces are this tall in the scene, and pasted with this much of the
// photo around them (a share of their height).
constexpr float FACE_HEIGHT = 90;
constexpr float CONTEXT = 1.6f;

const char *const PHONE_TEXT = "Call (202) 555-0143";
const char *const DATE_TEXT = "Open 12.03.2025";
constexpr int TEXT_HEIGHT = 30;
const cv::Rect CARD(470, 430, 440, 200);
// Numbers that are not phone numbers, on a card of their own.
const char *const OTHER_NUMBERS[] = {"Order No. 4711-2024-0815",
				     "Total 12.99 EUR", "Mon-Fri 9:30-17:00"};
constexpr int OTHER_HEIGHT = 24;
const cv::Rect OTHER_CARD(40, 480, 400, 180);

// QR codes on the right, each swaying along its own path.
struct code_path {
	const char *text;
	int module_px;
	cv::Point2f centre;
	float sway_y, angle;
};
const code_path CODES[] = {
	{"https://quilmar.example/people", 5, {1110, 300}, 30, 10},
	{"turned and small", 3, {1120, 580}, 20, -20},
};

struct pasted {
	cv::Mat pixels;
	cv::Rect2f face; // in pixels
};

pasted cut(const person &p)
{
	cv::Mat photo = cv::imread(std::string(PHOTOS) + p.file);
	if (photo.empty())
		return {};
	float side = p.face.height * CONTEXT;
	cv::Point2f c = (p.face.tl() + p.face.br()) * 0.5f;
	cv::Rect crop(int(c.x - side / 2), int(c.y - side / 2), int(side),
		      int(side));
	crop &= cv::Rect({0, 0}, photo.size());
	float scale = FACE_HEIGHT / p.face.height;
	pasted out;
	cv::resize(photo(crop), out.pixels, {}, scale, scale, cv::INTER_AREA);
	cv::cvtColor(out.pixels, out.pixels, cv::COLOR_BGR2BGRA);
	out.face = {(p.face.x - float(crop.x)) * scale,
		    (p.face.y - float(crop.y)) * scale, p.face.width * scale,
		    p.face.height * scale};
	return out;
}

cv::Rect paste(cv::Mat &frame, const pasted &p, cv::Point at)
{
	cv::Rect target =
		cv::Rect(at, p.pixels.size()) &
		cv::Rect(0, SCENE_TOP, frame.cols, frame.rows - SCENE_TOP);
	p.pixels(cv::Rect(target.tl() - at, target.size()))
		.copyTo(frame(target));
	cv::Rect face(int(std::floor(p.face.x)) + at.x,
		      int(std::floor(p.face.y)) + at.y,
		      int(std::ceil(p.face.width)),
		      int(std::ceil(p.face.height)));
	return face & target;
}

cv::Rect write_line(cv::Mat &card, cv::freetype::FreeType2 &ft,
		    const std::string &text, cv::Point origin,
		    int height = TEXT_HEIGHT)
{
	int baseline = 0;
	cv::Size size = ft.getTextSize(text, height, -1, &baseline);
	ft.putText(card, text, origin, height, cv::Scalar(20, 20, 20), -1,
		   cv::LINE_AA, true);
	return {origin.x, origin.y - size.height, size.width,
		size.height + baseline};
}

struct parts {
	cv::Mat street;
	pasted kept, stranger, moving;
	cv::Mat card, other_card;
	cv::Rect phone, date;              // in the card
	std::vector<cv::Rect> other_lines; // in the other card
	std::vector<cv::Mat> codes;
	bool ok = false;
};

const parts &scene_parts()
{
	static const parts p = [] {
		parts out;
		out.street = cv::imread(STREET);
		out.kept = cut(KEPT);
		out.stranger = cut(STRANGER);
		out.moving = cut(MOVING);
		if (out.street.empty() || out.kept.pixels.empty() ||
		    out.stranger.pixels.empty() || out.moving.pixels.empty() ||
		    access(FONT, R_OK) != 0)
			return out;
		// FreeType draws into BGR pictures only.
		out.card = cv::Mat(CARD.size(), CV_8UC3,
				   cv::Scalar(245, 245, 245));
		cv::Ptr<cv::freetype::FreeType2> ft =
			cv::freetype::createFreeType2();
		ft->loadFontData(FONT, 0);
		out.phone = write_line(out.card, *ft, PHONE_TEXT, {24, 56});
		out.date = write_line(out.card, *ft, DATE_TEXT, {24, 180});
		cv::cvtColor(out.card, out.card, cv::COLOR_BGR2BGRA);
		out.other_card = cv::Mat(OTHER_CARD.size(), CV_8UC3,
					 cv::Scalar(230, 240, 250));
		int y = 50;
		for (const char *line : OTHER_NUMBERS) {
			out.other_lines.push_back(write_line(out.other_card,
							     *ft, line, {20, y},
							     OTHER_HEIGHT));
			y += 52;
		}
		cv::cvtColor(out.other_card, out.other_card,
			     cv::COLOR_BGR2BGRA);
		cv::resize(out.street, out.street, {SCENE_WIDTH, SCENE_HEIGHT},
			   0, 0, cv::INTER_LINEAR);
		cv::cvtColor(out.street, out.street, cv::COLOR_BGR2BGRA);
		for (const code_path &c : CODES)
			out.codes.push_back(render_qr(c.text, c.module_px));
		out.ok = true;
		return out;
	}();
	return p;
}

bool write_photo(const person &p, const std::string &path)
{
	cv::Mat photo = cv::imread(std::string(PHOTOS) + p.file);
	return !photo.empty() && cv::imwrite(path, photo);
}

} // namespace

bool people_scene_available()
{
	return scene_parts().ok;
}

cv::Mat people_frame(uint64_t n, people_truth *truth)
{
	const parts &p = scene_parts();
	if (!p.ok)
		return {};
	people_truth t;
	// The stamp of the QR scene over a street.
	cv::Mat frame = p.street.clone();
	scene_frame(n)(cv::Rect(0, 0, SCENE_WIDTH, SCENE_TOP))
		.copyTo(frame(cv::Rect(0, 0, SCENE_WIDTH, SCENE_TOP)));
	double phase = 2 * CV_PI * double(n % SCENE_CYCLE) / SCENE_CYCLE;
	for (size_t i = 0; i < std::size(CODES); i++) {
		const code_path &c = CODES[i];
		placed_code code;
		code.text = c.text;
		code.corners = place(
			frame, p.codes[i],
			c.centre +
				cv::Point2f(0,
					    c.sway_y *
						    float(std::sin(
							    phase +
							    1.0 * double(i)))),
			c.angle);
		code.box = cv::boundingRect(code.corners) &
			   cv::Rect(0, 0, frame.cols, frame.rows);
		t.codes.push_back(code);
	}
	// The kept person and the stranger sway a little, low enough that
	// the stranger's hidden region, grown for motion, stays clear of the
	// stamp; the third face crosses the top of the picture and back,
	// between the codes.
	t.kept_face = paste(frame, p.kept,
			    {40 + int(std::lround(20 * std::sin(phase))), 110});
	t.stranger_face =
		paste(frame, p.stranger,
		      {330 + int(std::lround(15 * std::sin(phase + 2))), 110});
	t.moving_face = paste(frame, p.moving,
			      {670 + int(std::lround(110 * std::sin(phase))),
			       SCENE_TOP});
	p.card.copyTo(frame(CARD));
	t.phone = p.phone + CARD.tl();
	t.date = p.date + CARD.tl();
	p.other_card.copyTo(frame(OTHER_CARD));
	for (const cv::Rect &r : p.other_lines)
		t.other_numbers.push_back(r + OTHER_CARD.tl());
	if (truth)
		*truth = std::move(t);
	return frame;
}

bool write_kept_person_photo(const std::string &path)
{
	return write_photo(KEPT, path);
}

bool write_stranger_photo(const std::string &path)
{
	return write_photo(STRANGER, path);
}

} // namespace qm_scene
