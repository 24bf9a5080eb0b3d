// The look-ahead pipeline on a clock of the test's own: frames leave in
// order at their arrival plus the delay, the "fps" cap and the buffer's
// limit on what is kept, and findings carried to the frames before them,
// also when a stalled source sends a picture again.

#include "controller_unit_pipeline_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace qmc;
using namespace qm_pipeline;

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
