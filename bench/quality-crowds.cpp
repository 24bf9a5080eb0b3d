// The harder sequences of the labelled set: a grainy picture, like a
// webcam in dim light, and crowds of faces, codes and phone-number cards.
// Objects are laid out in rows with room for their paths, so that none
// ever covers another and every labelled box is the whole object.
#include "quality-parts.h"
#include "quality-set.h"

#include "qr-scene.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace quality {

using namespace parts;

namespace {

constexpr int LEFT = 12;
// Below the stamp's band, above the bottom stamp.
constexpr int TOP = qm_scene::SCENE_TOP + 8;
constexpr int BOTTOM = qm_scene::SCENE_HEIGHT - STAMP_ROWS - 8;

// The size of a patch once turned and tilted.
cv::Size extent(const thing &t)
{
	cv::Matx33d m = placement(t.patch.size(), {0, 0}, t.angle, t.tilt);
	auto w = float(t.patch.cols), h = float(t.patch.rows);
	std::vector<cv::Point2f> c = {{0, 0}, {w, 0}, {w, h}, {0, h}};
	cv::perspectiveTransform(c, c, m);
	return cv::boundingRect(c).size();
}

// Sets every object's place: rows from the top, tallest first, each
// object with room for its path on both sides and a gap of its own, so
// that no two ever touch. Throws when they do not fit the frame.
void lay_out(std::vector<thing> &things, cv::Point2f sway)
{
	std::vector<size_t> order(things.size());
	for (size_t i = 0; i < order.size(); i++)
		order[i] = i;
	std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
		return extent(things[a]).height > extent(things[b]).height;
	});
	const int gap_x = int(2 * sway.x) + 8, gap_y = int(2 * sway.y) + 8;
	int x = LEFT, y = TOP, row_height = 0;
	std::vector<size_t> row;
	auto centre_row = [&] {
		// Spread the row's spare width evenly between its objects.
		int spare = qm_scene::SCENE_WIDTH - x;
		for (size_t k = 0; k < row.size(); k++)
			things[row[k]].base.x += float(spare) * float(k + 1) /
						 float(row.size() + 1);
		row.clear();
	};
	for (size_t i : order) {
		cv::Size e = extent(things[i]);
		if (x + e.width + gap_x > qm_scene::SCENE_WIDTH &&
		    !row.empty()) {
			centre_row();
			x = LEFT;
			y += row_height + gap_y;
			row_height = 0;
		}
		things[i].base = {float(x) + sway.x + float(e.width) / 2,
				  float(y) + sway.y + float(e.height) / 2};
		things[i].sway = sway;
		row.push_back(i);
		x += e.width + gap_x;
		row_height = std::max(row_height, e.height);
	}
	centre_row();
	if (y + row_height + gap_y > BOTTOM)
		throw std::runtime_error(
			"the objects need " +
			std::to_string(y + row_height + gap_y - TOP) +
			" rows of " + std::to_string(BOTTOM - TOP));
}

thing face_thing(int person, float height, float around)
{
	thing t;
	t.patch = face_patch(PEOPLE[person], height, &t.part, around);
	t.what = kind::face;
	t.height = int(height);
	return t;
}

thing code_thing(int number, int module, double angle, double tilt = 0)
{
	thing t;
	t.patch = qm_scene::render_qr(
		"quilmar crowd code " + std::to_string(number), module);
	t.part = cv::Rect2f(0, 0, float(t.patch.cols), float(t.patch.rows));
	t.what = kind::qr;
	t.height = t.patch.rows;
	t.angle = angle;
	t.tilt = tilt;
	return t;
}

const char *const NUMBERS[] = {"+44 20 7946 0958", "(202) 555-0143",
			       "+1 415 555 2671",  "212-555-0187",
			       "+49 30 901820",    "(617) 555-0199",
			       "800 555 0175"};

// Phone numbers from 18 pixels tall, step taller each, turned up to 6
// degrees.
std::vector<thing> cards(int count, int step)
{
	std::vector<thing> out;
	for (int i = 0; i < count; i++)
		out.push_back(text_thing(NUMBERS[i % 7], FONT_FILES[i % 6],
					 18 + step * i, kind::phone, {},
					 double((i % 3) - 1) * 6));
	return out;
}

// Strangers' faces 46 to 160 pixels tall.
std::vector<thing> crowd_of_faces(float around)
{
	const float heights[] = {46, 50, 54,  58,  64,  70,  76,  82,
				 90, 98, 106, 116, 126, 138, 150, 160};
	std::vector<thing> out;
	for (size_t i = 0; i < std::size(heights); i++)
		out.push_back(face_thing(1 + int(i % 4), heights[i], around));
	return out;
}

// Codes of 2 to 5 pixels a module, some turned.
std::vector<thing> crowd_of_codes()
{
	const int modules[] = {2, 2, 3, 3, 4, 4, 5};
	const double angles[] = {0, 10, -8, 0, 15, -12, 5};
	std::vector<thing> out;
	for (size_t i = 0; i < std::size(modules); i++)
		out.push_back(code_thing(int(i), modules[i], angles[i]));
	return out;
}

// Fine fur from opencv-doc's baboon photo, mirrored into tiles, over the
// street: detail everywhere at the scale of a QR code's modules.
cv::Mat fine_texture()
{
	cv::Mat fur = cv::imread(DOC + "examples/data/baboon.jpg")(
		cv::Rect(0, 320, 128, 128));
	cv::Mat flipped, row, tile;
	cv::flip(fur, flipped, 1);
	cv::hconcat(fur, flipped, row);
	cv::flip(row, flipped, 0);
	cv::vconcat(row, flipped, tile);
	cv::Mat texture;
	cv::repeat(tile, 3, 5, texture);
	cv::cvtColor(texture(cv::Rect(0, 0, qm_scene::SCENE_WIDTH,
				      qm_scene::SCENE_HEIGHT)),
		     texture, cv::COLOR_BGR2BGRA);
	cv::Mat out;
	cv::addWeighted(street(), 0.4, texture, 0.6, 0, out);
	return out;
}

} // namespace

sequence grainy()
{
	std::vector<thing> things;
	const int modules[] = {2, 3, 4, 5, 6, 7, 8};
	for (int i = 0; i < 7; i++)
		things.push_back(code_thing(10 + i, modules[i], i == 2 ? 20 : 0,
					    i == 4 ? 0.3 : 0));
	things.push_back(face_thing(1, 60, 1.5f));
	things.push_back(face_thing(2, 90, 1.5f));
	things.push_back(face_thing(3, 120, 1.5f));
	for (thing &t : cards(2, 3))
		things.push_back(t);
	lay_out(things, {40, 16});
	look l;
	l.background = fine_texture();
	l.grain_min = 8;
	l.grain_max = 14;
	return animate("grainy", things, l);
}

sequence crowd_faces()
{
	std::vector<thing> things = crowd_of_faces(1.3f);
	lay_out(things, {40, 16});
	return animate("crowd faces", things);
}

sequence crowd_cards()
{
	std::vector<thing> things = crowd_of_codes();
	for (thing &t : cards(7, 3))
		things.push_back(t);
	lay_out(things, {50, 20});
	return animate("crowd cards", things);
}

sequence crowd_mix()
{
	std::vector<thing> things = crowd_of_faces(1.1f);
	for (thing &t : crowd_of_codes())
		things.push_back(t);
	for (thing &t : cards(7, 2))
		things.push_back(t);
	lay_out(things, {18, 7});
	return animate("crowd mix", things);
}

} // namespace quality
