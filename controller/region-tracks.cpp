#include "region-tracks.h"

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

// Between two runs that saw it, an object's box grows by this share of
// the motion possible from the nearer run, for the part of its path that
// is not a straight line at an even pace: the whole of it, as a head that
// sways to and fro between runs far apart strays that far from the line.
constexpr double INTERPOLATED_SHARE = 1.0;
// Runs further apart than this are not interpolated between.
constexpr double MAX_INTERPOLATED_S = 0.5;
// Boxes of one object differ in size by at most this factor from run to
// run.
constexpr double MAX_SIZE_RATIO = 2.0;

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

int growth(double motion_px_per_s, double dt, double share = 1)
{
	return int(std::ceil(motion_px_per_s * dt * share));
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

std::vector<cv::Rect> boxes_carried(const timed_regions &run, uint64_t t,
				    double motion_px_per_s,
				    const cv::Size &frame)
{
	std::vector<cv::Rect> out;
	for (const region &r : hidden(run.found)) {
		double dt = seconds_between(seen_at(r, run.at_ns), t);
		out.push_back(
			grown_box(r.box, growth(motion_px_per_s, dt), frame));
	}
	return out;
}

std::vector<cv::Rect> boxes_between(const timed_regions &before,
				    const timed_regions &after, uint64_t t,
				    double motion_px_per_s,
				    const cv::Size &frame)
{
	// Boxes held from earlier runs say nothing of where the object is
	// now: they only grow.
	std::vector<cv::Rect> out;
	regions a, b;
	for (auto [run, seen] : {std::pair(before, &a), std::pair(after, &b)})
		for (const region &r : hidden(run.found))
			if (r.seen_ns)
				out.push_back(grown_box(
					r.box,
					growth(motion_px_per_s,
					       seconds_between(r.seen_ns, t)),
					frame));
			else
				seen->push_back(r);
	double span = seconds_between(before.at_ns, after.at_ns);
	double from_a = seconds_between(before.at_ns, t);
	double from_b = seconds_between(after.at_ns, t);
	double share = span > 0 ? from_a / span : 0;
	// Runs far apart (a busy machine) say little of the path between
	// them, and a track may have passed from one face to another: each
	// box then grows for all the motion possible since its run.
	std::vector<int> match =
		span <= MAX_INTERPOLATED_S
			? partners(a, b, motion_px_per_s * span)
			: std::vector<int>(a.size(), -1);
	std::vector<bool> matched(b.size(), false);
	int near = growth(motion_px_per_s, std::min(from_a, from_b),
			  INTERPOLATED_SHARE);
	for (size_t i = 0; i < a.size(); i++) {
		if (match[i] < 0) {
			out.push_back(grown_box(a[i].box,
						growth(motion_px_per_s, from_a),
						frame));
			continue;
		}
		matched[size_t(match[i])] = true;
		cv::Rect mid =
			between(a[i].box, b[size_t(match[i])].box, share);
		out.push_back(grown_box(mid, near, frame));
	}
	for (size_t j = 0; j < b.size(); j++)
		if (!matched[j])
			out.push_back(grown_box(b[j].box,
						growth(motion_px_per_s, from_b),
						frame));
	return out;
}

} // namespace qmc
