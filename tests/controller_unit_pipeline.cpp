// The look-ahead pipeline on a clock of the test's own: order and timing,
// the "fps" cap, findings carried to earlier frames, and the privacy rule
// when detectors are slow, stalled, failing or switched off.

#include "obscure.h"
#include "pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace qmc;

namespace {

constexpr uint64_t MS = 1000000;
constexpr auto IDLE = std::chrono::seconds(30);
const cv::Size SIZE(320, 180);

// The test's clock. A frame fed "arriving" at a time moves the clock only
// when the feeding thread reads it, inside the pipeline's offer: its
// detectors never see that time come before the frame.
struct manual_clock {
	struct state {
		std::atomic<uint64_t> t{1000 * MS};
		std::atomic<uint64_t> next{0};
		std::atomic<std::thread::id> feeder{};
	};
	std::shared_ptr<state> s = std::make_shared<state>();
	clock_fn fn() const
	{
		auto p = s;
		return [p] {
			uint64_t next = p->next;
			if (next && p->feeder == std::this_thread::get_id()) {
				p->t = next;
				p->next = 0;
			}
			return p->t.load();
		};
	}
	void set_ms(double ms) { s->t = 1000 * MS + uint64_t(ms * 1e6); }
	void arrive_at_ms(double ms)
	{
		s->feeder = std::this_thread::get_id();
		s->next = 1000 * MS + uint64_t(ms * 1e6);
	}
};

// Room for every detector at once; run times on the test's clock.
pipeline_options options(
	size_t frames, const clock_fn &cpu = [] { return uint64_t(0); })
{
	pipeline_options o;
	o.max_frames = frames;
	o.cpu_budget = 8;
	o.thread_cpu = cpu;
	o.process_cpu = [] {
		return uint64_t(0);
	};
	return o;
}

// A frame that carries its number in its first pixel.
cv::Mat numbered(uint64_t n)
{
	cv::Mat m(SIZE, CV_8UC4, cv::Scalar(90, 120, 150, 255));
	m.at<cv::Vec4b>(0, 0) = cv::Vec4b(uint8_t(n), uint8_t(n >> 8), 7, 255);
	return m;
}

uint64_t number_of(const cv::Mat &m)
{
	cv::Vec4b v = m.at<cv::Vec4b>(0, 0);
	return uint64_t(v[0]) | uint64_t(v[1]) << 8;
}

struct gate {
	std::mutex m;
	std::condition_variable cv;
	bool open = false;
	void wait()
	{
		std::unique_lock<std::mutex> lock(m);
		cv.wait(lock, [&] { return open; });
	}
	void release()
	{
		std::lock_guard<std::mutex> lock(m);
		open = true;
		cv.notify_all();
	}
};

// A detector that reports what the test says each frame holds, and notes
// which frames it ran on and what hints it got.
struct scripted {
	std::mutex m;
	std::map<uint64_t, regions> truth;
	std::vector<uint64_t> ran_on;
	std::vector<regions> hints_seen;
	std::shared_ptr<gate> hold;
	std::atomic<int> entered{0};
	bool fail = false;
	// Called as each run ends: moves the test's clock by the run's time.
	std::function<void()> took;

