// The planner (spacing and mode of each detector within one budget), the
// costs it plans from, and the due-frame decision with its per-class
// fallback and boxes interpolated between runs (followed by their looks:
// controller_unit_follow.cpp).

#include "due-frame.h"
#include "planner.h"
#include "region-tracks.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <random>

using namespace qmc;

namespace {

demand wants(const std::string &name, std::vector<mode_cost> modes,
	     double reach, double preferred = 0)
{
	demand d;
	d.name = name;
	d.modes = std::move(modes);
	d.reach_s = reach;
	d.preferred_spacing_s = preferred;
	return d;
}

plan_limits limits(double budget, double delay, double fps = 15)
{
	plan_limits l;
	l.budget_cores = budget;
	l.delay_s = delay;
	l.frame_period_s = 1 / fps;
	return l;
}

// The detectors of the controller, at costs seen on a busy scene.
std::vector<demand> busy_scene()
{
	return {wants("qr-zxing", {{0.006, 0.01, true}}, 0.25),
		wants("qr-opencv", {{0.15, 0.25, true}, {0.04, 0.07, true}},
		      0.75, 0.3),
		wants("faces",
		      {{0.13, 0.2, true},
		       {0.06, 0.09, true},
		       {0.02, 0.03, true}},
		      0.8, 0.25),
		wants("phones", {{0.47, 0.6, true}, {0.2, 0.26, true}}, 2.0,
		      1.0)};
}

void expect_covers(const plan &p, const std::vector<demand> &ds,
		   const plan_limits &l)
{
	ASSERT_EQ(p.detectors.size(), ds.size());
	double sum = 0;
	for (size_t i = 0; i < ds.size(); i++) {
		const planned &x = p.detectors[i];
		const mode_cost &c = ds[i].modes.at(x.mode);
		EXPECT_LE(x.spacing_s, ds[i].reach_s + 1e-9) << x.name;
		EXPECT_GE(x.spacing_s, l.frame_period_s - 1e-9) << x.name;
		EXPECT_LE(x.spacing_s + c.wall_s + ds[i].min_age_s,
			  l.delay_s - plan_margin_s(l.delay_s) + 1e-9)
			<< x.name;
		// Runs keep to whole frames, at or before each step.
		double frames = std::max(
			1.0, std::floor(x.spacing_s / l.frame_period_s + 1e-6));
		EXPECT_NEAR(x.cores, c.cpu_s / (frames * l.frame_period_s),
			    1e-9);
		sum += x.cores;
	}
	EXPECT_LE(sum, l.budget_cores + 1e-9);
	EXPECT_NEAR(p.cores, sum, 1e-9);
}

} // namespace

TEST(Planner, EveryPlanThatFitsCoversEveryFrameWithinTheBudget)
{
	std::mt19937 rng(7);
	std::uniform_real_distribution<double> cpu(0.002, 0.8), share(0.1, 1);
	int fitted = 0, refused = 0;
	for (int round = 0; round < 2000; round++) {
		std::vector<demand> ds;
		int n = 1 + int(rng() % 5);
		for (int i = 0; i < n; i++) {
			std::vector<mode_cost> modes;
			double c = cpu(rng);
			for (int m = 0; m < 1 + int(rng() % 3); m++) {
				modes.push_back(
					{c, c * (1 + share(rng)), true});
				c *= share(rng);
			}
			ds.push_back(wants("d" + std::to_string(i), modes,
					   0.1 + 2 * share(rng),
					   share(rng) - 0.1));
			ds.back().min_age_s = rng() % 2 ? 0.1 : 0;
		}
		plan_limits l = limits(0.2 + 3 * share(rng),
				       1 + double(rng() % 30),
				       5 + double(rng() % 56));
		plan p = make_plan(ds, l);
		if (p.fits) {
			fitted++;
			expect_covers(p, ds, l);
		} else {
			refused++;
			EXPECT_FALSE(p.blame.empty());
			EXPECT_FALSE(p.why.empty());
		}
	}
	EXPECT_GT(fitted, 200);
	EXPECT_GT(refused, 50);
}

