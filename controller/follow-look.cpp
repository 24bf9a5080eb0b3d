#include "follow-look.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

constexpr double SCALE = 0.5;
constexpr double BLUR_SIGMA = 1.0;
// The middle of a box carries the object's own look; its edges carry what
// lies behind it, which does not move with it.
constexpr double MIDDLE_SHARE = 0.6;
// A look smaller or plainer than this is found almost anywhere (grey
// levels: standard deviation over the look).
constexpr int MIN_LOOK_PX = 8;
constexpr double MIN_CONTRAST = 6;
// How alike the place found must be (normalised correlation).
constexpr double MIN_LIKENESS = 0.75;
// Larger looks are matched at a coarser scale, this many pixels across
// their smaller side: finer says little more and costs the square.
constexpr double MATCH_PX = 24;
// Pixels of the two sightings' looks that differ by less than this (grey
// levels: grain and JPEG stay within it) moved with the object; at least
// this share of the look must have, or its look changed between runs.
constexpr double SAME_GREY = 24;
constexpr double MIN_OWN_SHARE = 0.5;
// How far apart the two sightings' places may be, in frame pixels: at
// least this, or this share of the object's size.
constexpr double AGREE_PX = 4;
constexpr double AGREE_SHARE = 0.05;

cv::Point2d centre(const cv::Rect &r)
{
	return {r.x + r.width / 2.0, r.y + r.height / 2.0};
}

// The middle of `box`, moved to centre `c`, in look pixels.
cv::Rect middle_at(const cv::Rect &box, const cv::Point2d &c)
{
	int w = int(std::lround(box.width * MIDDLE_SHARE * SCALE));
	int h = int(std::lround(box.height * MIDDLE_SHARE * SCALE));
	return cv::Rect(int(std::lround(c.x * SCALE - w / 2.0)),
			int(std::lround(c.y * SCALE - h / 2.0)), w, h);
}

// A place found: how far from the guess, and to how many pixels, both in
// frame pixels.
struct place {
	cv::Point2d shift;
	double step = 1;
};

// The middle of the sighting's look, if it lies in a look like `look`.
std::optional<cv::Mat> middle_look(const sighting &s, const cv::Mat &look)
{
	cv::Rect all(0, 0, look.cols, look.rows);
	cv::Rect from = middle_at(s.box, centre(s.box));
	if (!s.look || s.look->size() != look.size() || (from & all) != from ||
	    from.width < MIN_LOOK_PX || from.height < MIN_LOOK_PX)
		return std::nullopt;
	return (*s.look)(from);
}

// Which pixels of the middle of a's look b's look shows alike, where the
// object was then: those that moved with the object, not what lies behind
// it. Nothing when too few did, nor when all did: that part is the whole,
// and the whole was not found.
std::optional<cv::Mat> own_pixels(const cv::Mat &a, const cv::Mat &b)
{
	cv::Mat b_as_a, apart, same;
	cv::resize(b, b_as_a, a.size(), 0, 0, cv::INTER_AREA);
	cv::absdiff(a, b_as_a, apart);
	same = apart < SAME_GREY;
	int alike = cv::countNonZero(same);
	if (alike < MIN_OWN_SHARE * double(same.total()) ||
	    size_t(alike) == same.total())
		return std::nullopt;
	return same;
}

