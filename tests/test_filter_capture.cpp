// The filter's capture of its target and its instances' life cycle: the
// sequence of captures, every kind and size of source captured stretched,
// the source's alpha whatever the caller's blending, and the two workers
// of each instance, however many instances come and go. Runs against
// quilmar-direct.so loaded into a headless libobs (the fixture is in
// filter_fixture.h).
#include "filter_fixture.h"

#include <graphics/vec4.h>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

using namespace qm_filter;

// ---------------------------------------------------------------------------
// Capture

TEST_F(Capture, NewInstanceHasCapturedNothing)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	std::lock_guard<std::mutex> guard(fs.data()->lock);
	EXPECT_EQ(fs.data()->input_seq, 0u);
	EXPECT_FALSE(fs.data()->has_output);
}

TEST_F(Capture, SequenceRisesByOnePerRender)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	for (uint64_t i = 1; i <= 6; i++) {
		// The same picture every time; each capture still counts.
		render_and_read(fs.parent.get());
		EXPECT_EQ(input_seq(fs.data()), i);
	}
	// Ticks alone capture nothing.
	uint64_t before = input_seq(fs.data());
	ASSERT_TRUE(let_frame_time_pass(0.3));
	EXPECT_EQ(input_seq(fs.data()), before);
}

TEST_F(Capture, EveryKindOfSourceIsCapturedStretched)
{
	for (pattern_kind kind : {pattern_kind::plain, pattern_kind::async,
				  pattern_kind::custom_draw}) {
		for (size s : SIZES) {
			SCOPED_TRACE(describe(kind, s));
			bool async = kind == pattern_kind::async;
			filtered_source fs =
				make_filtered(kind, async ? 0 : s.width,
					      async ? 0 : s.height);
			ASSERT_NE(fs.data(), nullptr);
			std::string mismatch;
			EXPECT_TRUE(wait_for_captured_pattern(
				fs, mismatch, async ? s.width : 0,
				async ? s.height : 0))
				<< mismatch;
			image input = copy_input_frame(fs.data());
			EXPECT_EQ(input.at(0, 0), RED);
			EXPECT_EQ(input.at(FRAME_WIDTH - 1, 0), GREEN);
			EXPECT_EQ(input.at(0, FRAME_HEIGHT - 1), BLUE);
			EXPECT_EQ(input.at(FRAME_WIDTH - 1, FRAME_HEIGHT - 1),
				  YELLOW);
		}
	}
}

namespace {

// A still pattern whose every pixel has the given alpha, with the filter.
filtered_source make_translucent(pattern_kind kind, uint8_t alpha)
{
	data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), "width", 640);
	obs_data_set_int(settings.get(), "height", 480);
	obs_data_set_int(settings.get(), "alpha", alpha);
	filtered_source fs;
	fs.parent = source_ptr(obs_source_create_private(
		pattern_id(kind), "translucent", settings.get()));
	fs.filter = source_ptr(obs_source_create_private(
		FILTER_ID, "qm test filter", nullptr));
	obs_source_filter_add(fs.parent.get(), fs.filter.get());
	return fs;
}

} // namespace

namespace {

// Renders source once on the graphics thread as a caller with blending of
// its own does (another plugin, say).
void render_with_blending(obs_source_t *source,
			  const std::function<void()> &set_blending)
{
	uint32_t width = obs_source_get_width(source);
	uint32_t height = obs_source_get_height(source);
	run_on_graphics_thread([&] {
		gs_texrender_t *target =
			gs_texrender_create(GS_BGRA, GS_ZS_NONE);
		if (gs_texrender_begin(target, width, height)) {
			vec4 clear;
			vec4_zero(&clear);
			gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
			gs_ortho(0.0f, float(width), 0.0f, float(height),
				 -100.0f, 100.0f);
			gs_blend_state_push();
			set_blending();
			obs_source_video_render(source);
			gs_blend_state_pop();
			gs_texrender_end(target);
		}
		gs_texrender_destroy(target);
	});
}

} // namespace

TEST_F(Capture, KeepsTheSourcesAlphaWhateverTheCallersBlending)
{
	const std::pair<const char *, std::function<void()>> callers[] = {
		{"plain alpha blending",
		 [] {
			 gs_blend_function(GS_BLEND_SRCALPHA,
					   GS_BLEND_INVSRCALPHA);
		 }},
		{"blending off",
		 [] {
			 gs_enable_blending(false);
		 }},
		{"additive",
		 [] {
			 gs_blend_function(GS_BLEND_ONE, GS_BLEND_ONE);
		 }},
	};
	for (pattern_kind kind :
	     {pattern_kind::plain, pattern_kind::custom_draw}) {
		SCOPED_TRACE(pattern_id(kind));
		// Half transparent: captured as the host renders it into its
		// own targets, the colour weighted by the alpha and the alpha
		// as it is.
		filtered_source fs = make_translucent(kind, 128);
		ASSERT_NE(fs.data(), nullptr);
		render_and_read(fs.parent.get());
		image wanted = copy_input_frame(fs.data());
		for (auto [x, y] : {std::pair<uint32_t, uint32_t>{0, 0},
				    {FRAME_WIDTH - 1, FRAME_HEIGHT - 1}}) {
			bgra full =
				pattern_colour(x, y, FRAME_WIDTH, FRAME_HEIGHT);
			bgra half{uint8_t(full.b / 2), uint8_t(full.g / 2),
				  uint8_t(full.r / 2), 128};
			EXPECT_TRUE(near(wanted.at(x, y), half))
				<< to_string(wanted.at(x, y));
		}
		// The same whatever blending the caller has set.
		for (auto &[what, blending] : callers) {
			SCOPED_TRACE(what);
			uint64_t seq = input_seq(fs.data());
			render_with_blending(fs.parent.get(), blending);
			ASSERT_EQ(input_seq(fs.data()), seq + 1);
			image input = copy_input_frame(fs.data());
			EXPECT_TRUE(input.pixels == wanted.pixels)
				<< "top left " << to_string(input.at(0, 0));
		}

		// Opaque: exactly the source.
		filtered_source opaque = make_translucent(kind, 255);
		render_with_blending(opaque.parent.get(), callers[1].second);
		EXPECT_EQ(pattern_mismatch(copy_input_frame(opaque.data())),
			  "");
	}
}

