// What the filter draws in place of its target: black until a processed
// frame comes, the processed frame stretched over the box while it is
// fresh, black again once it is half a second old or stamped later than
// the render, and frame-sized black over a target without a size. Runs
// against quilmar-direct.so loaded into a headless libobs (the fixture is
// in filter_fixture.h).
#include "filter_fixture.h"

#include <util/platform.h>

#include <functional>
#include <string>

using namespace qm_filter;

// ---------------------------------------------------------------------------
// Display

TEST_F(Display, NoProcessedFrameIsOpaqueBlackOverTheBox)
{
	for (pattern_kind kind : {pattern_kind::plain, pattern_kind::async,
				  pattern_kind::custom_draw}) {
		for (size s : SIZES) {
			SCOPED_TRACE(describe(kind, s));
			filtered_source fs =
				make_filtered(kind, s.width, s.height);
			ASSERT_NE(fs.data(), nullptr);
			bool async = kind == pattern_kind::async;
			std::string mismatch;
			ASSERT_TRUE(wait_for_captured_pattern(
				fs, mismatch, async ? s.width : 0,
				async ? s.height : 0))
				<< mismatch;

			for (int i = 0; i < 3; i++) {
				image shown = render_and_read(
					fs.parent.get(), s.width, s.height);
				ASSERT_EQ(shown.width, s.width);
				EXPECT_TRUE(is_opaque_black(shown));
				EXPECT_FALSE(contains_any(shown));
			}
		}
	}
}

TEST_F(Display, ProcessedFrameFillsTheBoxStretched)
{
	image processed =
		make_pattern(FRAME_WIDTH, FRAME_HEIGHT, PROCESSED_PALETTE);
	for (pattern_kind kind :
	     {pattern_kind::plain, pattern_kind::custom_draw}) {
		for (size s : SIZES) {
			SCOPED_TRACE(describe(kind, s));
			filtered_source fs =
				make_filtered(kind, s.width, s.height);
			ASSERT_NE(fs.data(), nullptr);
			quiet_workers(fs.data());

			set_output_frame(fs.data(), processed);
			image shown;
			EXPECT_TRUE(draws_fresh(fs, PROCESSED_PALETTE, &shown));
			ASSERT_EQ(shown.width, s.width);
			ASSERT_EQ(shown.height, s.height);
			EXPECT_FALSE(contains_any(shown));
			// Capture goes on while the processed frame shows.
			EXPECT_EQ(pattern_mismatch(copy_input_frame(fs.data())),
				  "");
		}
	}
}

TEST_F(Display, ProcessedFrameOfAsyncSource)
{
	filtered_source fs = make_filtered(pattern_kind::async, 0, 0);
	ASSERT_NE(fs.data(), nullptr);
	std::string mismatch;
	ASSERT_TRUE(wait_for_captured_pattern(fs, mismatch, 640, 480))
		<< mismatch;
	quiet_workers(fs.data());

	set_output_frame(fs.data(), make_pattern(FRAME_WIDTH, FRAME_HEIGHT,
						 PROCESSED_PALETTE));
	image shown;
	EXPECT_TRUE(draws_fresh(fs, PROCESSED_PALETTE, &shown));
	ASSERT_EQ(shown.width, 640u);
	ASSERT_EQ(shown.height, 480u);
}

TEST_F(Display, StaleOrFutureFrameShowsBlack)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	quiet_workers(fs.data());
	image processed =
		make_pattern(FRAME_WIDTH, FRAME_HEIGHT, PROCESSED_PALETTE);

	// Exactly half a second old is already stale; the render comes even
	// later.
	set_output_frame(fs.data(), processed, os_gettime_ns() - 500000000);
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));

	// Stamped after the clock reading of the render.
	set_output_frame(fs.data(), processed,
			 os_gettime_ns() + 60ull * 1000000000ull);
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));

	// A fresh frame shows; without has_output the same stamp does not.
	set_output_frame(fs.data(), processed);
	EXPECT_TRUE(draws_fresh(fs, PROCESSED_PALETTE));
	clear_output_frame(fs.data());
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));
}

