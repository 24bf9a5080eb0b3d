// Figures of the detectors on this machine (not a test): CPU time per call
// on one core, face recall by size for several tile grids, descriptor
// distances, and the phone numbers found in rendered text.
//   detector_figures [faces|descriptors|text|phones|qr-modes|face-modes|
//                     phone-modes]...
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <algorithm>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detector_mode_figures.h"
#include "detector_samples.h"
#include "face-descriptor.h"
#include "face-detector.h"
#include "phone-numbers.h"
#include "text-detector.h"

namespace {

double cpu_ms(const std::function<void()> &work, int runs)
{
	work(); // warm-up: the first run allocates the network's buffers
	timespec a, b;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
	for (int i = 0; i < runs; i++)
		work();
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
	return ((double)(b.tv_sec - a.tv_sec) * 1e3 +
		(double)(b.tv_nsec - a.tv_nsec) / 1e6) /
	       runs;
}

bool found(const std::vector<qm_face> &faces, const cv::Rect2f &truth)
{
	for (const qm_face &f : faces) {
		cv::Point2f c = (f.box.tl() + f.box.br()) * 0.5f;
		float inner = (f.box & truth).area();
		if (truth.contains(c) &&
		    inner / (f.box.area() + truth.area() - inner) > 0.25f)
			return true;
	}
	return false;
}

void face_figures(qm_face_detector &det, bool degrade)
{
	struct grid {
		const char *name;
		int cols, rows;
		float min_score;
	};
	const grid grids[] = {
		{"whole frame", 0, 0, 0.5f}, {"+2x1 tiles", 2, 1, 0.5f},
		{"+3x2 tiles", 3, 2, 0.5f},  {"+4x3 tiles", 4, 3, 0.5f},
		{"+3x2 >0.6", 3, 2, 0.6f},   {"+3x2 >0.7", 3, 2, 0.7f}};
	const int sizes[] = {30, 40, 50, 60, 80, 100, 150, 200, 300};
	std::vector<cv::Mat> photos;
	std::vector<cv::Rect2f> boxes;
	for (const qm_person_photo &p : qm_person_photos()) {
		photos.push_back(qm_load_person(p));
		boxes.push_back(qm_detect_faces(det, photos.back())[0].box);
	}
	cv::Mat bg = qm_background();
	std::printf("face recall by face height (px) in 1280x720, %s%s\n",
		    "faces pasted at random places, 3 people",
		    degrade ? ", blurred (sigma 1.2) and JPEG quality 50" : "");
	std::printf("%-14s %8s", "grid", "ms/frame");
	for (int s : sizes)
		std::printf(" %5d", s);
	std::printf(" false\n");
	for (const grid &g : grids) {
		qm_face_options o;
		o.tile_columns = g.cols;
		o.tile_rows = g.rows;
		o.min_score = g.min_score;
		double ms = cpu_ms([&] { qm_detect_faces(det, bg, o); }, 5);
		std::printf("%-14s %8.1f", g.name, ms);
		cv::RNG rng(12345);
		int false_found = 0;
		for (int size : sizes) {
			int hits = 0, total = 0;
			for (int scene = 0; scene < 4; scene++) {
				cv::Mat frame = bg.clone();
				std::vector<cv::Rect2f> truth;
				int cell = size * 17 / 10;
				int cols = 1280 / cell, rows = 720 / cell;
				for (int r = 0; r < rows; r++) {
					for (int c = 0; c < cols; c++) {
						size_t p = (size_t)(r * cols +
								    c + scene) %
							   photos.size();
						int slack =
							cell - size * 16 / 10;
						cv::Point at(
							c * cell +
								rng.uniform(
									0,
									slack + 1),
							r * cell +
								rng.uniform(
									0,
									slack + 1));
						truth.push_back(qm_paste_face(
							frame, photos[p],
							boxes[p], (float)size,
							at));
					}
				}
				if (degrade) {
					cv::GaussianBlur(frame, frame, {}, 1.2);
					std::vector<unsigned char> jpeg;
					cv::imencode(".jpg", frame, jpeg,
						     {cv::IMWRITE_JPEG_QUALITY,
						      50});
					frame = cv::imdecode(jpeg,
							     cv::IMREAD_COLOR);
				}
				std::vector<qm_face> faces =
					qm_detect_faces(det, frame, o);
				for (const cv::Rect2f &t : truth) {
					hits += found(faces, t);
					total++;
				}
				for (const qm_face &f : faces) {
					bool real = false;
					for (const cv::Rect2f &t : truth)
						real |= (f.box & t).area() > 0;
					false_found += !real;
				}
			}
			std::printf(" %5.1f", 100.0 * hits / total);
		}
		std::printf(" %5d\n", false_found);
	}
}

const char *const FONTS[] = {"dejavu/DejaVuSans.ttf", "dejavu/DejaVuSerif.ttf",
			     "liberation/LiberationSans-Regular.ttf",
			     "liberation/LiberationMono-Regular.ttf",
			     "dejavu/DejaVuSans-Bold.ttf"};

void descriptor_figures(qm_face_detector &det, qm_face_describer &desc)
{
	struct variant {
		const char *name;
		std::function<cv::Mat(const cv::Mat &)> make;
	};
	const variant variants[] = {
		{"as is",
		 [](const cv::Mat &m) {
			 return m.clone();
		 }},
		{"mirrored",
		 [](const cv::Mat &m) {
			 cv::Mat o;
			 cv::flip(m, o, 1);
			 return o;
		 }},
		{"blur 2px",
		 [](const cv::Mat &m) {
			 cv::Mat o;
			 cv::GaussianBlur(m, o, {}, 2.0);
			 return o;
		 }},
		{"shift+70%",
		 [](const cv::Mat &m) {
			 cv::Mat o, t = (cv::Mat_<double>(2, 3) << 0.7, 0, 40,
					 0, 0.7, 30);
			 cv::warpAffine(m, o, t, m.size());
			 return o;
		 }},
		{"turn 10deg",
		 [](const cv::Mat &m) {
			 cv::Mat o,
				 t = cv::getRotationMatrix2D(
					 {(float)m.cols / 2, (float)m.rows / 2},
					 10, 1);
			 cv::warpAffine(m, o, t, m.size());
			 return o;
		 }},
		{"dark+noise",
		 [](const cv::Mat &m) {
			 cv::Mat o, n(m.size(), m.type());
			 m.convertTo(o, -1, 0.5, 0);
			 cv::randn(n, 0, 8);
			 o += n;
			 return o;
		 }},
		{"small 60px",
		 [](const cv::Mat &m) {
			 cv::Mat o;
			 double f = 60.0 * 2.2 / m.rows;
			 cv::resize(m, o, {}, f, f, cv::INTER_AREA);
			 return o;
		 }},
	};
	std::vector<std::vector<qm_descriptor>> d;
	double ms = 0;
	for (const qm_person_photo &p : qm_person_photos()) {
		cv::Mat photo = qm_load_person(p);
		d.emplace_back();
		for (const variant &v : variants) {
			cv::Mat m = v.make(photo);
			std::vector<qm_face> faces = qm_detect_faces(det, m);
			if (faces.empty()) {
				std::printf("%s %s: no face\n", p.name, v.name);
				d.back().push_back({});
				continue;
			}
			d.back().push_back(qm_describe_face(desc, m, faces[0]));
		}
		std::vector<qm_face> faces = qm_detect_faces(det, photo);
		ms = cpu_ms([&] { qm_describe_face(desc, photo, faces[0]); },
			    10);
	}
	std::printf("descriptor: %.1f ms per face (alignment included)\n", ms);
	std::printf("same person, distance to the photo as is:\n%-10s",
		    "person");
	for (size_t v = 1; v < std::size(variants); v++)
		std::printf(" %10s", variants[v].name);
	std::printf("\n");
	for (size_t p = 0; p < d.size(); p++) {
		std::printf("%-10s", qm_person_photos()[p].name);
		for (size_t v = 1; v < std::size(variants); v++)
			std::printf(" %10.3f",
				    qm_descriptor_distance(d[p][0], d[p][v]));
		std::printf("\n");
	}
	float lo = 9, hi = 0;
	for (size_t p = 0; p < d.size(); p++)
		for (size_t q = p + 1; q < d.size(); q++)
			for (size_t v = 0; v < std::size(variants); v++)
				for (size_t w = 0; w < std::size(variants);
				     w++) {
					float x = qm_descriptor_distance(
						d[p][v], d[q][w]);
					lo = std::min(lo, x);
					hi = std::max(hi, x);
				}
	std::printf("different people, every pair of variants: %.3f to %.3f\n",
		    lo, hi);
}

void text_figures()
{
	const cv::Size inputs[] = {{640, 352}, {960, 544}, {1280, 736}};
	const int heights[] = {12, 16, 20, 24, 32, 48};
	std::printf("text lines found (%%), by text height (px), 5 fonts, "
		    "turned 0-15 degrees\n%-10s %8s",
		    "input", "ms/frame");
	for (int h : heights)
		std::printf(" %5d", h);
	std::printf("\n");
	cv::Mat bg = qm_background();
	for (cv::Size in : inputs) {
		qm_text_options o;
		qm_text_detector text;
		std::string error;
		qm_load_text_detector(text, qm_model_path("text-detector.onnx"),
				      error, in);
		double ms = cpu_ms([&] { qm_detect_text(text, bg, o); }, 3);
		std::printf("%4dx%-5d %8.1f", in.width, in.height, ms);
		for (int h : heights) {
			int hits = 0, total = 0;
			cv::RNG rng(7);
			for (const char *font : FONTS) {
				cv::Mat frame = bg.clone();
				std::vector<cv::RotatedRect> truth;
				for (int i = 0; i < 5; i++) {
					float angle =
						(float)rng.uniform(-15.0, 15.0);
					cv::Point2f c(
						(float)(200 + 440 * (i % 2) +
							rng.uniform(0, 200)),
						(float)(80 + 130 * i));
					truth.push_back(qm_paste_text(
						frame,
						"Opening hours 9:30 to 17:00",
						qm_font_path(font), h, c,
						angle));
				}
				std::vector<qm_text_line> lines =
					qm_detect_text(text, frame, o);
				for (const cv::RotatedRect &t : truth) {
					float best = 0;
					for (const qm_text_line &l : lines)
						best = std::max(
							best,
							qm_coverage(l.box, t));
					hits += best > 0.8f;
					total++;
				}
			}
			std::printf(" %5.0f", 100.0 * hits / total);
		}
		std::printf("\n");
	}
}

void phone_figures(qm_text_detector &text, qm_phone_reader &reader)
{
	struct sample {
		const char *text;
		bool phone;
	};
	const sample samples[] = {
		{"Call +44 20 7946 0958", true},
		{"(555) 123-4567", true},
		{"Tel. 555-0100", true},
		{"+1 212 555 0147", true},
		{"Phone: 212-555-0199", true},
		{"Date: 2024-03-15", false},
		{"Price: $1,299.00", false},
		{"Order #4711-0815-2291", false},
		{"Invoice 2024-00123", false},
		{"Open 9:30 - 17:00", false},
	};
	qm_text_options o;
	int found = 0, phones = 0, wrong = 0, read_exact = 0;
	double ms_total = 0;
	int frames = 0;
	const int heights[] = {16, 20, 28};
	for (const char *font : FONTS) {
		for (int h : heights) {
			cv::Mat frame = qm_background();
			std::vector<cv::RotatedRect> truth;
			cv::RNG rng((uint64_t)h);
			for (size_t i = 0; i < std::size(samples); i++) {
				cv::Point2f c((float)(330 + 620 * (i % 2)),
					      (float)(45 + 68 * i));
				float angle = (float)rng.uniform(-10.0, 10.0);
				truth.push_back(qm_paste_text(
					frame, samples[i].text,
					qm_font_path(font), h, c, angle));
			}
			std::vector<qm_phone_number> numbers;
			timespec a, b;
			clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
			std::vector<qm_text_line> lines =
				qm_detect_text(text, frame, o);
			numbers = qm_find_phone_numbers(reader, frame, lines);
			clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
			ms_total += (double)(b.tv_sec - a.tv_sec) * 1e3 +
				    (double)(b.tv_nsec - a.tv_nsec) / 1e6;
			frames++;
			for (size_t i = 0; i < std::size(samples); i++) {
				bool hit = false;
				for (const qm_phone_number &n : numbers) {
					cv::RotatedRect r =
						cv::minAreaRect(n.outline);
					hit |= qm_coverage(r, truth[i]) > 0.3f;
				}
				if (samples[i].phone) {
					phones++;
					found += hit;
				} else {
					wrong += hit;
				}
			}
			for (const qm_phone_number &n : numbers)
				read_exact += std::any_of(
					std::begin(samples), std::end(samples),
					[&](const sample &s) {
						return std::string(s.text).find(
							       n.text) !=
						       std::string::npos;
					});
		}
	}
	cv::Mat card(60, 420, CV_8UC3, cv::Scalar::all(255)), grey;
	qm_draw_text(card, "Call +44 20 7946 0958", qm_font_path(FONTS[0]), 28,
		     {10, 44});
	cv::cvtColor(card, grey, cv::COLOR_BGR2GRAY);
	cv::Mat to_frame;
	cv::Mat crop = qm_crop_text_line(
		card, cv::RotatedRect({210, 30}, cv::Size2f(410, 40), 0),
		reader.line_height, to_frame);
	std::printf(
		"one line read and matched: %.1f ms\n",
		cpu_ms(
			[&] {
				qm_match_phone_numbers(
					qm_read_text_line(reader, crop).text,
					reader.region);
			},
			10));
	std::printf("phone numbers: %d of %d found, %d of %d distractor lines "
		    "hit, %d numbers read exactly; %.0f ms per frame of 10 "
		    "lines (text detection, OCR and matching)\n",
		    found, phones, wrong,
		    frames * (int)(std::size(samples)) - phones, read_exact,
		    ms_total / frames);
}

} // namespace

