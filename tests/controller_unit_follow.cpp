// Objects followed by their looks between and beyond runs: found where
// they are through grain, jitter and a busy picture behind them, and left
// to the bounds of their motion when their look is plain, gone, changed or
// like a neighbour's.

#include "due-frame.h"
#include "face-stage.h"
#include "follow-look.h"
#include "phone-stage.h"
#include "qr-detector.h"
#include "region-tracks.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <optional>

using namespace qmc;

namespace {

const cv::Size FRAME(1280, 720);
constexpr uint64_t S = 1000000000;

} // namespace

namespace {

// A street of fine grain, with a textured object (a face, a code) drawn at
// `at` when it is given; each call draws the grain afresh.
cv::Mat scene_with(const cv::Mat &object, std::optional<cv::Point> at,
		   unsigned seed)
{
	cv::Mat bgra(FRAME, CV_8UC4, cv::Scalar(120, 120, 120, 255));
	cv::Mat grain(FRAME, CV_8UC4);
	cv::theRNG().state = seed;
	cv::randn(grain, cv::Scalar::all(0), cv::Scalar::all(8));
	bgra += grain;
	if (at)
		object.copyTo(bgra(cv::Rect(*at, object.size())));
	return bgra;
}

// The looks of frames with the object at each place, each in new grain.
std::vector<cv::Mat> looks_with(const cv::Mat &object,
				const std::vector<cv::Point> &places)
{
	std::vector<cv::Mat> out;
	for (size_t i = 0; i < places.size(); i++)
		out.push_back(look_of(
			scene_with(object, places[i], unsigned(i + 2))));
	return out;
}

cv::Mat textured(unsigned seed, int size = 80)
{
	cv::Mat small(size / 8, size / 8, CV_8UC4), object;
	cv::theRNG().state = seed;
	cv::randu(small, cv::Scalar::all(30), cv::Scalar::all(230));
	cv::resize(small, object, {size, size}, 0, 0, cv::INTER_CUBIC);
	return object;
}

} // namespace

TEST(FollowLook, AnObjectBothRunsFindIsHiddenWhereItIsBetweenThem)
{
	// Seen at (200, 300) and, half a second later, at (260, 300); a
	// quarter of a second after the first run it has swerved 26 px below
	// the line between. The bounds of its motion allow 32 px.
	const motion_limits m{200, 1000, 0.5, true};
	cv::Mat face = textured(1);
	std::vector<cv::Mat> l =
		looks_with(face, {{200, 300}, {260, 300}, {230, 326}});
	const cv::Mat &la = l[0], &lb = l[1], &lt = l[2];
	regions a = {{cv::Rect(200, 300, 80, 80), 1, false}};
	regions b = {{cv::Rect(260, 300, 80, 80), 1, false}};
	const cv::Rect truth(230, 326, 80, 80);
	std::vector<cv::Rect> out = boxes_between(
		{0, &a, &la}, {S / 2, &b, &lb}, S / 4, m, FRAME, &lt);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0] & truth, truth);
	EXPECT_LE(out[0].width, truth.width + 12) << out[0];
	EXPECT_LE(out[0].height, truth.height + 12) << out[0];

	// Without the looks: the line's point, grown by all the bound.
	const cv::Rect bounded(230 - 32, 300 - 32, 80 + 64, 80 + 64);
	EXPECT_EQ(boxes_between({0, &a}, {S / 2, &b}, S / 4, m, FRAME),
		  std::vector<cv::Rect>{bounded});
	// Hidden behind something else in this frame: not found, so bounded.
	cv::Mat gone = look_of(scene_with(face, std::nullopt, 5));
	EXPECT_EQ(boxes_between({0, &a, &la}, {S / 2, &b, &lb}, S / 4, m, FRAME,
				&gone),
		  std::vector<cv::Rect>{bounded});
	// Another look in the second run (it turned round): the two runs'
	// looks do not agree on a place, so bounded.
	cv::Mat other =
		look_of(scene_with(textured(7), cv::Point(260, 300), 6));
	EXPECT_EQ(boxes_between({0, &a, &la}, {S / 2, &b, &other}, S / 4, m,
				FRAME, &lt),
		  std::vector<cv::Rect>{bounded});
	// Swerved beyond the bound (36 px), it is still looked for within
	// half its size, and found where it is.
	cv::Mat swerved = look_of(scene_with(face, cv::Point(230, 336), 9));
	std::vector<cv::Rect> beyond = boxes_between(
		{0, &a, &la}, {S / 2, &b, &lb}, S / 4, m, FRAME, &swerved);
	ASSERT_EQ(beyond.size(), 1u);
	EXPECT_EQ(beyond[0] & cv::Rect(230, 336, 80, 80),
		  cv::Rect(230, 336, 80, 80));
	// Further still from the line: not looked for there.
	cv::Mat far = look_of(scene_with(face, cv::Point(230, 380), 8));
	EXPECT_EQ(boxes_between({0, &a, &la}, {S / 2, &b, &lb}, S / 4, m, FRAME,
				&far),
		  std::vector<cv::Rect>{bounded});
	// A held box was seen before its run: the run's look does not show
	// it where the box says.
	b[0].seen_ns = S / 8;
	EXPECT_NE(boxes_between({0, &a, &la}, {S / 2, &b, &lb}, S / 4, m, FRAME,
				&lt)[0]
			  .width,
		  out[0].width);
}

