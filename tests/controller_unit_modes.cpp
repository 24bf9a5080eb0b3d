// The detectors' cheaper modes and bounds apart from the models: which
// tiles a cheaper face run looks at, a face left undescribed, when a text
// line read before is read again, OpenCV's QR locator on a reduced
// picture, and the finder marks that stand in for codes.

#include "face-detector.h"
#include "face-stage.h"
#include "face-tracks.h"
#include "phone-stage.h"
#include "qr-detector.h"
#include "qr-scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <optional>

using namespace qmc;

namespace {

const cv::Size FRAME(1280, 720);
constexpr uint64_t MS = 1000000;

std::vector<cv::Rect> grid_3x2()
{
	return qm_face_tiles(FRAME, qm_face_options{});
}

// A grey frame with a white card of text on it, BGRA; the card's line box
// goes to *line.
cv::Mat card_frame(const std::string &text, cv::Point2f shift,
		   cv::RotatedRect *line, double grain = 0, int seed = 1)
{
	cv::Mat frame(FRAME, CV_8UC4, cv::Scalar(90, 100, 110, 255));
	cv::Mat card(40, 420, CV_8UC4, cv::Scalar::all(255));
	cv::putText(card, text, {8, 30}, cv::FONT_HERSHEY_SIMPLEX, 0.9,
		    cv::Scalar(0, 0, 0, 255), 2, cv::LINE_AA);
	cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, 300 + shift.x, 0, 1,
			200 + shift.y);
	cv::warpAffine(card, frame, move, FRAME, cv::INTER_LINEAR,
		       cv::BORDER_TRANSPARENT);
	if (grain > 0) {
		cv::Mat wide, noise(FRAME, CV_16SC4);
		cv::RNG rng{uint64_t(seed)};
		rng.fill(noise, cv::RNG::NORMAL, 0, grain);
		frame.convertTo(wide, CV_16SC4);
		wide += noise;
		wide.convertTo(frame, CV_8UC4);
	}
	*line = cv::RotatedRect({510 + shift.x, 220 + shift.y}, {420, 40}, 0);
	return frame;
}

} // namespace

TEST(FaceModes, SmallFacesFollowedGetTheTileWithMostRoomAroundThem)
{
	std::vector<cv::Rect> tiles = grid_3x2();
	ASSERT_EQ(tiles.size(), 6u);
	// Near the frame's top-left corner: only the first tile holds it.
	EXPECT_EQ(tiles_holding(tiles, {{20, 20, 40, 40}}),
		  std::vector<size_t>{0});
	// In the overlap of the top row's first two tiles, near the first's
	// right edge: the second has more room around it.
	cv::Rect2f between(float(tiles[0].br().x - 60), 100, 40, 40);
	ASSERT_GT(between.x, float(tiles[1].x + 40));
	ASSERT_TRUE((cv::Rect2f(tiles[0]) & between) == between);
	EXPECT_EQ(tiles_holding(tiles, {between}), std::vector<size_t>{1});
	// Two faces in one tile ask for it once; a face too large for a
	// tile to report asks for none.
	EXPECT_EQ(tiles_holding(tiles, {{600, 500, 40, 40}, {640, 520, 40, 40}})
			  .size(),
		  1u);
	EXPECT_TRUE(tiles_holding(tiles, {{500, 200, 250, 250}}).empty());
	EXPECT_TRUE(tiles_holding({}, {{20, 20, 40, 40}}).empty());
}

TEST(FaceModes, ModesComeBestFirstAndCheaper)
{
	std::vector<detector_mode> modes = face_modes();
	ASSERT_EQ(modes.size(), 3u);
	EXPECT_EQ(modes[FACES_TILES_3X2].relative_cost, 1);
	for (size_t i = 1; i < modes.size(); i++)
		EXPECT_LT(modes[i].relative_cost, modes[i - 1].relative_cost);
	for (const detector &d : make_qr_detectors()) {
		EXPECT_EQ(d.kind, "qr");
		ASSERT_FALSE(d.modes.empty());
		EXPECT_EQ(d.modes[0].relative_cost, 1);
		EXPECT_TRUE(d.run && d.find && d.wanted) << d.name;
		EXPECT_GT(d.expected_cpu_s, 0);
	}
}

