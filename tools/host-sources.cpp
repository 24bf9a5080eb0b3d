#include "host-sources.h"

#include <util/platform.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qm_host {

namespace {

struct pattern_data {
	obs_source_t *source;
	uint32_t width;
	uint32_t height;
	gs_texture_t *texture;

	// Moving sources only: made on tick, uploaded on the next render.
	uint32_t fps;
	uint64_t next_frame;
	image frame;
	bool frame_pending;
	frame_times times;
};

bool is_moving(obs_source_t *source)
{
	const char *id = obs_source_get_id(source);
	return id && strcmp(id, PATTERN_MOVING_ID) == 0;
}

void *pattern_create(obs_data_t *settings, obs_source_t *source)
{
	auto *data = new pattern_data{};
	data->source = source;
	data->width = uint32_t(obs_data_get_int(settings, "width"));
	data->height = uint32_t(obs_data_get_int(settings, "height"));
	data->fps = uint32_t(obs_data_get_int(settings, "fps"));

	bool is_async =
		(obs_source_get_output_flags(source) & OBS_SOURCE_ASYNC) != 0;
	if (!is_async && data->width && data->height) {
		bool moving = is_moving(source);
		palette colours = SOURCE_PALETTE;
		for (bgra &c : colours.colours)
			c.a = uint8_t(obs_data_get_int(settings, "alpha"));
		image first = moving ? make_moving_frame(0, data->width,
							 data->height,
							 data->fps)
				     : make_pattern(data->width, data->height,
						    colours);
		const uint8_t *planes[] = {first.pixels.data()};
		obs_enter_graphics();
		data->texture = gs_texture_create(data->width, data->height,
						  GS_BGRA, 1, planes,
						  moving ? GS_DYNAMIC : 0);
		obs_leave_graphics();
	}
	if (is_async)
		obs_source_set_async_unbuffered(source, true);
	return data;
}

void pattern_destroy(void *p)
{
	auto *data = static_cast<pattern_data *>(p);
	if (data->texture) {
		obs_enter_graphics();
		gs_texture_destroy(data->texture);
		obs_leave_graphics();
	}
	delete data;
}

uint32_t pattern_width(void *p)
{
	return static_cast<pattern_data *>(p)->width;
}

uint32_t pattern_height(void *p)
{
	return static_cast<pattern_data *>(p)->height;
}

void pattern_defaults(obs_data_t *settings)
{
	obs_data_set_default_int(settings, "width", 640);
	obs_data_set_default_int(settings, "height", 480);
	obs_data_set_default_int(settings, "fps", 30);
	obs_data_set_default_int(settings, "alpha", 255);
}

// Like the host's image source: draws only inside the effect loop the host
// runs for it, with the effect it is handed.
void pattern_render_plain(void *p, gs_effect_t *effect)
{
	auto *data = static_cast<pattern_data *>(p);
	if (!effect || !data->texture)
		return;
	gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"),
			      data->texture);
	gs_draw_sprite(data->texture, 0, data->width, data->height);
}

void pattern_render_custom(void *p, gs_effect_t *)
{
	auto *data = static_cast<pattern_data *>(p);
	if (!data->texture)
		return;
	gs_effect_t *effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
	gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"),
			      data->texture);
	while (gs_effect_loop(effect, "Draw"))
		gs_draw_sprite(data->texture, 0, data->width, data->height);
}

// Tick and render both run on the graphics thread, so the pending frame
// needs no lock. Only tick runs outside the graphics context, which the
// upload needs.
void pattern_tick_moving(void *p, float)
{
	auto *data = static_cast<pattern_data *>(p);
	if (!data->width || !data->height)
		return;
	uint64_t n = data->next_frame++;
	data->frame =
		make_moving_frame(n, data->width, data->height, data->fps);
	data->frame_pending = true;
	data->times.record(n, os_gettime_ns());
}

void pattern_render_moving(void *p, gs_effect_t *effect)
{
	auto *data = static_cast<pattern_data *>(p);
	if (data->frame_pending && data->texture) {
		gs_texture_set_image(data->texture, data->frame.pixels.data(),
				     data->frame.pitch, false);
		data->frame_pending = false;
	}
	pattern_render_plain(p, effect);
}

const char *pattern_name(void *)
{
	return "Quilmar test pattern";
}

} // namespace