TEST(Planner, CostIsCutBySpacingFirstThenByCheaperModes)
{
	std::vector<demand> ds = busy_scene();
	// Plenty of room: every detector at its best mode and spacing.
	plan roomy = make_plan(ds, limits(4, 5));
	ASSERT_TRUE(roomy.fits);
	for (const planned &x : roomy.detectors)
		EXPECT_EQ(x.mode, 0u) << x.name;
	// Faces' runs take 0.2 s: 0.25 s apart would keep to every third
	// frame, 0.2 s apart, which they cannot keep pace with; every fourth
	// frame they can.
	EXPECT_NEAR(roomy.detectors[2].spacing_s, 4.5 / 15, 1e-9);

	// 1.3 cores: runs spread out to what their reach allows before any
	// detector sees less.
	plan tight = make_plan(ds, limits(1.3, 5));
	ASSERT_TRUE(tight.fits) << tight.why;
	expect_covers(tight, ds, limits(1.3, 5));
	size_t wider = 0;
	for (size_t i = 0; i < ds.size(); i++) {
		EXPECT_EQ(tight.detectors[i].mode, 0u) << ds[i].name;
		wider += tight.detectors[i].spacing_s >
			 roomy.detectors[i].spacing_s + 1e-9;
	}
	EXPECT_GT(wider, 0u);

	// Half a core: cheaper modes too.
	plan poor = make_plan(ds, limits(0.5, 5));
	ASSERT_TRUE(poor.fits) << poor.why;
	expect_covers(poor, ds, limits(0.5, 5));
	size_t cheaper = 0;
	for (const planned &x : poor.detectors)
		cheaper += x.mode;
	EXPECT_GT(cheaper, 0u);
}

TEST(Planner, AShortDelayTakesTheCheaperModesByItself)
{
	std::vector<demand> ds = busy_scene();
	// At "delay" 1 a 0.6 s run leaves no time to cover a frame.
	plan p = make_plan(ds, limits(1.5, 1));
	ASSERT_TRUE(p.fits) << p.why;
	expect_covers(p, ds, limits(1.5, 1));
	EXPECT_EQ(p.detectors[3].mode, 1u);
}

TEST(Planner, NamesTheDetectorThatCannotBeCoveredAndWhy)
{
	std::vector<demand> ds = busy_scene();
	ds[3].modes = {{1.5, 2.0, true}};
	plan slow = make_plan(ds, limits(1.5, 1));
	EXPECT_FALSE(slow.fits);
	EXPECT_EQ(slow.blame, "phones");
	EXPECT_NE(slow.why.find("delay"), std::string::npos) << slow.why;

	plan poor = make_plan(busy_scene(), limits(0.1, 5));
	EXPECT_FALSE(poor.fits);
	EXPECT_EQ(poor.blame, "phones");
	EXPECT_NE(poor.why.find("budget"), std::string::npos) << poor.why;
	// The cheapest plan is still there to follow, and within the budget
	// as far as the others leave room: the costliest runs less often
	// than its reach would need.
	ASSERT_EQ(poor.detectors.size(), 4u);
	EXPECT_EQ(poor.detectors[3].mode, 1u);
	EXPECT_GT(poor.detectors[3].spacing_s, 2.0);
	plan short_of = make_plan(busy_scene(), limits(0.15, 5));
	EXPECT_FALSE(short_of.fits);
	EXPECT_LE(short_of.cores, 0.15 + 1e-9);
	EXPECT_GT(short_of.cores, 0.1);
}

TEST(Planner, ABetterModeComesBackOnlyWithRoomToSpare)
{
	auto one = [](size_t current) {
		std::vector<demand> ds = {wants(
			"d", {{0.24, 0.2, true}, {0.1, 0.1, true}}, 0.3, 0.3)};
		ds[0].current_mode = current;
		return ds;
	};
	// The best mode needs 0.9 cores (every fourth frame): within a
	// budget of 1, but not within 1 less its headroom.
	EXPECT_EQ(make_plan(one(0), limits(1, 5)).detectors[0].mode, 0u);
	EXPECT_EQ(make_plan(one(1), limits(1, 5)).detectors[0].mode, 1u);
	EXPECT_EQ(make_plan(one(1), limits(1.2, 5)).detectors[0].mode, 0u);
}

