#include "quality-run.h"

#include "measure.h"
#include "table.h"

#include "controller-process.h"
#include "qr-scene.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace quality {

const char *const DETECTORS[5] = {"faces", "phones", "qr-zxing", "qr-opencv",
				  "qr-fine"};
const char *const FALLBACKS[3] = {"faces", "qr", "phones"};

namespace {

using bench::now_s;

// Shares of a box's pixels changed: at least HIDDEN counts as obscured,
// at most SHOWN as visible.
constexpr double HIDDEN = 0.5, SHOWN = 0.02;

double changed(const cv::Mat &a, const cv::Mat &b, const cv::Rect &r)
{
	if (r.empty())
		return 0;
	cv::Mat diff, any;
	cv::absdiff(a(r), b(r), diff);
	cv::transform(diff, any, cv::Matx14f(1, 1, 1, 0));
	return double(cv::countNonZero(any)) / double(r.area());
}

// Whether a part of an object showed: a quarter of its box on one side
// (its top, bottom, left or right) less than half changed, as the tops of
// a number's digits above its mosaic.
bool partly_shown(const cv::Mat &raw, const cv::Mat &shown, const cv::Rect &box)
{
	int w = std::max(1, box.width / 4), h = std::max(1, box.height / 4);
	const cv::Rect sides[] = {{box.x, box.y, box.width, h},
				  {box.x, box.br().y - h, box.width, h},
				  {box.x, box.y, w, box.height},
				  {box.br().x - w, box.y, w, box.height}};
	for (const cv::Rect &side : sides)
		if (changed(raw, shown, side) < HIDDEN)
			return true;
	return false;
}

// A picture for a look, into the folder the variable names, if set.
void save_picture(const char *variable, const sequence &seq, long long n,
		  const cv::Mat &picture)
{
	const char *dir = getenv(variable);
	if (!dir || !*dir)
		return;
	std::string name = seq.name;
	std::replace(name.begin(), name.end(), ' ', '-');
	cv::imwrite(std::string(dir) + "/" + name + "-" + std::to_string(n) +
			    ".png",
		    picture);
}

// With QM_BENCH_SHOWN_DIR set, a frame in which an object to hide showed
// is saved there, the object's box in red.
void save_shown(const sequence &seq, const cv::Rect &box, const cv::Mat &shown,
		long long n)
{
	if (!getenv("QM_BENCH_SHOWN_DIR"))
		return;
	cv::Mat picture = shown.clone();
	cv::rectangle(picture, box, cv::Scalar(0, 0, 255, 255), 1);
	save_picture("QM_BENCH_SHOWN_DIR", seq, n, picture);
}

void judge_objects(const sequence &seq, long long n, const cv::Mat &shown,
		   tally &t, std::vector<int> &was_hidden)
{
	const std::vector<labelled> &truth = seq.truth[size_t(n)];
	const cv::Mat &raw = seq.frames[size_t(n)];
	was_hidden.resize(truth.size(), 0);
	for (size_t i = 0; i < truth.size(); i++) {
		const labelled &l = truth[i];
		double share = changed(raw, shown, l.box);
		bool hid = share >= HIDDEN;
		if (l.what == kind::kept) {
			t.kept_frames++;
			t.kept_shown += share <= SHOWN;
			continue;
		}
		if (l.what == kind::distractor)
			continue;
		bool part = hid && partly_shown(raw, shown, l.box);
		t.seen[l.what]++;
		t.hidden[l.what] += hid;
		t.partly[l.what] += part;
		if (!hid || part)
			save_shown(seq, l.box, shown, n);
		if (l.what == kind::face) {
			t.strangers_shown += share <= SHOWN;
			t.flickers += was_hidden[i] && !hid;
			if (l.height < 64) {
				t.small_faces_seen++;
				t.small_faces_hidden += hid;
			}
		}
		was_hidden[i] = hid;
	}
}

// With QM_BENCH_OUTSIDE_DIR set, a frame with changes away from the objects
// is saved there for a look: the objects' boxes and margins in green, the
// changed pixels beyond them in red.
void save_outside(const sequence &seq, const std::vector<cv::Rect> &boxes,
		  const cv::Mat &raw, const cv::Mat &shown, long long n)
{
	if (!getenv("QM_BENCH_OUTSIDE_DIR"))
		return;
	cv::Mat near_box =
		qm_scene::near_boxes(raw.size(), boxes, OUTSIDE_MARGIN);
	cv::Mat picture = shown.clone();
	for (const cv::Rect &r : boxes) {
		cv::rectangle(picture, r, cv::Scalar(0, 255, 0, 255), 1);
		cv::rectangle(picture, qm_scene::with_margin(r, OUTSIDE_MARGIN),
			      cv::Scalar(0, 160, 0, 255), 1);
	}
	cv::Mat diff, any;
	cv::absdiff(raw, shown, diff);
	cv::transform(diff, any, cv::Matx14f(1, 1, 1, 0));
	picture.setTo(cv::Scalar(0, 0, 255, 255), (any > 0) & ~near_box);
	save_picture("QM_BENCH_OUTSIDE_DIR", seq, n, picture);
}

// What changed away from the objects, and whether a code can be read.
void judge_surroundings(const sequence &seq, const std::vector<labelled> &truth,
			const cv::Mat &raw, const cv::Mat &shown, tally &t)
{
	std::vector<cv::Rect> boxes;
	bool codes = false;
	for (const labelled &l : truth) {
		boxes.push_back(l.box);
		codes |= l.what == kind::qr;
	}
	uint64_t outside = qm_scene::differences_away_from(raw, shown, boxes,
							   OUTSIDE_MARGIN);
	t.outside_frames += outside > 0;
	if (outside > 0)
		save_outside(seq, boxes, raw, shown, t.processed);
	t.outside_max = std::max(t.outside_max, outside);
	if (seq.name == "distractors") {
		cv::Rect below(0, qm_scene::SCENE_TOP, raw.cols,
			       raw.rows - qm_scene::SCENE_TOP);
		double area = changed(raw, shown, below);
		t.false_area_sum += area;
		t.false_area_max = std::max(t.false_area_max, area);
	}
	// Reading every frame trying hard would take a core of this machine
	// from the controller; the QR sequence itself is read whole.
	if (codes && (seq.name == "QR codes" || t.processed % 3 == 0)) {
		t.decode_tried++;
		t.decodable += !qm_scene::decode_qr(shown).empty();
	}
}

void judge_frame(const sequence &seq, const cv::Mat &shown, bool late, tally &t,
		 std::vector<int> &was_hidden)
{
	long long n = stamp_of(shown);
	t.written_late += late;
	if ((n < 0 || n >= CYCLE) && !qm_scene::one_mosaic(shown)) {
		t.unidentified++;
		return;
	}
	if (n < 0 || n >= CYCLE) {
		t.whole++;
		t.whole_late += late;
		for (const auto &l : seq.truth[0])
			t.in_whole[l.what]++;
		return;
	}
	t.processed++;
	const cv::Mat &raw = seq.frames[size_t(n)];
	const auto &truth = seq.truth[size_t(n)];
	judge_objects(seq, n, shown, t, was_hidden);
	judge_surroundings(seq, truth, raw, shown, t);
}

// User and system CPU seconds of the whole machine so far, busy and in
// all.
void machine_cpu_s(double *busy, double *all)
{
	unsigned long long v[8] = {};
	FILE *f = fopen("/proc/stat", "r");
	if (!f ||
	    fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0],
		   &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]) != 8) {
		if (f)
			fclose(f);
		*busy = *all = 0;
		return;
	}
	fclose(f);
	double tick = double(sysconf(_SC_CLK_TCK));
	double total = 0;
	for (unsigned long long x : v)
		total += double(x);
	*all = total / tick;
	*busy = (total - double(v[3]) - double(v[4])) / tick;
}

