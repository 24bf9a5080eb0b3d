// The filter as the host sees it: registration, property page, instance
// life cycle, capture of the target and what is drawn in its place. Runs
// against quilmar-direct.so loaded into a headless libobs.
#include "host.h"

#include <cstring>

#include <graphics/vec4.h>
#include <util/platform.h>

#include <cmath>
#include <string>
#include <vector>

using namespace qm_test;

namespace {

struct size {
	uint32_t width;
	uint32_t height;
};

const size SIZES[] = {{640, 480}, {1280, 720}, {1920, 1080}, {400, 900}};

std::string describe(pattern_kind kind, size s)
{
	return std::string(pattern_id(kind)) + " " + std::to_string(s.width) +
	       "x" + std::to_string(s.height);
}

// Every test starts with an empty log and ends without a warning or an
// error from anyone and without a line from the module: in normal
// operation the module has nothing to say. Every worker a test started
// has ended soon after its filters are released.
class host_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_log();
		threads_at_start = thread_count();
	}
	void TearDown() override
	{
		EXPECT_TRUE(wait_for_thread_count(threads_at_start))
			<< thread_count() << " threads, " << threads_at_start
			<< " at the start";
		for (auto &line : log_lines())
			EXPECT_GT(line.level, LOG_WARNING)
				<< "unexpected log line: " << line.text;
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
	}
	int threads_at_start = 0;
};

using Registration = host_test;
using Display = host_test;
using Capture = host_test;
using LifeCycle = host_test;

// Renders until the input frame holds the pattern. An asynchronous pattern
// is fed frames of feed_width x feed_height meanwhile, as a webcam keeps
// sending them: the host may drop a single frame before it is shown.
bool wait_for_captured_pattern(filtered_source &fs, std::string &mismatch,
			       uint32_t feed_width = 0,
			       uint32_t feed_height = 0)
{
	obs_source_t *parent = fs.parent.get();
	int polls = 0;
	return wait_until([&] {
		if (feed_width && polls++ % 20 == 0)
			push_pattern_frame(parent, feed_width, feed_height);
		render_and_read(parent);
		uint64_t seq = 0;
		image input = copy_input_frame(fs.data(), &seq);
		mismatch = seq ? pattern_mismatch(input) : "nothing captured";
		return mismatch.empty();
	});
}

} // namespace

// ---------------------------------------------------------------------------
// Registration and property page

TEST_F(Registration, FilterTypeNameAndFlags)
{
	EXPECT_STREQ(obs_source_get_display_name(FILTER_ID),
		     "Quilmar direct filter (experimental)");
	EXPECT_EQ(obs_get_source_output_flags(FILTER_ID), 9u);
	EXPECT_EQ(obs_get_source_output_flags(FILTER_ID),
		  uint32_t(OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW));

	// Exactly one filter type, and no input or transition type.
	int filters = 0;
	const char *id = nullptr;
	for (size_t i = 0; obs_enum_filter_types(i, &id); i++)
		if (strcmp(id, FILTER_ID) == 0)
			filters++;
	EXPECT_EQ(filters, 1);
	for (size_t i = 0; obs_enum_input_types(i, &id); i++)
		EXPECT_NE(strcmp(id, FILTER_ID), 0);

	source_ptr filter(obs_source_create_private(FILTER_ID, "f", nullptr));
	ASSERT_TRUE(filter);
	EXPECT_EQ(obs_source_get_type(filter.get()), OBS_SOURCE_TYPE_FILTER);
	EXPECT_STREQ(obs_source_get_id(filter.get()), FILTER_ID);
	EXPECT_NE(obs_obj_get_data(filter.get()), nullptr);
}

