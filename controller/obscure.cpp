#include "obscure.h"

#include <algorithm>

namespace qmc {

void mosaic(cv::Mat &bgra, cv::Rect region, int cells, const cv::Mat &only)
{
	region &= cv::Rect(0, 0, bgra.cols, bgra.rows);
	if (region.empty() || cells < 1)
		return;
	// Square cells, as large as the region's longer side needs.
	int side = (std::max(region.width, region.height) + cells - 1) / cells;
	for (int y = region.y; y < region.br().y; y += side) {
		for (int x = region.x; x < region.br().x; x += side) {
			cv::Rect cell(x, y, std::min(side, region.br().x - x),
				      std::min(side, region.br().y - y));
			cv::Mat part = bgra(cell);
			if (only.empty()) {
				part.setTo(cv::mean(part));
				continue;
			}
			cv::Mat in = only(cell);
			if (cv::countNonZero(in) > 0)
				part.setTo(cv::mean(part, in), in);
		}
	}
}

namespace {

// Two boxes of one object: a finding and the same one carried from a run
// nearby overlap mostly. Boxes of different objects that only touch stay
// apart, so that their union does not cover what lies between them (a
// person to keep, or plain background).
bool same_object(const cv::Rect &a, const cv::Rect &b)
{
	int common = (a & b).area();
	return common > 0 && 2 * common >= std::min(a.area(), b.area());
}

// A group's union is one mosaic when the group's boxes fill most of it.
// Boxes of one object do; a chain of several objects, each overlapping the
// next, bends round what lies between them, which stays sharp. The
// union's mosaic covers its boxes only.
constexpr double UNION_FILL = 0.8;

bool fills_union(const std::vector<cv::Rect> &boxes, const cv::Rect &all)
{
	cv::Mat1b covered(all.size(), uchar(0));
	for (const cv::Rect &b : boxes)
		covered(b - all.tl()).setTo(1);
	return cv::countNonZero(covered) >= UNION_FILL * double(all.area());
}

} // namespace

std::vector<cv::Rect> merge_overlapping(std::vector<cv::Rect> boxes)
{
	boxes.erase(std::remove_if(boxes.begin(), boxes.end(),
				   [](const cv::Rect &r) { return r.empty(); }),
		    boxes.end());
	// Boxes join by what they cover themselves, never by a union joined
	// so far: a union spans what lies between its boxes, and would draw
	// in every box near it until it held the whole picture.
	std::vector<size_t> group(boxes.size());
	for (size_t i = 0; i < group.size(); i++)
		group[i] = i;
	auto root = [&](size_t i) {
		while (group[i] != i)
			i = group[i] = group[group[i]];
		return i;
	};
	for (size_t i = 0; i < boxes.size(); i++)
		for (size_t j = i + 1; j < boxes.size(); j++)
			if (same_object(boxes[i], boxes[j]))
				group[root(j)] = root(i);
	std::vector<std::vector<cv::Rect>> groups;
	std::vector<int> slot(boxes.size(), -1);
	for (size_t i = 0; i < boxes.size(); i++) {
		size_t r = root(i);
		if (slot[r] < 0) {
			slot[r] = int(groups.size());
			groups.emplace_back();
		}
		groups[size_t(slot[r])].push_back(boxes[i]);
	}
	std::vector<cv::Rect> out;
	for (const std::vector<cv::Rect> &g : groups) {
		cv::Rect all;
		for (const cv::Rect &b : g)
			all |= b;
		if (fills_union(g, all))
			out.push_back(all);
		else
			out.insert(out.end(), g.begin(), g.end());
	}
	return out;
}

void compose(const cv::Mat &bgra, const std::vector<cv::Rect> &boxes,
	     bool whole, cv::Mat &out)
{
	bgra.copyTo(out);
	if (whole) {
		mosaic(out, cv::Rect(0, 0, out.cols, out.rows));
		return;
	}
	// A union's cells take in what its boxes cover, not the corners
	// between them.
	cv::Mat covered;
	for (const cv::Rect &box : merge_overlapping(boxes)) {
		if (std::find(boxes.begin(), boxes.end(), box) != boxes.end()) {
			mosaic(out, box);
			continue;
		}
		if (covered.empty()) {
			covered = cv::Mat(out.size(), CV_8U, cv::Scalar(0));
			for (const cv::Rect &b : boxes)
				covered(b & cv::Rect(0, 0, out.cols, out.rows))
					.setTo(255);
		}
		mosaic(out, box, MOSAIC_CELLS, covered);
	}
}

} // namespace qmc