TEST(FollowLook, EveryClassFollowsAnObjectBetweenTheFarthestRunsThatCover)
{
	// A frame is covered by runs up to a detector's reach before and
	// after it, so the two nearest may be nearly twice the reach apart
	// (a run late on a busy machine). A still object both saw is hidden
	// where it is in the middle frame, not grown for all the motion
	// possible since either run: phone lines grew 150 px a side so, and
	// reached the date below the number in the people scene.
	std::vector<detector> ds = make_qr_detectors();
	ds.push_back(make_face_detector(nullptr));
	ds.push_back(make_phone_detector(std::make_shared<phone_models>()));
	const cv::Rect at(400, 300, 80, 80);
	std::vector<cv::Mat> l =
		looks_with(textured(3), {at.tl(), at.tl(), at.tl()});
	findings seen{{{at, -1, false}}, {}};
	size_t followed = 0;
	for (const detector &d : ds) {
		if (!d.motion.follow)
			continue;
		followed++;
		const uint64_t gap = uint64_t(1.95 * d.reach_s * S);
		run_history h;
		h[10] = {S, true, seen, 0, l[0]};
		h[90] = {S + gap, true, seen, 0, l[1]};
		const coverage_rule rule{d.name,    d.kind,   true, d.reach_s,
					 d.carry_s, d.motion, 1};
		due_decision out = decide_due({50, S + gap / 2, FRAME, 0, l[2]},
					      {rule}, {&h});
		EXPECT_TRUE(out.missing.empty()) << d.name;
		if (out.boxes.size() != 1) {
			ADD_FAILURE() << d.name << ": " << out.boxes.size()
				      << " boxes";
			continue;
		}
		EXPECT_EQ(out.boxes[0] & at, at) << d.name;
		EXPECT_LE(out.boxes[0].width, at.width + 16)
			<< d.name << " " << out.boxes[0];
	}
	EXPECT_EQ(followed, 4u);
}

