#include "face-tracks.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <tuple>

namespace qmc {

namespace {

// A face may lie this share of its size away from where its track was
// last seen, plus what motion allows in the time between.
constexpr double LINK_SHARE = 0.6;
// Faces of one track keep their size within this factor between runs.
constexpr double SIZE_FACTOR = 2.0;

double gap_s(uint64_t a, uint64_t b)
{
	return double(a > b ? a - b : b - a) / 1e9;
}

cv::Point2f centre(const cv::Rect2f &r)
{
	return {r.x + r.width / 2, r.y + r.height / 2};
}

} // namespace

cv::Rect face_region(const cv::Rect2f &face, const cv::Size &frame)
{
	float w = face.width * FACE_GROWTH, h = face.height * FACE_GROWTH;
	cv::Point2f c = centre(face);
	float hair = face.height * FACE_HAIR;
	cv::Rect2f grown(c.x - w / 2, c.y - h / 2 - hair, w, h + hair);
	cv::Rect r(int(std::floor(grown.x)), int(std::floor(grown.y)),
		   int(std::ceil(grown.width)) + 1,
		   int(std::ceil(grown.height)) + 1);
	return r & cv::Rect(0, 0, frame.width, frame.height);
}

face_tracks::face_tracks(face_track_params params) : params_(params) {}

bool face_tracks::may_link(const track &t, const cv::Rect2f &face,
			   uint64_t at_ns) const
{
	double size =
		std::max({t.box.width, t.box.height, face.width, face.height});
	double ratio =
		std::max(face.height, 1.0f) / std::max(t.box.height, 1.0f);
	if (ratio > SIZE_FACTOR || ratio < 1 / SIZE_FACTOR)
		return false;
	cv::Point2f d = centre(face) - centre(t.box);
	double allowed = LINK_SHARE * size +
			 params_.motion_px_per_s * gap_s(at_ns, t.seen_ns);
	return std::hypot(d.x, d.y) <= allowed;
}

bool face_tracks::decision_due(const track &t, uint64_t at_ns) const
{
	if (!t.judged || t.keep)
		return true;
	// Doubled for each refusal after the first.
	double wait = std::ldexp(params_.recheck_s,
				 std::clamp(t.refusals - 1, 0, 16));
	return gap_s(at_ns, t.judged_ns) >=
	       std::min(wait, params_.recheck_max_s);
}

regions
face_tracks::update(uint64_t at_ns, const std::vector<cv::Rect2f> &faces,
		    const std::function<std::optional<bool>(size_t)> &judge,
		    const cv::Size &frame)
{
	// Tracks gone for good first: they must not catch a newcomer.
	tracks_.erase(std::remove_if(tracks_.begin(), tracks_.end(),
				     [&](const track &t) {
					     return at_ns > t.seen_ns &&
						    gap_s(at_ns, t.seen_ns) >
							    params_.forget_s;
				     }),
		      tracks_.end());

	// Nearest pairs first, each track and face linked once.
	std::vector<std::tuple<double, size_t, size_t>> pairs;
	for (size_t ti = 0; ti < tracks_.size(); ti++)
		for (size_t fi = 0; fi < faces.size(); fi++)
			if (may_link(tracks_[ti], faces[fi], at_ns)) {
				cv::Point2f d = centre(faces[fi]) -
						centre(tracks_[ti].box);
				pairs.emplace_back(std::hypot(d.x, d.y), ti,
						   fi);
			}
	std::sort(pairs.begin(), pairs.end());
	std::vector<int> track_of(faces.size(), -1);
	std::vector<bool> linked(tracks_.size(), false);
	for (const auto &[dist, ti, fi] : pairs) {
		if (linked[ti] || track_of[fi] >= 0)
			continue;
		linked[ti] = true;
		track_of[fi] = int(ti);
	}

	regions out;
	for (size_t fi = 0; fi < faces.size(); fi++) {
		if (track_of[fi] < 0) {
			tracks_.push_back({next_id_++, faces[fi], at_ns, at_ns,
					   false, false, 0});
			linked.push_back(true);
			track_of[fi] = int(tracks_.size() - 1);
		}
		track &t = tracks_[size_t(track_of[fi])];
		if (at_ns >= t.seen_ns) {
			t.box = faces[fi];
			t.seen_ns = at_ns;
		}
		// No verdict (the run had no time to look): hidden for this
		// frame, and the decision stays due.
		bool keep = t.keep;
		if (decision_due(t, at_ns)) {
			std::optional<bool> verdict = judge(fi);
			keep = verdict.value_or(false);
			if (verdict) {
				t.keep = *verdict;
				t.judged = true;
				t.judged_ns = at_ns;
				t.refusals = t.keep ? 0 : t.refusals + 1;
			}
		}
		out.push_back({face_region(faces[fi], frame), t.id, keep});
	}
	// Tracks missed by this run, seen not long ago: still hidden where
	// they were (a kept one needs nothing).
	for (size_t ti = 0; ti < tracks_.size(); ti++) {
		const track &t = tracks_[ti];
		if (linked[ti] || t.keep ||
		    gap_s(at_ns, t.seen_ns) > params_.hold_s)
			continue;
		out.push_back({face_region(t.box, frame), t.id, false,
			       std::min(t.seen_ns, at_ns)});
	}
	return out;
}

std::vector<cv::Rect2f> face_tracks::recent(uint64_t at_ns) const
{
	std::vector<cv::Rect2f> boxes;
	for (const track &t : tracks_)
		if (gap_s(at_ns, t.seen_ns) <= params_.hold_s)
			boxes.push_back(t.box);
	return boxes;
}

void face_tracks::judge_again()
{
	for (track &t : tracks_) {
		t.judged = false;
		t.keep = false;
		t.refusals = 0;
	}
}

} // namespace qmc