int main(int argc, char **argv)
{
	cv::setNumThreads(1);
	std::string error;
	qm_face_detector det;
	if (!qm_load_face_detector(det, qm_model_path("face-detector.onnx"),
				   error)) {
		std::fprintf(stderr, "%s\n", error.c_str());
		return 1;
	}
	auto wanted = [&](const char *part) {
		if (argc < 2)
			return true;
		for (int i = 1; i < argc; i++)
			if (!std::strcmp(argv[i], part))
				return true;
		return false;
	};
	qm_mode_figures(wanted);
	if (wanted("faces"))
		face_figures(det, false);
	if (wanted("faces-degraded"))
		face_figures(det, true);
	qm_face_describer desc;
	if (wanted("descriptors") &&
	    qm_load_face_describer(desc, qm_model_path("face-descriptor.onnx"),
				   error))
		descriptor_figures(det, desc);
	qm_text_detector text;
	if (!qm_load_text_detector(text, qm_model_path("text-detector.onnx"),
				   error)) {
		std::fprintf(stderr, "%s\n", error.c_str());
		return 1;
	}
	if (wanted("text"))
		text_figures();
	qm_phone_reader reader;
	if (wanted("phones") && qm_load_phone_reader(reader, "US", error)) {
		for (int h : {48}) {
			reader.line_height = h;
			std::printf("line crops %d px tall: ", h);
			phone_figures(text, reader);
		}
	}
	return 0;
}