TEST(FollowLook, TwoRunsBoxesThatSitDifferentlyOnTheObjectAreInterpolated)
{
	// The second run's box sits 7 px right of the face (a detector's
	// boxes jitter by 5 to 9 % of a face). Between the runs the box moves
	// from where the first run's sits on the face to where the second's
	// does, with time, as a run there would have put one; not over both.
	const motion_limits m{200, 1000, 0.5, true};
	cv::Mat face = textured(3);
	regions a = {{cv::Rect(200, 300, 80, 80), 1, false}};
	regions b = {{cv::Rect(267, 300, 80, 80), 1, false}};
	for (int eighths : {1, 4, 7}) {
		double f = eighths / 8.0;
		// On its way, 10 px below the line between the runs.
		cv::Point at(200 + int(std::lround(60 * f)), 310);
		std::vector<cv::Mat> l =
			looks_with(face, {{200, 300}, {260, 300}, at});
		std::vector<cv::Rect> out =
			boxes_between({0, &a, &l[0]}, {S / 2, &b, &l[1]},
				      uint64_t(f * S / 2), m, FRAME, &l[2]);
		ASSERT_EQ(out.size(), 1u);
		EXPECT_NEAR(out[0].x + out[0].width / 2.0, at.x + 40 + 7 * f,
			    1.5)
			<< out[0] << " at " << f;
		EXPECT_NEAR(out[0].y + out[0].height / 2.0, at.y + 40, 1.5)
			<< out[0] << " at " << f;
		EXPECT_LE(out[0].width, 80 + 6) << out[0];
		EXPECT_LE(out[0].height, 80 + 6) << out[0];
	}
	// Boxes a fifth of its size apart on it: not one object's looks.
	std::vector<cv::Mat> l =
		looks_with(face, {{200, 300}, {260, 300}, {230, 326}});
	b[0].box.x = 276;
	EXPECT_GE(boxes_between({0, &a, &l[0]}, {S / 2, &b, &l[1]}, S / 4, m,
				FRAME, &l[2])[0]
			  .width,
		  80 + 64);
}

TEST(FollowLook, ALargeObjectIsPlacedToAboutALookPixel)
{
	// A face 200 px tall is matched at a coarse scale (a step of 5 px);
	// the likeness beside the best place says where between the steps
	// it is, so that its box is hidden to about a look pixel, not
	// grown by a step on every side.
	cv::Mat face = textured(13, 200);
	std::vector<cv::Mat> l =
		looks_with(face, {{300, 200}, {360, 200}, {333, 205}});
	std::optional<cv::Rect> found = follow_look(
		{&l[0], {300, 200, 200, 200}}, {&l[1], {360, 200, 200, 200}},
		l[2], {330, 200, 200, 200}, 60, FRAME);
	ASSERT_TRUE(found);
	const cv::Rect truth(333, 205, 200, 200);
	EXPECT_EQ(*found & truth, truth) << *found;
	EXPECT_LE(found->width, truth.width + 6) << *found;
	EXPECT_LE(found->height, truth.height + 6) << *found;
}

TEST(FollowLook, ALinesBoxesMayDisagreeAlongItNotAcrossIt)
{
	// A text line 200 x 40: its runs' boxes slide along it by a tenth
	// of its length, but one 7 px lower sits on another line's place.
	const motion_limits m{200, 1000, 0.5, true};
	cv::Mat small(5, 25, CV_8UC4), line;
	cv::theRNG().state = 21;
	cv::randu(small, cv::Scalar::all(30), cv::Scalar::all(230));
	cv::resize(small, line, {200, 40}, 0, 0, cv::INTER_CUBIC);
	std::vector<cv::Mat> l =
		looks_with(line, {{200, 300}, {260, 300}, {230, 310}});
	regions a = {{cv::Rect(200, 300, 200, 40), 1, false}};
	regions b = {{cv::Rect(274, 300, 200, 40), 1, false}};
	const cv::Rect truth(230, 310, 200, 40);
	auto between = [&] {
		return boxes_between({0, &a, &l[0]}, {S / 2, &b, &l[1]}, S / 4,
				     m, FRAME, &l[2]);
	};
	// Between them it slides from where the first box sits on the line
	// to where the second does: half way, 7 px along.
	std::vector<cv::Rect> out = between();
	ASSERT_EQ(out.size(), 1u);
	EXPECT_NEAR(out[0].x + out[0].width / 2.0, truth.x + 100 + 7, 2)
		<< out[0];
	EXPECT_NEAR(out[0].y + out[0].height / 2.0, truth.y + 20, 2) << out[0];
	EXPECT_LE(out[0].width, truth.width + 6) << out[0];
	EXPECT_LE(out[0].height, truth.height + 6) << out[0];
	b[0].box = cv::Rect(260, 307, 200, 40);
	out = between();
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0] & truth, truth) << out[0];
	EXPECT_GE(out[0].height, truth.height + 40) << out[0];
}

