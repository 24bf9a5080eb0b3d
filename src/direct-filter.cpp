#include "direct-filter.h"

#include <graphics/vec4.h>
#include <util/platform.h>

#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#define IMAGE_FILTER "Images (*.png *.jpg *.jpeg *.webp *.bmp)"

frame_buffer qm_alloc_frame()
{
	if (qm_test_fails(QM_TEST_FRAME_BUFFER))
		return nullptr;
	return frame_buffer(new (std::nothrow) uint8_t[FRAME_SIZE]);
}

bool qm_alloc_frames(direct_filter_data *instance)
{
	frame_buffer *frames[] = {
		&instance->input_frame,   &instance->input_ready,
		&instance->input_sending, &instance->output_frame,
		&instance->output_spare,
	};
	bool all = true;
	for (frame_buffer *frame : frames) {
		*frame = qm_alloc_frame();
		all = all && *frame;
	}
	return all;
}

bool qm_frame_is_fresh(bool has_output, uint64_t now, uint64_t output_time)
{
	return has_output && now >= output_time &&
	       now - output_time <= FRESH_LIMIT_NS;
}

void qm_publish_input(direct_filter_data *instance)
{
	{
		std::lock_guard<std::mutex> guard(instance->lock);
		std::swap(instance->input_frame, instance->input_ready);
		instance->ready_seq = ++instance->input_seq;
	}
	instance->input_wake.notify_one();
}

void qm_pause(direct_filter_data *instance, unsigned ms)
{
	std::unique_lock<std::mutex> guard(instance->pause_lock);
	instance->pause_wake.wait_for(guard, std::chrono::milliseconds(ms),
				      [instance] {
					      return instance->stop.load();
				      });
}

namespace {

// Holds the host's graphics context for one scope.
struct graphics_context {
	graphics_context() { obs_enter_graphics(); }
	~graphics_context() { obs_leave_graphics(); }
	graphics_context(const graphics_context &) = delete;
	graphics_context &operator=(const graphics_context &) = delete;
};

// A graphics object from make, unless a test has this one fail.
template<typename Make> auto graphics_object(Make make) -> decltype(make())
{
	return qm_test_fails(QM_TEST_GRAPHICS_OBJECT) ? nullptr : make();
}

} // namespace

static const char *name(void *) noexcept
{
	return "Quilmar direct filter (experimental)";
}

// Creates the graphics objects; returns what is missing, or null when
// nothing is.
static const char *create_graphics(direct_filter_data *instance)
{
	graphics_context graphics;
	instance->effect = graphics_object(
		[] { return obs_get_base_effect(OBS_EFFECT_DEFAULT); });
	instance->texrender = graphics_object(
		[] { return gs_texrender_create(GS_BGRA, GS_ZS_NONE); });
	instance->stagesurf = graphics_object([] {
		return gs_stagesurface_create(FRAME_WIDTH, FRAME_HEIGHT,
					      GS_BGRA);
	});
	instance->texture = graphics_object([] {
		return gs_texture_create(FRAME_WIDTH, FRAME_HEIGHT, GS_BGRA, 1,
					 nullptr, GS_DYNAMIC);
	});
	if (!instance->effect)
		return "the host's default effect is missing";
	if (!instance->texrender)
		return "cannot create its render target";
	if (!instance->stagesurf)
		return "cannot create its staging surface";
	if (!instance->texture)
		return "cannot create its texture";
	return nullptr;
}

static void destroy_graphics(direct_filter_data *instance)
{
	graphics_context graphics;
	gs_texrender_destroy(instance->texrender);
	gs_stagesurface_destroy(instance->stagesurf);
	gs_texture_destroy(instance->texture);
	instance->texrender = nullptr;
	instance->stagesurf = nullptr;
	instance->texture = nullptr;
	instance->effect = nullptr;
}

static void run_reader(void *data)
{
	reader(static_cast<direct_filter_data *>(data));
}

static void run_sender(void *data)
{
	send_input(static_cast<direct_filter_data *>(data));
}

// Both workers have ended when this returns; nothing they use is freed
// before.
static void stop_workers(direct_filter_data *instance)
{
	qm_request_stop(instance);
	if (instance->reader_thread.joinable())
		instance->reader_thread.join();
	if (instance->sender_thread.joinable())
		instance->sender_thread.join();
}

static void free_frames(direct_filter_data *instance)
{
	for (frame_buffer *frame :
	     {&instance->input_frame, &instance->input_ready,
	      &instance->input_sending, &instance->output_frame,
	      &instance->output_spare})
		frame->reset();
}

