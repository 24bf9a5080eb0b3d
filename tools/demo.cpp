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

#include "obs-host.h"
#include "people-scene.h"
#include "png.h"
#include "qr-scene.h"
#include "scene-feeder.h"

#include <util/platform.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

using namespace qm_host;
namespace stdfs = std::filesystem;

namespace {

constexpr auto CONNECT_DEADLINE = std::chrono::seconds(60);
constexpr auto STOP_DEADLINE = std::chrono::seconds(20);

struct options {
	std::string output_dir = std::string(QM_PROJECT_DIR) + "/demo-output";
	double seconds = 5.0;
	double delay = 5.0;
	uint32_t fps = 30;
	std::string module_path;
	std::string controller_path;
};

const char *USAGE = R"(Usage: quilmar-demo [OPTION]...

Runs the Quilmar direct filter in a headless OBS host (libobs, no window)
on a moving scene that stands in for a webcam, together with the controller
quilmar-controller: a street with two QR codes, three faces (one moving across the top,
one of a person to keep, whose photo is set as the filter's "reference",
and a stranger beside them), a card with a phone number and a date, and
one with an order number, a price and opening hours.
It writes three snapshots of what the filter shows:
  before.png   before the controller starts: black
  during.png   while the controller runs: the scene, "delay" seconds late,
               the QR codes, the moving face, the stranger and the phone
               number a coarse mosaic; the person to keep, the date, the
               other numbers and the rest untouched
  after.png    after the controller has stopped: black
Then it prints how many frames were captured, sent, received and shown,
what the controller counted (frames kept, processed, wholly obscured, time
per detector, CPU) and the round-trip times. The host uses a temporary
configuration folder, never your own. Needs an X display (run it under
xvfb-run, as scripts/demo does).

Options:
  --output DIR       Folder for the pictures (created when missing).
                     Default: demo-output in the project folder.
  --seconds N        How long the controller runs once processed frames are
                     shown (0.5..600, decimals allowed, default 5).
  --fps N            Frame rate of the host, the webcam and the filter's
                     processing target (5..60, default 30).
  --delay N          The filter's look-ahead "delay" in seconds (1..30,
                     decimals allowed, default 5).
  --module PATH      The module to load. Default: the one built with this
                     program.
  --controller PATH  The controller program. Default: quilmar-controller
                     next to this program, else the one built with it.
  --help             Show this text and exit.

Exit status: 0 when the pictures are black, processed and black, 1 when
they are not or the demo cannot run, 2 on bad arguments.
)";

bool parse_number(const char *text, double lo, double hi, double *out)
{
	char *end = nullptr;
	errno = 0;
	double v = strtod(text, &end);
	if (errno || end == text || *end || !(v >= lo && v <= hi))
		return false;
	*out = v;
	return true;
}

// 0 when the arguments are good, otherwise the exit status to end with.
int parse_args(int argc, char **argv, options *opt)
{
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		if (arg == "--help") {
			fputs(USAGE, stdout);
			exit(0);
		}
		if (i + 1 >= argc) {
			fprintf(stderr,
				"quilmar-demo: unknown option or missing value: "
				"%s (try --help)\n",
				arg.c_str());
			return 2;
		}
		const char *value = argv[++i];
		double number = 0;
		if (arg == "--output" && *value) {
			opt->output_dir = value;
		} else if (arg == "--seconds" &&
			   parse_number(value, 0.5, 600, &number)) {
			opt->seconds = number;
		} else if (arg == "--delay" &&
			   parse_number(value, 1, 30, &number)) {
			opt->delay = number;
		} else if (arg == "--fps" &&
			   parse_number(value, 5, 60, &number) &&
			   number == double(uint32_t(number))) {
			opt->fps = uint32_t(number);
		} else if (arg == "--module" && *value) {
			opt->module_path = value;
		} else if (arg == "--controller" && *value) {
			opt->controller_path = value;
		} else {
			fprintf(stderr,
				"quilmar-demo: bad option or value: %s %s "
				"(try --help)\n",
				arg.c_str(), value);
			return 2;
		}
	}
	return 0;
}

stdfs::path own_folder()
{
	std::error_code ec;
	stdfs::path self = stdfs::read_symlink("/proc/self/exe", ec);
	return ec ? stdfs::path() : self.parent_path();
}

bool is_executable(const stdfs::path &p)
{
	return !p.empty() && access(p.c_str(), X_OK) == 0;
}

std::string find_controller(const options &opt)
{
	if (!opt.controller_path.empty())
		return opt.controller_path;
	stdfs::path beside = own_folder() / "quilmar-controller";
	if (is_executable(beside))
		return beside.string();
	return QM_CONTROLLER_PATH;
}

std::string find_module(const options &opt)
{
	if (!opt.module_path.empty())
		return opt.module_path;
	if (stdfs::exists(QM_MODULE_PATH))
		return QM_MODULE_PATH;
	return (own_folder().parent_path() / "quilmar-direct.so").string();
}

// ---------------------------------------------------------------------------
// The controller as a child process

struct controller_run {
	pid_t pid = -1;
	int stdout_fd = -1;
};

// The controller's summary line: key=value pairs.
struct controller_summary {
	bool valid = false;
	std::map<std::string, double> values;
	double get(const std::string &key) const
	{
		auto it = values.find(key);
		return it == values.end() ? 0 : it->second;
	}
};

