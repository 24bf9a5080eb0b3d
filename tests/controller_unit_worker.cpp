// QR detectors in a worker process, with the real controller program as
// the worker: the same findings as in the process, and a worker that aborts
// or hangs (injected through its QM_WORKER_FAULT hook) costs one failed
// run, after which a new worker serves.

#include "pipeline.h"
#include "qr-detector.h"
#include "qr-scene.h"
#include "worker-wire.h"
#include "worker.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace qmc;

namespace {

// Sets QM_WORKER_FAULT for the workers started while it lives.
struct fault_env {
	explicit fault_env(const char *value)
	{
		setenv("QM_WORKER_FAULT", value, 1);
	}
	~fault_env() { unsetenv("QM_WORKER_FAULT"); }
};

detector qr_detector(const std::string &name)
{
	for (detector &d : make_qr_detectors())
		if (d.name == name)
			return as_kernel(std::move(d));
	ADD_FAILURE() << "no detector " << name;
	return {};
}

struct wrapped {
	std::vector<std::string> notes;
	std::shared_ptr<worker_counts> counts;
	detector det;

	explicit wrapped(const std::string &name, double min_deadline_s = 1)
	{
		worker_options o;
		o.program = QM_CONTROLLER_PROGRAM;
		o.note = [this](const std::string &s) {
			notes.push_back(s);
		};
		o.min_deadline_s = min_deadline_s;
		det = in_worker(qr_detector(name), o, &counts);
	}
	findings run(const cv::Mat &frame, const regions &hints = {})
	{
		return det.run(frame, hints, 0, 0);
	}
};

std::vector<cv::Rect> boxes(const findings &f)
{
	std::vector<cv::Rect> out;
	for (const region &r : f.found)
		out.push_back(r.box);
	return out;
}

// True when this process has no child left, not even a zombie.
bool no_children()
{
	qm_scene::stop_code_reader();
	int status;
	return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

std::string failure_of(wrapped &w, const cv::Mat &frame)
{
	try {
		w.run(frame);
	} catch (const std::exception &e) {
		return e.what();
	}
	return {};
}

} // namespace

TEST(Worker, FindsWhatTheDetectorFindsInTheProcess)
{
	for (const char *name : {"qr-zxing", "qr-fine", "qr-opencv"}) {
		detector local = qr_detector(name);
		wrapped remote(name);
		for (uint64_t n : {0, 17, 33}) {
			cv::Mat frame = qm_scene::scene_frame(n);
			regions hints;
			if (std::string(name) == "qr-opencv")
				hints = qr_detector("qr-zxing")
						.run(frame, {}, 0, 0)
						.found;
			findings here = local.run(frame, hints, 0, 0);
			findings there = remote.run(frame, hints);
			EXPECT_EQ(boxes(there), boxes(here))
				<< name << " frame " << n;
			if (std::string(name) != "qr-opencv") {
				EXPECT_FALSE(here.found.empty()) << name;
			}
			EXPECT_GT(there.worker_cpu_ns, 0u) << name;
		}
		EXPECT_EQ(remote.counts->restarts, 0u) << name;
		EXPECT_EQ(remote.counts->runs, 3u) << name;
		EXPECT_TRUE(remote.notes.empty()) << name;
	}
	EXPECT_TRUE(no_children());
}

TEST(Worker, AnAbortFailsOneRunAndTheNextWorkerServes)
{
	fault_env fault("abort:2:qr-zxing");
	cv::Mat frame = qm_scene::scene_frame(5);
	auto expected = boxes(qr_detector("qr-zxing").run(frame, {}, 0, 0));
	{
		wrapped w("qr-zxing");
		EXPECT_EQ(boxes(w.run(frame)), expected);
		std::string why = failure_of(w, frame);
		EXPECT_NE(why.find("qr-zxing: worker ended by signal 6"),
			  std::string::npos)
			<< why;
		ASSERT_EQ(w.notes.size(), 1u);
		EXPECT_EQ(w.notes[0], why);
		EXPECT_EQ(w.counts->restarts, 1u);
		// The next worker starts at once and runs clean.
		EXPECT_EQ(boxes(w.run(frame)), expected);
		EXPECT_EQ(boxes(w.run(frame)), expected);
		EXPECT_EQ(w.counts->restarts, 1u);
	}
	EXPECT_TRUE(no_children());
}

TEST(Worker, ACodeThatTripsZXingsAssertionCostsOneRun)
{
	// Part of a frame of a crowded benchmark scene: in Debian's build
	// of ZXing (assertions on) the fine pass aborts on it, in
	// RegressionLine.h, "l1.isValid() && l2.isValid()".
	cv::Mat part = cv::imread(QM_TEST_DATA "/zxing-assert.png",
				  cv::IMREAD_GRAYSCALE);
	ASSERT_FALSE(part.empty());
	cv::Mat grey(720, 1280, CV_8U, cv::Scalar(128)), frame;
	part.copyTo(grey(cv::Rect({1154, 450}, part.size())));
	cv::cvtColor(grey, frame, cv::COLOR_GRAY2BGRA);
	{
		wrapped w("qr-fine");
		std::string why = failure_of(w, frame);
		// A ZXing without its assertions reads it without fault.
		if (!why.empty()) {
			EXPECT_NE(why.find("qr-fine: worker ended by signal 6"),
				  std::string::npos)
				<< why;
			EXPECT_EQ(w.counts->restarts, 1u);
		}
		printf("the fine pass on the picture: %s\n",
		       why.empty() ? "read without fault" : why.c_str());
		EXPECT_FALSE(w.run(qm_scene::scene_frame(1)).found.empty());
	}
	EXPECT_TRUE(no_children());
}

TEST(Worker, TheTestsOwnReaderOutlivesZXingsAssertion)
{
	// The same part, as the fine pass sees it: the reader the tests and
	// the benchmark judge frames with must not die on it either.
	cv::Mat part = cv::imread(QM_TEST_DATA "/zxing-assert.png",
				  cv::IMREAD_GRAYSCALE);
	ASSERT_FALSE(part.empty());
	cv::Mat grey(720, 1280, CV_8U, cv::Scalar(128)), large, soft, sharp;
	part.copyTo(grey(cv::Rect({1154, 450}, part.size())));
	cv::resize(grey, large, {}, 1.75, 1.75, cv::INTER_CUBIC);
	cv::GaussianBlur(large, soft, {0, 0}, 1.5);
	cv::addWeighted(large, 4, soft, -3, 0, sharp);
	cv::Mat bgra;
	cv::cvtColor(sharp, bgra, cv::COLOR_GRAY2BGRA);
	std::vector<std::string> texts = qm_scene::decode_qr(bgra);
	printf("read on the sharpened part: %zu\n", texts.size());
	std::vector<qm_scene::placed_code> codes;
	cv::Mat scene = qm_scene::scene_frame(1, &codes);
	EXPECT_EQ(qm_scene::decode_qr(scene).size(), codes.size());
}

TEST(Worker, AHangIsKilledAtTheDeadline)
{
	fault_env fault("hang:1");
	cv::Mat frame = qm_scene::scene_frame(9);
	{
		wrapped w("qr-fine", 0.5);
		auto start = std::chrono::steady_clock::now();
		std::string why = failure_of(w, frame);
		double took = std::chrono::duration<double>(
				      std::chrono::steady_clock::now() - start)
				      .count();
		EXPECT_NE(why.find("qr-fine: worker missed its 0.50 s "
				   "deadline; killed"),
			  std::string::npos)
			<< why;
		// The deadline, the start of the worker (up to its own
		// limit) and slack for a loaded machine.
		EXPECT_GE(took, 0.5);
		EXPECT_LT(took, 12.0);
		EXPECT_EQ(w.counts->restarts, 1u);
		EXPECT_FALSE(w.run(frame).found.empty());
	}
	EXPECT_TRUE(no_children());
}

// A run that fails at once while the next worker may not start yet.
std::string failure_after_backoff(wrapped &w, const cv::Mat &frame)
{
	std::string why = failure_of(w, frame);
	while (why.find("restarting soon") != std::string::npos) {
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
		why = failure_of(w, frame);
	}
	return why;
}

TEST(Worker, EachDeadlineMissedInARowDoublesTheNextUpToFourTimes)
{
	// Every worker hangs in its first run, as on a machine so busy that
	// no run finishes in time.
	fault_env fault("hang:1:qr-fine:always");
	cv::Mat frame = qm_scene::scene_frame(9);
	{
		wrapped w("qr-fine", 0.5);
		for (const char *deadline : {"0.50", "1.00", "2.00", "2.00"}) {
			std::string why = failure_after_backoff(w, frame);
			EXPECT_NE(why.find(std::string("missed its ") +
					   deadline + " s deadline"),
				  std::string::npos)
				<< why;
		}
		EXPECT_EQ(w.counts->restarts, 4u);
	}
	EXPECT_TRUE(no_children());
}

TEST(Worker, AWorkerThatKeepsDyingIsStartedAfterABackOff)
{
	fault_env fault("abort:1:qr-zxing:always");
	cv::Mat frame = qm_scene::scene_frame(2);
	{
		wrapped w("qr-zxing");
		// The second worker starts at once; after two deaths in a
		// row the next waits a quarter of a second from the second.
		EXPECT_NE(failure_of(w, frame).find("signal 6"),
			  std::string::npos);
		auto before_second = std::chrono::steady_clock::now();
		EXPECT_NE(failure_of(w, frame).find("signal 6"),
			  std::string::npos);
		EXPECT_EQ(w.counts->restarts, 2u);
		// A run asked for within the quarter fails at once without a
		// start; on a loaded machine the quarter may be over first.
		bool within = std::chrono::steady_clock::now() - before_second <
			      std::chrono::milliseconds(250);
		std::string why = failure_of(w, frame);
		if (within) {
			EXPECT_NE(why.find("restarting soon"),
				  std::string::npos)
				<< why;
		}
		while (why.find("restarting soon") != std::string::npos) {
			EXPECT_EQ(w.counts->restarts, 2u);
			std::this_thread::sleep_for(
				std::chrono::milliseconds(20));
			why = failure_of(w, frame);
		}
		EXPECT_GE(std::chrono::steady_clock::now() - before_second,
			  std::chrono::milliseconds(250));
		EXPECT_NE(why.find("signal 6"), std::string::npos) << why;
		EXPECT_EQ(w.counts->restarts, 3u);
		EXPECT_EQ(w.notes.size(), 3u);
	}
	EXPECT_TRUE(no_children());
}

TEST(Worker, HandOffCost)
{
	wrapped w("qr-zxing");
	cv::Mat frame = qm_scene::scene_frame(3);
	w.run(frame); // starts the worker
	uint64_t before = w.counts->handoff_ns, runs = w.counts->runs;
	for (int i = 0; i < 30; i++)
		w.run(frame);
	double ms = double(w.counts->handoff_ns - before) /
		    double(w.counts->runs - runs) / 1e6;
	printf("hand-off (copy into the slot and round trip): %.3f ms a "
	       "frame\n",
	       ms);
	RecordProperty("handoff_ms", std::to_string(ms));
	EXPECT_GT(ms, 0.0);
}

// A reply has room for WIRE_MAX_BOXES boxes: past that, boxes that cover
// the rest stand in for them, found as found and evidence as evidence.
TEST(WorkerWire, EveryRegionReachesTheControllerPastTheReplysRoom)
{
	auto many = [](size_t n, int y) {
		regions out;
		for (size_t i = 0; i < n; i++) {
			region r;
			r.box = cv::Rect(int(i % 40) * 30, y + int(i / 40) * 20,
					 20, 12);
			r.track = int64_t(i);
			r.keep = i == 0 && y == 0;
			out.push_back(r);
		}
		return out;
	};
	auto covered = [](const cv::Rect &box, const wire_reply &rep,
			  uint32_t evidence) {
		for (uint32_t i = 0; i < rep.boxes; i++) {
			const wire_box &b = rep.box[i];
			if (b.evidence == evidence &&
			    (cv::Rect(b.x, b.y, b.w, b.h) & box) == box)
				return true;
		}
		return false;
	};
	for (auto [found, evidence] :
	     std::vector<std::pair<size_t, size_t>>{{3, 2},
						    {300, 0},
						    {0, 300},
						    {300, 200},
						    {250, 10}}) {
		SCOPED_TRACE(std::to_string(found) + " found, " +
			     std::to_string(evidence) + " evidence");
		findings f{many(found, 0), many(evidence, 400)};
		auto rep = std::make_unique<wire_reply>();
		fill_reply(*rep, f);
		EXPECT_EQ(rep->boxes,
			  std::min<size_t>(found + evidence, WIRE_MAX_BOXES));
		for (const region &r : f.found)
			EXPECT_TRUE(covered(r.box, *rep, 0)) << r.box;
		for (const region &r : f.evidence)
			EXPECT_TRUE(covered(r.box, *rep, 1)) << r.box;
		// The first found keep their identity and whether to keep.
		if (found > 0) {
			region first = from_wire(rep->box[0]);
			EXPECT_TRUE(first.keep);
			EXPECT_EQ(first.track, 0);
		}
		// A box standing in for several is never kept visible.
		for (uint32_t i = 1; i < rep->boxes; i++)
			EXPECT_EQ(rep->box[i].keep, 0u);
	}
}
