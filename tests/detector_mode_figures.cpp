// Figures of the detectors' modes (not a test): CPU per run and what each
// mode finds, on clean and grainy pictures.
#include "detector_mode_figures.h"

#include <cstdio>
#include <ctime>
#include <functional>

#include <opencv2/imgproc.hpp>

#include "detector_samples.h"
#include "face-stage.h"
#include "phone-stage.h"
#include "qr-detector.h"
#include "qr-scene.h"

using namespace qmc;

namespace {

constexpr uint64_t MS = 1000000;

double cpu_now_ms()
{
	timespec t;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
	return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

// Sensor-like grain over the whole picture (BGRA).
cv::Mat grainy(const cv::Mat &bgra, int seed)
{
	cv::Mat wide, noise(bgra.size(), CV_16SC4), out;
	cv::RNG rng((uint64_t)seed);
	rng.fill(noise, cv::RNG::NORMAL, 0, 10);
	bgra.convertTo(wide, CV_16SC4);
	wide += noise;
	wide.convertTo(out, CV_8UC4);
	return out;
}

cv::Mat street_bgra()
{
	cv::Mat bgra;
	cv::cvtColor(qm_background(), bgra, cv::COLOR_BGR2BGRA);
	return bgra;
}

bool covered(const regions &found, const cv::Rect &truth)
{
	for (const region &r : found)
		if ((r.box & truth).area() >= truth.area() * 9 / 10)
			return true;
	return false;
}

// Codes of the given module size over the street, turned 0-30 degrees,
// one tilted, sharp or soft (low contrast and blurred): the four in one
// frame, or (only >= 0) that one alone. Their boxes go to truth.
cv::Mat code_frame(int module, bool soft, std::vector<cv::Rect> &truth,
		   int only = -1)
{
	cv::Mat frame = street_bgra();
	const double angles[] = {0, 12, 30, 8};
	for (int i = 0; i < 4; i++) {
		if (only >= 0 && i != only)
			continue;
		cv::Mat code = qm_scene::render_qr(
			"mode figures " + std::to_string(i), module,
			soft ? 95 : 0, soft ? 165 : 255);
		if (soft)
			cv::GaussianBlur(code, code, {0, 0}, 0.3 * module);
		cv::Point2f at((float)(200 + 300 * i),
			       (float)(250 + 200 * (i % 2)));
		truth.push_back(cv::boundingRect(qm_scene::place(
			frame, code, at, angles[i], i == 3 ? 0.2 : 0)));
	}
	return frame;
}

const int MODULES[] = {2, 3, 4, 6, 8};

// One detector mode's figures over the frames: CPU and codes found, clean
// ([0]) and grainy ([1]).
struct qr_tally {
	double ms[2] = {0, 0};
	int runs = 0;
	int hits[2][std::size(MODULES)] = {};
	int areas[2] = {}, in_evidence = 0, codes = 0;
};

void tally_run(detector &d, size_t mode, const cv::Mat &clean,
	       const std::vector<cv::Rect> &truth, size_t k, qr_tally &t)
{
	for (int g = 0; g < 2; g++) {
		cv::Mat f = g ? grainy(clean, (int)k) : clean;
		// As the pipeline runs it: what ZXing found is masked.
		regions hints = d.name == "qr-opencv" ? find_qr_zxing(f)
						      : regions{};
		d.run(f, hints, 0, mode); // warm-up
		double t0 = cpu_now_ms();
		findings out = d.run(f, hints, 0, mode);
		t.ms[g] += cpu_now_ms() - t0;
		t.areas[g] += (int)out.evidence.size();
		regions all = out.found;
		all.insert(all.end(), out.evidence.begin(), out.evidence.end());
		for (const cv::Rect &c : truth) {
			t.hits[g][k] += covered(out.found, c);
			t.in_evidence += covered(all, c);
			t.codes++;
		}
	}
	t.runs++;
}

// Sharp codes four to a frame; soft ones one to a frame, since OpenCV's
// locator takes one code a call and fails among several.
void qr_figures(bool soft)
{
	std::printf("QR codes found (%%), 4 %s codes by module size (px), over "
		    "the street, clean / grain sigma 10\n%-32s %8s %8s",
		    soft ? "soft (contrast 95-165, blurred), one a frame,"
			 : "sharp, in one frame,",
		    "detector, mode", "ms clean", "ms grain");
	for (int m : MODULES)
		std::printf("  %2dpx c/g", m);
	std::printf(" %s\n", "evidence areas c/g, codes in found+evidence");
	for (detector &d : make_qr_detectors()) {
		for (size_t mode = 0; mode < d.modes.size(); mode++) {
			qr_tally t;
			for (size_t k = 0; k < std::size(MODULES); k++) {
				for (int only = soft ? 0 : -1;
				     only < (soft ? 4 : 0); only++) {
					std::vector<cv::Rect> truth;
					cv::Mat clean = code_frame(
						MODULES[k], soft, truth, only);
					tally_run(d, mode, clean, truth, k, t);
				}
			}
			std::string name = d.name + ", " + d.modes[mode].name;
			std::printf("%-32s %8.1f %8.1f", name.c_str(),
				    t.ms[0] / t.runs, t.ms[1] / t.runs);
			for (size_t k = 0; k < std::size(MODULES); k++)
				std::printf("  %3d/%3d", 25 * t.hits[0][k],
					    25 * t.hits[1][k]);
			std::printf("  %d/%d, %d of %d\n", t.areas[0],
				    t.areas[1], t.in_evidence, t.codes);
		}
	}
}

// Sixteen faces of the given height over the street; their boxes go to
// truth.
cv::Mat face_frame(int height, std::vector<cv::Rect2f> &truth)
{
	cv::Mat frame = qm_background();
	std::vector<cv::Mat> photos;
	std::vector<cv::Rect2f> boxes;
	qm_face_detector det;
	std::string error;
	qm_load_face_detector(det, qm_model_path("face-detector.onnx"), error);
	for (const qm_person_photo &p : qm_person_photos()) {
		photos.push_back(qm_load_person(p));
		boxes.push_back(qm_detect_faces(det, photos.back())[0].box);
	}
	cv::RNG rng((uint64_t)height);
	for (int i = 0; i < 16; i++) {
		int cw = 1280 / 4, ch = 720 / 4;
		cv::Point at(
			(i % 4) * cw + rng.uniform(0, cw - height * 16 / 10),
			(i / 4) * ch +
				rng.uniform(
					0, std::max(1, ch - height * 16 / 10)));
		truth.push_back(qm_paste_face(frame, photos[(size_t)i % 3],
					      boxes[(size_t)i % 3],
					      (float)height, at));
	}
	cv::Mat bgra;
	cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
	return bgra;
}

bool face_found(const regions &found, const cv::Rect2f &truth)
{
	for (const region &r : found)
		if ((cv::Rect2f(r.box) & truth).area() >= truth.area() * 0.9f)
			return true;
	return false;
}

void face_figures()
{
	const int heights[] = {30, 40, 60, 80, 120};
	std::printf(
		"faces found (%%), 16 by height (px) over the street; "
		"a fresh stage, then runs every 0.2 s after one of the first mode\n"
		"%-22s %9s %9s",
		"mode", "ms fresh", "ms after");
	for (int h : heights)
		std::printf("  %3dpx f/a", h);
	std::printf("\n");
	qm_face_detector det;
	qm_face_describer desc;
	std::string error;
	qm_load_face_detector(det, qm_model_path("face-detector.onnx"), error);
	qm_load_face_describer(desc, qm_model_path("face-descriptor.onnx"),
			       error);
	std::vector<detector_mode> modes = face_modes();
	for (size_t mode = 0; mode < modes.size(); mode++) {
		double ms[2] = {0, 0};
		int hits[2][std::size(heights)] = {};
		for (size_t k = 0; k < std::size(heights); k++) {
			std::vector<cv::Rect2f> truth;
			cv::Mat frame = face_frame(heights[k], truth);
			cv::Mat g = grainy(frame, 3);
			face_stage fresh(det, desc, [](const std::string &) {});
			fresh.find(frame, 1, mode); // warm-up
			face_stage stage(det, desc, [](const std::string &) {});
			double t0 = cpu_now_ms();
			regions first = stage.find(g, 1000000, mode);
			ms[0] += cpu_now_ms() - t0;
			stage.find(g, 200 * MS, FACES_TILES_3X2);
			t0 = cpu_now_ms();
			stage.find(g, 400 * MS, mode);
			ms[1] += cpu_now_ms() - t0;
			// Steady runs: a face is still reported when a run
			// within the tracks' hold (0.6 s) found it.
			regions own;
			for (uint64_t at = 600; at <= 1600; at += 200)
				own = stage.find(g, at * MS, mode);
			for (const cv::Rect2f &t : truth) {
				hits[0][k] += face_found(first, t);
				hits[1][k] += face_found(own, t);
			}
		}
		std::printf("%-22s %9.1f %9.1f", modes[mode].name.c_str(),
			    ms[0] / (double)std::size(heights),
			    ms[1] / (double)std::size(heights));
		for (size_t k = 0; k < std::size(heights); k++)
			std::printf("  %4.0f/%4.0f", 100.0 * hits[0][k] / 16,
				    100.0 * hits[1][k] / 16);
		std::printf("\n");
	}
}

const char *const FONTS[] = {"dejavu/DejaVuSans.ttf",
			     "liberation/LiberationSans-Regular.ttf",
			     "dejavu/DejaVuSerif.ttf"};

// Lines of text with a phone number each, height px tall, over the street
// (BGR); their outlines go to truth.
cv::Mat number_frame(int count, int height, std::vector<cv::RotatedRect> &truth)
{
	cv::Mat frame = qm_background();
	cv::RNG rng((uint64_t)(count * 100 + height));
	int rows = (count + 1) / 2;
	for (int i = 0; i < count; i++) {
		// The number alone: the hidden region covers the number,
		// not the words around it.
		std::string text = "(555) 0" + std::to_string(10 + i) + "-" +
				   std::to_string(4500 + 37 * i);
		cv::Point2f c(
			(float)(320 + 640 * (i % 2)),
			(float)(30 + (660 * (i / 2)) / std::max(1, rows - 1)));
		truth.push_back(qm_paste_text(
			frame, text, qm_font_path(FONTS[i % 3]), height, c,
			(float)rng.uniform(-8.0, 8.0)));
	}
	return frame;
}

void phone_figures()
{
	auto models = std::make_shared<phone_models>();
	std::string error;
	if (!qm_load_phone_reader(models->reader, "US", error) ||
	    !qm_load_text_detector(
		    models->text, qm_model_path("text-detector.onnx"), error)) {
		std::fprintf(stderr, "%s\n", error.c_str());
		return;
	}
	detector d = make_phone_detector(models);
	const int heights[] = {14, 18, 24, 32};
	std::printf("phone numbers hidden (%%), 10 lines by text height (px), "
		    "grain sigma 10 (new grain each run); CPU of a first run, "
		    "then of a run on the next frame\n%-28s %9s %9s",
		    "mode", "ms first", "ms next");
	for (int h : heights)
		std::printf("  %2dpx", h);
	std::printf("  40 lines: ms, hidden\n");
	for (size_t mode = 0; mode < d.modes.size(); mode++) {
		double ms[2] = {0, 0};
		int hits[std::size(heights)] = {};
		for (size_t k = 0; k < std::size(heights); k++) {
			std::vector<cv::RotatedRect> truth;
			cv::Mat bgr = number_frame(10, heights[k], truth), bgra;
			cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
			d.run(street_bgra(), {}, 0, mode); // a fresh cache
			double t0 = cpu_now_ms();
			d.run(grainy(bgra, 1), {}, 0, mode);
			ms[0] += cpu_now_ms() - t0;
			t0 = cpu_now_ms();
			findings f = d.run(grainy(bgra, 2), {}, 0, mode);
			ms[1] += cpu_now_ms() - t0;
			for (const cv::RotatedRect &t : truth)
				hits[k] += covered(f.found,
						   t.boundingRect() &
							   cv::Rect(0, 0, 1280,
								    720));
		}
		std::vector<cv::RotatedRect> truth;
		cv::Mat bgr = number_frame(40, 14, truth), bgra;
		cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
		double t0 = cpu_now_ms();
		findings many = d.run(bgra, {}, 0, mode);
		double many_ms = cpu_now_ms() - t0;
		int many_hits = 0;
		for (const cv::RotatedRect &t : truth)
			many_hits += covered(many.found,
					     t.boundingRect() &
						     cv::Rect(0, 0, 1280, 720));
		std::printf("%-28s %9.1f %9.1f", d.modes[mode].name.c_str(),
			    ms[0] / (double)std::size(heights),
			    ms[1] / (double)std::size(heights));
		for (size_t k = 0; k < std::size(heights); k++)
			std::printf("  %4d", hits[k] * 10);
		std::printf("  %.0f ms, %d of 40\n", many_ms, many_hits);
	}
}

} // namespace

void qm_mode_figures(const std::function<bool(const char *)> &wanted)
{
	if (wanted("qr-modes")) {
		std::vector<cv::Rect> truth;
		cv::Mat f = code_frame(3, false, truth), g = grainy(f, 5);
		for (const cv::Mat &m : {f, g}) {
			find_qr_finder_areas(m);
			double t0 = cpu_now_ms();
			find_qr_finder_areas(m);
			std::printf("finder marks alone: %.1f ms%s\n",
				    cpu_now_ms() - t0,
				    m.data == g.data ? " (grain)" : "");
		}
		qr_figures(false);
		qr_figures(true);
	}
	if (wanted("face-modes"))
		face_figures();
	if (wanted("phone-modes"))
		phone_figures();
}