	detector make(const std::string &name, double spacing, double reach,
		      double carry, double motion = 0)
	{
		detector d;
		d.name = name;
		d.spacing_s = spacing;
		d.reach_s = reach;
		d.carry_s = carry;
		d.motion.px_per_s = motion;
		d.find = [this](const cv::Mat &f, const regions &hints) {
			entered++;
			if (hold)
				hold->wait();
			std::lock_guard<std::mutex> lock(m);
			uint64_t n = number_of(f);
			ran_on.push_back(n);
			hints_seen.push_back(hints);
			if (took)
				took();
			if (fail)
				throw std::runtime_error("model went away");
			auto it = truth.find(n);
			return it == truth.end() ? regions() : it->second;
		};
		return d;
	}
	std::vector<uint64_t> runs()
	{
		std::lock_guard<std::mutex> lock(m);
		return ran_on;
	}
};

settings at(double delay, int fps)
{
	settings s;
	s.delay = delay;
	s.fps = fps;
	return s;
}

// Offers frames 0..count-1, one every period_ms, letting detectors finish
// each time.
bool offer(pipeline &p, uint64_t n)
{
	cv::Mat frame = numbered(n);
	return p.offer(frame);
}

void feed(pipeline &p, manual_clock &clock, int count, double period_ms,
	  double start_ms = 0)
{
	for (int i = 0; i < count; i++) {
		clock.arrive_at_ms(start_ms + i * period_ms);
		offer(p, uint64_t(i));
		ASSERT_TRUE(p.wait_idle(IDLE));
	}
}

// Takes count frames, each at its due time: first_due_ms, then every
// step_ms.
std::vector<due_frame> take_each(pipeline &p, manual_clock &clock,
				 double first_due_ms, int count, double step_ms)
{
	std::vector<due_frame> out;
	for (int i = 0; i < count; i++) {
		clock.set_ms(first_due_ms + i * step_ms);
		std::optional<due_frame> f = p.take_due();
		EXPECT_TRUE(f) << "frame " << i << " is due";
		if (f)
			out.push_back(std::move(*f));
	}
	return out;
}

bool contains(const std::vector<cv::Rect> &boxes, const cv::Rect &r)
{
	for (const cv::Rect &b : boxes)
		if ((b & r) == r)
			return true;
	return false;
}

// The released gate lets a held detector finish before the pipeline
// joins it: declare it after the pipeline.
struct release_at_end {
	std::shared_ptr<gate> g;
	~release_at_end() { g->release(); }
};

} // namespace

TEST(Pipeline, FramesLeaveInOrderAtArrivalPlusDelay)
{
	manual_clock clock;
	scripted every;
	pipeline p({every.make("every", 0, 0.25, 0)}, clock.fn(), options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 10, 100);

	clock.set_ms(999);
	EXPECT_FALSE(p.take_due());
	for (int i = 0; i < 10; i++) {
		clock.set_ms(1000 + i * 100);
		std::optional<due_frame> f = p.take_due();
		ASSERT_TRUE(f) << "frame " << i;
		EXPECT_EQ(number_of(*f->pixels), uint64_t(i));
		EXPECT_EQ(f->due_ns, f->arrival_ns + 1000 * MS);
		EXPECT_FALSE(f->whole);
		EXPECT_FALSE(p.take_due()) << "only one frame is due at a time";
	}
	pipeline_stats s = p.stats();
	EXPECT_EQ(s.processed, 10u);
	EXPECT_EQ(s.obscured_whole, 0u);
	EXPECT_EQ(s.buffered, 0u);
}

TEST(Pipeline, FpsCapsWhatIsKept)
{
	struct rate_case {
		int fps;
		double input_period_ms, jitter_ms;
		int frames, expect_min, expect_max;
	};
	// 30 frames a second in: 10 kept at "fps" 10, every other one at 15,
	// all of them at 30 even when they come a little irregularly.
	for (rate_case c : {rate_case{10, 1000.0 / 30, 0, 90, 29, 31},
			    rate_case{15, 1000.0 / 30, 3, 90, 44, 46},
			    rate_case{30, 1000.0 / 30, 8, 90, 89, 90},
			    rate_case{5, 1000.0 / 60, 2, 180, 14, 16}}) {
		manual_clock clock;
		pipeline p({}, clock.fn(), options(1000));
		p.configure(at(5.0, c.fps));
		int kept = 0;
		for (int i = 0; i < c.frames; i++) {
			double jitter = (i * 7919 % 11 - 5) / 5.0 * c.jitter_ms;
			clock.set_ms(i * c.input_period_ms + jitter);
			kept += offer(p, uint64_t(i));
		}
		EXPECT_GE(kept, c.expect_min) << "fps " << c.fps;
		EXPECT_LE(kept, c.expect_max) << "fps " << c.fps;
	}
	// Frames at random moments (a loaded host), hardly faster than "fps":
	// nearly "fps" a second are kept, never more.
	for (int fps : {15, 30}) {
		manual_clock clock;
		pipeline p({}, clock.fn(), options(1000));
		p.configure(at(5.0, fps));
		std::mt19937 random{uint32_t(fps)};
		std::exponential_distribution<double> gap(fps * 1.2 / 1000);
		double t = 0;
		int kept = 0;
		for (int i = 0; t < 20000; i++) {
			clock.set_ms(t);
			kept += offer(p, uint64_t(i));
			t += gap(random);
		}
		EXPECT_GE(kept, 20 * fps * 0.9) << "fps " << fps;
		EXPECT_LE(kept, 20 * fps + fps / 4 + 1) << "fps " << fps;
	}
}

