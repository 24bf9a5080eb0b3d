#include "face-stage.h"

#include "settings.h"

namespace qmc {

face_stage::face_stage(qm_face_detector detector, qm_face_describer describer,
		       note_fn note)
	: detector_(std::move(detector)),
	  describer_(std::move(describer)),
	  note_(std::move(note)),
	  references_(
		  [this](const std::string &path) {
			  return qm_load_reference_photo(detector_, describer_,
							 path);
		  },
		  note_)
{
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

regions face_stage::find(const cv::Mat &bgra, uint64_t at_ns)
{
	refresh_references();
	std::vector<qm_face> faces = qm_detect_faces(detector_, bgra);
	std::vector<cv::Rect2f> boxes;
	for (const qm_face &f : faces)
		boxes.push_back(f.box);
	auto judge = [&](size_t i) {
		const std::vector<qm_reference_face> &refs =
			references_.faces();
		if (refs.empty())
			return false;
		qm_descriptor d = qm_describe_face(describer_, bgra, faces[i]);
		return qm_match_face(faces[i], d, refs).keep;
	};
	return tracks_.update(at_ns, boxes, judge, bgra.size());
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
	d.motion_px_per_s = 150;
	d.max_share = 0.7;
	return d;
}

} // namespace qmc
