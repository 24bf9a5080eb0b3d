// The whole round trip in one program: libobs runs headless with the
// module loaded, a moving scene with QR codes, faces and a phone number
// stands in for a webcam, the
// filter sits on it, and the controller runs for a few seconds as a child
// process. Snapshots of what the filter shows before, during and after the
// controller's run are written as PNG files, followed by a summary of the
// frames that went round, what the controller counted and how long it all
// took. The program checks its own pictures and exits non-zero when they
// are not black, processed (codes, faces and the phone number hidden, the
// person to keep and the rest untouched) and black.
//
// The command line lies in demo-options.cpp, the controller's process in
// demo-controller.cpp, and the checks of the pictures and the summary in
// demo-shown.cpp.

#include "demo-controller.h"
#include "demo-options.h"
#include "demo-shown.h"
#include "obs-host.h"
#include "people-scene.h"
#include "png.h"
#include "qr-scene.h"
#include "scene-feeder.h"

#include <util/platform.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

using namespace qm_host;
using namespace qm_demo;
namespace stdfs = std::filesystem;

namespace {

constexpr auto CONNECT_DEADLINE = std::chrono::seconds(60);

double seconds_since(uint64_t start_ns)
{
	return double(os_gettime_ns() - start_ns) / 1e9;
}

bool save(const stdfs::path &path, const image &img)
{
	if (write_png(path.string(), img.pixels.data(), img.width, img.height,
		      img.pitch))
		return true;
	fprintf(stderr, "quilmar-demo: cannot write %s\n", path.c_str());
	return false;
}

struct demo_result {
	bool ok = true;
	void check(bool condition, const std::string &what)
	{
		if (!condition) {
			fprintf(stderr, "quilmar-demo: FAILED: %s\n",
				what.c_str());
			ok = false;
		}
	}
};

// The demo proper, between start-up and shutdown of the host.
int run_demo(const options &opt, const std::string &controller)
{
	demo_result result;
	stdfs::path out_dir = opt.output_dir;

	// The filter processes at the host's rate; the controller reads the
	// rate and the look-ahead from the settings file the filter writes.
	data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), S_FPS, opt.fps);
	obs_data_set_double(settings.get(), S_DELAY, opt.delay);
	// The person to keep: their photo as the filter's reference photo.
	stdfs::path kept_photo = out_dir / "kept-person.jpg";
	if (!qm_scene::people_scene_available() ||
	    !qm_scene::write_kept_person_photo(kept_photo.string())) {
		fprintf(stderr,
			"quilmar-demo: the scene needs opencv-doc and "
			"fonts-dejavu-core, and %s must be writable\n",
			kept_photo.c_str());
		return 1;
	}
	obs_data_set_string(settings.get(), "reference", kept_photo.c_str());
	filtered_source cam = make_filtered(pattern_kind::async, FRAME_WIDTH,
					    FRAME_HEIGHT, FILTER_ID,
					    settings.get());
	if (!cam.data()) {
		fprintf(stderr, "quilmar-demo: cannot create the filter\n");
		return 1;
	}
	obs_source_t *shown_source = cam.parent.get();
	std::unique_ptr<webcam_feeder> feeder =
		feed_people(shown_source, opt.fps);
	webcam_feeder &webcam = *feeder;
	auto show = [&] {
		return render_and_read(shown_source, FRAME_WIDTH, FRAME_HEIGHT);
	};

	// Before: the webcam delivers and the filter captures, but shows
	// black while no controller is there.
	printf("Waiting for the webcam's first frames...\n");
	image before;
	bool capturing = wait_until(
		[&] {
			before = show();
			return obs_source_get_width(shown_source) ==
				       FRAME_WIDTH &&
			       input_seq(cam.data()) >= 3;
		},
		std::chrono::seconds(20), std::chrono::milliseconds(1));
	result.check(capturing, "the filter captured no webcam frames");
	before = show();
	uint64_t captured_n = 0;
	result.check(qm_scene::read_scene_stamp(
			     to_mat(copy_input_frame(cam.data())), &captured_n),
		     "the filter's captured frame is not the webcam's");
	result.check(is_opaque_black(before),
		     "before the controller starts the filter shows " +
			     std::string(kind_name(classify(before))) +
			     ", not black");
	if (!save(out_dir / "before.png", before))
		result.ok = false;

	// During: start the controller and wait for its first processed
	// frame, then watch every frame for the run time.
	std::string config_dir = module_config_dir();
	printf("Starting the controller: %s --config-dir %s --quiet\n",
	       controller.c_str(), config_dir.c_str());
	controller_run ctl;
	if (!start_controller(controller, config_dir, &ctl)) {
		fprintf(stderr, "quilmar-demo: cannot start %s\n",
			controller.c_str());
		return 1;
	}
	uint64_t seq_start = input_seq(cam.data());
	uint64_t pushed_start = webcam.frames_pushed();
	uint64_t start_ns = os_gettime_ns();
	shown_stats connecting, running;
	int status = 0;

	auto watch = [&](shown_stats &stats) {
		image img = show();
		uint64_t now = os_gettime_ns();
		uint64_t n = 0;
		shown_kind kind = classify(img, &n);
		stats.shown[int(kind)]++;
		if (kind == shown_kind::processed) {
			stats.processed_frames.insert(n);
			uint64_t made = webcam.times().time_of(n);
			if (made && made <= now)
				stats.latency.add(double(now - made) / 1e6);
		}
		return std::make_pair(kind, img);
	};

	bool connected = false;
	while (!connected && controller_alive(&ctl, &status) &&
	       os_gettime_ns() - start_ns <
		       uint64_t(std::chrono::nanoseconds(CONNECT_DEADLINE)
					.count()))
		connected = watch(connecting).first == shown_kind::processed;
	double connect_s = seconds_since(start_ns);
	result.check(connected,
		     "no processed frame was shown within " +
			     std::to_string(CONNECT_DEADLINE.count()) + " s" +
			     (ctl.pid < 0 ? " (the controller ended early)"
					  : ""));

	image during;
	uint64_t run_ns = os_gettime_ns();
	if (connected) {
		printf("Processed frames are shown after %.2f s; running for "
		       "%.1f s...\n",
		       connect_s, opt.seconds);
		fflush(stdout);
		// The snapshot is the first processed frame after half the
		// run time. On a machine too busy for the detectors, frames
		// go out wholly obscured in between: the run then goes on
		// until one is processed.
		double limit = opt.seconds + double(CONNECT_DEADLINE.count());
		while ((seconds_since(run_ns) < opt.seconds ||
			(during.pixels.empty() &&
			 seconds_since(run_ns) < limit)) &&
		       controller_alive(&ctl, &status)) {
			auto seen = watch(running);
			if (during.pixels.empty() &&
			    seen.first == shown_kind::processed &&
			    seconds_since(run_ns) >= opt.seconds / 2)
				during = std::move(seen.second);
		}
	}
	double run_s = seconds_since(run_ns);
	if (during.pixels.empty())
		during = show();
	bool alive = controller_alive(&ctl, &status);
	result.check(!connected || alive,
		     "the controller ended before it was stopped");
	uint64_t seq_end = input_seq(cam.data());
	uint64_t pushed_end = webcam.frames_pushed();

	controller_summary summary;
	uint64_t stop_ns = os_gettime_ns();
	int code = stop_controller(&ctl, &summary);
	result.check(code == 0, "the controller did not end cleanly on "
				"SIGTERM (exit status " +
					std::to_string(code) + ")");
	result.check(summary.valid, "the controller printed no summary line");

	uint64_t during_n = 0;
	shown_kind during_kind = classify(during, &during_n);
	result.check(during_kind == shown_kind::processed,
		     "while the controller runs the filter shows " +
			     std::string(kind_name(during_kind)) +
			     ", not the scene processed");
	if (during_kind == shown_kind::processed) {
		processing_check c = check_processing(during, during_n);
		std::string which = "the processed picture of webcam frame " +
				    std::to_string(during_n);
		result.check(c.leak.empty(), which + " is wrong: " + c.leak);
		if (kept_up(summary))
			result.check(c.loose.empty(),
				     which + " is wrong: " + c.loose);
		else if (!c.loose.empty())
			printf("quilmar-demo: %s hides more than it needs "
			       "to (%s): the controller fell behind this "
			       "machine (see its fallback below)\n",
			       which.c_str(), c.loose.c_str());
	}
	if (!save(out_dir / "during.png", during))
		result.ok = false;

	// After: the last processed frame ages out and black follows.
	image after;
	bool black = wait_until(
		[&] {
			after = show();
			return is_opaque_black(after);
		},
		STOP_DEADLINE, std::chrono::milliseconds(1));
	double black_after_s = seconds_since(stop_ns);
	result.check(black, "after the controller stopped the filter shows " +
				    std::string(kind_name(classify(after))) +
				    ", not black");
	if (!save(out_dir / "after.png", after))
		result.ok = false;
	webcam.stop();

	demo_report report;
	report.out_dir = out_dir;
	report.before = classify(before);
	report.during = during_kind;
	report.after = classify(after);
	report.during_frame = during_n;
	report.black_after_s = black_after_s;
	report.fps = opt.fps;
	report.controller_s = double(stop_ns - start_ns) / 1e9;
	report.pushed = pushed_end - pushed_start;
	report.seq_start = seq_start;
	report.seq_end = seq_end;
	report.controller = summary;
	report.connect_s = connect_s;
	report.run_s = run_s;
	print_report(report, connecting, running);

	result.check(running.of(shown_kind::processed) > 0 &&
			     running.of(shown_kind::raw) == 0 &&
			     connecting.of(shown_kind::raw) == 0,
		     "the run showed no processed frame, or a readable QR "
		     "code");
	result.check(summary.get("frames_in") > 0 &&
			     summary.get("frames_out") > 0,
		     "no frames went round the controller");
	printf("\n%s\n", result.ok ? "Demo OK: black, processed, black."
				   : "Demo FAILED (see above).");
	return result.ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	options opt;
	if (int code = parse_args(argc, argv, &opt))
		return code;
	std::string controller = find_controller(opt);
	std::string module = find_module(opt);
	if (!is_executable(controller)) {
		fprintf(stderr, "quilmar-demo: no controller program at %s\n",
			controller.c_str());
		return 1;
	}
	std::error_code ec;
	stdfs::create_directories(opt.output_dir, ec);
	if (ec) {
		fprintf(stderr, "quilmar-demo: cannot create %s: %s\n",
			opt.output_dir.c_str(), ec.message().c_str());
		return 1;
	}

	// A configuration folder of its own, set before libobs or any module
	// thread starts: the user's real one is never touched.
	std::string error;
	if (!make_config_home("quilmar-demo", &error)) {
		fprintf(stderr, "quilmar-demo: %s\n", error.c_str());
		return 1;
	}
	host_config config;
	config.fps = opt.fps;
	config.module_path = module;
	config.echo_level = LOG_ERROR;
	int code = 1;
	if (start(config, &error)) {
		printf("Headless OBS host running at 1280x720, %u fps, with %s\n",
		       opt.fps, module.c_str());
		code = run_demo(opt, controller);
	} else {
		fprintf(stderr, "quilmar-demo: %s\n", error.c_str());
	}
	stop();
	remove_config_home();
	return code;
}