TEST(FaceModes, AFaceLeftUndescribedIsHiddenAndJudgedNextRun)
{
	face_tracks tracks;
	int asked = 0;
	std::optional<bool> verdict;
	auto run = [&](uint64_t at) {
		return tracks.update(
			at, {{100, 100, 60, 60}},
			[&](size_t) {
				asked++;
				return verdict;
			},
			FRAME);
	};
	verdict = true;
	ASSERT_TRUE(run(1000 * MS)[0].keep);
	// No time to describe it: hidden, though it was kept...
	verdict = std::nullopt;
	EXPECT_FALSE(run(1100 * MS)[0].keep);
	// ...and asked again on the next run, not after a recheck's wait.
	verdict = true;
	EXPECT_TRUE(run(1200 * MS)[0].keep);
	EXPECT_EQ(asked, 3);
}

TEST(PhoneModes, ALineLooksTheSameThroughGrainAndJitterNotWithADigitChanged)
{
	cv::RotatedRect line, moved, other;
	cv::Mat a = card_frame("Call (555) 012-4537", {0, 0}, &line, 10, 1);
	cv::Mat b =
		card_frame("Call (555) 012-4537", {0.6f, -0.4f}, &moved, 10, 2);
	cv::Mat c = card_frame("Call (555) 012-4587", {0, 0}, &other, 10, 3);
	cv::Mat look = line_look(a, line);
	EXPECT_TRUE(same_look(look, line_look(b, line)))
		<< "new grain, a fraction of a pixel's shift";
	EXPECT_TRUE(same_look(look, line_look(b, moved)));
	EXPECT_FALSE(same_look(look, line_look(c, other))) << "3 became 8";
	cv::Mat wider =
		line_look(a, cv::RotatedRect(line.center, {470, 40}, 0));
	EXPECT_FALSE(same_look(look, wider)) << "another box: not the same";
}

TEST(PhoneModes, TheCacheGivesWhatWasReadMovedWithItsLineOrNothing)
{
	cv::RotatedRect line, moved;
	cv::Mat a = card_frame("Call (555) 012-4537", {0, 0}, &line);
	cv::Mat b = card_frame("Call (555) 012-4537", {3, 2}, &moved);
	qm_phone_number n;
	n.text = "(555) 012-4537";
	n.outline = {{370, 200}, {710, 200}, {710, 240}, {370, 240}};
	n.box = cv::boundingRect(n.outline);
	line_cache cache;
	EXPECT_FALSE(cache.reuse(line, line_look(a, line)));
	cache.replace({{line, line_look(a, line), {n}}});
	auto again = cache.reuse(moved, line_look(b, moved));
	ASSERT_TRUE(again);
	ASSERT_EQ(again->size(), 1u);
	EXPECT_EQ((*again)[0].box, n.box + cv::Point(3, 2));
	EXPECT_EQ((*again)[0].text, n.text);
	// A card swayed 250 px between runs, with new grain: the same line.
	cv::RotatedRect swayed, far;
	cv::Mat d = card_frame("Call (555) 012-4537", {200, 150}, &swayed, 10);
	auto followed = cache.reuse(swayed, line_look(d, swayed));
	ASSERT_TRUE(followed);
	ASSERT_EQ(followed->size(), 1u);
	EXPECT_EQ((*followed)[0].box, n.box + cv::Point(200, 150));
	// Further than a card sways between runs: read again.
	cv::Mat e = card_frame("Call (555) 012-4537", {400, 250}, &far);
	EXPECT_FALSE(cache.reuse(far, line_look(e, far)));
	// The same place with other text: read again.
	cv::Mat c = card_frame("Fax (555) 999-1111", {0, 0}, &line);
	EXPECT_FALSE(cache.reuse(line, line_look(c, line)));
}

TEST(QrModes, HalfScaleFindsLargerCodesInFramePixels)
{
	EXPECT_EQ(corners_in_frame({{10, 20}, {30.5f, 40}}, 0.5),
		  (std::vector<cv::Point2f>{{20, 40}, {61, 80}}));
	cv::Mat frame(FRAME, CV_8UC4, cv::Scalar(120, 130, 140, 255));
	cv::Mat code = qm_scene::render_qr("half scale", 6);
	cv::Rect truth =
		cv::boundingRect(qm_scene::place(frame, code, {900, 400}, 10));
	regions found = find_qr_opencv(frame, {}, 0.5);
	ASSERT_EQ(found.size(), 1u);
	EXPECT_GE((found[0].box & truth).area(), truth.area() * 9 / 10);
	EXPECT_LT(found[0].box.area(), 2 * truth.area());
	// What is known is masked at the reduced scale too.
	EXPECT_TRUE(find_qr_opencv(frame, found, 0.5).empty());
}