TEST(Pipeline, BufferLimitLowersTheKeptRate)
{
	manual_clock clock;
	pipeline p({}, clock.fn(), options(10));
	p.configure(at(2.0, 30));
	EXPECT_DOUBLE_EQ(p.stats().keep_fps, 5.0);
	int kept = 0;
	for (int i = 0; i < 60; i++) {
		clock.set_ms(i * 1000.0 / 30);
		kept += offer(p, uint64_t(i));
	}
	EXPECT_LE(kept, 10);
	EXPECT_GE(kept, 9);
}

TEST(Pipeline, AFindingReachesTheFramesBeforeIt)
{
	// Runs a third of a second apart (frames 0, 3, 6, ...); an object
	// visible from frame 5 is first found in frame 6 and must be hidden
	// in frame 5 too, grown for the motion in between.
	manual_clock clock;
	scripted sampled;
	const cv::Rect object(100, 50, 40, 40);
	for (uint64_t n = 5; n < 20; n++)
		sampled.truth[n] = {{object}};
	pipeline p({sampled.make("sampled", 0.3, 0.5, 0, 100)}, clock.fn(),
		   options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 13, 100);
	// (A run may take the frame before a step when it looks just as the
	// step's frame comes in: runs are never further apart.)
	std::vector<uint64_t> runs = sampled.runs();
	ASSERT_GE(runs.size(), 5u);
	for (size_t i = 1; i < runs.size(); i++)
		EXPECT_LE(runs[i] - runs[i - 1], 3u);

	for (int i = 0; i < 13; i++) {
		clock.set_ms(1000 + i * 100);
		std::optional<due_frame> f = p.take_due();
		ASSERT_TRUE(f);
		ASSERT_FALSE(f->whole) << "frame " << i;
		if (i >= 5) {
			EXPECT_TRUE(contains(f->boxes, object))
				<< "frame " << i << " shows the object";
		}
		if (i <= 3) {
			EXPECT_TRUE(f->boxes.empty()) << "frame " << i;
		}
	}
	// Carried 0.1 s at 100 pixels a second: 10 pixels more each side.
	// (Frame 5 was checked above; this looks at the growth itself.)
	manual_clock c2;
	scripted s2;
	s2.truth[6] = {{object}};
	pipeline p2({s2.make("sampled", 0.3, 0.5, 0, 100)}, c2.fn(),
		    options(100));
	p2.configure(at(1.0, 10));
	feed(p2, c2, 7, 100);
	for (int i = 0; i < 6; i++) {
		c2.set_ms(1000 + i * 100);
		std::optional<due_frame> f = p2.take_due();
		ASSERT_TRUE(f);
		if (i == 5) {
			ASSERT_EQ(f->boxes.size(), 1u);
			EXPECT_EQ(f->boxes[0], cv::Rect(90, 40, 60, 60));
		}
	}
}

TEST(Pipeline, APictureAStalledSourceSendsAgainIsHiddenWhereItWas)
{
	// An object moves 100 px a second; frame i shows it at 10 i. The
	// source stalls: frames 6 to 11 show frame 5's picture again, then
	// frame 12 its own. Runs are 0.3 s apart. A frame that repeats a
	// picture is hidden where the object was in it, not where arrival
	// times would put it between the runs on each side.
	manual_clock clock;
	scripted sampled;
	auto object_at = [](uint64_t n) {
		return cv::Rect(20 + 10 * int(n), 50, 40, 40);
	};
	auto shown = [](int i) {
		return uint64_t(i >= 6 && i <= 11 ? 5 : i);
	};
	for (uint64_t n = 0; n < 20; n++)
		sampled.truth[n] = {{object_at(n)}};
	detector d = sampled.make("sampled", 0.3, 0.5, 0, 100);
	d.motion.px_per_s2 = 0;
	pipeline p({d}, clock.fn(), options(100));
	p.configure(at(1.0, 10));
	for (int i = 0; i < 20; i++) {
		clock.arrive_at_ms(i * 100);
		offer(p, shown(i));
		ASSERT_TRUE(p.wait_idle(IDLE));
	}
	for (int i = 0; i < 17; i++) {
		clock.set_ms(1000 + i * 100);
		std::optional<due_frame> f = p.take_due();
		ASSERT_TRUE(f);
		ASSERT_FALSE(f->whole) << "frame " << i;
		EXPECT_TRUE(contains(f->boxes, object_at(shown(i))))
			<< "frame " << i << " shows the object";
	}
}

