#include "people-scene.h"

#include <opencv2/freetype.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <unistd.h>

namespace qm_scene {

namespace {

const char *const PHOTOS = "/usr/share/doc/opencv-doc/opencv4/html/";
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

cv::Rect write(cv::Mat &card, cv::freetype::FreeType2 &ft,
	       const std::string &text, cv::Point origin)
{
	int baseline = 0;
	cv::Size size = ft.getTextSize(text, TEXT_HEIGHT, -1, &baseline);
	ft.putText(card, text, origin, TEXT_HEIGHT, cv::Scalar(20, 20, 20), -1,
		   cv::LINE_AA, true);
	return {origin.x, origin.y - size.height, size.width,
		size.height + baseline};
}

struct parts {
	pasted kept, stranger, moving;
	cv::Mat card;
	cv::Rect phone, date; // in the card
	bool ok = false;
};

const parts &scene_parts()
{
	static const parts p = [] {
		parts out;
		out.kept = cut(KEPT);
		out.stranger = cut(STRANGER);
		out.moving = cut(MOVING);
		if (out.kept.pixels.empty() || out.stranger.pixels.empty() ||
		    out.moving.pixels.empty() || access(FONT, R_OK) != 0)
			return out;
		// FreeType draws into BGR pictures only.
		out.card = cv::Mat(CARD.size(), CV_8UC3,
				   cv::Scalar(245, 245, 245));
		cv::Ptr<cv::freetype::FreeType2> ft =
			cv::freetype::createFreeType2();
		ft->loadFontData(FONT, 0);
		out.phone = write(out.card, *ft, PHONE_TEXT, {24, 56});
		out.date = write(out.card, *ft, DATE_TEXT, {24, 180});
		cv::cvtColor(out.card, out.card, cv::COLOR_BGR2BGRA);
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
	cv::Mat frame = scene_frame(n, &t.codes);
	double phase = 2 * CV_PI * double(n % SCENE_CYCLE) / SCENE_CYCLE;
	// The kept person and the stranger sway a little; the third face
	// crosses the top of the picture and back, between the codes.
	t.kept_face = paste(frame, p.kept,
			    {40 + int(std::lround(20 * std::sin(phase))), 60});
	t.stranger_face =
		paste(frame, p.stranger,
		      {330 + int(std::lround(15 * std::sin(phase + 2))), 60});
	t.moving_face = paste(frame, p.moving,
			      {670 + int(std::lround(110 * std::sin(phase))),
			       SCENE_TOP});
	p.card.copyTo(frame(CARD));
	t.phone = p.phone + CARD.tl();
	t.date = p.date + CARD.tl();
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