TEST(QrModes, OnlyAConvexOutlineWithinReachOfThePictureIsACode)
{
	const cv::Mat picture(300, 400, CV_8U, cv::Scalar(200));
	EXPECT_TRUE(plausible_outline({{10, 10}, {90, 12}, {88, 95}, {8, 90}},
				      picture));
	// Partly outside, as a code at the edge is.
	EXPECT_TRUE(plausible_outline(
		{{-40, 10}, {40, 12}, {38, 95}, {-42, 90}}, picture));
	EXPECT_FALSE(plausible_outline(
		{{-4e6f, -3e6f}, {5e6f, -3e6f}, {5e6f, 4e6f}, {-4e6f, 4e6f}},
		picture));
	// Crossed, or all on a line.
	EXPECT_FALSE(plausible_outline({{10, 10}, {88, 95}, {90, 12}, {8, 90}},
				       picture));
	EXPECT_FALSE(plausible_outline({{10, 10}, {20, 10}, {30, 10}, {40, 10}},
				       picture));
	// Across most of the picture: a code only with finder marks at its
	// corners.
	const std::vector<cv::Point2f> large = {{5, 5},
						{290, 5},
						{290, 290},
						{5, 290}};
	EXPECT_FALSE(plausible_outline(large, picture));
	cv::Mat marked = picture.clone();
	for (cv::Point p :
	     {cv::Point(10, 10), cv::Point(250, 10), cv::Point(10, 250)}) {
		cv::rectangle(marked, {p, cv::Size(35, 35)}, cv::Scalar(0),
			      cv::FILLED);
		cv::rectangle(marked, {p + cv::Point(5, 5), cv::Size(25, 25)},
			      cv::Scalar(255), cv::FILLED);
		cv::rectangle(marked, {p + cv::Point(10, 10), cv::Size(15, 15)},
			      cv::Scalar(0), cv::FILLED);
	}
	EXPECT_TRUE(plausible_outline(large, marked));
}

TEST(QrModes, ThreeFinderMarksAtACornerAreACodeReadOrNot)
{
	// A code seen in perspective: the far marks smaller and closer.
	std::vector<cv::Rect> marks = {{300, 200, 34, 34},
				       {390, 205, 28, 28},
				       {298, 300, 30, 30}};
	std::vector<cv::Rect> codes = codes_outlined(marks, FRAME);
	ASSERT_EQ(codes.size(), 1u);
	for (const cv::Rect &m : marks)
		EXPECT_EQ(codes[0] & m, m);
	// The fourth corner, where no mark is.
	EXPECT_TRUE(codes[0].contains({410, 320}));
	EXPECT_LT(codes[0].area(), 200 * 200);
	// Marks in a row, of unlike sizes, or too far apart outline nothing.
	EXPECT_TRUE(codes_outlined({{300, 200, 30, 30},
				    {400, 200, 30, 30},
				    {500, 200, 30, 30}},
				   FRAME)
			    .empty());
	EXPECT_TRUE(codes_outlined({{300, 200, 30, 30},
				    {400, 200, 60, 60},
				    {300, 300, 30, 30}},
				   FRAME)
			    .empty());
	EXPECT_TRUE(codes_outlined({{100, 100, 20, 20},
				    {400, 100, 20, 20},
				    {100, 400, 20, 20}},
				   FRAME)
			    .empty());
	EXPECT_TRUE(codes_outlined({marks[0], marks[1]}, FRAME).empty());
}