namespace {

// Renders a source on the graphics thread and notes when the render began
// and ended, by the clock the filter judges freshness with.
class timed_renderer {
public:
	struct render {
		uint64_t began, ended;
		image shown;
	};

	explicit timed_renderer(obs_source_t *source) : source_(source)
	{
		run_on_graphics_thread([&] {
			target_ = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
			stage_ = gs_stagesurface_create(640, 480, GS_BGRA);
		});
	}
	~timed_renderer()
	{
		run_on_graphics_thread([&] {
			gs_stagesurface_destroy(stage_);
			gs_texrender_destroy(target_);
		});
	}

	// before runs on the graphics thread right before the render.
	render run(const std::function<void()> &before = {})
	{
		render r{};
		run_on_graphics_thread([&] {
			if (before)
				before();
			r.began = os_gettime_ns();
			render_into(source_, target_, stage_, 640, 480,
				    r.shown);
			r.ended = os_gettime_ns();
		});
		return r;
	}

private:
	obs_source_t *source_;
	gs_texrender_t *target_ = nullptr;
	gs_stagesurf_t *stage_ = nullptr;
};

} // namespace

TEST_F(Display, ProcessedFrameTurnsBlackAfterHalfASecond)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	quiet_workers(fs.data());
	image processed =
		make_pattern(FRAME_WIDTH, FRAME_HEIGHT, PROCESSED_PALETTE);
	timed_renderer renderer(fs.parent.get());
	const uint64_t limit = 500000000;

	// The frame arrives right before a render, on the graphics thread, so
	// that even a slow machine draws it fresh; should a render take half
	// a second all the same, the frame arrives again.
	uint64_t stamp = 0;
	bool checked_fresh = false;
	for (int attempt = 0; attempt < 5 && !checked_fresh; attempt++) {
		auto r = renderer.run([&] {
			stamp = os_gettime_ns();
			set_output_frame(fs.data(), processed, stamp);
		});
		if (r.ended - stamp < limit) {
			EXPECT_EQ(pattern_mismatch(r.shown, PROCESSED_PALETTE),
				  "");
			checked_fresh = true;
		}
	}
	ASSERT_TRUE(checked_fresh) << "no render took less than half a second";

	// Every render that ended before the frame was half a second old
	// shows it; every one that began later shows black.
	int renders = 0;
	bool black = wait_until([&] {
		auto r = renderer.run();
		renders++;
		bool is_black = is_opaque_black(r.shown);
		if (r.ended - stamp < limit)
			EXPECT_EQ(pattern_mismatch(r.shown, PROCESSED_PALETTE),
				  "");
		if (r.began - stamp >= limit)
			EXPECT_TRUE(is_black);
		return is_black;
	});
	EXPECT_TRUE(black);
	EXPECT_GE(renders, 1);
}

TEST_F(Display, TargetWithoutSizeShowsFrameSizedBlack)
{
	for (size s : {size{0, 0}, size{640, 0}, size{0, 480}}) {
		SCOPED_TRACE(describe(pattern_kind::plain, s));
		filtered_source fs =
			make_filtered(pattern_kind::plain, s.width, s.height);
		ASSERT_NE(fs.data(), nullptr);
		quiet_workers(fs.data());
		// Read a larger box to see where the drawing ends.
		image shown = render_and_read(fs.parent.get(), 1920, 1080);
		ASSERT_EQ(shown.width, 1920u);
		EXPECT_EQ(shown.at(0, 0), OPAQUE_BLACK);
		EXPECT_EQ(shown.at(1279, 719), OPAQUE_BLACK);
		EXPECT_EQ(shown.at(1280, 0).a, 0);
		EXPECT_EQ(shown.at(0, 720).a, 0);

		set_output_frame(fs.data(),
				 make_pattern(FRAME_WIDTH, FRAME_HEIGHT,
					      PROCESSED_PALETTE));
		EXPECT_TRUE(draws_fresh(fs, PROCESSED_PALETTE, nullptr,
					FRAME_WIDTH, FRAME_HEIGHT));
	}
}
