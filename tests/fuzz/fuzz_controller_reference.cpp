// Fuzzes a reference photo as the controller reads it before any face
// work: the header read for the picture's size, the bounds, and OpenCV's
// decoders (Debian's, not instrumented, but a crash or an abort in them
// ends the run all the same). A decoded picture must be the size its
// header stated, within the bounds, 8-bit BGR.
//
// OpenCV and libpng write a line to stderr for most bad inputs;
// scripts/fuzz runs this target with stderr closed, and broken invariants
// are still told (fuzz_check.h).
#include "fuzz_check.h"

#include "reference-image.h"

#include <opencv2/core/utils/logger.hpp>

namespace {

// How far inputs get, told at exit: through the header checks into the
// decoders, and out of them as a picture.
unsigned long decode_attempts, decoded;

void tell_counts()
{
	char line[128];
	int n = snprintf(line, sizeof(line),
			 "inputs decoded: %lu of %lu that passed the header "
			 "checks\n",
			 decoded, decode_attempts);
	if (n > 0 && write(qm_fuzz::report_fd(), line, size_t(n)) < 0)
		return;
}

// Smaller than the controller's, so that each run stays quick.
qm_reference_limits limits()
{
	qm_reference_limits l;
	l.max_side = 4096;
	l.max_pixels = 1 << 20;
	return l;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	qm_fuzz::keep_stderr_for_reports();
	cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
	atexit(tell_counts);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<unsigned char> bytes(data, data + size);
	long long w = 0, h = 0;
	bool has_size = qm_image_header_size(data, size, w, h);
	std::string error;
	cv::Mat image = qm_decode_reference_image(bytes, limits(), error);
	qm_reference_limits l = limits();
	decode_attempts += has_size && w > 0 && h > 0 && w <= l.max_side &&
			   h <= l.max_side && w * h <= l.max_pixels;
	decoded += !image.empty();
	if (image.empty()) {
		qm_fuzz::check(!error.empty(), "refused without a reason");
		return 0;
	}
	qm_fuzz::check(has_size, "decoded without a header read");
	qm_fuzz::check(w > 0 && h > 0 && w <= limits().max_side &&
			       h <= limits().max_side &&
			       w * h <= limits().max_pixels,
		       "decoded a picture beyond the bounds");
	// A JPEG's orientation tag may turn the picture.
	bool upright = image.cols == w && image.rows == h;
	bool turned = image.cols == h && image.rows == w;
	qm_fuzz::check(upright || turned,
		       "decoded picture's size is not the header's");
	qm_fuzz::check(image.type() == CV_8UC3, "not 8-bit BGR");
	return 0;
}