TEST(Planner, RunsThatTakeTheirWholeSpacingAreSpacedWiderOrMadeCheaper)
{
	// A starved machine: little CPU a run, but each waits for a core so
	// long that it takes 0.75 s. At 0.8 s spacing one late run would put
	// every later one behind: a cheaper mode keeps pace.
	std::vector<demand> ds = {wants(
		"faces",
		{{0.13, 0.75, true}, {0.06, 0.5, true}, {0.02, 0.2, true}}, 0.8,
		0.25)};
	plan p = make_plan(ds, limits(1.5, 5));
	ASSERT_TRUE(p.fits) << p.why;
	EXPECT_EQ(p.detectors[0].mode, 1u);
	// 0.625 s apart at least: ten frames at 15 a second, aimed half a
	// frame past them.
	EXPECT_NEAR(p.detectors[0].spacing_s, 10.5 / 15, 1e-9);
	// Runs too slow in every mode: named, at the widest spacing that
	// still covers.
	ds[0].modes = {{0.13, 0.9, true}};
	p = make_plan(ds, limits(1.5, 5));
	EXPECT_FALSE(p.fits);
	EXPECT_EQ(p.blame, "faces");
	EXPECT_NE(p.why.find("pace"), std::string::npos) << p.why;
	EXPECT_NEAR(p.detectors[0].spacing_s, 0.8, 1e-9);
	// Runs that cannot cover at all ("delay" 1 s) still give evidence at
	// the spacing their reach asks for, not on every frame.
	p = make_plan(ds, limits(1.5, 1));
	EXPECT_FALSE(p.fits);
	EXPECT_NEAR(p.detectors[0].spacing_s, 0.5, 1e-9);
}

TEST(Planner, ADetectorThatCannotKeepPaceGivesWayToOneThatCovers)
{
	// "delay" 1 s on a busy machine: a phones run takes 0.48 s, so its
	// runs could cover a frame only 0.37 s apart, which they cannot keep
	// to. Run that often (every fifth frame) they would take 0.75 of a
	// core, and the faces would go to the mode that misses small faces.
	std::vector<demand> ds = {
		wants("faces", {{0.12, 0.15, true}, {0.03, 0.05, true}}, 0.25,
		      0.25),
		wants("phones", {{0.25, 0.48, true}}, 2.0, 1.0)};
	plan p = make_plan(ds, limits(1.0, 1));
	EXPECT_FALSE(p.fits);
	EXPECT_EQ(p.blame, "phones");
	EXPECT_NE(p.why.find("pace"), std::string::npos) << p.why;
	ASSERT_EQ(p.detectors.size(), 2u);
	EXPECT_EQ(p.detectors[0].mode, 0u) << "faces keep their best mode";
	EXPECT_NEAR(p.detectors[1].spacing_s, 1.0, 1e-9)
		<< "phones run as their evidence asks";
	EXPECT_LE(p.cores, 1.0 + 1e-9);
	// With room for both, the phones run as often as coverage asks: some
	// frames are covered.
	p = make_plan(ds, limits(1.5, 1));
	EXPECT_EQ(p.detectors[0].mode, 0u);
	EXPECT_NEAR(p.detectors[1].spacing_s, 0.37, 1e-9);
}

TEST(Planner, ARunsCostCountsTheWholeFramesRunsKeepTo)
{
	// Runs 0.25 s apart at 15 frames a second take every third frame:
	// 0.2 s apart, 0.5 of a core at 0.1 s a run, not 0.4.
	std::vector<demand> ds = {
		wants("faces", {{0.1, 0.1, true}}, 0.8, 0.25)};
	plan p = make_plan(ds, limits(1.0, 5));
	EXPECT_NEAR(p.detectors[0].spacing_s, 0.25, 1e-9);
	EXPECT_NEAR(p.cores, 0.5, 1e-9);
	// Within 0.45 cores they are spaced wider.
	p = make_plan(ds, limits(0.45, 5));
	EXPECT_TRUE(p.fits) << p.why;
	EXPECT_LE(p.cores, 0.45);
	expect_covers(p, ds, limits(0.45, 5));
}