// Where the pattern, its own pixels those of `own` (all when empty), is
// best found in `look`, within `reach` look pixels of `home`, the
// pattern's place at the guess.
std::optional<place> found_again(cv::Mat pattern, cv::Mat own,
				 const cv::Mat &look, const cv::Rect &home,
				 int reach)
{
	cv::Rect all(0, 0, look.cols, look.rows);
	cv::Scalar mean, deviation;
	cv::meanStdDev(pattern, mean, deviation, own);
	if (deviation[0] < MIN_CONTRAST)
		return std::nullopt;
	cv::Rect area = cv::Rect(home.x - reach, home.y - reach,
				 home.width + 2 * reach,
				 home.height + 2 * reach) &
			all;
	if (area.width < pattern.cols || area.height < pattern.rows)
		return std::nullopt;
	cv::Mat in = look(area);
	double by =
		std::min(1.0, MATCH_PX / std::min(pattern.cols, pattern.rows));
	if (by < 1) {
		cv::resize(pattern, pattern, cv::Size(), by, by,
			   cv::INTER_AREA);
		cv::resize(in, in, cv::Size(), by, by, cv::INTER_AREA);
		if (!own.empty())
			cv::resize(own, own, pattern.size(), 0, 0,
				   cv::INTER_NEAREST);
		if (in.cols < pattern.cols || in.rows < pattern.rows)
			return std::nullopt;
	}
	cv::Mat likeness;
	cv::matchTemplate(in, pattern, likeness, cv::TM_CCOEFF_NORMED, own);
	// A flat place in the picture gives no likeness at all, nor one the
	// rounding of a near-flat place makes more than a perfect match.
	cv::patchNaNs(likeness, 0);
	cv::threshold(likeness, likeness, 1.001, 0, cv::THRESH_TOZERO_INV);
	double best = 0;
	cv::Point at;
	cv::minMaxLoc(likeness, nullptr, &best, nullptr, &at);
	if (!(best >= MIN_LIKENESS))
		return std::nullopt;
	cv::Point2d shift(area.x + at.x / by - home.x,
			  area.y + at.y / by - home.y);
	return place{shift / SCALE, 1 / (by * SCALE)};
}

// The middle of one sighting's look, the pixels of it that are the
// object's own (all when empty), and the sighting's box.
struct middle {
	cv::Mat look, own;
	cv::Rect box;
};

// Where both sightings' looks are found near the guess, at one place.
std::optional<cv::Rect> found_by_both(const middle &a, const middle &b,
				      const cv::Mat &look,
				      const cv::Rect &guess, int within,
				      const cv::Size &frame)
{
	std::optional<place> from_a = found_again(
		a.look, a.own, look, middle_at(a.box, centre(guess)), within);
	if (!from_a)
		return std::nullopt;
	std::optional<place> from_b = found_again(
		b.look, b.own, look, middle_at(b.box, centre(guess)), within);
	if (!from_b)
		return std::nullopt;
	cv::Point2d apart = from_a->shift - from_b->shift;
	double size = std::max(guess.width, guess.height);
	double gap = std::max(std::abs(apart.x), std::abs(apart.y));
	double step = std::max(from_a->step, from_b->step);
	if (gap > std::max({AGREE_PX, AGREE_SHARE * size, step}))
		return std::nullopt;
	cv::Point2d shift = (from_a->shift + from_b->shift) / 2;
	// Half the disagreement either way, and a step of the match's scale.
	int by = int(std::ceil(gap / 2 + step));
	cv::Rect r(guess.x + int(std::lround(shift.x)) - by,
		   guess.y + int(std::lround(shift.y)) - by,
		   guess.width + 2 * by, guess.height + 2 * by);
	return r & cv::Rect(0, 0, frame.width, frame.height);
}

} // namespace

cv::Mat look_of(const cv::Mat &bgra)
{
	cv::Mat grey, half;
	cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
	cv::resize(grey, half, cv::Size(), SCALE, SCALE, cv::INTER_AREA);
	// Shapes, not strokes and grain: a text line's strokes move a pixel
	// with its box's jitter, and a dim camera's grain is new every frame.
	cv::GaussianBlur(half, half, cv::Size(), BLUR_SIGMA);
	return half;
}

std::optional<cv::Rect> follow_look(const sighting &a, const sighting &b,
				    const cv::Mat &look, const cv::Rect &guess,
				    int reach, const cv::Size &frame)
{
	int within = int(std::ceil(reach * SCALE));
	if (look.empty() || within <= 0)
		return std::nullopt;
	std::optional<cv::Mat> look_a = middle_look(a, look);
	std::optional<cv::Mat> look_b = middle_look(b, look);
	if (!look_a || !look_b)
		return std::nullopt;
	middle ma{*look_a, {}, a.box}, mb{*look_b, {}, b.box};
	if (auto r = found_by_both(ma, mb, look, guess, within, frame))
		return r;
	// Not found whole: what lay behind it may hide it. Matching a part
	// costs several times more, so it comes second.
	std::optional<cv::Mat> own = own_pixels(ma.look, mb.look);
	if (!own)
		return std::nullopt;
	ma.own = *own;
	cv::resize(*own, mb.own, mb.look.size(), 0, 0, cv::INTER_NEAREST);
	return found_by_both(ma, mb, look, guess, within, frame);
}

} // namespace qmc