void register_patterns()
{
	obs_source_info plain = {};
	plain.id = PATTERN_ID;
	plain.type = OBS_SOURCE_TYPE_INPUT;
	plain.output_flags = OBS_SOURCE_VIDEO;
	plain.get_name = pattern_name;
	plain.create = pattern_create;
	plain.destroy = pattern_destroy;
	plain.get_width = pattern_width;
	plain.get_height = pattern_height;
	plain.get_defaults = pattern_defaults;
	plain.video_render = pattern_render_plain;
	obs_register_source(&plain);

	obs_source_info custom = plain;
	custom.id = PATTERN_CUSTOM_DRAW_ID;
	custom.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
	custom.video_render = pattern_render_custom;
	obs_register_source(&custom);

	obs_source_info moving = plain;
	moving.id = PATTERN_MOVING_ID;
	moving.video_tick = pattern_tick_moving;
	moving.video_render = pattern_render_moving;
	obs_register_source(&moving);

	obs_source_info async = {};
	async.id = PATTERN_ASYNC_ID;
	async.type = OBS_SOURCE_TYPE_INPUT;
	async.output_flags = OBS_SOURCE_ASYNC_VIDEO;
	async.get_name = pattern_name;
	async.create = pattern_create;
	async.destroy = pattern_destroy;
	async.get_defaults = pattern_defaults;
	obs_register_source(&async);
}

const char *pattern_id(pattern_kind kind)
{
	switch (kind) {
	case pattern_kind::plain:
		return PATTERN_ID;
	case pattern_kind::custom_draw:
		return PATTERN_CUSTOM_DRAW_ID;
	case pattern_kind::async:
		return PATTERN_ASYNC_ID;
	case pattern_kind::moving:
		return PATTERN_MOVING_ID;
	}
	return PATTERN_ID;
}

source_ptr create_pattern(pattern_kind kind, uint32_t width, uint32_t height,
			  const char *name)
{
	data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), "width", width);
	obs_data_set_int(settings.get(), "height", height);
	obs_video_info ovi = {};
	if (obs_get_video_info(&ovi) && ovi.fps_den)
		obs_data_set_int(settings.get(), "fps",
				 ovi.fps_num / ovi.fps_den);
	return source_ptr(obs_source_create_private(pattern_id(kind), name,
						    settings.get()));
}

const frame_times *moving_frame_times(obs_source_t *source)
{
	if (!source || !is_moving(source))
		return nullptr;
	return &static_cast<pattern_data *>(obs_obj_get_data(source))->times;
}

void push_frame(obs_source_t *source, const image &frame)
{
	obs_source_frame f = {};
	f.data[0] = const_cast<uint8_t *>(frame.pixels.data());
	f.linesize[0] = frame.pitch;
	f.width = frame.width;
	f.height = frame.height;
	f.format = VIDEO_FORMAT_BGRA;
	f.full_range = true;
	f.timestamp = os_gettime_ns();
	obs_source_output_video(source, &f);
}

void push_pattern_frame(obs_source_t *source, uint32_t width, uint32_t height,
			const palette &colours)
{
	push_frame(source, make_pattern(width, height, colours));
}

webcam_feeder::webcam_feeder(obs_source_t *source, uint32_t width,
			     uint32_t height, uint32_t fps)
	: webcam_feeder(source, fps, [=](uint64_t n) {
		  return make_moving_frame(n, width, height, fps);
	  })
{
}

webcam_feeder::webcam_feeder(obs_source_t *source, uint32_t fps,
			     std::function<image(uint64_t n)> make)
{
	// Holds its own reference, so the source outlives the thread.
	obs_source_t *ref = obs_source_get_ref(source);
	if (ref)
		thread_ = std::thread(&webcam_feeder::run, this, ref,
				      fps ? fps : 30, std::move(make));
}

webcam_feeder::~webcam_feeder()
{
	stop();
}

void webcam_feeder::stop()
{
	stop_ = true;
	if (thread_.joinable())
		thread_.join();
}

void webcam_feeder::run(obs_source_t *source, uint32_t fps,
			const std::function<image(uint64_t n)> &make)
{
	const uint64_t period = 1000000000ull / fps;
	uint64_t next = os_gettime_ns();
	for (uint64_t n = 0; !stop_; n++) {
		image frame = make(n);
		times_.record(n, os_gettime_ns());
		push_frame(source, frame);
		pushed_++;

		// A camera that falls behind drops frames rather than
		// catching up in a burst.
		next += period;
		uint64_t now = os_gettime_ns();
		if (next < now)
			next = now;
		while (!stop_) {
			now = os_gettime_ns();
			if (now >= next)
				break;
			std::this_thread::sleep_for(std::chrono::nanoseconds(
				std::min<uint64_t>(next - now, 5000000)));
		}
	}
	obs_source_release(source);
}

filtered_source::~filtered_source()
{
	if (parent && filter)
		obs_source_filter_remove(parent.get(), filter.get());
	filter.reset();
	parent.reset();
}

direct_filter_data *filtered_source::data() const
{
	return filter ? static_cast<direct_filter_data *>(
				obs_obj_get_data(filter.get()))
		      : nullptr;
}

filtered_source make_filtered(pattern_kind kind, uint32_t width,
			      uint32_t height, const char *filter_id,
			      obs_data_t *filter_settings)
{
	filtered_source fs;
	fs.parent = create_pattern(kind, width, height);
	fs.filter = source_ptr(obs_source_create_private(
		filter_id, "qm test filter", filter_settings));
	if (fs.parent && fs.filter)
		obs_source_filter_add(fs.parent.get(), fs.filter.get());
	return fs;
}

} // namespace qm_host
