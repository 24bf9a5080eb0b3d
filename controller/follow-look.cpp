#include "follow-look.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace qmc {

namespace {

constexpr double SCALE = 0.5;
constexpr double BLUR_SIGMA = 1.0;
// The middle of a box carries the object's own look; its edges carry what
// lies behind it, which does not move with it. The ring left out is as
// thick on every side, (1 - MIDDLE_SHARE) / 2 of the box's smaller side:
// a text line's look keeps its ends, since its middle repeats along it
// (a place a digit over looks nearly as alike) and its ends do not.
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
// How far apart two places of one look may be, in frame pixels: at least
// this, or this share of the object's size.
constexpr double AGREE_PX = 4;
constexpr double AGREE_SHARE = 0.05;
// Two runs' boxes sit on their object a little differently (a face
// detector's by 5 to 9 % of the face's size, measured), so that their
// looks, the middles of those boxes, are found up to this share of its
// size (along each axis) apart.
constexpr double JITTER_SHARE = 0.1;
// Places nearly as alike as the best (within this much likeness) may be
// where the object is just as well: a text line's digits repeat, and a
// place a digit over can look as alike. All of them are hidden.
constexpr double NEAR_BEST = 0.1;
// An object one run saw is placed with its box's size: a look found again
// has changed its scale by no more than about a tenth.
constexpr double RESIZE_SHARE = 0.05;

cv::Point2d centre(const cv::Rect &r)
{
	return {r.x + r.width / 2.0, r.y + r.height / 2.0};
}

// The middle of `box`, moved to centre `c`, in look pixels.
cv::Rect middle_at(const cv::Rect &box, const cv::Point2d &c)
{
	double ring = (1 - MIDDLE_SHARE) / 2 * std::min(box.width, box.height);
	int w = int(std::lround((box.width - 2 * ring) * SCALE));
	int h = int(std::lround((box.height - 2 * ring) * SCALE));
	return cv::Rect(int(std::lround(c.x * SCALE - w / 2.0)),
			int(std::lround(c.y * SCALE - h / 2.0)), w, h);
}

// A place found: how far from the guess, and to how many pixels, both in
// frame pixels.
struct place {
	cv::Point2d shift;
	// The shifts of every place nearly as alike, the best's included,
	// and the range they span.
	std::vector<cv::Point2d> peaks;
	cv::Point2d lo, hi;
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

// The peaks of likeness nearly as high as the best: each place whose
// likeness is the highest around it and within NEAR_BEST of the best.
std::vector<cv::Point> near_best(const cv::Mat &likeness, double best)
{
	cv::Mat around;
	cv::dilate(likeness, around, cv::Mat());
	cv::Mat peaks = (likeness >= around) & (likeness >= best - NEAR_BEST);
	std::vector<cv::Point> out;
	cv::findNonZero(peaks, out);
	return out;
}

// Where between its neighbours along one axis the likeness peaks: the top
// of a parabola through the three, as a share of a step from the middle.
double between_steps(float before, float at, float after)
{
	double bend = double(before) - 2.0 * at + after;
	if (bend >= 0)
		return 0;
	return std::clamp(0.5 * (before - after) / bend, -0.5, 0.5);
}

// The best place to a fraction of the match's step.
cv::Point2d peak_of(const cv::Mat &likeness, cv::Point at)
{
	auto l = [&](int x, int y) {
		return likeness.at<float>(y, x);
	};
	cv::Point2d p(at);
	if (at.x > 0 && at.x + 1 < likeness.cols)
		p.x += between_steps(l(at.x - 1, at.y), l(at.x, at.y),
				     l(at.x + 1, at.y));
	if (at.y > 0 && at.y + 1 < likeness.rows)
		p.y += between_steps(l(at.x, at.y - 1), l(at.x, at.y),
				     l(at.x, at.y + 1));
	return p;
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
	auto shift_of = [&](cv::Point2d p) {
		return cv::Point2d(area.x + p.x / by - home.x,
				   area.y + p.y / by - home.y) /
		       SCALE;
	};
	cv::Point2d best_at = shift_of(at);
	place found{best_at, {}, best_at, best_at, 1 / (by * SCALE)};
	std::vector<cv::Point> peaks = near_best(likeness, best);
	// One place alone: placed between the match's steps by how alike
	// the places beside it are, to about a look pixel.
	if (by < 1 && peaks.size() == 1) {
		cv::Point2d d = shift_of(peak_of(likeness, at));
		return place{d, {d}, d, d, 1 / SCALE};
	}
	for (cv::Point p : peaks) {
		cv::Point2d d = shift_of(p);
		found.peaks.push_back(d);
		found.lo = {std::min(found.lo.x, d.x),
			    std::min(found.lo.y, d.y)};
		found.hi = {std::max(found.hi.x, d.x),
			    std::max(found.hi.y, d.y)};
	}
	return found;
}

// The middle of one sighting's look, the pixels of it that are the
// object's own (all when empty), and the sighting's box.
struct middle {
	cv::Mat look, own;
	cv::Rect box;
};

// Whether two ranges of shifts meet, within `by` pixels.
bool meet(const place &a, const place &b, const cv::Point2d &by)
{
	return a.lo.x - by.x <= b.hi.x && b.lo.x - by.x <= a.hi.x &&
	       a.lo.y - by.y <= b.hi.y && b.lo.y - by.y <= a.hi.y;
}

// The places of `one` that `other` finds too, within `by` pixels.
std::vector<cv::Point2d> also_found(const place &one, const place &other,
				    const cv::Point2d &by)
{
	std::vector<cv::Point2d> out;
	for (const cv::Point2d &p : one.peaks)
		for (const cv::Point2d &q : other.peaks)
			if (std::abs(p.x - q.x) <= by.x &&
			    std::abs(p.y - q.y) <= by.y) {
				out.push_back(p);
				break;
			}
	return out;
}

// `box` at every shift from lo to hi, grown by `by`.
cv::Rect placed(const cv::Rect &box, const cv::Point2d &lo,
		const cv::Point2d &hi, double by, const cv::Size &frame)
{
	int x0 = box.x + int(std::floor(lo.x - by));
	int y0 = box.y + int(std::floor(lo.y - by));
	int x1 = box.br().x + int(std::ceil(hi.x + by));
	int y1 = box.br().y + int(std::ceil(hi.y + by));
	return cv::Rect(x0, y0, x1 - x0, y1 - y0) &
	       cv::Rect(0, 0, frame.width, frame.height);
}

// Where both sightings' looks are found near the guess, at places that
// agree: between the two, `toward_b` of the way to b's; or, where both
// find several places nearly as alike, every one of those.
std::optional<cv::Rect> found_by_both(const middle &a, const middle &b,
				      const cv::Mat &look,
				      const cv::Rect &guess, int within,
				      double toward_b, const cv::Size &frame)
{
	std::optional<place> from_a = found_again(
		a.look, a.own, look, middle_at(a.box, centre(guess)), within);
	if (!from_a)
		return std::nullopt;
	std::optional<place> from_b = found_again(
		b.look, b.own, look, middle_at(b.box, centre(guess)), within);
	if (!from_b)
		return std::nullopt;
	// Boxes jitter along each axis by a share of the object's size along
	// it: a text line's box slides along the line, hardly across it.
	double step = std::max(from_a->step, from_b->step);
	auto jitter = [&](int size) {
		return std::max({AGREE_PX, JITTER_SHARE * size, step});
	};
	// The object is where both looks are found. A place only one of them
	// finds nearly as alike is a neighbour that looks like a part of it
	// (a digit over, along a line whose ends that look does not show).
	cv::Point2d by(jitter(guess.width), jitter(guess.height));
	std::vector<cv::Point2d> at_a = also_found(*from_a, *from_b, by);
	std::vector<cv::Point2d> at_b = also_found(*from_b, *from_a, by);
	if (at_a.empty())
		return std::nullopt;
	if (at_a.size() == 1 && at_b.size() == 1) {
		cv::Point2d at = (1 - toward_b) * at_a[0] + toward_b * at_b[0];
		return placed(guess, at, at, step, frame);
	}
	cv::Point2d lo = at_a[0], hi = at_a[0];
	for (const std::vector<cv::Point2d> *all : {&at_a, &at_b})
		for (const cv::Point2d &p : *all) {
			lo = {std::min(lo.x, p.x), std::min(lo.y, p.y)};
			hi = {std::max(hi.x, p.x), std::max(hi.y, p.y)};
		}
	return placed(guess, lo, hi, step, frame);
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
				    int reach, const cv::Size &frame,
				    double toward_b)
{
	int within = int(std::ceil(reach * SCALE));
	if (look.empty() || within <= 0)
		return std::nullopt;
	std::optional<cv::Mat> look_a = middle_look(a, look);
	std::optional<cv::Mat> look_b = middle_look(b, look);
	if (!look_a || !look_b)
		return std::nullopt;
	middle ma{*look_a, {}, a.box}, mb{*look_b, {}, b.box};
	if (auto r =
		    found_by_both(ma, mb, look, guess, within, toward_b, frame))
		return r;
	// Not found whole: what lay behind it may hide it. Matching a part
	// costs several times more, so it comes second.
	std::optional<cv::Mat> own = own_pixels(ma.look, mb.look);
	if (!own)
		return std::nullopt;
	ma.own = *own;
	cv::resize(*own, mb.own, mb.look.size(), 0, 0, cv::INTER_NEAREST);
	return found_by_both(ma, mb, look, guess, within, toward_b, frame);
}

std::optional<cv::Rect> follow_one(const sighting &s, const cv::Mat &look,
				   int reach, const cv::Size &frame)
{
	int within = int(std::ceil(reach * SCALE));
	if (look.empty() || within <= 0)
		return std::nullopt;
	std::optional<cv::Mat> pattern = middle_look(s, look);
	if (!pattern)
		return std::nullopt;
	cv::Rect home = middle_at(s.box, centre(s.box));
	std::optional<place> there =
		found_again(*pattern, {}, look, home, within);
	if (!there)
		return std::nullopt;
	cv::Point moved(int(std::lround(there->shift.x * SCALE)),
			int(std::lround(there->shift.y * SCALE)));
	cv::Rect at = home + moved;
	if ((at & cv::Rect(0, 0, look.cols, look.rows)) != at)
		return std::nullopt;
	// Found back in the run's frame: where what is there was then.
	std::optional<place> back =
		found_again(look(at), {}, *s.look, at, within);
	if (!back)
		return std::nullopt;
	// Where what is there came from, moved as it moved, is one of the
	// places found: the object or, along a line of like digits, a digit
	// of it. A neighbour that stayed where it was is not.
	double size = std::max(s.box.width, s.box.height);
	double step = std::max(there->step, back->step);
	place came{-back->shift, {}, -back->shift, -back->shift, step};
	double agree = std::max({AGREE_PX, AGREE_SHARE * size, step});
	if (!meet(*there, came, {agree, agree}))
		return std::nullopt;
	return placed(s.box, there->lo, there->hi, step + RESIZE_SHARE * size,
		      frame);
}

} // namespace qmc
