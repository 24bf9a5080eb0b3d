#include "face-stage.h"

#include "models.h"
#include "settings.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <optional>

namespace qmc {

namespace {

// Faces this share of the frame's height tall and more are found by the
// whole frame and a 2x1 grid (40 of 720 rows; 99 % of them, measured),
// and by the whole frame alone (80 rows; all of them).
constexpr float FLOOR_2X1 = 0.056f;
constexpr float FLOOR_WHOLE = 0.11f;
// The largest face a tile reports, as a share of its larger side.
constexpr float FACE_TILE_SHARE = 0.4f;

} // namespace

face_stage::face_stage(qm_face_detector detector, qm_face_describer describer,
		       note_fn note, note_fn loading)
	: detector_(std::move(detector)),
	  describer_(std::move(describer)),
	  note_(std::move(note)),
	  references_(
		  [this, loading](const std::string &path) {
			  if (loading)
				  loading(path);
			  return qm_load_reference_photo(detector_, describer_,
							 path);
		  },
		  note_)
{
}

std::shared_ptr<face_stage> load_face_stage(const std::string &model_dir,
					    face_stage::note_fn note,
					    std::string *problem,
					    face_stage::note_fn loading)
{
	std::string why, error;
	std::string found = checked_model(model_dir, FACE_DETECTOR_MODEL, &why);
	std::string described =
		found.empty()
			? std::string()
			: checked_model(model_dir, FACE_DESCRIPTOR_MODEL, &why);
	qm_face_detector fd;
	qm_face_describer fr;
	if (described.empty() || !qm_load_face_detector(fd, found, error) ||
	    !qm_load_face_describer(fr, described, error)) {
		*problem = why.empty() ? error : why;
		return nullptr;
	}
	return std::make_shared<face_stage>(std::move(fd), std::move(fr),
					    std::move(note),
					    std::move(loading));
}

void face_stage::set_references(std::vector<std::string> paths)
{
	std::lock_guard<std::mutex> lock(mutex_);
	wanted_ = std::move(paths);
}

size_t face_stage::reference_faces() const
{
	std::lock_guard<std::mutex> lock(mutex_);
	return reference_count_;
}

void face_stage::refresh_references()
{
	std::vector<std::string> paths;
	{
		std::lock_guard<std::mutex> lock(mutex_);
		paths = wanted_;
	}
	if (!references_.refresh(paths))
		return;
	// Decisions made against the old references no longer hold.
	tracks_.judge_again();
	std::lock_guard<std::mutex> lock(mutex_);
	reference_count_ = references_.faces().size();
}

std::vector<detector_mode> face_modes()
{
	// CPU per run measured on 1280x720 street scenes with 16 faces
	// (detector_figures face-modes): seven passes of the network, three,
	// one. Faces followed that are too small for a cheaper mode add
	// their tiles: up to the cost of the first mode.
	return {{"tiles 3x2", 1}, {"tiles 2x1", 0.5}, {"whole", 0.16}};
}

std::vector<size_t> tiles_holding(const std::vector<cv::Rect> &tiles,
				  const std::vector<cv::Rect2f> &faces)
{
	std::vector<size_t> chosen;
	cv::Rect2f whole;
	for (const cv::Rect &t : tiles)
		whole |= cv::Rect2f(t);
	float big = whole.width + whole.height;
	for (const cv::Rect2f &face : faces) {
		// Room between the face and the tile's inner edges, for the
		// face's motion until the run; edges of the frame need none.
		float best = -1;
		size_t pick = 0;
		for (size_t i = 0; i < tiles.size(); i++) {
			cv::Rect2f t(tiles[i]);
			if ((t & face) != face ||
			    face.height > FACE_TILE_SHARE *
						  std::max(t.width, t.height))
				continue;
			float room =
				std::min({t.x > whole.x ? face.x - t.x : big,
					  t.y > whole.y ? face.y - t.y : big,
					  t.br().x < whole.br().x
						  ? t.br().x - face.br().x
						  : big,
					  t.br().y < whole.br().y
						  ? t.br().y - face.br().y
						  : big});
			if (room > best)
				best = room, pick = i;
		}
		if (best >= 0 && std::find(chosen.begin(), chosen.end(),
					   pick) == chosen.end())
			chosen.push_back(pick);
	}
	return chosen;
}

std::vector<qm_face> face_stage::detect(const cv::Mat &bgra, uint64_t at_ns,
					size_t mode)
{
	qm_face_options options;
	std::vector<cv::Rect> fine = qm_face_tiles(bgra.size(), options);
	if (mode == FACES_TILES_3X2)
		return qm_detect_faces_with(detector_, bgra, fine,
					    options.min_score);
	qm_face_options coarse = options;
	coarse.tile_columns = 2;
	coarse.tile_rows = 1;
	std::vector<cv::Rect> tiles;
	if (mode == FACES_TILES_2X1)
		tiles = qm_face_tiles(bgra.size(), coarse);
	// Faces followed that this mode's own passes may miss.
	float floor = (mode == FACES_TILES_2X1 ? FLOOR_2X1 : FLOOR_WHOLE) *
		      float(bgra.rows);
	std::vector<cv::Rect2f> small;
	for (const cv::Rect2f &f : tracks_.recent(at_ns))
		if (f.height < floor)
			small.push_back(f);
	for (size_t i : tiles_holding(fine, small))
		tiles.push_back(fine[i]);
	return qm_detect_faces_with(detector_, bgra, tiles, options.min_score);
}

regions face_stage::find(const cv::Mat &bgra, uint64_t at_ns, size_t mode)
{
	refresh_references();
	std::vector<qm_face> faces = detect(bgra, at_ns, mode);
	// The largest first: they are described first.
	std::stable_sort(faces.begin(), faces.end(),
			 [](const qm_face &a, const qm_face &b) {
				 return a.box.area() > b.box.area();
			 });
	std::vector<cv::Rect2f> boxes;
	for (const qm_face &f : faces)
		boxes.push_back(f.box);
	size_t described = 0;
	auto judge = [&](size_t i) -> std::optional<bool> {
		const std::vector<qm_reference_face> &refs =
			references_.faces();
		if (refs.empty())
			return false;
		if (described == MAX_FACES_DESCRIBED)
			return std::nullopt;
		described++;
		qm_descriptor d = qm_describe_face(describer_, bgra, faces[i]);
		return qm_match_face(faces[i], d, refs).keep;
	};
	// Grey at full scale, for following the faces this run missed: a
	// small face's look at half scale is too coarse to be found again.
	cv::Mat grey;
	cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
	return tracks_.update(at_ns, boxes, judge, bgra.size(), grey);
}

detector make_face_detector(std::shared_ptr<face_stage> stage)
{
	detector d;
	d.name = "faces";
	d.kind = "faces";
	d.wanted = [](const settings &s) {
		return s.face_enabled;
	};
	d.find_at = [stage](const cv::Mat &bgra, const regions &,
			    uint64_t at_ns) {
		return stage->find(bgra, at_ns);
	};
	// The tracks' boxes are the evidence, and already found.
	d.run = [stage](const cv::Mat &bgra, const regions &, uint64_t at_ns,
			size_t mode) {
		return findings{stage->find(bgra, at_ns, mode), {}};
	};
	d.modes = face_modes();
	// About 130 ms a run: four runs a second, spread evenly over the
	// frames so that the look-ahead lets it run ahead of the output.
	d.expected_cpu_s = 0.13;
	d.spacing_s = 0.25;
	// Each frame has a run at most this far on either side (a busy
	// machine allows fewer runs), and takes the faces of the nearest
	// runs on both sides and of any run this close, grown for motion.
	// So a face found is hidden back to the run before it, where it came
	// in; one the detector misses for a run or two is held by its track.
	d.reach_s = 0.8;
	d.carry_s = 0.3;
	// Heads sway and people walk: as fast as tracks are linked across
	// runs, so that a face a run missed, or a frame in fallback, is
	// hidden wherever it could have gone. Between two runs that saw it,
	// it keeps within these bounds of the line between its boxes: a head
	// swaying 110 px to and fro twice a second needs 1100 px/s2, and the
	// detector's boxes and the frames' timing jitter as much again twice.
	// A face whose look both runs' looks find in a frame between them is
	// hidden where it is found, as far apart as the two runs nearest a
	// frame they cover may be: twice the reach.
	d.motion = {400, 4000, 2 * d.reach_s, true};
	return d;
}

} // namespace qmc