TEST(Pipeline, FramesADetectorHasNotCoveredLeaveWhollyObscured)
{
	manual_clock clock;
	scripted slow;
	slow.hold = std::make_shared<gate>();
	pipeline p({slow.make("slow", 0, 0.25, 0)}, clock.fn(), options(100));
	release_at_end release{slow.hold};
	p.configure(at(1.0, 10));
	for (int i = 0; i < 10; i++) {
		clock.set_ms(i * 100);
		offer(p, uint64_t(i));
	}
	// The detector is stuck on frame 0: every frame falls due uncovered.
	for (int i = 0; i < 10; i++) {
		clock.set_ms(1000 + i * 100);
		std::optional<due_frame> f = p.take_due();
		ASSERT_TRUE(f);
		EXPECT_TRUE(f->whole) << "frame " << i;
		EXPECT_EQ(f->missing, std::vector<std::string>{"slow"});
		cv::Mat out;
		compose(*f->pixels, f->boxes, f->whole, out);
		EXPECT_EQ(number_of(out), 90u + 256u * 120u)
			<< "the whole picture is a mosaic, never the raw frame";
	}
	EXPECT_EQ(p.stats().obscured_whole, 10u);
	EXPECT_EQ(p.stats().detectors.at(0).uncovered, 10u)
		<< "the status says which detector was late";

	// Once it runs again, new frames come out processed.
	slow.hold->release();
	feed(p, clock, 3, 100, 2000);
	for (const due_frame &f : take_each(p, clock, 3000, 3, 100))
		EXPECT_FALSE(f.whole);
}

