#include "direct-filter.h"

#include <graphics/vec4.h>
#include <util/platform.h>

#include <chrono>
#include <cstring>
#include <new>

#define IMAGE_FILTER "Images (*.png *.jpg *.jpeg *.webp *.bmp)"

frame_buffer qm_alloc_frame()
{
	return frame_buffer(new (std::nothrow) uint8_t[FRAME_SIZE]);
}

bool qm_frame_is_fresh(bool has_output, uint64_t now, uint64_t output_time)
{
	return has_output && now >= output_time &&
	       now - output_time <= FRESH_LIMIT_NS;
}

void qm_request_stop(direct_filter_data *instance)
{
	{
		std::lock_guard<std::mutex> guard(instance->pause_lock);
		instance->stop.exchange(true);
	}
	instance->pause_wake.notify_all();
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

} // namespace

static const char *name(void *) noexcept
{
	return "Quilmar direct filter (experimental)";
}

static void fill_black(uint8_t *frame)
{
	memset(frame, 0, FRAME_SIZE);
	for (size_t i = 3; i < FRAME_SIZE; i += 4)
		frame[i] = 255;
}

static bool alloc_frames(direct_filter_data *instance)
{
	instance->output_frame = qm_alloc_frame();
	instance->black_frame = qm_alloc_frame();
	instance->input_frame = qm_alloc_frame();
	if (instance->black_frame)
		fill_black(instance->black_frame.get());
	return instance->output_frame && instance->black_frame &&
	       instance->input_frame;
}

static bool create_graphics(direct_filter_data *instance)
{
	graphics_context graphics;
	instance->effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
	instance->texrender = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
	instance->stagesurf =
		gs_stagesurface_create(FRAME_WIDTH, FRAME_HEIGHT, GS_BGRA);
	instance->texture = gs_texture_create(FRAME_WIDTH, FRAME_HEIGHT,
					      GS_BGRA, 1, nullptr, GS_DYNAMIC);
	return instance->effect && instance->texrender && instance->stagesurf &&
	       instance->texture;
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

static void *roll_back(direct_filter_data *instance)
{
	stop_workers(instance);
	destroy_graphics(instance);
	delete instance;
	return nullptr;
}

static void *create(obs_data_t *settings, obs_source_t *source) noexcept
{
	auto *instance = new (std::nothrow) direct_filter_data();
	if (!instance)
		return nullptr;
	instance->source = source;

	if (!alloc_frames(instance)) {
		delete instance;
		return nullptr;
	}
	if (!create_graphics(instance))
		return roll_back(instance);
	if (!qm_start_thread(instance->reader_thread, run_reader, instance))
		return roll_back(instance);
	if (!qm_start_thread(instance->sender_thread, run_sender, instance))
		return roll_back(instance);

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

// Renders the target stretched into the fixed frame and copies it into
// input_frame.
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
	gs_matrix_push();
	gs_matrix_scale3f(float(FRAME_WIDTH) / float(width),
			  float(FRAME_HEIGHT) / float(height), 1.0f);
	render_target(target);
	gs_matrix_pop();
	gs_texrender_end(instance->texrender);

	gs_stage_texture(instance->stagesurf,
			 gs_texrender_get_texture(instance->texrender));
	uint8_t *data = nullptr;
	uint32_t pitch = 0;
	if (!gs_stagesurface_map(instance->stagesurf, &data, &pitch))
		return;
	{
		std::lock_guard<std::mutex> guard(instance->lock);
		uint8_t *frame = instance->input_frame.get();
		for (size_t row = 0; row < FRAME_HEIGHT; row++)
			memcpy(frame + row * FRAME_LINESIZE,
			       data + row * size_t(pitch), FRAME_LINESIZE);
		instance->input_seq++;
	}
	gs_stagesurface_unmap(instance->stagesurf);
}

// Draws the processed frame while it is fresh, opaque black otherwise,
// stretched over the target's box.
static void display(direct_filter_data *instance, uint32_t width,
		    uint32_t height)
{
	{
		std::lock_guard<std::mutex> guard(instance->lock);
		uint64_t now = os_gettime_ns();
		const uint8_t *frame = qm_frame_is_fresh(instance->has_output,
							 now,
							 instance->output_time)
					       ? instance->output_frame.get()
					       : instance->black_frame.get();
		gs_texture_set_image(instance->texture, frame, FRAME_LINESIZE,
				     false);
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

	if (has_size)
		capture(instance, target, width, height);
	display(instance, has_size ? width : FRAME_WIDTH,
		has_size ? height : FRAME_HEIGHT);
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