TEST(FollowLook, AnObjectIsFoundOverABusyPictureBehindIt)
{
	// A card 60 px square on a picture as busy as itself; its box has a
	// margin of 30 px, so that a third of the middle of its look is what
	// lies behind it, which stays while the card moves. Only the pixels
	// that moved with it say where it is.
	cv::Mat street = textured(11, 1280)(cv::Rect({0, 0}, FRAME));
	cv::Mat card = textured(12, 60);
	auto at = [&](cv::Point p) {
		cv::Mat frame = street.clone();
		card.copyTo(frame(cv::Rect(p, card.size())));
		return look_of(frame);
	};
	cv::Mat la = at({230, 330}), lb = at({290, 330}), lt = at({260, 350});
	std::optional<cv::Rect> found = follow_look({&la, {200, 300, 120, 120}},
						    {&lb, {260, 300, 120, 120}},
						    lt, {230, 300, 120, 120},
						    30, FRAME);
	ASSERT_TRUE(found);
	const cv::Rect truth(230, 320, 120, 120);
	EXPECT_EQ(*found & truth, truth);
	EXPECT_LE(found->width, truth.width + 12) << *found;
	// Gone from the frame, it is not found in what lay behind it.
	EXPECT_FALSE(follow_look({&la, {200, 300, 120, 120}},
				 {&lb, {260, 300, 120, 120}}, look_of(street),
				 {230, 300, 120, 120}, 30, FRAME));
}

namespace {

// A frame whose look is mid-grey but for a part of a benchmark sequence's
// look saved in tests/data, placed at `at` in the look.
cv::Mat frame_with_look_part(const std::string &file, cv::Point at = {390, 260})
{
	cv::Mat part =
		cv::imread(QM_TEST_DATA "/" + file, cv::IMREAD_GRAYSCALE);
	cv::Mat look(FRAME / 2, CV_8U, cv::Scalar(128)), grey, bgra;
	part.copyTo(look(cv::Rect(at, part.size())));
	cv::resize(look, grey, FRAME, 0, 0, cv::INTER_NEAREST);
	cv::cvtColor(grey, bgra, cv::COLOR_GRAY2BGRA);
	return bgra;
}

} // namespace

TEST(FollowLook, ANumberIsFoundThroughGrainThoughItsBoxesJitter)
{
	// A phone number on a card over fur, under grain. Two runs' boxes of
	// the number differ in size (179x40 and 186x45), and the grain is
	// new in every frame: matched stroke for stroke, the second run's
	// look was found at 0.64-0.75 likeness where the number was; matched
	// as shapes, it is found.
	cv::Mat la = look_of(frame_with_look_part("follow-grain-run-a.png"));
	cv::Mat lb = look_of(frame_with_look_part("follow-grain-run-b.png"));
	const sighting a{&la, {827, 589, 179, 40}}, b{&lb, {832, 559, 186, 45}};
	const cv::Rect guesses[] = {{829, 574, 183, 43}, {832, 562, 185, 44}};
	const int reaches[] = {94, 22};
	const char *frames[] = {"follow-grain-frame-1.png",
				"follow-grain-frame-2.png"};
	// Where the number's digits are in those frames.
	const cv::Rect digits[] = {{860, 592, 159, 20}, {854, 572, 159, 20}};
	for (int i = 0; i < 2; i++) {
		cv::Mat lt = look_of(frame_with_look_part(frames[i]));
		std::optional<cv::Rect> found =
			follow_look(a, b, lt, guesses[i], reaches[i], FRAME);
		ASSERT_TRUE(found) << frames[i];
		EXPECT_EQ(*found & digits[i], digits[i]) << *found;
		EXPECT_LE(found->width, 186 + 12) << *found;
		EXPECT_LE(found->height, 45 + 12) << *found;
	}
}