// Keeps the record, and with it the filter, but nothing else: the host
// draws a filter without an instance by drawing its target, the camera's
// own picture, so a filter that cannot start stays as a failed instance
// that draws black.
static void *fail(direct_filter_data *instance, const char *what)
{
	stop_workers(instance);
	destroy_graphics(instance);
	free_frames(instance);
	instance->failed = true;
	blog(LOG_ERROR,
	     "Quilmar: filter \"%s\" cannot start: %s; it shows black "
	     "instead of its source",
	     obs_source_get_name(instance->source), what);
	return instance;
}

static void *create(obs_data_t *settings, obs_source_t *source) noexcept
{
	auto *instance = new (std::nothrow) direct_filter_data();
	if (!instance)
		return nullptr;
	instance->source = source;

	if (!qm_alloc_frames(instance))
		return fail(instance, "not enough memory for its frames");
	if (const char *missing = create_graphics(instance))
		return fail(instance, missing);
	if (!qm_start_thread(instance->reader_thread, run_reader, instance))
		return fail(instance, "cannot start its receiver thread");
	if (!qm_start_thread(instance->sender_thread, run_sender, instance))
		return fail(instance, "cannot start its sender thread");

	update(instance, settings);
	return instance;
}

static void destroy(void *data) noexcept
{
	auto *instance = static_cast<direct_filter_data *>(data);
	if (!instance)
		return;
	stop_workers(instance);
	destroy_graphics(instance);
	delete instance;
}

static void defaults(obs_data_t *settings) noexcept
{
	obs_data_set_default_double(settings, S_DELAY, 5.0);
	obs_data_set_default_int(settings, S_FPS, 15);
	obs_data_set_default_bool(settings, S_WORKER_ENABLED, true);
	obs_data_set_default_bool(settings, S_FACE_ENABLED, true);
	obs_data_set_default_bool(settings, S_QR_ENABLED, true);
	obs_data_set_default_bool(settings, S_PHONE_ENABLED, true);
}

static obs_properties_t *properties(void *data) noexcept
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_path(props, S_REFERENCE,
				"Existing face photo (optional)", OBS_PATH_FILE,
				IMAGE_FILTER, nullptr);
	obs_properties_add_editable_list(props, S_REFERENCES,
					 "Additional people to keep visible",
					 OBS_EDITABLE_LIST_TYPE_FILES,
					 IMAGE_FILTER, nullptr);
	obs_properties_add_button2(
		props, S_CAPTURE, "Add people from webcam (all detected faces)",
		capture_reference, data);
	obs_properties_add_float(props, S_DELAY, "Lookahead buffer (seconds)",
				 1.0, 30.0, 1.0);
	obs_properties_add_int(
		props, S_FPS, "Processing FPS target (experimental)", 5, 60, 1);
	obs_properties_add_bool(props, S_WORKER_ENABLED,
				"Enable local processing");
	obs_properties_add_bool(props, S_FACE_ENABLED,
				"Blur faces (except selected people)");
	obs_properties_add_bool(props, S_QR_ENABLED, "Blur QR codes");
	obs_properties_add_bool(props, S_PHONE_ENABLED, "Blur phone numbers");
	obs_properties_add_text(
		props, S_NOTE,
		"Experimental: requires the Quilmar direct controller running. Changes restart processing; preview goes black.",
		OBS_TEXT_INFO);
	return props;
}

// A synchronous input that does not draw itself expects the effect the
// host hands it; rendered directly from its own filter it gets none and
// draws nothing, so it is rendered the way the host renders it.
static void render_target(obs_source_t *target)
{
	uint32_t flags = obs_source_get_output_flags(target);
	bool draws_itself =
		(flags & (OBS_SOURCE_ASYNC | OBS_SOURCE_CUSTOM_DRAW)) != 0;
	if (obs_source_get_type(target) == OBS_SOURCE_TYPE_INPUT &&
	    !draws_itself)
		obs_source_default_render(target);
	else
		obs_source_video_render(target);
}