bool start_controller(const std::string &path, const std::string &config_dir,
		      controller_run *run)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0)
		return false;
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
	std::vector<std::string> args = {path, "--config-dir", config_dir,
					 "--quiet"};
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	pid_t pid = -1;
	int err = posix_spawn(&pid, path.c_str(), &actions, nullptr,
			      argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	close(fds[1]);
	if (err != 0) {
		close(fds[0]);
		return false;
	}
	run->pid = pid;
	run->stdout_fd = fds[0];
	return true;
}

// Whether the controller is still running; reaps it when it has ended.
bool controller_alive(controller_run *run, int *status)
{
	if (run->pid <= 0)
		return false;
	if (waitpid(run->pid, status, WNOHANG) == 0)
		return true;
	run->pid = -1;
	return false;
}

// SIGTERM, then its exit status (-1 when it had to be killed) and summary.
int stop_controller(controller_run *run, controller_summary *summary)
{
	int status = 0;
	int code = -1;
	if (run->pid > 0) {
		kill(run->pid, SIGTERM);
		pid_t pid = run->pid;
		bool ended = wait_until(
			[&] { return waitpid(pid, &status, WNOHANG) == pid; },
			STOP_DEADLINE, std::chrono::milliseconds(10));
		if (!ended) {
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
		} else if (WIFEXITED(status)) {
			code = WEXITSTATUS(status);
		}
		run->pid = -1;
	}
	std::string out;
	char buf[4096];
	ssize_t n;
	while (run->stdout_fd >= 0 &&
	       (n = read(run->stdout_fd, buf, sizeof(buf))) > 0)
		out.append(buf, size_t(n));
	if (run->stdout_fd >= 0)
		close(run->stdout_fd);
	run->stdout_fd = -1;

	size_t at = out.rfind("frames_in=");
	if (at != std::string::npos) {
		std::istringstream words(out.substr(at));
		std::string word;
		while (words >> word) {
			size_t eq = word.find('=');
			if (eq != std::string::npos)
				summary->values[word.substr(0, eq)] =
					atof(word.c_str() + eq + 1);
		}
		summary->valid = summary->values.count("frames_out") == 1;
	}
	return code;
}

// ---------------------------------------------------------------------------
// What the filter shows

enum class shown_kind { black, processed, unstamped, whole, raw, other };
constexpr int SHOWN_KINDS = int(shown_kind::other) + 1;

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

// What a picture of the filter shows; for a processed one, the scene
// frame it came from goes to *n.
shown_kind classify(const image &img, uint64_t *n = nullptr)
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

// Empty when scene frame n was processed as it should be: the codes, the
// moving face, the stranger and the phone number changed, the person to
// keep and the date untouched, and everything away from what is hidden
// what the camera showed, byte for byte.
std::string processing_mismatch(const image &img, uint64_t n)
{
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
	size_t away = qm_scene::differences_away_from(raw, shown, hidden,
						      REACH_GROWTH);
	if (away)
		return std::to_string(away) +
		       " pixels away from what is hidden differ from the "
		       "camera's";
	for (const qm_scene::placed_code &c : t.codes)
		if (cv::norm(raw(c.box), shown(c.box), cv::NORM_INF) == 0)
			return "the code \"" + c.text + "\" is unchanged";
	const std::pair<const char *, cv::Rect> to_hide[] = {
		{"the moving face", t.moving_face},
		{"the stranger's face", t.stranger_face},
		{"the phone number", t.phone}};
	for (const auto &[what, box] : to_hide)
		if (changed(box) < 0.6)
			return std::string(what) + " is not hidden";
	if (changed(t.kept_face) > 0.02)
		return "the person to keep is hidden";
	if (changed(t.date) > 0)
		return "the date is changed";
	for (const cv::Rect &r : t.other_numbers)
		if (changed(r) > 0)
			return "a number that is not a phone number is changed";
	return "";
}

struct latency_stats {
	uint64_t count = 0;
	double sum_ms = 0, max_ms = 0;
	std::vector<double> all_ms;

	void add(double ms)
	{
		count++;
		sum_ms += ms;
		max_ms = std::max(max_ms, ms);
		all_ms.push_back(ms);
	}
	double mean() const { return count ? sum_ms / double(count) : 0; }
	double median()
	{
		if (all_ms.empty())
			return 0;
		std::nth_element(all_ms.begin(),
				 all_ms.begin() + all_ms.size() / 2,
				 all_ms.end());
		return all_ms[all_ms.size() / 2];
	}
};

// What the filter showed over a stretch of frames.
struct shown_stats {
	uint64_t shown[SHOWN_KINDS] = {};
	std::set<uint64_t> processed_frames;
	latency_stats latency;

	uint64_t of(shown_kind k) const { return shown[int(k)]; }
	uint64_t total() const
	{
		uint64_t all = 0;
		for (uint64_t n : shown)
			all += n;
		return all;
	}
};

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

struct demo_report {
	stdfs::path out_dir;
	shown_kind before, during, after;
	uint64_t during_frame;
	double black_after_s;
	uint32_t fps;
	double controller_s;
	uint64_t pushed, seq_start, seq_end;
	controller_summary controller;
	double connect_s, run_s;
};

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
		std::string mismatch = processing_mismatch(during, during_n);
		result.check(mismatch.empty(),
			     "the processed picture of webcam frame " +
				     std::to_string(during_n) +
				     " is wrong: " + mismatch);
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