// Seen in the demo on two busy cores at "delay" 4: a phone stage 1.4 s a
// run, 2 s after its last run, took the newest frame; ranked by that
// frame's due it waited while the QR and face detectors, a second behind,
// kept both cores, and ran every 4 to 6 s instead of every 2.
TEST(Planner, AWaitingRunIsRankedByTheFramesWaitingForIt)
{
	const uint64_t s = 1000000000, period = s / 15, delay = 4 * s;
	const uint64_t now = 100 * s;
	// Last ran on the frame of now - 2.2 s, takes the newest frame.
	uint64_t phones =
		run_start_by(now - 2200000000, now, period, delay, 1400000000);
	// On every frame, a second behind, 30 ms a run.
	uint64_t zxing = run_start_by(now - s - period, now - s, period, delay,
				      30000000);
	EXPECT_LT(phones, zxing);
	// The frames waiting for the phone stage fall due from 1.8 s on: it
	// must start within 0.4 s.
	EXPECT_EQ(phones, now - 2200000000 + period + delay - 1400000000);
	// A first run waits for its own frame only; never 0 (not waiting).
	EXPECT_EQ(run_start_by(0, now, period, delay, 0), now + delay);
	EXPECT_EQ(run_start_by(0, 1, period, 0, s), 1u);
}

TEST(Planner, CostsAreMeasuredPerModeAndGuessedFromTheMeasured)
{
	cost_meter m({0.1, 0.05});
	EXPECT_FALSE(m.cost(1).measured);
	EXPECT_DOUBLE_EQ(m.cost(1).cpu_s, 0.05);
	m.add(0, 0.3, 0.4);
	// Content made the first mode three times dearer: the second is
	// guessed dearer too.
	EXPECT_NEAR(m.cost(1).cpu_s, 0.15, 1e-9);
	EXPECT_NEAR(m.cost(1).wall_s, 0.2, 1e-9);
	// One slow run among many barely moves the figures...
	for (int i = 0; i < 19; i++)
		m.add(0, 0.3, 0.4);
	m.add(0, 3.0, 4.0);
	EXPECT_LT(m.cost(0).cpu_s, 1.0);
	EXPECT_NEAR(m.cost(0).wall_s, 0.4, 1e-9);
	// ...several in a row do.
	for (int i = 0; i < 5; i++)
		m.add(0, 3.0, 4.0);
	EXPECT_GT(m.cost(0).cpu_s, 2.0);
	EXPECT_NEAR(m.cost(0).wall_s, 4.0, 1e-9);
}

namespace {

const cv::Size FRAME(1280, 720);
constexpr uint64_t S = 1000000000;

run_history runs_at(std::vector<std::pair<uint64_t, regions>> at,
		    regions evidence = {})
{
	run_history h;
	for (auto &r : at)
		h[r.first] = run_record{r.first * S / 10,
					true,
					{r.second, evidence}};
	return h;
}

coverage_rule rule(const std::string &name, const std::string &kind,
		   double reach)
{
	coverage_rule r;
	r.name = name;
	r.kind = kind;
	r.wanted = true;
	r.reach_s = reach;
	r.motion.px_per_s = 100;
	r.fallback_s = 2;
	return r;
}

bool inside(const cv::Rect &small, const std::vector<cv::Rect> &boxes)
{
	for (const cv::Rect &b : boxes)
		if ((b & small) == small)
			return true;
	return false;
}

} // namespace

TEST(DueFrame, AClassInFallbackHidesItsEvidenceAndTheOthersStayExact)
{
	cv::Rect code(100, 100, 60, 60), line(600, 500, 200, 30);
	// Frames are numbered in tenths of a second.
	run_history qr = runs_at({{9, {{code}}}, {11, {{code}}}});
	run_history text = runs_at({{0, {}}}, {{line}});
	std::vector<coverage_rule> rules = {rule("qr-zxing", "qr", 0.25),
					    rule("phones", "phones", 0.5)};
	due_decision d = decide_due({10, S, FRAME}, rules, {&qr, &text});
	EXPECT_FALSE(d.whole);
	EXPECT_EQ(d.missing, std::vector<std::string>{"phones"});
	EXPECT_EQ(d.fallback, std::vector<std::string>{"phones"});
	EXPECT_TRUE(inside(code, d.boxes));
	EXPECT_TRUE(inside(line, d.boxes)) << "text lines stand in, unread";
	// The code's box: its two runs agree, so it barely grows.
	for (const cv::Rect &b : d.boxes) {
		if ((b & code) == code) {
			EXPECT_LE(b.width, code.width + 2 * 10);
		}
	}

	// No run of the class near the frame: nothing stands in.
	run_history none;
	d = decide_due({10, S, FRAME}, rules, {&qr, &none});
	EXPECT_TRUE(d.whole);
	EXPECT_EQ(d.blamed, "phones");
	EXPECT_TRUE(d.boxes.empty());
	// Switched off, it is not waited for.
	rules[1].wanted = false;
	EXPECT_FALSE(decide_due({10, S, FRAME}, rules, {&qr, &none}).whole);
}