struct cpu_marks {
	double t = 0, ctl = 0, own = 0, busy = 0, all = 0;
};

cpu_marks mark(const qm_ctl::controller_process &ctl)
{
	cpu_marks m;
	m.t = now_s();
	m.ctl = ctl.cpu_s();
	m.own = bench::process_cpu_s();
	machine_cpu_s(&m.busy, &m.all);
	return m;
}

void read_summary(const qm_ctl::controller_process &ctl, run_result &r)
{
	for (const char *name : DETECTORS)
		for (const char *what : {"_ms", "_runs", "_uncovered"})
			r.summary[name + std::string(what)] =
				ctl.summary(name + std::string(what));
	for (const char *name : FALLBACKS)
		r.summary["fallback_" + std::string(name)] =
			ctl.summary("fallback_" + std::string(name));
	r.summary["obscured_whole"] = ctl.summary("obscured_whole");
	const std::string said = ctl.std_err(), mark = ": plan: ";
	// With QM_BENCH_SAID set, all the controller said (its status lines).
	if (getenv("QM_BENCH_SAID"))
		fprintf(stderr, "%s", said.c_str());
	size_t at = said.rfind(mark);
	if (at != std::string::npos)
		r.plan = said.substr(at + mark.size(),
				     said.find('\n', at) - at - mark.size());
}

