#include "region-tracks.h"

#include "follow-look.h"

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

// Boxes of one object differ in size by at most this factor from run to
// run.
constexpr double MAX_SIZE_RATIO = 2.0;
// Next to a run, the interpolated box is as close as a look would place
// it.
constexpr int FOLLOW_FROM_PX = 2;
// An object one run saw is looked for only this far (frame pixels): the
// cost grows with the square, and farther the places a neighbour alike
// could be taken for it grow too. Beyond, it grows for its motion, unless
// it is found within this of where it was: a still card or sign, however
// long ago its run was (a busy machine spaces runs far apart).
constexpr int FOLLOW_ONE_PX = 96;
constexpr int FOLLOW_STILL_PX = 6;

double seconds_between(uint64_t a, uint64_t b)
{
	return double(a > b ? a - b : b - a) / 1e9;
}

cv::Point2d centre(const cv::Rect &r)
{
	return {r.x + r.width / 2.0, r.y + r.height / 2.0};
}

bool like_size(const cv::Rect &a, const cv::Rect &b)
{
	double ra = std::max(a.width, a.height);
	double rb = std::max(b.width, b.height);
	return ra > 0 && rb > 0 && ra <= MAX_SIZE_RATIO * rb &&
	       rb <= MAX_SIZE_RATIO * ra;
}

int lerp(int a, int b, double t)
{
	return int(std::lround(a + (b - a) * t));
}

cv::Rect between(const cv::Rect &a, const cv::Rect &b, double t)
{
	int x0 = lerp(a.x, b.x, t), y0 = lerp(a.y, b.y, t);
	int x1 = lerp(a.br().x, b.br().x, t), y1 = lerp(a.br().y, b.br().y, t);
	return cv::Rect(x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0));
}

int growth(double motion_px_per_s, double dt)
{
	return int(std::ceil(motion_px_per_s * dt));
}

// How far an object seen by two runs, ta and tb seconds away, may be from
// the straight line between its boxes: no further than it can move from
// the nearer run, nor than a turn or a change of pace takes it.
int stray(const motion_limits &m, double ta, double tb)
{
	double by_speed = m.px_per_s * std::min(ta, tb);
	double by_turn = m.px_per_s2 * ta * tb / 2;
	return int(std::ceil(std::min(by_speed, by_turn)));
}

regions hidden(const regions *rs)
{
	regions out;
	if (rs)
		for (const region &r : *rs)
			if (!r.keep && !r.box.empty())
				out.push_back(r);
	return out;
}

} // namespace

cv::Rect grown_box(const cv::Rect &box, int by, const cv::Size &frame)
{
	cv::Rect r(box.x - by, box.y - by, box.width + 2 * by,
		   box.height + 2 * by);
	return r & cv::Rect(0, 0, frame.width, frame.height);
}

std::vector<int> partners(const regions &a, const regions &b, double max_shift)
{
	std::vector<int> out(a.size(), -1);
	std::vector<bool> taken(b.size(), false);
	for (size_t i = 0; i < a.size(); i++) {
		double best = 0;
		for (size_t j = 0; j < b.size(); j++) {
			if (taken[j])
				continue;
			bool tracked = a[i].track >= 0 && b[j].track >= 0;
			if (tracked && a[i].track != b[j].track)
				continue;
			if (!tracked && !like_size(a[i].box, b[j].box))
				continue;
			double d =
				cv::norm(centre(a[i].box) - centre(b[j].box));
			bool near = tracked ||
				    (a[i].box & b[j].box).area() > 0 ||
				    d <= max_shift;
			if (near && (out[i] < 0 || d < best)) {
				out[i] = int(j);
				best = d;
			}
		}
		if (out[i] >= 0)
			taken[size_t(out[i])] = true;
	}
	return out;
}

// When a region's box was seen: a held one earlier than its run.
uint64_t seen_at(const region &r, uint64_t run_ns)
{
	return r.seen_ns ? r.seen_ns : run_ns;
}

namespace {

// A box one run saw, carried to t: where its look is found in the frame's
// `look`, or grown by all the motion possible since. Only a box seen in
// its run's own frame has its look there.
cv::Rect carried_box(const region &r, uint64_t seen, const cv::Mat *run_look,
		     uint64_t t, double motion_px_per_s, const cv::Size &frame,
		     const cv::Mat *look)
{
	int by = growth(motion_px_per_s, seconds_between(seen, t));
	cv::Rect box = grown_box(r.box, by, frame);
	if (by <= FOLLOW_FROM_PX || !look || !run_look || r.seen_ns)
		return box;
	std::optional<cv::Rect> found =
		follow_one({run_look, r.box}, *look,
			   by <= FOLLOW_ONE_PX ? by : FOLLOW_STILL_PX, frame);
	return found && found->area() < box.area() ? *found : box;
}

} // namespace

