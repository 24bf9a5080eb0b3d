// The faces and phone-number stages in worker processes, with the real
// controller program as the worker and the real models: they find what they
// find in the process, the faces worker gets the reference photos the
// controller hands it, and a photo the worker dies loading is left out
// until its file changes.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "detector_samples.h"
#include "face-stage.h"
#include "phone-stage.h"
#include "pipeline.h"
#include "worker.h"

namespace fs = std::filesystem;
using namespace qmc;

namespace {

class DetectorWorkers : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!qm_detector_samples_ready())
			GTEST_SKIP() << "opencv-doc is not installed";
		dir = fs::temp_directory_path() /
		      ("qm-workers-" + std::to_string(::getpid()));
		fs::create_directories(dir);
		options.program = QM_CONTROLLER_PROGRAM;
		options.note = [this](const std::string &s) {
			notes.push_back(s);
		};
		// Sanitizer builds run the networks many times slower, and
		// load the models slower too: under ThreadSanitizer on a
		// machine losing half its CPU to other guests a faces worker
		// took more than the 20 s a start is given.
		options.min_deadline_s = 120;
		options.startup_s = 120;
	}
	void TearDown() override
	{
		unsetenv("QM_WORKER_FAULT");
		fs::remove_all(dir);
	}

	std::shared_ptr<face_stage> faces()
	{
		std::string problem;
		auto stage = load_face_stage(QM_MODEL_DIR, nullptr, &problem);
		EXPECT_TRUE(stage) << problem;
		return stage;
	}

	// Faces wrapped in a worker that is handed `references`.
	detector faces_in_worker()
	{
		worker_options o = options;
		o.args = {QM_MODEL_DIR};
		o.config = [this] {
			return references;
		};
		return in_worker(make_face_detector(faces()), o, &counts);
	}

	// People 0 and 1 side by side, faces 160 px tall.
	cv::Mat two_people()
	{
		qm_face_detector det;
		std::string error;
		EXPECT_TRUE(qm_load_face_detector(
			det, qm_model_path("face-detector.onnx"), error));
		cv::Mat frame = qm_background();
		for (size_t p : {0, 1}) {
			cv::Mat photo = qm_load_person(qm_person_photos()[p]);
			cv::Rect2f box = qm_detect_faces(det, photo)[0].box;
			qm_paste_face(frame, photo, box, 160,
				      {200 + 500 * int(p), 200});
		}
		cv::Mat bgra;
		cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
		return bgra;
	}

	std::string photo_of(size_t person, const char *name)
	{
		std::string path = (dir / name).string();
		EXPECT_TRUE(cv::imwrite(
			path, qm_load_person(qm_person_photos()[person])));
		return path;
	}

	fs::path dir;
	worker_options options;
	std::vector<std::string> notes;
	std::vector<std::string> references;
	std::shared_ptr<worker_counts> counts;
};

std::vector<std::pair<cv::Rect, bool>> boxes(const regions &list)
{
	std::vector<std::pair<cv::Rect, bool>> out;
	for (const region &r : list)
		out.push_back({r.box, r.keep});
	return out;
}

size_t kept(const regions &list)
{
	size_t n = 0;
	for (const region &r : list)
		n += r.keep;
	return n;
}

std::string failure_of(const detector &d, const cv::Mat &frame)
{
	try {
		d.run(frame, {}, 1, 0);
	} catch (const std::exception &e) {
		return e.what();
	}
	return {};
}

TEST_F(DetectorWorkers, FacesFindWhatTheyFindInTheProcessAndKeepTheReference)
{
	references = {photo_of(0, "keep.png")};
	cv::Mat frame = two_people();
	auto here = faces();
	here->set_references(references);
	detector local = as_kernel(make_face_detector(here));
	detector remote = faces_in_worker();
	for (size_t mode = 0; mode < local.modes.size(); mode++) {
		regions a = local.run(frame, {}, 1 + mode, mode).found;
		regions b = remote.run(frame, {}, 1 + mode, mode).found;
		EXPECT_EQ(boxes(b), boxes(a)) << local.modes[mode].name;
		EXPECT_EQ(a.size(), 2u);
		EXPECT_EQ(kept(b), 1u);
	}
	// A new list reaches the running worker: nobody is kept.
	references.clear();
	EXPECT_EQ(kept(remote.run(frame, {}, 9, 0).found), 0u);
	EXPECT_EQ(counts->restarts, 0u);
	EXPECT_TRUE(notes.empty());
}

TEST_F(DetectorWorkers, PhonesFindWhatTheyFindInTheProcess)
{
	cv::Mat scene = qm_background();
	qm_paste_text(scene, "Call 020 7946 0958",
		      qm_font_path("dejavu/DejaVuSans.ttf"), 30, {640, 300}, 0);
	qm_paste_text(scene, "Open every day",
		      qm_font_path("dejavu/DejaVuSans.ttf"), 30, {640, 500}, 0);
	cv::Mat frame;
	cv::cvtColor(scene, frame, cv::COLOR_BGR2BGRA);
	std::string problem;
	bool bad_region = false;
	auto models =
		load_phone_models(QM_MODEL_DIR, "GB", &problem, &bad_region);
	ASSERT_TRUE(models) << problem;
	detector local = as_kernel(make_phone_detector(models));
	worker_options o = options;
	o.args = {QM_MODEL_DIR, "GB"};
	detector remote = in_worker(make_phone_detector(models), o, &counts);
	findings a = local.run(frame, {}, 1, 0),
		 b = remote.run(frame, {}, 1, 0);
	EXPECT_EQ(a.found.size(), 1u);
	EXPECT_EQ(boxes(b.found), boxes(a.found));
	EXPECT_EQ(boxes(b.evidence), boxes(a.evidence));
	EXPECT_GT(b.worker_cpu_ns, 0u);
	EXPECT_EQ(counts->restarts, 0u);
}

TEST_F(DetectorWorkers, APhotoTheWorkerDiesLoadingIsLeftOutUntilItChanges)
{
	// Every faces worker aborts as it loads its first photo.
	setenv("QM_WORKER_FAULT", "abort-loading:1:faces:always", 1);
	std::string photo = photo_of(0, "keep.png");
	references = {photo};
	cv::Mat frame = two_people();
	detector remote = faces_in_worker();
	std::string why = failure_of(remote, frame);
	EXPECT_NE(
		why.find(
			"faces: worker ended by signal 6 (Aborted) while loading " +
			photo + ", which is left out"),
		std::string::npos)
		<< why;
	// The next workers are not given it: every run serves, nobody kept.
	for (int i = 0; i < 2; i++) {
		regions found = remote.run(frame, {}, 2 + i, 0).found;
		EXPECT_EQ(found.size(), 2u);
		EXPECT_EQ(kept(found), 0u);
	}
	EXPECT_EQ(counts->restarts, 1u);
	// A new version of the file is tried again.
	cv::Mat other = qm_load_person(qm_person_photos()[0]);
	cv::resize(other, other, {}, 0.9, 0.9);
	ASSERT_TRUE(cv::imwrite(photo, other));
	why = failure_of(remote, frame);
	EXPECT_NE(why.find("while loading " + photo), std::string::npos) << why;
	EXPECT_EQ(counts->restarts, 2u);
	// Two deaths in a row: the next worker starts after a back-off.
	std::this_thread::sleep_for(std::chrono::milliseconds(400));
	EXPECT_EQ(remote.run(frame, {}, 5, 0).found.size(), 2u);
	EXPECT_EQ(notes.size(), 2u);
}

} // namespace