// Why a controller gave no exit status: still running, or ended by a
// signal (a crash), with the end of what it said.
void report_end(const sequence &seq, const qm_ctl::controller_process &ctl)
{
	std::string err = ctl.std_err();
	err = err.substr(err.size() > 600 ? err.size() - 600 : 0);
	if (!ctl.exited)
		fprintf(stderr, "%s: the controller did not end, no summary\n",
			seq.name.c_str());
	else if (WIFSIGNALED(ctl.status))
		fprintf(stderr, "%s: the controller ended by signal %d\n%s\n",
			seq.name.c_str(), WTERMSIG(ctl.status), err.c_str());
	else
		fprintf(stderr, "%s: the controller ended with status %d\n%s\n",
			seq.name.c_str(), WEXITSTATUS(ctl.status), err.c_str());
}

} // namespace

run_result run_sequence(const sequence &seq, const run_options &o, tally &t)
{
	qm_ctl::temp_dir dir;
	std::string json =
		bench::format("{\"delay\": %.1f, \"fps\": %d", o.delay, o.fps);
	if (!o.reference.empty())
		json += ", \"reference\": \"" + o.reference + "\"";
	qm_ctl::write_whole(dir.path / "settings.json", json + "}");
	qm_ctl::controller_process ctl({"--config-dir", dir.path.string(),
					"--status-every", "5"},
				       dir.path);
	qm_ctl::endpoint in, out;
	run_result r;
	if (!qm_ctl::wait_endpoints(dir.path, in, out))
		return r;
	qm_ctl::sock reader = qm_ctl::connect_with(out.port, out.token);
	qm_ctl::sock writer = qm_ctl::connect_with(in.port, in.token);
	std::atomic<bool> done{false};
	double start = now_s();
	std::thread send([&] {
		auto next = std::chrono::steady_clock::now();
		for (size_t n = 0; !done; n++) {
			if (!qm_ctl::send_frame(
				    writer.fd,
				    seq.frames[n % seq.frames.size()]))
				break;
			next += std::chrono::microseconds(1000000 / o.feed_fps);
			std::this_thread::sleep_until(next);
		}
	});
	cpu_marks m0;
	std::vector<int> was_hidden;
	cv::Mat frame;
	// The first frames come after the look-ahead; a second more for the
	// controller to start.
	double settle = o.delay + 1.5;
	while (now_s() - start < settle + o.seconds) {
		if (qm_ctl::recv_frame(reader.fd, frame,
				       std::chrono::milliseconds(500)) !=
		    qm_ctl::got::data)
			continue;
		bool late = now_s() - start > settle;
		if (late && !m0.t)
			m0 = mark(ctl);
		judge_frame(seq, frame, late, t, was_hidden);
	}
	cpu_marks m1 = mark(ctl);
	done = true;
	send.join();
	// On a busy machine a detector's run may take many seconds to end;
	// the summary comes only after every one has.
	if (ctl.stop(SIGTERM) < 0 &&
	    ctl.wait_exit(std::chrono::seconds(90)) < 0)
		report_end(seq, ctl);
	if (m0.t) {
		double wall = m1.t - m0.t;
		r.cores = (m1.ctl - m0.ctl) / wall;
		r.own_cores = (m1.own - m0.own) / wall;
		double all = m1.all - m0.all;
		r.machine_cores =
			all > 0 ? (m1.busy - m0.busy) / all *
					  double(sysconf(_SC_NPROCESSORS_ONLN))
				: 0;
		r.out_fps = double(t.written_late) / wall;
	}
	read_summary(ctl, r);
	return r;
}

} // namespace quality
