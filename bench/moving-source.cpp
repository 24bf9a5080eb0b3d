#include "moving-source.h"

#include <util/platform.h>

#include <cstring>

namespace bench {

namespace {

constexpr uint32_t WIDTH = 1280;
constexpr uint32_t HEIGHT = 720;
constexpr size_t FRAMES = 4;
constexpr uint32_t STAMP_BLOCKS = 14; // start, 12 digits of 2 bits, end
constexpr uint32_t DIGIT_BLOCKS = STAMP_BLOCKS - 2;
constexpr uint32_t BLOCK = qm_host::STAMP_BLOCK;

// The stamp's colours, learnt from the host's own pattern: [block][digit].
qm_host::bgra stamp_colour[STAMP_BLOCKS][4];

qm_host::bgra colour_at(const qm_host::image &img, uint32_t block)
{
	return img.at(block * BLOCK + BLOCK / 2, BLOCK / 2);
}

void learn_stamp()
{
	for (uint32_t block = 0; block < STAMP_BLOCKS; block++)
		for (uint64_t digit = 0; digit < 4; digit++) {
			uint64_t n = block >= 1 && block <= DIGIT_BLOCKS
					     ? digit << (2 * (block - 1))
					     : 0;
			stamp_colour[block][digit] = colour_at(
				qm_host::make_moving_frame(n, 512, 128), block);
		}
}

void stamp(qm_host::image &img, uint64_t n)
{
	n %= qm_host::STAMP_MODULUS;
	for (uint32_t block = 0; block < STAMP_BLOCKS; block++) {
		uint64_t digit = block >= 1 && block <= DIGIT_BLOCKS
					 ? (n >> (2 * (block - 1))) & 3
					 : 0;
		const qm_host::bgra &c = stamp_colour[block][digit];
		for (uint32_t y = 0; y < BLOCK; y++) {
			uint8_t *p = img.pixels.data() + size_t(y) * img.pitch +
				     size_t(block) * BLOCK * 4;
			for (uint32_t x = 0; x < BLOCK; x++)
				memcpy(p + x * 4, &c, 4);
		}
	}
}

struct moving_data {
	gs_texture_t *texture = nullptr;
	qm_host::image frames[FRAMES];
	uint64_t next = 0;
	qm_host::image *pending = nullptr;
	qm_host::frame_times times;
};

const char *moving_name(void *)
{
	return "Benchmark moving pattern";
}

void *moving_create(obs_data_t *, obs_source_t *)
{
	auto *data = new moving_data;
	for (size_t i = 0; i < FRAMES; i++)
		data->frames[i] =
			qm_host::make_moving_frame(i * 8, WIDTH, HEIGHT);
	obs_enter_graphics();
	data->texture = gs_texture_create(WIDTH, HEIGHT, GS_BGRA, 1, nullptr,
					  GS_DYNAMIC);
	obs_leave_graphics();
	return data;
}

void moving_destroy(void *p)
{
	auto *data = static_cast<moving_data *>(p);
	obs_enter_graphics();
	gs_texture_destroy(data->texture);
	obs_leave_graphics();
	delete data;
}

uint32_t moving_width(void *)
{
	return WIDTH;
}

uint32_t moving_height(void *)
{
	return HEIGHT;
}

void moving_tick(void *p, float)
{
	auto *data = static_cast<moving_data *>(p);
	uint64_t n = data->next++;
	data->pending = &data->frames[n % FRAMES];
	stamp(*data->pending, n);
	data->times.record(n, os_gettime_ns());
}

// Like a plain input: draws with the effect the host hands it.
void moving_render(void *p, gs_effect_t *effect)
{
	auto *data = static_cast<moving_data *>(p);
	if (!data->texture || !effect)
		return;
	if (data->pending) {
		gs_texture_set_image(data->texture,
				     data->pending->pixels.data(),
				     data->pending->pitch, false);
		data->pending = nullptr;
	}
	gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"),
			      data->texture);
	gs_draw_sprite(data->texture, 0, WIDTH, HEIGHT);
}

} // namespace

bool register_moving_source()
{
	learn_stamp();
	qm_host::image img = qm_host::make_moving_frame(0, WIDTH, HEIGHT);
	for (uint64_t n : {uint64_t(0), uint64_t(1), uint64_t(12345678)}) {
		stamp(img, n);
		uint64_t read = 0;
		if (!qm_host::read_stamp(img, &read) || read != n)
			return false;
	}

	obs_source_info info = {};
	info.id = MOVING_SOURCE_ID;
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = moving_name;
	info.create = moving_create;
	info.destroy = moving_destroy;
	info.get_width = moving_width;
	info.get_height = moving_height;
	info.video_tick = moving_tick;
	info.video_render = moving_render;
	obs_register_source(&info);
	return true;
}

qm_host::source_ptr create_moving_source()
{
	return qm_host::source_ptr(obs_source_create_private(
		MOVING_SOURCE_ID, "bench moving pattern", nullptr));
}

int64_t moving_source_frame(obs_source_t *source)
{
	return int64_t(static_cast<moving_data *>(obs_obj_get_data(source))
			       ->next) -
	       1;
}

const qm_host::frame_times *moving_source_times(obs_source_t *source)
{
	return &static_cast<moving_data *>(obs_obj_get_data(source))->times;
}

} // namespace bench
