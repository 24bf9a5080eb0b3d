// Faces followed from run to run of the face detector. Each run's faces
// are linked to the tracks of earlier runs by where they are; a track
// missed for a run is looked for where it was, by its look when last
// detected, and reported where it is found; otherwise it is still
// reported where it was last seen, so that a face the detector misses now
// and then stays hidden. Whether a
// track's person is to be kept visible is decided when it starts and
// checked again while it lasts: a kept track on every run (a stranger
// stepping into a kept person's place must never inherit the decision),
// any other now and then (a reference photo may have been added).
#pragma once

#include "detector.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace qmc {

// Share of a face's width and height its hidden region takes, centred on
// the face, and the share of its height added above. The detector's box
// runs from the brows to the chin; grown, the region takes in the ears,
// the jaw and most of the forehead, the features a face is known by,
// with room for the jitter of the boxes. Reaching up to the hairline
// (0.3 of the height above the box) blurred the background over every
// large face.
constexpr float FACE_GROWTH = 1.3f;
constexpr float FACE_HAIR = 0.05f;

struct face_track_params {
	// A track not seen for this long is reported no more...
	double hold_s = 0.6;
	// ...and ends for good after this long.
	double forget_s = 1.5;
	// A track that is not kept is judged again after this long, twice
	// as long after each further judgement that it is not, up to
	// recheck_max_s: a stranger who stays costs little, and someone to
	// keep whose first look was poor is not kept waiting.
	double recheck_s = 0.5;
	double recheck_max_s = 2.0;
	// How fast a face may move, for linking it across runs.
	double motion_px_per_s = 400;
};

// The region hidden for a face box: grown for hair and ears, clipped to
// the frame.
cv::Rect face_region(const cv::Rect2f &face, const cv::Size &frame);

class face_tracks {
public:
	explicit face_tracks(face_track_params params = {});

	// One run of the detector on the frame that arrived at `at_ns`:
	// `faces` are its detections; judge(i) tells whether face i is a
	// person to keep, and is called only when a decision is due; no
	// verdict hides the face and leaves the decision due. The regions
	// to report for the frame, each with its track. `grey`, the frame in
	// grey at any smaller scale, lets missed tracks be followed.
	regions update(uint64_t at_ns, const std::vector<cv::Rect2f> &faces,
		       const std::function<std::optional<bool>(size_t)> &judge,
		       const cv::Size &frame, const cv::Mat &grey = cv::Mat());

	// The boxes of the tracks still reported at at_ns (seen within
	// hold_s of it).
	std::vector<cv::Rect2f> recent(uint64_t at_ns) const;

	// The people to keep changed: every track is judged again the next
	// time it is seen, and is hidden until then.
	void judge_again();

	size_t count() const { return tracks_.size(); }

private:
	struct track {
		int64_t id;
		cv::Rect2f box;
		uint64_t seen_ns;
		uint64_t judged_ns;
		bool keep;
		bool judged;
		// Judgements in a row that it is not kept.
		int refusals;
		// When the detector last found it, and how it looked then.
		uint64_t detected_ns;
		cv::Mat look;
	};

	face_track_params params_;
	std::vector<track> tracks_;
	int64_t next_id_ = 1;

	bool may_link(const track &t, const cv::Rect2f &face,
		      uint64_t at_ns) const;
	bool decision_due(const track &t, uint64_t at_ns) const;
	std::optional<cv::Rect2f> follow(const track &t, uint64_t at_ns,
					 const cv::Size &frame,
					 const cv::Mat &grey) const;
};

} // namespace qmc