TEST(FollowLook, APlainOrTooSmallLookIsNotFollowed)
{
	cv::Mat plain(80, 80, CV_8UC4, cv::Scalar(40, 200, 90, 255));
	cv::Mat la = look_of(scene_with(plain, cv::Point(200, 300), 2));
	cv::Mat lt = look_of(scene_with(plain, cv::Point(215, 310), 4));
	cv::Mat lb = look_of(scene_with(plain, cv::Point(230, 300), 3));
	const cv::Rect guess(215, 300, 80, 80);
	EXPECT_FALSE(follow_look({&la, {200, 300, 80, 80}},
				 {&lb, {230, 300, 80, 80}}, lt, guess, 20,
				 FRAME))
		<< "a plain look matches anywhere";
	cv::Mat tiny = textured(3, 16);
	la = look_of(scene_with(tiny, cv::Point(200, 300), 2));
	lt = look_of(scene_with(tiny, cv::Point(204, 302), 4));
	lb = look_of(scene_with(tiny, cv::Point(208, 300), 3));
	EXPECT_FALSE(follow_look({&la, {200, 300, 16, 16}},
				 {&lb, {208, 300, 16, 16}}, lt,
				 {204, 300, 16, 16}, 10, FRAME));
	// Textured and large enough, it is followed.
	cv::Mat face = textured(9);
	la = look_of(scene_with(face, cv::Point(200, 300), 2));
	lt = look_of(scene_with(face, cv::Point(215, 310), 4));
	lb = look_of(scene_with(face, cv::Point(230, 300), 3));
	std::optional<cv::Rect> found = follow_look({&la, {200, 300, 80, 80}},
						    {&lb, {230, 300, 80, 80}},
						    lt, guess, 20, FRAME);
	ASSERT_TRUE(found);
	EXPECT_EQ(*found & cv::Rect(215, 310, 80, 80),
		  cv::Rect(215, 310, 80, 80));
}