TEST(QrModes, FinderMarksAloneStandForCodesLargestFirstAndBounded)
{
	// Three finder patterns and nothing between them: no code to read,
	// but where one may be.
	cv::Mat frame(FRAME, CV_8UC4, cv::Scalar(200, 200, 200, 255));
	const cv::Point corners[] = {{300, 200}, {440, 200}, {300, 340}};
	for (cv::Point p : corners) {
		cv::rectangle(frame, {p, cv::Size(28, 28)},
			      cv::Scalar(0, 0, 0, 255), cv::FILLED);
		cv::rectangle(frame, {p + cv::Point(4, 4), cv::Size(20, 20)},
			      cv::Scalar::all(255), cv::FILLED);
		cv::rectangle(frame, {p + cv::Point(8, 8), cv::Size(12, 12)},
			      cv::Scalar(0, 0, 0, 255), cv::FILLED);
	}
	regions areas = find_qr_finder_areas(frame);
	ASSERT_EQ(areas.size(), 3u);
	// The per-frame pass hides the code they outline.
	findings zx = make_qr_detectors()[0].run(frame, {}, 0, 0);
	ASSERT_EQ(zx.found.size(), 1u);
	EXPECT_TRUE(zx.found[0].box.contains({300, 200}) &&
		    zx.found[0].box.contains({467, 367}));
	for (cv::Point p : corners) {
		bool held = false;
		for (const region &a : areas)
			held |= a.box.contains(p) &&
				a.box.contains(p + cv::Point(27, 27));
		EXPECT_TRUE(held) << p;
	}
	EXPECT_TRUE(find_qr_finder_areas(
			    cv::Mat(FRAME, CV_8UC4, cv::Scalar::all(128)))
			    .empty());

	std::vector<cv::Rect> marks;
	for (int i = 0; i < 40; i++)
		marks.emplace_back(30 * i, 10, 14 + i, 14 + i);
	std::vector<cv::Rect> bounded = finder_areas(marks, FRAME);
	ASSERT_EQ(bounded.size(), 24u);
	// The largest mark first, grown four widths a side, in the frame.
	EXPECT_EQ(bounded[0],
		  cv::Rect(1170 - 4 * 53, 10 - 4 * 53, 9 * 53, 9 * 53) &
			  cv::Rect(0, 0, 1280, 720));
}

TEST(PhoneModes, TheLargestLinesAreReadTheRestHiddenWhole)
{
	std::vector<qm_text_line> lines;
	for (int i = 0; i < 30; i++)
		lines.push_back({cv::RotatedRect({640, float(20 + 22 * i)},
						 {float(100 + 10 * i), 16}, 0),
				 0.9f});
	regions hidden;
	std::vector<qm_text_line> read = lines_to_read(lines, hidden, FRAME);
	ASSERT_EQ(read.size(), MAX_LINES_READ);
	EXPECT_EQ(read[0].box.size.width, 390) << "the largest first";
	ASSERT_EQ(hidden.size(), 30 - MAX_LINES_READ);
	// The smallest six, hidden with a margin.
	for (size_t i = 0; i < hidden.size(); i++) {
		cv::Rect line = lines[i].box.boundingRect();
		bool held = false;
		for (const region &h : hidden)
			held |= (h.box & line) == line && h.box != line;
		EXPECT_TRUE(held) << i;
	}
	hidden.clear();
	EXPECT_EQ(lines_to_read({lines.begin(), lines.begin() + 3}, hidden,
				FRAME)
			  .size(),
		  3u);
	EXPECT_TRUE(hidden.empty());
}

TEST(QrModes, WindowsAroundMarksAreJoinedBoundedAndEachHoldsACode)
{
	// Small areas grow to the least window; overlapping ones join.
	std::vector<cv::Rect> w = code_windows(
		{{100, 100, 40, 40}, {120, 120, 40, 40}, {600, 300, 200, 200}},
		FRAME);
	ASSERT_EQ(w.size(), 2u);
	EXPECT_EQ(w[0], cv::Rect(600, 300, 200, 200)) << "the largest first";
	EXPECT_TRUE((w[1] & cv::Rect(100, 100, 60, 60)) ==
		    cv::Rect(100, 100, 60, 60));
	EXPECT_GE(w[1].width, 96);
	std::vector<cv::Rect> many;
	for (int i = 0; i < 20; i++)
		many.emplace_back(120 * (i % 10), 200 + 200 * (i / 10), 100,
				  100);
	EXPECT_EQ(code_windows(many, FRAME).size(), 6u);

	// Two soft codes in one picture: each window holds one, and both
	// are located, in frame pixels.
	cv::Mat frame(FRAME, CV_8UC4, cv::Scalar(120, 130, 140, 255));
	std::vector<cv::Rect> truth;
	for (int i = 0; i < 2; i++) {
		cv::Mat code = qm_scene::render_qr(
			"window " + std::to_string(i), 6, 95, 165);
		cv::GaussianBlur(code, code, cv::Size(0, 0), 1.5);
		truth.push_back(cv::boundingRect(qm_scene::place(
			frame, code, {float(300 + 600 * i), 360}, 10.0 * i)));
	}
	regions found = find_qr_opencv_near_marks(frame, {});
	for (const cv::Rect &t : truth) {
		bool held = false;
		for (const region &r : found)
			held |= (r.box & t).area() >= t.area() * 9 / 10 &&
				r.box.area() < 2 * t.area();
		EXPECT_TRUE(held) << t;
	}
	// What is known is left alone.
	EXPECT_TRUE(find_qr_opencv_near_marks(frame, found).empty());
}
