#include "face-tracks.h"

#include <opencv2/imgproc.hpp>

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
// A missed track is looked for no further than this share of its size
// from where it was (further, it is held and grows), and found where its
// look matches this well (normalised correlation).
constexpr double FOLLOW_REACH_SHARE = 1.0;
constexpr double FOLLOW_SCORE = 0.75;
// The look is the middle of the face's box, this share of its width and
// height: the box's edges hold what lies behind the face, which stays
// when the face moves.
constexpr float LOOK_SHARE = 0.6f;
// Looks smaller than this many pixels across say too little.
constexpr int MIN_LOOK_PX = 8;
// Looks are taken and searched for in the grey blurred this much (pixels
// of the frame): a dim camera's grain is new in every frame, and on a
// small face it would hide the face's look from itself.
constexpr double LOOK_BLUR_PX = 2.0;

double gap_s(uint64_t a, uint64_t b)
{
	return double(a > b ? a - b : b - a) / 1e9;
}

cv::Point2f centre(const cv::Rect2f &r)
{
	return {r.x + r.width / 2, r.y + r.height / 2};
}

cv::Rect scaled(const cv::Rect2f &r, double by)
{
	return cv::Rect(int(std::lround(r.x * by)), int(std::lround(r.y * by)),
			int(std::lround(r.width * by)),
			int(std::lround(r.height * by)));
}

cv::Rect2f middle(const cv::Rect2f &face)
{
	float w = face.width * LOOK_SHARE, h = face.height * LOOK_SHARE;
	return {face.x + (face.width - w) / 2, face.y + (face.height - h) / 2,
		w, h};
}

// The face's look in the grey frame; none when the face is partly outside
// it or too small.
cv::Mat look_of(const cv::Rect2f &face, const cv::Size &frame,
		const cv::Mat &grey)
{
	if (grey.empty() || frame.width <= 0)
		return {};
	cv::Rect r = scaled(middle(face), double(grey.cols) / frame.width);
	if (r.width < MIN_LOOK_PX || r.height < MIN_LOOK_PX ||
	    (r & cv::Rect({0, 0}, grey.size())) != r)
		return {};
	return grey(r).clone();
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
		    const cv::Size &frame, const cv::Mat &sharp)
{
	cv::Mat grey;
	if (!sharp.empty() && frame.width > 0)
		cv::GaussianBlur(sharp, grey, cv::Size(),
				 LOOK_BLUR_PX * sharp.cols / frame.width);
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
					   false, false, 0, at_ns, cv::Mat()});
			linked.push_back(true);
			track_of[fi] = int(tracks_.size() - 1);
		}
		track &t = tracks_[size_t(track_of[fi])];
		if (at_ns >= t.seen_ns) {
			t.box = faces[fi];
			t.seen_ns = at_ns;
			t.detected_ns = at_ns;
			t.look = look_of(t.box, frame, grey);
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
	// Tracks missed by this run, seen not long ago: hidden where their
	// look is found near where they were, or else still where they were
	// (a kept one needs nothing).
	for (size_t ti = 0; ti < tracks_.size(); ti++) {
		track &t = tracks_[ti];
		if (linked[ti] || t.keep)
			continue;
		if (auto found = follow(t, at_ns, frame, grey)) {
			t.box = *found;
			t.seen_ns = at_ns;
			out.push_back({face_region(t.box, frame), t.id, false});
			continue;
		}
		if (gap_s(at_ns, t.seen_ns) > params_.hold_s)
			continue;
		out.push_back({face_region(t.box, frame), t.id, false,
			       std::min(t.seen_ns, at_ns)});
	}
	return out;
}

std::optional<cv::Rect2f> face_tracks::follow(const track &t, uint64_t at_ns,
					      const cv::Size &frame,
					      const cv::Mat &grey) const
{
	// Only forward in time, and not for ever on a look alone.
	if (t.look.empty() || grey.empty() || at_ns <= t.seen_ns ||
	    gap_s(at_ns, t.detected_ns) > params_.forget_s)
		return std::nullopt;
	double reach = std::min(
		params_.motion_px_per_s * gap_s(at_ns, t.seen_ns),
		FOLLOW_REACH_SHARE * std::max(t.box.width, t.box.height));
	double by = double(grey.cols) / frame.width;
	cv::Rect2f look = middle(t.box);
	cv::Rect2f around(look.x - float(reach), look.y - float(reach),
			  look.width + float(2 * reach),
			  look.height + float(2 * reach));
	cv::Rect area = scaled(around, by) & cv::Rect({0, 0}, grey.size());
	if (area.width < t.look.cols || area.height < t.look.rows)
		return std::nullopt;
	cv::Mat score;
	cv::matchTemplate(grey(area), t.look, score, cv::TM_CCOEFF_NORMED);
	double best = 0;
	cv::Point at;
	cv::minMaxLoc(score, nullptr, &best, nullptr, &at);
	if (!(best >= FOLLOW_SCORE))
		return std::nullopt;
	return cv::Rect2f(float((area.x + at.x) / by) - (look.x - t.box.x),
			  float((area.y + at.y) / by) - (look.y - t.box.y),
			  t.box.width, t.box.height);
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
