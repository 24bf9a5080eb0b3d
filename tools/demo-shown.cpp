// What the filter shows in the demo, told from the picture alone: black,
// the scene processed (its frame stamp read back), wholly obscured or with
// a readable code; a processed picture compared with the scene frame it
// came from; and the report of the run.
#include "demo-shown.h"

#include "people-scene.h"
#include "qr-scene.h"
#include "scene-feeder.h"

#include <cstdio>

using namespace qm_host;
namespace stdfs = std::filesystem;

namespace qm_demo {

const char *kind_name(shown_kind k)
{
	switch (k) {
	case shown_kind::black:
		return "black";
	case shown_kind::processed:
		return "the scene with its codes, faces and phone number "
		       "hidden";
	case shown_kind::unstamped:
		return "the scene processed, its frame stamp hidden";
	case shown_kind::whole:
		return "the scene wholly obscured";
	case shown_kind::raw:
		return "a readable QR code";
	case shown_kind::other:
		break;
	}
	return "something else";
}

shown_kind classify(const image &img, uint64_t *n)
{
	if (img.width != FRAME_WIDTH || img.height != FRAME_HEIGHT)
		return shown_kind::other;
	if (is_opaque_black(img))
		return shown_kind::black;
	cv::Mat shown = to_mat(img);
	if (!qm_scene::decode_qr(shown).empty())
		return shown_kind::raw;
	uint64_t frame = 0;
	if (!qm_scene::read_scene_stamp(shown, &frame))
		return qm_scene::one_mosaic(shown) ? shown_kind::whole
						   : shown_kind::unstamped;
	if (n)
		*n = frame;
	return shown_kind::processed;
}

constexpr uint64_t REACH_FRAMES = 24;
constexpr int REACH_GROWTH = 180;

processing_check check_processing(const image &img, uint64_t n)
{
	processing_check out;
	qm_scene::people_truth t;
	cv::Mat raw = qm_scene::people_frame(n, &t);
	cv::Mat shown = to_mat(img);
	auto changed = [&](const cv::Rect &r) {
		cv::Mat diff;
		cv::absdiff(raw(r), shown(r), diff);
		cv::Mat any;
		cv::transform(diff, any, cv::Matx14f(1, 1, 1, 0));
		return double(cv::countNonZero(any)) / double(r.area());
	};
	// A detector's findings reach the frames up to 0.8 s (24 scene
	// frames) from its run, grown for the motion possible in between (up
	// to 150 pixels for faces, plus their margin for hair and ears, and
	// 180 for codes): what lies farther from where the objects were in
	// that window is the camera's picture.
	std::vector<cv::Rect> hidden;
	for (uint64_t m = n > REACH_FRAMES ? n - REACH_FRAMES : 0;
	     m <= n + REACH_FRAMES; m++) {
		qm_scene::people_truth near;
		qm_scene::people_frame(m, &near);
		for (const cv::Rect &r : qm_scene::boxes_of(near.codes))
			hidden.push_back(r);
		hidden.insert(hidden.end(), {near.moving_face,
					     near.stranger_face, near.phone});
	}
	for (const qm_scene::placed_code &c : t.codes)
		if (cv::norm(raw(c.box), shown(c.box), cv::NORM_INF) == 0)
			out.leak = "the code \"" + c.text + "\" is unchanged";
	const std::pair<const char *, cv::Rect> to_hide[] = {
		{"the moving face", t.moving_face},
		{"the stranger's face", t.stranger_face},
		{"the phone number", t.phone}};
	for (const auto &[what, box] : to_hide)
		if (out.leak.empty() && changed(box) < 0.6)
			out.leak = std::string(what) + " is not hidden";

	size_t away = qm_scene::differences_away_from(raw, shown, hidden,
						      REACH_GROWTH);
	if (away)
		out.loose = std::to_string(away) +
			    " pixels away from what is hidden differ from "
			    "the camera's";
	else if (changed(t.kept_face) > 0.02)
		out.loose = "the person to keep is hidden";
	else if (changed(t.date) > 0)
		out.loose = "the date is changed";
	for (const cv::Rect &r : t.other_numbers)
		if (out.loose.empty() && changed(r) > 0)
			out.loose = "a number that is not a phone number is "
				    "changed";
	return out;
}

bool kept_up(const controller_summary &c)
{
	double behind = c.get("obscured_whole");
	for (const char *kind : {"faces", "qr", "phones"})
		behind += c.get(std::string("fallback_") + kind);
	for (const auto &kv : c.values)
		if (kv.first.size() > 10 &&
		    kv.first.compare(kv.first.size() - 10, 10, "_uncovered") ==
			    0)
			behind += kv.second;
	return c.valid && behind == 0;
}

namespace {

void print_shown(const char *stretch, double seconds, const shown_stats &stats)
{
	printf("  frames shown %s (%.2f s): %llu\n    %llu processed "
	       "(%zu distinct webcam frames), %llu processed with the frame "
	       "stamp hidden, %llu wholly obscured, %llu "
	       "black, %llu with a readable code, %llu other\n",
	       stretch, seconds, (unsigned long long)stats.total(),
	       (unsigned long long)stats.of(shown_kind::processed),
	       stats.processed_frames.size(),
	       (unsigned long long)stats.of(shown_kind::unstamped),
	       (unsigned long long)stats.of(shown_kind::whole),
	       (unsigned long long)stats.of(shown_kind::black),
	       (unsigned long long)stats.of(shown_kind::raw),
	       (unsigned long long)stats.of(shown_kind::other));
}

} // namespace

void print_report(const demo_report &r, const shown_stats &connecting,
		  shown_stats &running)
{
	using ull = unsigned long long;
	std::error_code ec;
	stdfs::path dir = stdfs::absolute(r.out_dir, ec);
	printf("\nPictures of what the filter shows, in %s:\n", dir.c_str());
	printf("  before.png  before the controller starts (%s)\n",
	       kind_name(r.before));
	printf("  during.png  while it runs (%s, webcam frame %llu)\n",
	       kind_name(r.during), ull(r.during_frame));
	printf("  after.png   after it stopped (%s, %.2f s after SIGTERM)\n",
	       kind_name(r.after), r.black_after_s);

	printf("\nSummary (host and webcam at %u fps; controller ran %.1f s, "
	       "from start to SIGTERM):\n",
	       r.fps, r.controller_s);
	printf("  webcam frames pushed:             %llu\n", ull(r.pushed));
	printf("  frames captured by the filter:    %llu "
	       "(input_seq %llu -> %llu)\n",
	       ull(r.seq_end - r.seq_start), ull(r.seq_start), ull(r.seq_end));
	const controller_summary &c = r.controller;
	printf("  frames sent to the controller:    %.0f "
	       "(controller's frames_in)\n",
	       c.get("frames_in"));
	printf("  frames it kept (at most \"fps\"):   %.0f\n", c.get("kept"));
	printf("  frames it wrote back:             %.0f "
	       "(frames_out): %.0f processed, %.0f wholly obscured\n",
	       c.get("frames_out"), c.get("processed"),
	       c.get("obscured_whole"));
	printf("  its detectors, CPU per run:       QR (ZXing) %.1f ms x %.0f "
	       "runs, QR (OpenCV) %.1f ms x %.0f runs,\n"
	       "                                    QR (fine) %.1f ms x %.0f "
	       "runs, faces %.1f ms x %.0f runs,\n"
	       "                                    phone numbers %.1f ms x "
	       "%.0f runs\n",
	       c.get("qr-zxing_ms"), c.get("qr-zxing_runs"),
	       c.get("qr-opencv_ms"), c.get("qr-opencv_runs"),
	       c.get("qr-fine_ms"), c.get("qr-fine_runs"), c.get("faces_ms"),
	       c.get("faces_runs"), c.get("phones_ms"), c.get("phones_runs"));
	printf("  frames it fell behind on:         %.0f in fallback for "
	       "faces, %.0f for QR codes, %.0f for phone numbers\n",
	       c.get("fallback_faces"), c.get("fallback_qr"),
	       c.get("fallback_phones"));
	printf("  its CPU time:                     %.2f s in %.1f s "
	       "(%.2f of a core)\n",
	       c.get("cpu_s"), c.get("wall_s"),
	       c.get("wall_s") > 0 ? c.get("cpu_s") / c.get("wall_s") : 0.0);
	print_shown("while connecting", r.connect_s, connecting);
	print_shown("during the run", r.run_s, running);
	printf("  webcam to screen (frame pushed to its processed picture "
	       "shown):\n    mean %.1f ms, median %.1f ms, max %.1f ms over "
	       "%llu frames\n",
	       running.latency.mean(), running.latency.median(),
	       running.latency.max_ms, ull(running.latency.count));
}

} // namespace qm_demo