TEST(FollowLook, AnObjectOneRunSawIsFoundWhereItWentNotOnANeighbourAlike)
{
	// Seen by the first run only (the second missed it), half a second
	// before the frame: the bound of 150 px/s grows it by 75 px on every
	// side; its look says where it went.
	const motion_limits m{150, 500, 0.5, true};
	cv::Mat face = textured(1);
	std::vector<cv::Mat> l =
		looks_with(face, {{200, 300}, {340, 360}, {270, 330}});
	const cv::Mat &la = l[0], &lb = l[1], &lt = l[2];
	regions a = {{cv::Rect(200, 300, 80, 80), -1, false}}, none;
	const cv::Rect truth(270, 330, 80, 80);
	for (const std::vector<cv::Rect> &out :
	     {boxes_between({0, &a, &la}, {S, &none, &lb}, S / 2, m, FRAME,
			    &lt),
	      boxes_carried({0, &a, &la}, S / 2, m.px_per_s, FRAME, &lt)}) {
		ASSERT_EQ(out.size(), 1u);
		EXPECT_EQ(out[0] & truth, truth);
		EXPECT_LE(out[0].width, truth.width + 16) << out[0];
		EXPECT_LE(out[0].height, truth.height + 16) << out[0];
	}
	// Gone from the frame: grown by all the bound.
	cv::Mat gone = look_of(scene_with(face, std::nullopt, 5));
	EXPECT_EQ(boxes_carried({0, &a, &la}, S / 2, m.px_per_s, FRAME, &gone),
		  std::vector<cv::Rect>{cv::Rect(125, 225, 230, 230)});
	// A second away it may be 150 px off: too far to look for.
	EXPECT_EQ(boxes_carried({0, &a, &la}, S, m.px_per_s, FRAME, &lt),
		  std::vector<cv::Rect>{cv::Rect(50, 150, 380, 380)});
	// Unless it is still where it was, however long ago: a card on a
	// wall, runs far apart on a busy machine. Moved by a little more
	// than a jitter, it grows for all its motion again.
	const cv::Rect home(200, 300, 80, 80);
	cv::Mat stayed = look_of(scene_with(face, home.tl(), 10));
	std::vector<cv::Rect> out =
		boxes_carried({0, &a, &la}, 3 * S, m.px_per_s, FRAME, &stayed);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0] & home, home);
	EXPECT_LE(out[0].width, home.width + 16) << out[0];
	cv::Mat nudged =
		look_of(scene_with(face, home.tl() + cv::Point(12, 0), 11));
	EXPECT_EQ(boxes_carried({0, &a, &la}, 3 * S, m.px_per_s, FRAME,
				&nudged),
		  std::vector<cv::Rect>{cv::Rect(0, 0, 730, 720)});

	// A neighbour that looks much like it (a corner of it differs)
	// stays in the frame while the object is gone. Its look is found on
	// the neighbour...
	cv::Mat alike = face.clone();
	textured(8, 32).copyTo(alike(cv::Rect(48, 48, 32, 32)));
	const cv::Point next_to(330, 300);
	cv::Mat only_neighbour = look_of(scene_with(alike, next_to, 6));
	std::optional<cv::Rect> taken = follow_one({&la, {200, 300, 80, 80}},
						   only_neighbour, 150, FRAME);
	ASSERT_TRUE(taken) << "alike enough to be taken for it";
	EXPECT_GT((*taken & cv::Rect(next_to, alike.size())).area(), 0);
	// ...but where the run saw both, what is found there looks back to
	// the neighbour, not to the object: not followed.
	cv::Mat both = scene_with(face, cv::Point(200, 300), 7);
	alike.copyTo(both(cv::Rect(next_to, alike.size())));
	cv::Mat lboth = look_of(both);
	EXPECT_FALSE(follow_one({&lboth, {200, 300, 80, 80}}, only_neighbour,
				150, FRAME));
	// Both still there, within reach: either may be it, and both are
	// hidden; looked for nearer, where the neighbour is out of reach, it
	// is found where it is.
	cv::Mat still = scene_with(face, cv::Point(210, 310), 9);
	alike.copyTo(still(cv::Rect(next_to, alike.size())));
	cv::Mat lstill = look_of(still);
	const cv::Rect there(210, 310, 80, 80),
		neighbour(next_to, alike.size());
	std::optional<cv::Rect> found =
		follow_one({&lboth, {200, 300, 80, 80}}, lstill, 150, FRAME);
	ASSERT_TRUE(found);
	EXPECT_EQ(*found & there, there);
	EXPECT_EQ(*found & neighbour, neighbour);
	found = follow_one({&lboth, {200, 300, 80, 80}}, lstill, 30, FRAME);
	ASSERT_TRUE(found);
	EXPECT_EQ(*found & there, there);
	EXPECT_LE(found->width, there.width + 16) << *found;
}