TEST(DueFrame, AFailedRunIsNoEvidenceAndCoversNothing)
{
	run_history h = runs_at({{9, {}}, {11, {}}});
	for (auto &kv : h)
		kv.second.ok = false;
	std::vector<coverage_rule> rules = {rule("faces", "faces", 0.5)};
	due_decision d = decide_due({10, S, FRAME}, rules, {&h});
	EXPECT_TRUE(d.whole);
	EXPECT_EQ(d.missing, std::vector<std::string>{"faces"});
}

// 100 px/s at most, turning at 400 px/s², interpolated up to 0.5 s.
const motion_limits M{100, 400, 0.5};

TEST(RegionTracks, AnObjectSeenByBothRunsIsHiddenWhereItIsBetweenThem)
{
	regions a = {{cv::Rect(100, 300, 80, 80), 4, false}};
	regions b = {{cv::Rect(140, 300, 80, 80), 4, false}};
	// A quarter of the way between runs half a second apart: where it is
	// then, grown by how far a turn takes it from the line (400 * 0.125
	// * 0.375 / 2 = 9.4 px), less than it could move from the nearer run
	// (12.5 px).
	std::vector<cv::Rect> out =
		boxes_between({0, &a}, {S / 2, &b}, S / 8, M, FRAME);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0], cv::Rect(110 - 10, 300 - 10, 80 + 20, 80 + 20));
	// An object that turns sharply is bounded by its speed instead.
	out = boxes_between({0, &a}, {S / 2, &b}, S / 8, {100, 4000, 0.5},
			    FRAME);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0], cv::Rect(110 - 13, 300 - 13, 80 + 26, 80 + 26));
	// At a run's own frame the box is the run's.
	out = boxes_between({0, &a}, {S / 2, &b}, S / 2, M, FRAME);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0], b[0].box);
	// The nearest run on both sides is the frame's own: its boxes once.
	out = boxes_between({S / 2, &b}, {S / 2, &b}, S / 2, M, FRAME);
	EXPECT_EQ(out, std::vector<cv::Rect>{b[0].box});

	// Another track in the second run is someone coming in: it grows for
	// all the motion possible since; the first run's face leaves.
	b[0].track = 5;
	out = boxes_between({0, &a}, {S / 2, &b}, S / 8, M, FRAME);
	ASSERT_EQ(out.size(), 2u);
	EXPECT_TRUE(inside(cv::Rect(100 - 12, 300 - 12, 104, 104), out));
	EXPECT_TRUE(inside(cv::Rect(140 - 37, 300 - 37, 154, 154), out));

	// Runs further apart than the class interpolates say too little of
	// the path between: both grow.
	b[0].track = 4;
	out = boxes_between({0, &a}, {S, &b}, S / 2, M, FRAME);
	EXPECT_TRUE(inside(cv::Rect(100 - 50, 300 - 50, 180, 180), out));
	EXPECT_TRUE(inside(cv::Rect(140 - 50, 300 - 50, 180, 180), out));
	// Slow text is interpolated over a second.
	out = boxes_between({0, &a}, {S, &b}, S / 2, {100, 40, 1.0}, FRAME);
	ASSERT_EQ(out.size(), 1u);
	EXPECT_EQ(out[0], cv::Rect(120 - 5, 300 - 5, 80 + 10, 80 + 10));

	// The second run missed the face and holds it where the first saw
	// it: that is no position to interpolate towards. From both runs it
	// grows for all the motion possible since it was seen.
	b = {{cv::Rect(100, 300, 80, 80), 4, false, 1}};
	out = boxes_between({1, &a}, {S / 2, &b}, S / 4, M, FRAME);
	EXPECT_TRUE(inside(cv::Rect(100 - 24, 300 - 24, 128, 128), out));
	EXPECT_TRUE(inside(cv::Rect(100 - 24, 300 - 24, 128, 128),
			   boxes_carried({S / 2, &b}, S / 4, 100, FRAME)));
}

