// The floor filter: only the work that any filter capturing its target into
// a fixed 1280x720 frame and drawing a 1280x720 picture in its place must
// do on the graphics thread. Render the target into a 1280x720 texture,
// stage and map it, copy the rows out once, upload one 1280x720 texture,
// draw one sprite. No lock, no clock, no workers.
#include "floor-filter.h"

#include "common.h"

#include <graphics/vec4.h>

#include <cstring>

namespace bench {

namespace {

struct floor_data {
	obs_source_t *source;
	gs_texrender_t *texrender;
	gs_stagesurf_t *stagesurf;
	gs_texture_t *texture;
	gs_effect_t *effect;
	frame_buffer frame;
};

const char *floor_name(void *)
{
	return "Benchmark floor filter";
}

void floor_destroy(void *p)
{
	auto *data = static_cast<floor_data *>(p);
	obs_enter_graphics();
	gs_texrender_destroy(data->texrender);
	gs_stagesurface_destroy(data->stagesurf);
	gs_texture_destroy(data->texture);
	obs_leave_graphics();
	delete data;
}

void *floor_create(obs_data_t *, obs_source_t *source)
{
	auto *data = new floor_data{};
	data->source = source;
	data->frame = qm_alloc_frame();
	memset(data->frame.get(), 0, FRAME_SIZE);
	obs_enter_graphics();
	data->texrender = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
	data->stagesurf =
		gs_stagesurface_create(FRAME_WIDTH, FRAME_HEIGHT, GS_BGRA);
	data->texture = gs_texture_create(FRAME_WIDTH, FRAME_HEIGHT, GS_BGRA, 1,
					  nullptr, GS_DYNAMIC);
	data->effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
	obs_leave_graphics();
	if (!data->texrender || !data->stagesurf || !data->texture) {
		floor_destroy(data);
		return nullptr;
	}
	return data;
}

// A plain synchronous input draws only with the effect the host hands it,
// so it is rendered the way the host renders it.
void render_target(obs_source_t *target)
{
	uint32_t flags = obs_source_get_output_flags(target);
	if (obs_source_get_type(target) == OBS_SOURCE_TYPE_INPUT &&
	    !(flags & (OBS_SOURCE_ASYNC | OBS_SOURCE_CUSTOM_DRAW)))
		obs_source_default_render(target);
	else
		obs_source_video_render(target);
}

void floor_render(void *p, gs_effect_t *)
{
	auto *data = static_cast<floor_data *>(p);
	obs_source_t *target = obs_filter_get_target(data->source);
	uint32_t width = target ? obs_source_get_base_width(target) : 0;
	uint32_t height = target ? obs_source_get_base_height(target) : 0;
	if (!width || !height) {
		width = FRAME_WIDTH;
		height = FRAME_HEIGHT;
	} else {
		gs_texrender_reset(data->texrender);
		if (gs_texrender_begin(data->texrender, FRAME_WIDTH,
				       FRAME_HEIGHT)) {
			vec4 clear;
			vec4_zero(&clear);
			gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
			gs_ortho(0.0f, float(FRAME_WIDTH), 0.0f,
				 float(FRAME_HEIGHT), -100.0f, 100.0f);
			gs_matrix_push();
			gs_matrix_scale3f(float(FRAME_WIDTH) / float(width),
					  float(FRAME_HEIGHT) / float(height),
					  1.0f);
			render_target(target);
			gs_matrix_pop();
			gs_texrender_end(data->texrender);

			gs_stage_texture(
				data->stagesurf,
				gs_texrender_get_texture(data->texrender));
			uint8_t *mapped = nullptr;
			uint32_t pitch = 0;
			if (gs_stagesurface_map(data->stagesurf, &mapped,
						&pitch)) {
				for (size_t row = 0; row < FRAME_HEIGHT; row++)
					memcpy(data->frame.get() +
						       row * FRAME_LINESIZE,
					       mapped + row * size_t(pitch),
					       FRAME_LINESIZE);
				gs_stagesurface_unmap(data->stagesurf);
			}
		}
	}

	gs_texture_set_image(data->texture, data->frame.get(),
			     uint32_t(FRAME_LINESIZE), false);
	gs_effect_set_texture(gs_effect_get_param_by_name(data->effect,
							  "image"),
			      data->texture);
	while (gs_effect_loop(data->effect, "Draw"))
		gs_draw_sprite(data->texture, 0, width, height);
}

} // namespace

void register_floor_filter()
{
	obs_source_info info = {};
	info.id = FLOOR_FILTER_ID;
	info.type = OBS_SOURCE_TYPE_FILTER;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
	info.get_name = floor_name;
	info.create = floor_create;
	info.destroy = floor_destroy;
	info.video_render = floor_render;
	obs_register_source(&info);
}

} // namespace bench