TEST(FollowLook, ALookThatRepeatsIsHiddenAtEveryPlaceARepeatOver)
{
	// A number in a row of like digits: its box takes five of nine, so
	// that its look, ends included, repeats every 40 px, and a place one
	// repeat over is as alike as where it is. It is found 20 px right of
	// the first run's box; with 60 px of reach, also 20 px left and 60 px
	// right.
	cv::Mat digit = textured(5, 40), row;
	cv::repeat(digit, 1, 9, row);
	std::vector<cv::Mat> l = looks_with(
		row, {{120, 300}, {160, 310}, {140, 305}, {128, 303}});
	const cv::Rect a(200, 300, 200, 40), b(240, 310, 200, 40);
	const cv::Rect truth(220, 305, 200, 40);
	for (const std::optional<cv::Rect> &found :
	     {follow_one({&l[0], a}, l[2], 60, FRAME),
	      follow_look({&l[0], a}, {&l[1], b}, l[2], {220, 305, 200, 40}, 60,
			  FRAME)}) {
		ASSERT_TRUE(found);
		EXPECT_EQ(*found & truth, truth);
		EXPECT_LE(found->x, 200 - 20 + 2) << *found;
		EXPECT_GE(found->br().x, 400 + 60 - 2) << *found;
	}
	// Looked for within less than a repeat, it is found where it is.
	std::optional<cv::Rect> found = follow_one({&l[0], a}, l[3], 16, FRAME);
	ASSERT_TRUE(found);
	EXPECT_EQ(*found & cv::Rect(208, 303, 200, 40),
		  cv::Rect(208, 303, 200, 40));
	EXPECT_LE(found->width, 200 + 2 * 14) << *found;
}

TEST(FollowLook, APlaceOnlyOneRunsLookFindsIsANeighbourNotTheObject)
{
	// Beside a 160 px object lies a copy of it whose left quarter is its
	// negative. The second run's box sits 12 px right of the first's on
	// the object, so that its look (the box's middle) leaves that quarter
	// out and is found on the copy as well as on the object; the first
	// run's look is not. The object is where both are found.
	cv::Mat object = textured(9, 160), copy = object.clone();
	cv::Mat left = copy(cv::Rect(0, 0, 42, 160));
	cv::bitwise_not(left, left);
	const cv::Rect truth(300, 260, 160, 160), beside(480, 260, 160, 160);
	std::vector<cv::Mat> l;
	for (unsigned seed : {11u, 12u, 13u}) {
		cv::Mat frame = scene_with(object, truth.tl(), seed);
		copy.copyTo(frame(beside));
		l.push_back(look_of(frame));
	}
	const sighting a{&l[0], {298, 260, 160, 160}},
		b{&l[1], {310, 260, 160, 160}};
	std::optional<cv::Rect> found =
		follow_look(a, b, l[2], {304, 260, 160, 160}, 200, FRAME);
	ASSERT_TRUE(found);
	EXPECT_EQ(*found & truth, truth) << *found;
	EXPECT_LE(found->br().x, 304 + 160 + 12) << *found;
	// What each look finds alone: the second's, both places.
	std::optional<cv::Rect> by_b = follow_one(b, l[2], 200, FRAME);
	ASSERT_TRUE(by_b);
	EXPECT_GE(by_b->br().x, beside.br().x) << *by_b;
}

TEST(FollowLook, ALinesEndsSayWhereItIsThoughItsDigitsLookAlike)
{
	// The benchmark's "800 555 0175", a card turned 10 degrees on a
	// pale wall, half-way between two runs a second apart. Matched by
	// the middle of its box, places along the line a digit or two over
	// were as alike as where it is, and it was hidden 263 px wide; its
	// ends, where the wall begins, say where it is.
	const cv::Point AT(390, 200);
	cv::Mat la = look_of(frame_with_look_part("follow-line-run-a.png", AT));
	cv::Mat lb = look_of(frame_with_look_part("follow-line-run-b.png", AT));
	cv::Mat lt = look_of(frame_with_look_part("follow-line-frame.png", AT));
	const sighting a{&la, {913, 499, 180, 77}}, b{&lb, {884, 504, 182, 80}};
	std::optional<cv::Rect> found =
		follow_look(a, b, lt, {901, 501, 181, 78}, 57, FRAME);
	ASSERT_TRUE(found);
	// Where its digits are in that frame.
	const cv::Rect digits(914, 535, 142, 32);
	EXPECT_EQ(*found & digits, digits) << *found;
	EXPECT_LE(found->width, 182 + 40) << *found;
}
