// quilmar-controller: wires the stages together (endpoints, frame I/O,
// settings, the look-ahead pipeline and its detectors), keeps the settings
// current and prints what happens.

#include "command-line.h"
#include "endpoints.h"
#include "face-stage.h"
#include "frame-io.h"
#include "models.h"
#include "phone-stage.h"
#include "pipeline.h"
#include "qr-detector.h"
#include "settings.h"
#include "worker.h"

#include <opencv2/core/utility.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>

namespace qmc {
namespace {

const char *const PROGRAM = "quilmar-controller";
constexpr auto SETTINGS_POLL = std::chrono::milliseconds(250);
constexpr auto MAIN_TICK = std::chrono::milliseconds(50);

double process_cpu_s()
{
	rusage ru;
	if (getrusage(RUSAGE_SELF, &ru) != 0)
		return 0;
	auto s = [](const timeval &t) {
		return double(t.tv_sec) + double(t.tv_usec) / 1e6;
	};
	return s(ru.ru_utime) + s(ru.ru_stime);
}

// Messages and the live status line share stderr.
class console {
public:
	console(bool quiet, bool tty) : quiet_(quiet), tty_(tty) {}

	void note(const std::string &text)
	{
		if (quiet_)
			return;
		std::lock_guard<std::mutex> lock(mutex_);
		fprintf(stderr, "%s%s: %s\n", tty_ ? "\r\033[K" : "", PROGRAM,
			text.c_str());
		fflush(stderr);
	}
	void error(const std::string &text)
	{
		std::lock_guard<std::mutex> lock(mutex_);
		fprintf(stderr, "%s%s: error: %s\n", tty_ ? "\r\033[K" : "",
			PROGRAM, text.c_str());
		fflush(stderr);
	}
	void status(const std::string &text)
	{
		if (quiet_)
			return;
		std::lock_guard<std::mutex> lock(mutex_);
		fprintf(stderr, tty_ ? "\r\033[K%s" : "%s\n", text.c_str());
		fflush(stderr);
	}
	void end_status()
	{
		if (!quiet_ && tty_)
			fputc('\n', stderr);
	}

private:
	std::mutex mutex_;
	bool quiet_, tty_;
};

// What the status line compares with: the figures at the previous line.
struct snapshot {
	double wall_s = 0, cpu_s = 0;
	uint64_t in = 0, kept = 0, out = 0;
	std::vector<detector_stats> detectors;
};

using worker_list = std::vector<std::shared_ptr<worker_counts>>;

// The CPU time of the runs in workers, which the controller's own does
// not include.
double workers_cpu_s(const worker_list &workers)
{
	uint64_t ns = 0;
	for (const auto &w : workers)
		ns += w->cpu_ns;
	return double(ns) / 1e9;
}

std::string status_line(const snapshot &was, const snapshot &now,
			const pipeline_stats &ps, const link_counts &link,
			const worker_list &workers, const settings &s,
			const std::string &blocked)
{
	double dt = std::max(now.wall_s - was.wall_s, 1e-3);
	char buf[256];
	snprintf(buf, sizeof(buf),
		 "in %.1f/s  kept %.1f/s  out %.1f/s  processed %" PRIu64
		 "  obscured whole %" PRIu64 "  |",
		 double(now.in - was.in) / dt, double(now.kept - was.kept) / dt,
		 double(now.out - was.out) / dt, ps.processed,
		 ps.obscured_whole);
	std::string line = buf;
	for (size_t i = 0; i < now.detectors.size(); i++) {
		const detector_stats &d = now.detectors[i];
		if (!d.wanted) {
			line += " " + d.name + " off";
			continue;
		}
		uint64_t runs = d.runs + d.failures;
		uint64_t prev = 0, cpu = d.cpu_ns;
		if (i < was.detectors.size()) {
			prev = was.detectors[i].runs +
			       was.detectors[i].failures;
			cpu -= was.detectors[i].cpu_ns;
		}
		uint64_t n = runs - prev;
		snprintf(buf, sizeof(buf), " %s %.1f ms %.1f/s", d.name.c_str(),
			 n ? double(cpu) / double(n) / 1e6 : 0.0,
			 double(n) / dt);
		line += buf;
		if (d.failures)
			line += " (" + std::to_string(d.failures) + " failed)";
	}
	snprintf(buf, sizeof(buf), "  | cpu %.2f  filter %s/%s",
		 (now.cpu_s - was.cpu_s) / dt,
		 link.input_connected ? "in" : "-",
		 link.output_connected ? "out" : "-");
	line += buf;
	for (const auto &kv : ps.fallback)
		line += "  fallback_" + kv.first + " " +
			std::to_string(kv.second);
	for (const auto &w : workers)
		if (w->restarts)
			line += "  restarts_" + w->name + " " +
				std::to_string(w->restarts.load());
	if (!ps.plan.empty()) {
		snprintf(buf, sizeof(buf),
			 "  | plan for %.2f cores (%.2f besides): ",
			 ps.planned_cores, ps.other_cores);
		line += buf + ps.plan;
	}
	if (!blocked.empty()) {
		line += "  (nothing is sent back: " + blocked + ")";
	} else if (!s.worker_enabled) {
		line += "  (processing off: nothing is sent back)";
	} else if (ps.keep_fps + 0.01 < s.fps) {
		snprintf(buf, sizeof(buf),
			 "  (at most %.1f/s kept: --buffer-mb too small for "
			 "\"delay\")",
			 ps.keep_fps);
		line += buf;
	}
	return line;
}

void print_summary(const pipeline_stats &ps, const link_counts &link,
		   const worker_list &workers, double cpu_s, double wall_s)
{
	printf("frames_in=%" PRIu64 " kept=%" PRIu64 " frames_out=%" PRIu64
	       " processed=%" PRIu64 " obscured_whole=%" PRIu64
	       " skipped=%" PRIu64 " unsent=%" PRIu64 " cpu_s=%.3f wall_s=%.3f",
	       link.frames_in.load(), ps.kept, link.frames_out.load(),
	       ps.processed, ps.obscured_whole, ps.skipped, link.unsent.load(),
	       cpu_s, wall_s);
	for (const char *kind : {"faces", "qr", "phones"}) {
		auto it = ps.fallback.find(kind);
		printf(" fallback_%s=%" PRIu64, kind,
		       it == ps.fallback.end() ? 0 : it->second);
	}
	for (const detector_stats &d : ps.detectors)
		printf(" %s_runs=%" PRIu64 " %s_failures=%" PRIu64
		       " %s_ms=%.3f %s_uncovered=%" PRIu64,
		       d.name.c_str(), d.runs, d.name.c_str(), d.failures,
		       d.name.c_str(),
		       d.runs + d.failures
			       ? double(d.cpu_ns) /
					 double(d.runs + d.failures) / 1e6
			       : 0.0,
		       d.name.c_str(), d.uncovered);
	for (const auto &w : workers)
		printf(" restarts_%s=%" PRIu64, w->name.c_str(),
		       w->restarts.load());
	printf("\n");
	fflush(stdout);
}

// Says once for each detector that its runs have begun to fail.
void tell_failures(const pipeline_stats &ps, std::vector<uint64_t> &told,
		   const note_fn &note)
{
	told.resize(ps.detectors.size(), 0);
	for (size_t i = 0; i < ps.detectors.size(); i++) {
		const detector_stats &d = ps.detectors[i];
		if (d.failures && !told[i])
			note(d.name + ": a run failed (" + d.last_failure +
			     "); frames it cannot cover go out wholly "
			     "obscured");
		told[i] = d.failures;
	}
}

// A detector's first run loads and allocates what later runs reuse, and
// starts its worker: done on a blank frame before the filter can connect,
// so that the first frames are covered as soon as any later ones. On this
// thread, which lasts as long as the process: a worker dies with the
// thread that started it.
void warm_up(const std::vector<detector> &detectors)
{
	cv::Mat blank(int(FRAME_HEIGHT), int(FRAME_WIDTH), CV_8UC4,
		      cv::Scalar(128, 128, 128, 255));
	for (const detector &d : detectors) {
		if (!d.run)
			continue;
		try {
			d.run(blank, {}, 0, 0);
		} catch (const std::exception &) {
			// Its real runs will fail and say why.
		}
	}
}

// The detectors and what kept any of them from loading.
struct stages {
	std::vector<detector> detectors;
	// Detectors that run in worker processes.
	worker_list workers;
	std::string face_problem, phone_problem;
	// The reference photos the faces worker is to use.
	struct photo_list {
		std::mutex mutex;
		std::vector<std::string> paths;
	};
	std::shared_ptr<photo_list> references = std::make_shared<photo_list>();
};

// Every detector reads what the camera shows with third-party code
// (ZXing asserts on some distorted codes, Tesseract and OpenCV have
// asserts of their own): each runs in a worker process.
void add_in_worker(detector d, worker_options wo, stages &st)
{
	std::shared_ptr<worker_counts> counts;
	st.detectors.push_back(in_worker(std::move(d), wo, &counts));
	st.workers.push_back(counts);
}

worker_options worker_setup(const note_fn &note)
{
	worker_options wo;
	wo.program = "/proc/self/exe";
	wo.note = note;
	return wo;
}

// The models are loaded here too, to tell at once what keeps a class from
// running; the worker loads its own.
void load_faces(const std::string &dir, stages &st, const note_fn &note)
{
	std::string problem;
	auto stage = load_face_stage(dir, note, &problem);
	if (!stage) {
		st.face_problem = "faces: " + problem;
		return;
	}
	worker_options wo = worker_setup(note);
	wo.args = {dir};
	wo.config = [refs = st.references] {
		std::lock_guard<std::mutex> lock(refs->mutex);
		return refs->paths;
	};
	add_in_worker(make_face_detector(stage), wo, st);
}

void load_qr(stages &st, const note_fn &note)
{
	for (detector &d : make_qr_detectors())
		add_in_worker(std::move(d), worker_setup(note), st);
}

// False when the region is not one libphonenumber knows.
bool load_phones(const std::string &dir, const std::string &region, stages &st,
		 const note_fn &note, std::string *bad_region)
{
	std::string problem;
	bool unknown = false;
	auto models = load_phone_models(dir, region, &problem, &unknown);
	if (unknown) {
		*bad_region = problem;
		return false;
	}
	if (!models) {
		st.phone_problem = "phones: " + problem;
		return true;
	}
	worker_options wo = worker_setup(note);
	wo.args = {dir, region};
	add_in_worker(make_phone_detector(models), wo, st);
	return true;
}

// Why nothing may be sent back with these settings: an enabled detector
// that could not load; empty when nothing stands in the way.
std::string blocked_by(const stages &st, const settings &s)
{
	if (!s.worker_enabled)
		return {};
	if (s.face_enabled && !st.face_problem.empty())
		return st.face_problem;
	if (s.phone_enabled && !st.phone_problem.empty())
		return st.phone_problem;
	return {};
}

int run(const options &opt)
{
	bool tty = isatty(STDERR_FILENO) == 1;
	console con(opt.quiet, tty);
	auto note = [&](const std::string &s) {
		con.note(s);
	};

	std::string dir = opt.config_dir;
	if (dir.empty() && !default_config_dir(&dir)) {
		con.error("no configuration folder: HOME is not set (use "
			  "--config-dir)");
		return 1;
	}
	if (!make_dirs(dir)) {
		con.error("cannot create the folder " + dir);
		return 1;
	}
	// Loading the models takes a while: until this controller publishes
	// its own files, a filter finds none rather than a dead port.
	remove_stale_endpoints(dir, note);
	settings_file file(dir + "/settings.json", note);
	file.poll();

	// Image work runs on the detectors' own threads, one core each.
	cv::setNumThreads(1);
	block_stop_signals();
	size_t max_frames = opt.buffer_mb * size_t(1 << 20) / FRAME_BYTES;
	stages st;
	load_qr(st, note);
	std::string models =
		find_model_dir(model_dirs(opt.model_dir, program_dir()));
	std::string bad_region;
	load_faces(models, st, note);
	if (!load_phones(models,
			 opt.region.empty() ? qm_default_region() : opt.region,
			 st, note, &bad_region)) {
		unblock_stop_signals();
		con.error(bad_region + " (see --help)");
		return EXIT_USAGE;
	}
	pipeline_options po;
	po.max_frames = max_frames;
	po.cpu_budget = opt.cpu_budget;
	// A copy: the same stages and workers, warmed up below.
	pipeline p(st.detectors, steady_now_ns, po);
	std::string blocked;
	std::set<std::string> told_blocked;
	// Settings as the pipeline takes them: nothing kept while an enabled
	// detector cannot run, so that nothing is sent back.
	auto apply = [&](const settings &s) {
		blocked = blocked_by(st, s);
		settings effective = s;
		effective.worker_enabled = s.worker_enabled && blocked.empty();
		p.configure(effective);
		{
			std::lock_guard<std::mutex> lock(st.references->mutex);
			st.references->paths = s.references;
		}
		if (!blocked.empty() && told_blocked.insert(blocked).second)
			con.error(blocked + "; nothing is sent back while it "
					    "is enabled");
	};
	// What keeps a class from running is said before the warm-up, which
	// takes a while on a busy machine.
	apply(file.current());
	warm_up(st.detectors);

	endpoints eps;
	std::string error;
	if (!eps.open(&error)) {
		unblock_stop_signals();
		con.error(error);
		return 1;
	}
	std::atomic<bool> stop{false};
	link_counts link;
	std::thread server([&] { eps.serve(stop, note); });
	std::thread input(
		[&] { run_input(eps.input().slot, p, stop, link, note); });
	std::thread output(
		[&] { run_output(eps.output().slot, p, stop, link, note); });
	unblock_stop_signals();

	// Listening first, then published: the filter never finds a port
	// that nobody answers.
	int status = 0;
	if (!eps.publish(dir, &error)) {
		con.error("cannot write the endpoint files: " + error);
		status = 1;
	} else {
		note("filter-input on 127.0.0.1:" +
		     std::to_string(eps.input().port) +
		     ", direct-output on 127.0.0.1:" +
		     std::to_string(eps.output().port) + ", files in " + dir);
	}

	double every = opt.status_every > 0 ? opt.status_every
					    : (tty ? 1.0 : 60.0);
	uint64_t start = steady_now_ns();
	auto elapsed = [&] {
		return double(steady_now_ns() - start) / 1e9;
	};
	snapshot last;
	double next_poll = 0, next_status = every;
	std::vector<uint64_t> told_failures;
	uint64_t told_plan = ~uint64_t(0);
	while (status == 0 && !stop_requested()) {
		std::this_thread::sleep_for(MAIN_TICK);
		double t = elapsed();
		if (t >= next_poll) {
			next_poll =
				t + std::chrono::duration<double>(SETTINGS_POLL)
					    .count();
			if (file.poll())
				apply(file.current());
			pipeline_stats ps = p.stats();
			tell_failures(ps, told_failures,
				      [&](const std::string &e) {
					      con.error(e);
				      });
			if (ps.plan_changes != told_plan && !ps.plan.empty())
				note("plan: " + ps.plan);
			told_plan = ps.plan_changes;
		}
		if (t < next_status)
			continue;
		next_status = t + every;
		pipeline_stats ps = p.stats();
		snapshot now{t,
			     process_cpu_s() + workers_cpu_s(st.workers),
			     link.frames_in.load(),
			     ps.kept,
			     link.frames_out.load(),
			     ps.detectors};
		con.status(status_line(last, now, ps, link, st.workers,
				       file.current(), blocked));
		last = now;
	}

	stop = true;
	// The files go first: a filter must not find a port nobody serves.
	eps.unpublish();
	server.join();
	input.join();
	output.join();
	p.stop();
	con.end_status();
	print_summary(p.stats(), link, st.workers,
		      process_cpu_s() + workers_cpu_s(st.workers), elapsed());
	return status;
}

} // namespace
} // namespace qmc

int main(int argc, char **argv)
{
	// Tesseract's OpenMP threads spin while they wait, several times the
	// work itself in CPU time; the OpenMP runtime reads its limit when it
	// is loaded, before main, so the program starts again with it set.
	if (!getenv("OMP_THREAD_LIMIT") &&
	    setenv("OMP_THREAD_LIMIT", "1", 1) == 0)
		execv("/proc/self/exe", argv);
	if (argc >= 4 && strcmp(argv[1], qmc::WORKER_ARG) == 0)
		return qmc::worker_main(argv[2], argv[3],
					{argv + 4, argv + argc});
	qmc::install_signal_handlers();
	qmc::options opt;
	std::string error;
	if (!qmc::parse_command_line(argc, argv, &opt, &error)) {
		fprintf(stderr, "quilmar-controller: error: %s (see --help)\n",
			error.c_str());
		return qmc::EXIT_USAGE;
	}
	if (opt.help) {
		fputs(qmc::HELP_TEXT, stdout);
		return 0;
	}
	return qmc::run(opt);
}
