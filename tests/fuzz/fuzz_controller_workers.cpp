// Fuzzes what the detectors read from the camera, through the worker
// protocol: each input becomes a picture in a 1280x720 frame, and one of
// the detectors that read codes and text (ZXing's two passes, OpenCV's QR
// locator, the phone-number reader) runs on it in a worker process, which
// is the real controller program with Debian's libraries and their
// assertions on. A worker may abort or hang on a picture: that run fails,
// the worker is replaced, and this process, the controller's side, goes on.
// Coverage comes from the controller's side only; the pictures are random.
//
// The input: which detector, its mode, how many times the picture is
// scaled up (blocky pictures look like codes' modules), the picture's
// width, then its grey pixels row by row.
//
// QM_FUZZ_CONTROLLER names the controller program, QM_FUZZ_MODELS its
// model folder (scripts/fuzz sets both).
#include "fuzz_check.h"

#include "worker.h"

#include <opencv2/imgproc.hpp>

#include <memory>
#include <stdexcept>

namespace {

struct wrapped {
	std::shared_ptr<qmc::worker_counts> counts;
	qmc::detector d;
	unsigned long runs = 0, failed = 0;
};

std::vector<wrapped> detectors;

void tell_counts()
{
	for (const wrapped &w : detectors) {
		char line[160];
		int n = snprintf(line, sizeof(line),
				 "%s: %lu runs, %lu failed, %lu workers "
				 "replaced\n",
				 w.counts->name.c_str(), w.runs, w.failed,
				 (unsigned long)w.counts->restarts.load());
		if (n > 0 && write(qm_fuzz::report_fd(), line, size_t(n)) < 0)
			return;
	}
}

// The records the controller wraps: only what the client side reads.
qmc::detector record(const char *name, size_t modes, double expected_cpu_s)
{
	qmc::detector d;
	d.name = name;
	d.modes.resize(modes);
	d.expected_cpu_s = expected_cpu_s;
	return d;
}

// The picture in the input, in the middle of a grey frame.
cv::Mat frame_of(const uint8_t *data, size_t size)
{
	cv::Mat frame(720, 1280, CV_8UC4, cv::Scalar(128, 128, 128, 255));
	int scale = 1 + data[2] % 16, width = 1 + data[3];
	size_t rows = (size - 4) / size_t(width);
	if (rows == 0)
		return frame;
	cv::Mat grey(int(rows), width, CV_8U, const_cast<uint8_t *>(data + 4));
	cv::Mat big, bgra;
	cv::resize(grey, big, {}, scale, scale, cv::INTER_NEAREST);
	cv::Rect part = cv::Rect(0, 0, big.cols, big.rows) &
			cv::Rect(0, 0, frame.cols, frame.rows);
	cv::cvtColor(big(part), bgra, cv::COLOR_GRAY2BGRA);
	bgra.copyTo(frame(part + cv::Point((frame.cols - part.width) / 2,
					   (frame.rows - part.height) / 2)));
	return frame;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	qm_fuzz::keep_stderr_for_reports();
	const char *program = getenv("QM_FUZZ_CONTROLLER");
	const char *models = getenv("QM_FUZZ_MODELS");
	if (!program || !models)
		qm_fuzz::fail("QM_FUZZ_CONTROLLER and QM_FUZZ_MODELS must be "
			      "set");
	qmc::worker_options o;
	o.program = program;
	for (qmc::detector d :
	     {record("qr-zxing", 1, 0.03), record("qr-fine", 1, 0.05),
	      record("qr-opencv", 3, 0.05), record("phones", 3, 0.42)}) {
		qmc::worker_options mine = o;
		if (d.name == "phones")
			mine.args = {models, "GB"};
		wrapped w;
		w.d = qmc::in_worker(std::move(d), mine, &w.counts);
		detectors.push_back(std::move(w));
	}
	atexit(tell_counts);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 4)
		return 0;
	wrapped &w = detectors[data[0] % detectors.size()];
	size_t mode = data[1] % std::max<size_t>(1, w.d.modes.size());
	cv::Mat frame = frame_of(data, size);
	uint64_t restarts = w.counts->restarts;
	w.runs++;
	try {
		qmc::findings f = w.d.run(frame, {}, w.runs, mode);
		for (const qmc::regions *list : {&f.found, &f.evidence})
			for (const qmc::region &r : *list)
				qm_fuzz::check(r.box.width >= 0 &&
						       r.box.height >= 0,
					       "a box of negative size");
	} catch (const std::runtime_error &e) {
		w.failed++;
		// A run fails for a reason the controller can tell.
		qm_fuzz::check(e.what()[0] != '\0',
			       "a failure without a reason");
	}
	qm_fuzz::check(w.counts->restarts - restarts <= 1,
		       "more than one worker replaced for one run");
	return 0;
}