std::vector<cv::Rect> boxes_carried(const timed_regions &run, uint64_t t,
				    double motion_px_per_s,
				    const cv::Size &frame, const cv::Mat *look)
{
	std::vector<cv::Rect> out;
	for (const region &r : hidden(run.found))
		out.push_back(carried_box(r, seen_at(r, run.at_ns), run.look, t,
					  motion_px_per_s, frame, look));
	return out;
}

namespace {

// Whether b[j] is the nearest box of a like size to a[i] in b, and a[i]
// the nearest to b[j] in a: in a crowd a track may pass from one face to
// another, and a box paired with a neighbour's would be interpolated
// across the gap between them.
bool mutual_nearest(const regions &a, const regions &b, size_t i, size_t j)
{
	double d = cv::norm(centre(a[i].box) - centre(b[j].box));
	for (size_t k = 0; k < b.size(); k++)
		if (k != j && like_size(a[i].box, b[k].box) &&
		    cv::norm(centre(a[i].box) - centre(b[k].box)) < d)
			return false;
	for (size_t k = 0; k < a.size(); k++)
		if (k != i && like_size(a[k].box, b[j].box) &&
		    cv::norm(centre(a[k].box) - centre(b[j].box)) < d)
			return false;
	return true;
}

// An object as one run saw it: when, and that run's look.
struct seen_by_run {
	const region &r;
	uint64_t at;
	const cv::Mat *look;
};

// Where an object both runs saw is at t: between its boxes, grown by how
// far it may stray from the line, or where both runs' looks find it.
cv::Rect box_between(const seen_by_run &a, const seen_by_run &b, uint64_t t,
		     const motion_limits &motion, const cv::Size &frame,
		     const cv::Mat *look)
{
	double from_a = seconds_between(a.at, t);
	double from_b = seconds_between(b.at, t);
	cv::Rect mid = between(a.r.box, b.r.box, from_a / (from_a + from_b));
	int by = stray(motion, from_a, from_b);
	cv::Rect box = grown_box(mid, by, frame);
	// Only boxes seen in their runs' own frames have their looks there.
	if (by <= FOLLOW_FROM_PX || !look || !a.look || !b.look ||
	    a.r.seen_ns || b.r.seen_ns)
		return box;
	// Looked for beyond the bound too: a path that curves between runs
	// (a card swaying, a head nodding as often as runs come) can leave
	// it.
	int reach = std::max(by, std::min(mid.width, mid.height) / 2);
	std::optional<cv::Rect> seen =
		follow_look({a.look, a.r.box}, {b.look, b.r.box}, *look, mid,
			    reach, frame, from_a / (from_a + from_b));
	return seen && seen->area() < box.area() ? *seen : box;
}

} // namespace

std::vector<cv::Rect> boxes_between(const timed_regions &before,
				    const timed_regions &after, uint64_t t,
				    const motion_limits &motion,
				    const cv::Size &frame, const cv::Mat *look)
{
	// The frame of a run itself: that run's boxes, once.
	if (before.at_ns == after.at_ns && before.found == after.found)
		return boxes_carried(before, t, motion.px_per_s, frame, look);
	// Each box at the time it was seen: a box a run held for a face it
	// missed was seen earlier than its run.
	regions a = hidden(before.found), b = hidden(after.found);
	std::vector<uint64_t> ta, tb;
	for (const region &r : a)
		ta.push_back(seen_at(r, before.at_ns));
	for (const region &r : b)
		tb.push_back(seen_at(r, after.at_ns));
	double span = seconds_between(before.at_ns, after.at_ns);
	std::vector<int> match = partners(a, b, motion.px_per_s * span);
	std::vector<cv::Rect> out;
	std::vector<bool> matched(b.size(), false);
	for (size_t i = 0; i < a.size(); i++) {
		int j = match[i];
		// Only sightings on both sides of t, close enough in time, say
		// where the object went in between. One in this very picture
		// says where it is, however long the source stalled before the
		// other.
		bool here = j >= 0 && (ta[i] == t || tb[size_t(j)] == t);
		bool between_them =
			j >= 0 && ta[i] <= t && t <= tb[size_t(j)] &&
			ta[i] < tb[size_t(j)] &&
			(here || seconds_between(ta[i], tb[size_t(j)]) <=
					 motion.interpolate_s) &&
			mutual_nearest(a, b, i, size_t(j));
		if (!between_them) {
			out.push_back(carried_box(a[i], ta[i], before.look, t,
						  motion.px_per_s, frame,
						  look));
			continue;
		}
		size_t k = size_t(j);
		matched[k] = true;
		out.push_back(box_between({a[i], ta[i], before.look},
					  {b[k], tb[k], after.look}, t, motion,
					  frame, look));
	}
	for (size_t j = 0; j < b.size(); j++)
		if (!matched[j])
			out.push_back(carried_box(b[j], tb[j], after.look, t,
						  motion.px_per_s, frame,
						  look));
	return out;
}

} // namespace qmc