TEST_F(Capture, AsyncSourceFollowsFrameSizeChanges)
{
	filtered_source fs = make_filtered(pattern_kind::async, 0, 0);
	ASSERT_NE(fs.data(), nullptr);
	std::string mismatch;
	ASSERT_TRUE(wait_for_captured_pattern(fs, mismatch, 1920, 1080))
		<< mismatch;

	// A new picture of another size and palette.
	push_pattern_frame(fs.parent.get(), 320, 240, PROCESSED_PALETTE);
	EXPECT_TRUE(wait_until([&] {
		render_and_read(fs.parent.get());
		mismatch = pattern_mismatch(copy_input_frame(fs.data()),
					    PROCESSED_PALETTE);
		return mismatch.empty();
	})) << mismatch;
	EXPECT_EQ(obs_source_get_base_width(fs.parent.get()), 320u);
}

TEST_F(Capture, TargetWithoutSizeCapturesNothing)
{
	for (size s : {size{0, 0}, size{640, 0}, size{0, 480}}) {
		SCOPED_TRACE(describe(pattern_kind::plain, s));
		filtered_source fs =
			make_filtered(pattern_kind::plain, s.width, s.height);
		ASSERT_NE(fs.data(), nullptr);
		render_times(fs.parent.get(), 3);
		EXPECT_EQ(input_seq(fs.data()), 0u);
	}

	// An asynchronous source has no size until its first frame.
	filtered_source fs = make_filtered(pattern_kind::async, 0, 0);
	ASSERT_NE(fs.data(), nullptr);
	render_times(fs.parent.get(), 3);
	EXPECT_EQ(input_seq(fs.data()), 0u);
	std::string mismatch;
	EXPECT_TRUE(wait_for_captured_pattern(fs, mismatch, 640, 480))
		<< mismatch;
}

// ---------------------------------------------------------------------------
// Life cycle

TEST_F(LifeCycle, EachInstanceRunsTwoWorkersUntilDestroyed)
{
	int before = thread_count();
	auto ids = thread_ids_but_controller();
	{
		filtered_source fs =
			make_filtered(pattern_kind::plain, 640, 480);
		ASSERT_NE(fs.data(), nullptr);
		filtered_source second =
			make_filtered(pattern_kind::async, 0, 0);
		ASSERT_NE(second.data(), nullptr);
		for (auto *data : {fs.data(), second.data()}) {
			EXPECT_TRUE(data->reader_thread.joinable());
			EXPECT_TRUE(data->sender_thread.joinable());
		}
		EXPECT_GE(started_since(ids).size(), 4u);
	}
	// destroy joins both workers before it returns.
	EXPECT_TRUE(wait_for_thread_count(before));
}

TEST_F(LifeCycle, ManyInstancesWithoutRendering)
{
	int before = thread_count();
	for (int i = 0; i < 25; i++) {
		filtered_source fs =
			make_filtered(pattern_kind::plain, 640, 480);
		ASSERT_NE(fs.data(), nullptr);
	}
	std::vector<source_ptr> filters;
	for (int i = 0; i < 8; i++) {
		filters.emplace_back(obs_source_create_private(
			FILTER_ID, "unattached", nullptr));
		ASSERT_NE(obs_obj_get_data(filters.back().get()), nullptr);
	}
	filters.clear();
	EXPECT_TRUE(wait_for_thread_count(before));
}

TEST_F(LifeCycle, ManyInstancesWithRendering)
{
	int before = thread_count();
	for (int round = 0; round < 3; round++) {
		std::vector<filtered_source> alive;
		for (int i = 0; i < 6; i++) {
			pattern_kind kind = pattern_kind(i % 3);
			alive.push_back(make_filtered(kind, 320 + 64 * i, 240));
			ASSERT_NE(alive.back().data(), nullptr);
			if (kind == pattern_kind::async)
				push_pattern_frame(alive.back().parent.get(),
						   320, 240);
		}
		for (auto &fs : alive)
			render_times(fs.parent.get(), 2);
		// Tear down in an order other than creation.
		for (size_t i = 0; i < alive.size(); i += 2)
			alive[i] = filtered_source();
		alive.clear();
	}
	EXPECT_TRUE(wait_for_thread_count(before));
}

TEST_F(LifeCycle, SeveralFiltersOnOneSource)
{
	source_ptr parent = create_pattern(pattern_kind::plain, 640, 480);
	std::vector<source_ptr> filters;
	for (int i = 0; i < 3; i++) {
		filters.emplace_back(
			obs_source_create_private(FILTER_ID, "f", nullptr));
		obs_source_filter_add(parent.get(), filters.back().get());
	}
	image shown = render_and_read(parent.get());
	EXPECT_TRUE(is_opaque_black(shown));
	for (auto &f : filters)
		obs_source_filter_remove(parent.get(), f.get());
	filters.clear();
	parent.reset();
}