TEST(Pipeline, ARunThatCannotFinishInTimeIsNotStartedButTheNewestIs)
{
	manual_clock clock;
	scripted slow;
	slow.hold = std::make_shared<gate>();
	pipeline p({slow.make("slow", 0, 0.25, 0)}, clock.fn(), options(100));
	release_at_end release{slow.hold};
	p.configure(at(1.0, 10));
	offer(p, 0);
	while (slow.entered == 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	for (int i = 1; i < 4; i++) {
		clock.set_ms(i * 100);
		offer(p, uint64_t(i));
	}
	// Its first run took 1.25 s on the pipeline's clock: no frame left
	// falls due late enough for a run like it.
	clock.set_ms(1250);
	slow.hold->release();
	ASSERT_TRUE(p.wait_idle(IDLE));
	EXPECT_EQ(slow.runs(), (std::vector<uint64_t>{0, 3}))
		<< "the newest still runs: its findings reach the frames after "
		   "it, and the run time is measured again";
	EXPECT_EQ(p.stats().detectors.at(0).skipped, 2u);
}

TEST(Pipeline, ADetectorThatFellBehindSkipsAheadToFramesItCanKeepCovered)
{
	manual_clock clock;
	scripted behind;
	std::atomic<double> now_ms{0};
	behind.took = [&] {
		now_ms = now_ms + 200;
		clock.set_ms(now_ms);
	};
	pipeline p({behind.make("behind", 0, 1.0, 0)}, clock.fn(),
		   options(100));
	p.configure(at(5.0, 10));
	// Runs of 0.2 s on frames 0.3 s apart: it keeps up.
	for (int i = 0; i < 20; i++) {
		now_ms = i * 300.0;
		clock.arrive_at_ms(now_ms);
		offer(p, uint64_t(i));
		ASSERT_TRUE(p.wait_idle(IDLE));
	}
	// One run stalls for 4.5 s while frames come every 0.1 s.
	behind.hold = std::make_shared<gate>();
	release_at_end release{behind.hold};
	now_ms = 6000;
	clock.arrive_at_ms(now_ms);
	offer(p, 20);
	while (behind.entered < 21)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	for (int i = 21; i <= 40; i++) {
		clock.set_ms(6000 + (i - 20) * 100.0);
		offer(p, uint64_t(i));
	}
	now_ms = 10500;
	clock.set_ms(now_ms);
	behind.hold->release();
	ASSERT_TRUE(p.wait_idle(IDLE));
	// At 10.7 s, frames before 6.45 s fall due before a run on them
	// and the one after it (0.2 s each) could end, less the margin for
	// handing out (0.35 s): they are passed over. Frame 21 (6.1 s) could
	// still have been covered itself, but its run would have ended just
	// before it fell due, and every run after it likewise.
	std::vector<uint64_t> runs = behind.runs();
	ASSERT_GT(runs.size(), 21u);
	EXPECT_EQ(runs[21], 25u);
	EXPECT_GE(p.stats().detectors.at(0).skipped, 4u);
}

TEST(Pipeline, AFailingDetectorCoversNothing)
{
	manual_clock clock;
	scripted broken;
	broken.fail = true;
	pipeline p({broken.make("broken", 0, 0.25, 0.1)}, clock.fn(),
		   options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 5, 100);
	for (const due_frame &f : take_each(p, clock, 1000, 5, 100))
		EXPECT_TRUE(f.whole);
	pipeline_stats s = p.stats();
	ASSERT_EQ(s.detectors.size(), 1u);
	EXPECT_EQ(s.detectors[0].failures, 5u);
	EXPECT_EQ(s.detectors[0].runs, 0u);
	EXPECT_EQ(s.detectors[0].last_failure, "model went away");
}

TEST(Pipeline, ASwitchedOffDetectorIsNotWaitedFor)
{
	manual_clock clock;
	scripted stuck, other;
	stuck.hold = std::make_shared<gate>();
	detector d = stuck.make("stuck", 0, 0.25, 0);
	d.wanted = [](const settings &s) {
		return s.qr_enabled;
	};
	pipeline p({d, other.make("other", 0, 0.25, 0)}, clock.fn(),
		   options(100));
	release_at_end release{stuck.hold};
	settings s = at(1.0, 10);
	s.qr_enabled = false;
	p.configure(s);
	feed(p, clock, 3, 100);
	for (const due_frame &f : take_each(p, clock, 1000, 3, 100))
		EXPECT_FALSE(f.whole);
	EXPECT_TRUE(stuck.runs().empty());

	// Switched on, it is waited for again (and it is stuck).
	s.qr_enabled = true;
	p.configure(s);
	for (int i = 3; i < 6; i++) {
		clock.set_ms(i * 100 + 1000);
		offer(p, uint64_t(i));
	}
	for (const due_frame &f : take_each(p, clock, 2300, 3, 100))
		EXPECT_TRUE(f.whole);
}

TEST(Pipeline, WorkerDisabledKeepsNothing)
{
	manual_clock clock;
	scripted every;
	pipeline p({every.make("every", 0, 0.25, 0)}, clock.fn(), options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 3, 100);
	settings off = at(1.0, 10);
	off.worker_enabled = false;
	p.configure(off);
	EXPECT_EQ(p.stats().buffered, 0u) << "what was buffered is dropped";
	clock.set_ms(400);
	EXPECT_FALSE(offer(p, 3));
	clock.set_ms(5000);
	EXPECT_FALSE(p.take_due());

	p.configure(at(1.0, 10));
	clock.set_ms(5100);
	EXPECT_TRUE(offer(p, 4));
	ASSERT_TRUE(p.wait_idle(IDLE));
	clock.set_ms(6100);
	std::optional<due_frame> f = p.take_due();
	ASSERT_TRUE(f);
	EXPECT_EQ(number_of(*f->pixels), 4u);
	EXPECT_FALSE(f->whole);
}

TEST(Pipeline, LaterDetectorsGetHintsAndKeptRegionsStayVisible)
{
	manual_clock clock;
	scripted first, second;
	const cv::Rect code(20, 20, 30, 30), person(150, 60, 50, 70);
	for (uint64_t n = 0; n < 3; n++) {
		first.truth[n] = {{code}};
		second.truth[n] = {{person, 7, true}};
	}
	detector late = second.make("second", 0, 0.25, 0);
	late.min_age_s = 0.05;
	pipeline p({first.make("first", 0, 0.25, 0), late}, clock.fn(),
		   options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 3, 100);
	// Frames are 50 ms old only after the next one came: age the last.
	clock.set_ms(260);
	ASSERT_TRUE(p.wait_idle(IDLE));
	{
		std::lock_guard<std::mutex> lock(second.m);
		ASSERT_EQ(second.hints_seen.size(), 3u);
		for (const regions &h : second.hints_seen) {
			ASSERT_EQ(h.size(), 1u);
			EXPECT_EQ(h[0].box, code);
		}
	}
	for (const due_frame &f : take_each(p, clock, 1000, 3, 100)) {
		EXPECT_FALSE(f.whole);
		EXPECT_TRUE(contains(f.boxes, code));
		for (const cv::Rect &b : f.boxes)
			EXPECT_TRUE((b & person).empty())
				<< "a region to keep is never obscured";
	}
}

TEST(Pipeline, AnOutputThatFellBehindCatchesUp)
{
	manual_clock clock;
	pipeline p({}, clock.fn(), options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 10, 100);
	// Two seconds in: frames 0..7 are more than 250 ms late.
	clock.set_ms(2000);
	std::optional<due_frame> f = p.take_due();
	ASSERT_TRUE(f);
	EXPECT_EQ(number_of(*f->pixels), 8u);
	f = p.take_due();
	ASSERT_TRUE(f);
	EXPECT_EQ(number_of(*f->pixels), 9u);
	EXPECT_EQ(p.stats().skipped, 8u);
}

TEST(Pipeline, ASlowDetectorRunsOnAGridNoWiderThanItsSpacing)
{
	manual_clock clock;
	scripted sampled;
	pipeline p({sampled.make("sampled", 0.3, 0.5, 0)}, clock.fn(),
		   options(100));
	p.configure(at(5.0, 15));
	feed(p, clock, 45, 1000.0 / 15);
	std::vector<uint64_t> runs = sampled.runs();
	// Three seconds of frames, the latest frame at or before each 0.3 s
	// step: four frames (0.27 s) apart, or fewer when a run looks just as
	// a step's frame comes in.
	EXPECT_GE(runs.size(), 11u);
	EXPECT_LE(runs.size(), 16u);
	for (size_t i = 1; i < runs.size(); i++) {
		EXPECT_LE(runs[i] - runs[i - 1], 4u);
		EXPECT_GE(runs[i] - runs[i - 1], 3u);
	}
	// Every frame up to the last run is covered: runs lie at most 0.5 s
	// on each side. The frames after it have no run after them yet:
	// what the runs before them found stands in.
	// (A run on the frame at the next step may still come while they
	// are taken.)
	std::vector<due_frame> out = take_each(p, clock, 5000, 45, 1000.0 / 15);
	size_t fell_back = 0;
	for (const due_frame &f : out) {
		uint64_t n = number_of(*f.pixels);
		EXPECT_FALSE(f.whole) << "frame " << n;
		if (n <= runs.back()) {
			EXPECT_TRUE(f.fallback.empty()) << "frame " << n;
		}
		fell_back += !f.fallback.empty();
	}
	EXPECT_LE(fell_back, 44 - runs.back());
	EXPECT_EQ(p.stats().fallback["sampled"], fell_back);
}

// The budget is the whole controller's: its detectors are planned for
// what the rest of it leaves, and for half of it however much that is.
TEST(Pipeline, DetectorsArePlannedForWhatTheRestOfTheControllerLeaves)
{
	for (double rest : {0.4, 3.0}) {
		manual_clock clock;
		clock_fn wall = clock.fn();
		scripted sampled;
		pipeline_options o = options(100);
		o.cpu_budget = 1.5;
		// Runs take no CPU on the test's clock: all the process spends
		// is the rest's.
		o.process_cpu = [wall, rest] {
			return uint64_t(rest * double(wall() - 1000 * MS));
		};
		pipeline p({sampled.make("sampled", 0.3, 0.5, 0)}, clock.fn(),
			   o);
		p.configure(at(5.0, 15));
		EXPECT_NEAR(p.stats().planned_cores, 1.5, 1e-9);
		feed(p, clock, 150, 1000.0 / 15);
		pipeline_stats st = p.stats();
		EXPECT_NEAR(st.other_cores, rest, 0.15 * rest) << rest;
		EXPECT_NEAR(st.planned_cores, std::max(1.5 - rest, 0.75),
			    0.15 * rest)
			<< rest;
	}
}
