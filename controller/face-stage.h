// The face stage: faces found by the BlazeFace detector over the whole
// frame and overlapping tiles, followed from run to run (face-tracks.h),
// and each track kept visible only when its face clearly matches a face in
// the reference photos of the people to keep. Everything else is hidden.
#pragma once

#include "detector.h"
#include "face-descriptor.h"
#include "face-detector.h"
#include "face-tracks.h"
#include "reference-photos.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qmc {

// The stage's modes, best first: the whole frame and a 3x2 grid of tiles
// (faces from 30 pixels tall in 720 rows); the whole frame and a 2x1 grid
// (from 40 pixels, at less than half the cost); the whole frame alone
// (from 80 pixels). In the cheaper modes, faces followed from earlier
// runs that are too small for them also get the 3x2 tile around them, so
// that a face found once stays found.
enum face_mode : size_t {
	FACES_TILES_3X2,
	FACES_TILES_2X1,
	FACES_WHOLE,
};
std::vector<detector_mode> face_modes();

// Faces described (to tell whether they are people to keep) in one run
// at most, largest first; the rest are hidden until a later run.
constexpr size_t MAX_FACES_DESCRIBED = 8;

// The indices of the tiles that hold the given faces: for each face
// small enough for a tile to see it whole, the tile with the most room
// around it.
std::vector<size_t> tiles_holding(const std::vector<cv::Rect> &tiles,
				  const std::vector<cv::Rect2f> &faces);

class face_stage {
public:
	using note_fn = std::function<void(const std::string &)>;

	// note receives one line for each new problem with a reference
	// photo; loading, when set, the path of each photo before it is
	// loaded.
	face_stage(qm_face_detector detector, qm_face_describer describer,
		   note_fn note, note_fn loading = nullptr);

	// The reference photos the settings name. Picked up by the next
	// runs (reference-photos.h), which also load a photo again when its
	// file changed.
	void set_references(std::vector<std::string> paths);

	// One run on a BGRA frame that arrived at at_ns, in one of
	// face_modes() (the detector's thread only).
	regions find(const cv::Mat &bgra, uint64_t at_ns,
		     size_t mode = FACES_TILES_3X2);

	// Faces of people to keep, as last loaded.
	size_t reference_faces() const;

private:
	qm_face_detector detector_;
	qm_face_describer describer_;
	note_fn note_;
	face_tracks tracks_;

	mutable std::mutex mutex_;
	std::vector<std::string> wanted_;
	size_t reference_count_ = 0;

	// The detector's thread only.
	reference_photos references_;

	void refresh_references();
	std::vector<qm_face> detect(const cv::Mat &bgra, uint64_t at_ns,
				    size_t mode);
};

// The stage with the models in model_dir; none, with the reason in
// *problem, when they cannot be loaded.
std::shared_ptr<face_stage>
load_face_stage(const std::string &model_dir, face_stage::note_fn note,
		std::string *problem, face_stage::note_fn loading = nullptr);

// The stage as the pipeline's "faces" detector, wanted while
// "face_enabled" is set.
detector make_face_detector(std::shared_ptr<face_stage> stage);

} // namespace qmc