TEST(RegionTracks, ASightingHeldByOneRunIsInterpolatedFromWhenItWasSeen)
{
	// The first run missed the face and held it from a sighting 0.1 s
	// before; the second saw it. Halfway between the sighting and the
	// second run, it is halfway between the boxes.
	regions a = {{cv::Rect(100, 300, 80, 80), 4, false, S / 10}};
	regions b = {{cv::Rect(160, 300, 80, 80), 4, false}};
	std::vector<cv::Rect> out = boxes_between({S / 5, &a}, {S / 2, &b},
						  S / 10 + S / 5, M, FRAME);
	ASSERT_EQ(out.size(), 1u);
	// 400 * 0.2 * 0.2 / 2 = 8 px from the line.
	EXPECT_EQ(out[0], cv::Rect(130 - 8, 300 - 8, 80 + 16, 80 + 16));
}

TEST(RegionTracks, ARunOnTheFramesOwnPictureSaysWhereItsObjectsAre)
{
	// The source stalled: the frame shows the picture the first run
	// looked at, and the second run's picture came 1.5 s later, further
	// than the class interpolates. The object is where the first run saw
	// it, not wherever it could have gone since the second.
	regions a = {{cv::Rect(100, 300, 80, 80), 4, false}};
	regions b = {{cv::Rect(100, 300, 80, 80), 4, false}};
	EXPECT_EQ(boxes_between({S, &a}, {S * 5 / 2, &b}, S, M, FRAME),
		  std::vector<cv::Rect>{a[0].box});
	EXPECT_EQ(boxes_between({0, &a}, {S * 3 / 2, &b}, S * 3 / 2, M, FRAME),
		  std::vector<cv::Rect>{b[0].box});
	// Between them, both still grow.
	EXPECT_EQ(
		boxes_between({0, &a}, {S * 3 / 2, &b}, S / 2, M, FRAME).size(),
		2u);
}

TEST(RegionTracks, BoxesPairedWithANeighboursAreNotInterpolated)
{
	// Two faces side by side whose tracks swapped between runs: each
	// track's boxes lie across the gap between the faces. Each face is
	// hidden where it could have gone from both runs instead.
	regions a = {{cv::Rect(100, 300, 80, 80), 1, false},
		     {cv::Rect(200, 300, 80, 80), 2, false}};
	regions b = {{cv::Rect(205, 300, 80, 80), 1, false},
		     {cv::Rect(105, 300, 80, 80), 2, false}};
	std::vector<cv::Rect> out =
		boxes_between({0, &a}, {S / 2, &b}, S / 4, M, FRAME);
	EXPECT_EQ(out.size(), 4u);
	for (const cv::Rect &r : {a[0].box, a[1].box, b[0].box, b[1].box})
		EXPECT_TRUE(inside(cv::Rect(r.x - 25, r.y - 25, 130, 130), out))
			<< r;
}

TEST(RegionTracks, UntrackedRegionsPairByOverlapOrNearnessOfLikeSize)
{
	regions a = {{cv::Rect(0, 0, 50, 50)},
		     {cv::Rect(600, 0, 50, 50)},
		     {cv::Rect(1000, 600, 40, 40)}};
	regions b = {{cv::Rect(630, 10, 50, 50)},
		     {cv::Rect(30, 0, 50, 50)},
		     {cv::Rect(1000, 400, 200, 200)}};
	EXPECT_EQ(partners(a, b, 100), (std::vector<int>{1, 0, -1}))
		<< "a box five times larger is another object";
	EXPECT_EQ(partners(a, b, 10), (std::vector<int>{1, 0, -1}))
		<< "overlapping boxes pair at any distance limit";
	regions kept = {{cv::Rect(0, 0, 50, 50), -1, true}};
	EXPECT_TRUE(
		boxes_between({0, &kept}, {S, &kept}, S / 2, M, FRAME).empty())
		<< "a person to keep is never hidden";
}