namespace {

struct expected_property {
	const char *name;
	const char *label;
	obs_property_type type;
};

const char *IMAGE_FILTER = "Images (*.png *.jpg *.jpeg *.webp *.bmp)";

const expected_property PAGE[] = {
	{"reference", "Existing face photo (optional)", OBS_PROPERTY_PATH},
	{"references", "Additional people to keep visible",
	 OBS_PROPERTY_EDITABLE_LIST},
	{"capture", "Add people from webcam (all detected faces)",
	 OBS_PROPERTY_BUTTON},
	{"delay", "Lookahead buffer (seconds)", OBS_PROPERTY_FLOAT},
	{"fps", "Processing FPS target (experimental)", OBS_PROPERTY_INT},
	{"worker_enabled", "Enable local processing", OBS_PROPERTY_BOOL},
	{"face_enabled", "Blur faces (except selected people)",
	 OBS_PROPERTY_BOOL},
	{"qr_enabled", "Blur QR codes", OBS_PROPERTY_BOOL},
	{"phone_enabled", "Blur phone numbers", OBS_PROPERTY_BOOL},
	{"note",
	 "Experimental: requires the Quilmar direct controller running. Changes restart processing; preview goes black.",
	 OBS_PROPERTY_TEXT},
};

bool empty_or_null(const char *s)
{
	return !s || !*s;
}

void check_page(obs_properties_t *props)
{
	ASSERT_NE(props, nullptr);
	std::vector<obs_property_t *> found;
	for (obs_property_t *p = obs_properties_first(props); p;
	     obs_property_next(&p))
		found.push_back(p);
	ASSERT_EQ(found.size(), std::size(PAGE));

	for (size_t i = 0; i < found.size(); i++) {
		SCOPED_TRACE(PAGE[i].name);
		obs_property_t *p = found[i];
		EXPECT_STREQ(obs_property_name(p), PAGE[i].name);
		EXPECT_STREQ(obs_property_description(p), PAGE[i].label);
		EXPECT_EQ(obs_property_get_type(p), PAGE[i].type);
		EXPECT_TRUE(obs_property_visible(p));
		EXPECT_TRUE(obs_property_enabled(p));
	}

	obs_property_t *path = found[0];
	EXPECT_EQ(obs_property_path_type(path), OBS_PATH_FILE);
	EXPECT_STREQ(obs_property_path_filter(path), IMAGE_FILTER);
	EXPECT_TRUE(empty_or_null(obs_property_path_default_path(path)));

	obs_property_t *list = found[1];
	EXPECT_EQ(obs_property_editable_list_type(list),
		  OBS_EDITABLE_LIST_TYPE_FILES);
	EXPECT_STREQ(obs_property_editable_list_filter(list), IMAGE_FILTER);
	EXPECT_TRUE(
		empty_or_null(obs_property_editable_list_default_path(list)));

	obs_property_t *delay = found[3];
	EXPECT_EQ(obs_property_float_min(delay), 1.0);
	EXPECT_EQ(obs_property_float_max(delay), 30.0);
	EXPECT_EQ(obs_property_float_step(delay), 1.0);
	EXPECT_EQ(obs_property_float_type(delay), OBS_NUMBER_SCROLLER);

	obs_property_t *fps = found[4];
	EXPECT_EQ(obs_property_int_min(fps), 5);
	EXPECT_EQ(obs_property_int_max(fps), 60);
	EXPECT_EQ(obs_property_int_step(fps), 1);
	EXPECT_EQ(obs_property_int_type(fps), OBS_NUMBER_SCROLLER);

	EXPECT_EQ(obs_property_text_type(found[9]), OBS_TEXT_INFO);
}

} // namespace

TEST_F(Registration, PropertyPageWithoutInstance)
{
	properties_ptr props(obs_get_source_properties(FILTER_ID));
	check_page(props.get());
}

TEST_F(Registration, PropertyPageOfInstance)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	properties_ptr props(obs_source_properties(fs.filter.get()));
	check_page(props.get());
}

TEST_F(Registration, Defaults)
{
	data_ptr defaults(obs_get_source_defaults(FILTER_ID));
	ASSERT_TRUE(defaults);
	obs_data_t *d = defaults.get();

	EXPECT_TRUE(obs_data_has_default_value(d, "delay"));
	EXPECT_EQ(obs_data_get_default_double(d, "delay"), 5.0);
	EXPECT_TRUE(obs_data_has_default_value(d, "fps"));
	EXPECT_EQ(obs_data_get_default_int(d, "fps"), 15);
	for (const char *key : {"worker_enabled", "face_enabled", "qr_enabled",
				"phone_enabled"}) {
		SCOPED_TRACE(key);
		EXPECT_TRUE(obs_data_has_default_value(d, key));
		EXPECT_TRUE(obs_data_get_default_bool(d, key));
	}
	for (const char *key : {"reference", "references", "capture_request",
				"capture", "note"}) {
		SCOPED_TRACE(key);
		EXPECT_FALSE(obs_data_has_default_value(d, key));
	}

	// The defaults hold exactly these six keys.
	int keys = 0;
	for (obs_data_item_t *item = obs_data_first(d); item;
	     obs_data_item_next(&item))
		keys++;
	EXPECT_EQ(keys, 6);
}

TEST_F(Registration, ButtonAndNoteStoreNothing)
{
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	render_times(fs.parent.get(), 2);

	// Ask for the page as the user interface does, then look at what the
	// instance's settings hold.
	properties_ptr props(obs_source_properties(fs.filter.get()));
	ASSERT_TRUE(props);
	data_ptr settings(obs_source_get_settings(fs.filter.get()));
	for (const char *key : {"capture", "note"}) {
		SCOPED_TRACE(key);
		EXPECT_FALSE(obs_data_has_user_value(settings.get(), key));
		EXPECT_FALSE(obs_data_has_default_value(settings.get(), key));
		obs_data_item_t *item =
			obs_data_item_byname(settings.get(), key);
		EXPECT_EQ(item, nullptr);
		obs_data_item_release(&item);
	}
	EXPECT_EQ(obs_data_get_int(settings.get(), "fps"), 15);
}

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