// Renders the target stretched into the fixed frame and makes it the
// latest capture. The rows are copied out of the mapped surface into
// render's own buffer, outside the lock.
static void capture(direct_filter_data *instance, obs_source_t *target,
		    uint32_t width, uint32_t height)
{
	gs_texrender_reset(instance->texrender);
	if (!gs_texrender_begin(instance->texrender, FRAME_WIDTH, FRAME_HEIGHT))
		return;

	vec4 clear_color;
	vec4_zero(&clear_color);
	gs_clear(GS_CLEAR_COLOR, &clear_color, 0.0f, 0);
	gs_ortho(0.0f, float(FRAME_WIDTH), 0.0f, float(FRAME_HEIGHT), -100.0f,
		 100.0f);
	// The host's own blending for off-screen targets, whatever the
	// caller's: the plain alpha blend would multiply a translucent
	// source's alpha by itself.
	gs_blend_state_push();
	gs_enable_blending(true);
	gs_blend_function_separate(GS_BLEND_SRCALPHA, GS_BLEND_INVSRCALPHA,
				   GS_BLEND_ONE, GS_BLEND_INVSRCALPHA);
	gs_blend_op(GS_BLEND_OP_ADD);
	gs_matrix_push();
	gs_matrix_scale3f(float(FRAME_WIDTH) / float(width),
			  float(FRAME_HEIGHT) / float(height), 1.0f);
	render_target(target);
	gs_matrix_pop();
	gs_blend_state_pop();
	gs_texrender_end(instance->texrender);

	gs_stage_texture(instance->stagesurf,
			 gs_texrender_get_texture(instance->texrender));
	uint8_t *data = nullptr;
	uint32_t pitch = 0;
	if (!gs_stagesurface_map(instance->stagesurf, &data, &pitch))
		return;
	uint8_t *frame = instance->input_frame.get();
	for (size_t row = 0; row < FRAME_HEIGHT; row++)
		memcpy(frame + row * FRAME_LINESIZE, data + row * size_t(pitch),
		       FRAME_LINESIZE);
	gs_stagesurface_unmap(instance->stagesurf);
	qm_publish_input(instance);
}

// Opaque black over the box, with the host's solid-colour effect: no
// texture and nothing of the instance is needed.
static void draw_black(uint32_t width, uint32_t height)
{
	gs_effect_t *solid = obs_get_base_effect(OBS_EFFECT_SOLID);
	if (!solid)
		return;
	vec4 black;
	vec4_set(&black, 0.0f, 0.0f, 0.0f, 1.0f);
	gs_effect_set_vec4(gs_effect_get_param_by_name(solid, "color"), &black);
	while (gs_effect_loop(solid, "Solid"))
		gs_draw_sprite(nullptr, 0, width, height);
}

// Draws the processed frame while it is fresh, opaque black otherwise,
// stretched over the target's box. The texture is refilled only when a
// newer processed frame has arrived since it was last filled.
static void display(direct_filter_data *instance, uint32_t width,
		    uint32_t height)
{
	bool fresh;
	{
		std::lock_guard<std::mutex> guard(instance->lock);
		fresh = qm_frame_is_fresh(instance->has_output, os_gettime_ns(),
					  instance->output_time);
		if (fresh && instance->uploaded_seq != instance->output_seq) {
			gs_texture_set_image(instance->texture,
					     instance->output_frame.get(),
					     FRAME_LINESIZE, false);
			instance->uploaded_seq = instance->output_seq;
		}
	}
	if (!fresh) {
		draw_black(width, height);
		return;
	}

	gs_eparam_t *image =
		gs_effect_get_param_by_name(instance->effect, "image");
	gs_effect_set_texture(image, instance->texture);
	while (gs_effect_loop(instance->effect, "Draw"))
		gs_draw_sprite(instance->texture, 0, width, height);
}

static void render(void *data, gs_effect_t *) noexcept
{
	auto *instance = static_cast<direct_filter_data *>(data);
	obs_source_t *target = obs_filter_get_target(instance->source);
	uint32_t width = target ? obs_source_get_base_width(target) : 0;
	uint32_t height = target ? obs_source_get_base_height(target) : 0;
	bool has_size = width != 0 && height != 0;
	if (!has_size) {
		width = FRAME_WIDTH;
		height = FRAME_HEIGHT;
	}

	if (instance->failed) {
		draw_black(width, height);
		return;
	}
	if (has_size)
		capture(instance, target, width, height);
	display(instance, width, height);
}

struct obs_source_info filter = [] {
	obs_source_info info = {};
	info.id = "quilmar_direct_filter_experiment";
	info.type = OBS_SOURCE_TYPE_FILTER;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
	info.get_name = name;
	info.create = create;
	info.destroy = destroy;
	info.get_defaults = defaults;
	info.get_properties = properties;
	info.update = update;
	info.video_tick = tick;
	info.video_render = render;
	return info;
}();
