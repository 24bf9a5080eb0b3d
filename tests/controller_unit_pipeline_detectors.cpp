// The look-ahead pipeline on a clock of the test's own: the privacy rule
// when detectors are slow, stalled, failing or switched off, hints passed
// to later detectors and regions kept visible, an output that fell behind,
// and runs planned on a grid within what the rest of the controller
// leaves of the budget.

#include "controller_unit_pipeline_support.h"
#include "obscure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace qmc;
using namespace qm_pipeline;

namespace {

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

// The released gate lets a held detector finish before the pipeline
// joins it: declare it after the pipeline.
struct release_at_end {
	std::shared_ptr<gate> g;
	~release_at_end() { g->release(); }
};

} // namespace

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

// On a busy machine the every-frame detector can be further behind than
// a later one waits: that one waits for its findings all the same.
TEST(Pipeline, ADetectorWaitingForHintsWaitsForTheDetectorThatIsBehind)
{
	manual_clock clock;
	scripted first, second;
	first.hold = std::make_shared<gate>();
	const cv::Rect code(20, 20, 30, 30);
	for (uint64_t n = 0; n < 4; n++)
		first.truth[n] = {{code}};
	detector late = second.make("second", 0, 0.25, 0);
	late.min_age_s = 0.05;
	pipeline p({first.make("first", 0, 0.25, 0), late}, clock.fn(),
		   options(100));
	release_at_end release{first.hold};
	p.configure(at(2.0, 10));
	for (int i = 0; i < 4; i++) {
		clock.set_ms(i * 100);
		offer(p, uint64_t(i));
	}
	clock.set_ms(400);
	while (first.entered == 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(second.entered, 0) << "no run before the hints are in";
	first.hold->release();
	ASSERT_TRUE(p.wait_idle(IDLE));
	std::lock_guard<std::mutex> lock(second.m);
	ASSERT_FALSE(second.hints_seen.empty());
	for (const regions &h : second.hints_seen) {
		ASSERT_EQ(h.size(), 1u);
		EXPECT_EQ(h[0].box, code);
	}
}

// Meanwhile the frames it has findings for may all be too late for a run
// of its own: none is started while a newer frame may still get them.
TEST(Pipeline, ADetectorWaitingForHintsStartsNoLateRunMeanwhile)
{
	manual_clock clock;
	scripted first, second;
	std::atomic<bool> on{false};
	detector late = second.make("second", 0, 0.25, 0);
	late.min_age_s = 0.05;
	late.wanted = [&](const settings &) {
		return on.load();
	};
	pipeline p({first.make("first", 0, 0.25, 0), late}, clock.fn(),
		   options(100));
	p.configure(at(1.0, 10));
	feed(p, clock, 6, 100);
	first.hold = std::make_shared<gate>();
	release_at_end release{first.hold};
	clock.set_ms(600);
	offer(p, 6);
	while (first.entered < 7)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	// Frames 0 to 5 fall due before a run on them could end (1.5 s and
	// before, against 1.3 s, a run's guessed 0.05 s twice and the 0.15 s
	// margin); frame 6 at 1.6 s would not.
	clock.set_ms(1300);
	on = true;
	p.configure(at(1.0, 10));
	std::this_thread::sleep_for(std::chrono::milliseconds(200));
	EXPECT_EQ(second.entered, 0) << "no run on a frame it cannot cover";
	first.hold->release();
	ASSERT_TRUE(p.wait_idle(IDLE));
	EXPECT_EQ(second.runs(), std::vector<uint64_t>{6});
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

// With every core taken by long runs, one short run at a time still goes:
// the QR finder's runs do not wait a second behind a face run. A second
// long run waits for a core.
TEST(Pipeline, AShortRunSharesACoreTakenByLongRuns)
{
	manual_clock clock;
	scripted first_long, second_long, short_one;
	auto held = std::make_shared<gate>();
	first_long.hold = second_long.hold = held;
	detector a = first_long.make("first long", 0, 0.25, 0);
	detector b = second_long.make("second long", 0, 0.25, 0);
	// Guessed run times: 0.3 s, against the 0.1 s under which a run
	// counts as short at "delay" 2.
	a.expected_cpu_s = b.expected_cpu_s = 0.3;
	detector c = short_one.make("short", 0, 0.25, 0);
	c.expected_cpu_s = 0.02;
	pipeline_options o = options(100);
	o.cpu_budget = 1;
	pipeline p({a, b, c}, clock.fn(), o);
	release_at_end release{held};
	p.configure(at(2.0, 10));
	auto until = [](const std::function<bool()> &done) {
		auto from = std::chrono::steady_clock::now();
		while (!done() &&
		       std::chrono::steady_clock::now() - from < IDLE / 10)
			std::this_thread::sleep_for(
				std::chrono::milliseconds(1));
	};
	offer(p, 0);
	until([&] { return first_long.entered + second_long.entered > 0; });
	size_t before = short_one.runs().size();
	for (int i = 1; i < 5; i++) {
		clock.set_ms(i * 100);
		offer(p, uint64_t(i));
	}
	until([&] { return short_one.runs().size() > before; });
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_EQ(first_long.entered + second_long.entered, 1)
		<< "one core: one long run at a time";
	EXPECT_GT(short_one.runs().size(), before) << "short runs go beside it";
	held->release();
	ASSERT_TRUE(p.wait_idle(IDLE));
	EXPECT_FALSE(second_long.runs().empty());
}

// A run far longer than its plan assumed changes the plan before the next
// run: the next one is not started in the same mode because the last
// replan was a moment before the run ended.
TEST(Pipeline, ARunFarOverItsPlannedTimeIsPlannedForAtOnce)
{
	manual_clock clock;
	std::mutex m;
	std::vector<size_t> modes;
	detector slow;
	slow.name = "slow";
	slow.spacing_s = 1.0;
	slow.reach_s = 2.0;
	slow.modes = {{"best", 1}, {"cheap", 0.25}};
	slow.expected_cpu_s = 0.1;
	slow.run = [&](const cv::Mat &, const regions &, uint64_t,
		       size_t mode) {
		size_t n;
		{
			std::lock_guard<std::mutex> lock(m);
			modes.push_back(mode);
			n = modes.size();
		}
		if (n == 1) {
			// 1.5 s against the 0.1 s guessed; the other detector
			// plans again meanwhile.
			clock.set_ms(1400);
			std::this_thread::sleep_for(
				std::chrono::milliseconds(300));
			clock.set_ms(1500);
		}
		return findings{};
	};
	scripted fast;
	// CPU time as wall time: the run is as costly as it is long.
	pipeline_options o = options(100, clock.fn());
	o.cpu_budget = 1;
	pipeline p({slow, fast.make("quick", 0, 0.25, 0)}, clock.fn(), o);
	p.configure(at(2.0, 10));
	offer(p, 0);
	ASSERT_TRUE(p.wait_idle(IDLE));
	clock.set_ms(1600);
	offer(p, 1);
	ASSERT_TRUE(p.wait_idle(IDLE));
	std::lock_guard<std::mutex> lock(m);
	ASSERT_EQ(modes.size(), 2u);
	EXPECT_EQ(modes[0], 0u);
	EXPECT_EQ(modes[1], 1u) << "1.5 s a run in the best mode does not "
				   "fit \"delay\" 2 within one core";
}
