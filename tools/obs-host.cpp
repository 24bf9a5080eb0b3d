#include "obs-host.h"

#include <graphics/vec4.h>
#include <obs-nix-platform.h>
#include <util/bmem.h>
#include <util/platform.h>

#include <X11/Xlib.h>
#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>

namespace qm_host {

// ---------------------------------------------------------------------------
// Log capture

namespace {

std::mutex log_mutex;
std::vector<log_line> captured_log;
int log_echo_level = LOG_WARNING;

void log_handler(int level, const char *format, va_list args, void *)
{
	char buf[8192];
	va_list copy;
	va_copy(copy, args);
	vsnprintf(buf, sizeof(buf), format, copy);
	va_end(copy);

	if (level <= log_echo_level)
		fprintf(stderr, "[obs %d] %s\n", level, buf);
	std::lock_guard<std::mutex> guard(log_mutex);
	captured_log.push_back({level, buf});
}

} // namespace

void clear_log()
{
	std::lock_guard<std::mutex> guard(log_mutex);
	captured_log.clear();
}

std::vector<log_line> log_lines()
{
	std::lock_guard<std::mutex> guard(log_mutex);
	return captured_log;
}

std::vector<log_line> log_lines_containing(const std::string &needle)
{
	std::vector<log_line> found;
	for (auto &line : log_lines())
		if (line.text.find(needle) != std::string::npos)
			found.push_back(line);
	return found;
}

std::vector<log_line> module_log_lines()
{
	return log_lines_containing("Quilmar");
}

// ---------------------------------------------------------------------------
// The moving pattern

namespace {

constexpr uint32_t BAND_HEIGHT = 48; // dark band at the top, holds the stamp
constexpr bgra BAND_COLOUR{40, 40, 40, 255};
constexpr bgra STAMP_START = MAGENTA;
constexpr bgra STAMP_END = WHITE;
// Two bits per block, least significant first.
constexpr bgra STAMP_DIGITS[4] = {RED, GREEN, BLUE, YELLOW};
constexpr uint32_t STAMP_DIGIT_BLOCKS = 12;
constexpr uint32_t STAMP_BLOCKS = STAMP_DIGIT_BLOCKS + 2;
constexpr int STAMP_TOLERANCE = 48;

constexpr bgra BARS[8] = {
	{192, 192, 192, 255}, YELLOW, CYAN, GREEN, MAGENTA, RED, BLUE, GREY};

// Position on a path that runs from 0 to length and back.
uint32_t bounce(uint64_t travelled, uint32_t length)
{
	if (length == 0)
		return 0;
	uint64_t v = travelled % (2 * uint64_t(length));
	return uint32_t(v < length ? v : 2 * uint64_t(length) - v);
}

void put(uint8_t *row, uint32_t x, const bgra &c)
{
	memcpy(row + size_t(x) * 4, &c, 4);
}

void draw_stamp(image &img, uint64_t n)
{
	n %= STAMP_MODULUS;
	for (uint32_t block = 0; block < STAMP_BLOCKS; block++) {
		bgra c = block == 0 ? STAMP_START
			 : block == STAMP_BLOCKS - 1
				 ? STAMP_END
				 : STAMP_DIGITS[(n >> (2 * (block - 1))) & 3];
		for (uint32_t y = 0; y < STAMP_BLOCK; y++) {
			uint8_t *row =
				img.pixels.data() + size_t(y) * img.pitch;
			for (uint32_t x = 0; x < STAMP_BLOCK; x++)
				put(row, block * STAMP_BLOCK + x, c);
		}
	}
}

} // namespace

image make_moving_frame(uint64_t n, uint32_t width, uint32_t height,
			uint32_t fps)
{
	image img;
	img.width = width;
	img.height = height;
	img.pitch = width * 4;
	img.pixels.resize(size_t(img.pitch) * height);
	if (fps == 0)
		fps = 30;

	uint32_t shift = uint32_t((n * 4) % width);
	uint32_t radius = height / 8;
	int64_t ball_x = radius + bounce(n * 6, width - 2 * radius);
	int64_t ball_y = BAND_HEIGHT + radius +
			 bounce(n * 4, height - BAND_HEIGHT - 2 * radius);
	uint32_t clock_r = height / 9;
	int64_t clock_x = width - clock_r - 20, clock_y = height - clock_r - 20;
	// One turn per two seconds, clockwise from twelve o'clock.
	double angle = 2.0 * M_PI * double(n % (2 * fps)) / double(2 * fps);
	double hand_dx = std::sin(angle), hand_dy = -std::cos(angle);

	for (uint32_t y = 0; y < height; y++) {
		uint8_t *row = img.pixels.data() + size_t(y) * img.pitch;
		if (y < BAND_HEIGHT) {
			for (uint32_t x = 0; x < width; x++)
				put(row, x, BAND_COLOUR);
			continue;
		}
		// Darker towards the top, so that no block of the raw
		// picture is of one colour.
		double level = 0.45 + 0.55 * double(y - BAND_HEIGHT) /
					      double(height - BAND_HEIGHT);
		for (uint32_t x = 0; x < width; x++) {
			uint32_t bar =
				uint32_t(uint64_t((x + width - shift) % width) *
					 8 / width);
			const bgra &b = BARS[bar];
			bgra c{uint8_t(b.b * level), uint8_t(b.g * level),
			       uint8_t(b.r * level), 255};
			int64_t dx = int64_t(x) - ball_x,
				dy = int64_t(y) - ball_y;
			if (dx * dx + dy * dy <= int64_t(radius) * radius)
				c = WHITE;
			dx = int64_t(x) - clock_x;
			dy = int64_t(y) - clock_y;
			if (dx * dx + dy * dy <= int64_t(clock_r) * clock_r) {
				double along = double(dx) * hand_dx +
					       double(dy) * hand_dy;
				double across = double(dx) * hand_dy -
						double(dy) * hand_dx;
				bool on_hand = along >= 0 &&
					       along <= clock_r - 6 &&
					       std::fabs(across) <= 3.0;
				c = on_hand ? WHITE : bgra{20, 20, 20, 255};
			}
			put(row, x, c);
		}
	}
	if (width >= STAMP_BLOCKS * STAMP_BLOCK && height >= BAND_HEIGHT)
		draw_stamp(img, n);
	return img;
}

bool read_stamp(const image &img, uint64_t *n)
{
	if (img.width < STAMP_BLOCKS * STAMP_BLOCK || img.height < STAMP_BLOCK)
		return false;
	uint64_t value = 0;
	for (uint32_t block = 0; block < STAMP_BLOCKS; block++) {
		bgra c = img.at(block * STAMP_BLOCK + STAMP_BLOCK / 2,
				STAMP_BLOCK / 2);
		if (block == 0 || block == STAMP_BLOCKS - 1) {
			bgra want = block == 0 ? STAMP_START : STAMP_END;
			if (!near(c, want, STAMP_TOLERANCE))
				return false;
			continue;
		}
		uint64_t digit = 4;
		for (uint64_t d = 0; d < 4; d++)
			if (near(c, STAMP_DIGITS[d], STAMP_TOLERANCE))
				digit = d;
		if (digit == 4)
			return false;
		value |= digit << (2 * (block - 1));
	}
	if (n)
		*n = value;
	return true;
}

void frame_times::record(uint64_t n, uint64_t time_ns)
{
	n %= STAMP_MODULUS;
	std::lock_guard<std::mutex> guard(mutex_);
	frame_[n % SLOTS] = n;
	time_[n % SLOTS] = time_ns;
}

uint64_t frame_times::time_of(uint64_t n) const
{
	n %= STAMP_MODULUS;
	std::lock_guard<std::mutex> guard(mutex_);
	return frame_[n % SLOTS] == n ? time_[n % SLOTS] : 0;
}

// ---------------------------------------------------------------------------
// Test-pattern sources

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
		image first = moving ? make_moving_frame(0, data->width,
							 data->height,
							 data->fps)
				     : make_pattern(data->width, data->height);
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

} // namespace

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

// ---------------------------------------------------------------------------
// Colours and images

std::string to_string(const bgra &c)
{
	char buf[64];
	snprintf(buf, sizeof(buf), "(b %u, g %u, r %u, a %u)", c.b, c.g, c.r,
		 c.a);
	return buf;
}

bool near(const bgra &x, const bgra &y, int tolerance)
{
	return std::abs(x.b - y.b) <= tolerance &&
	       std::abs(x.g - y.g) <= tolerance &&
	       std::abs(x.r - y.r) <= tolerance &&
	       std::abs(x.a - y.a) <= tolerance;
}

bgra image::at(uint32_t x, uint32_t y) const
{
	const uint8_t *p = pixels.data() + size_t(y) * pitch + size_t(x) * 4;
	return {p[0], p[1], p[2], p[3]};
}

// Region borders at a quarter of the width and a third of the height,
// decided on pixel centres: x is left of the border when
// (x + 0.5) / width < 1/4.
static bool is_left(uint32_t x, uint32_t width)
{
	return (2 * uint64_t(x) + 1) * 4 < 2 * uint64_t(width);
}

static bool is_top(uint32_t y, uint32_t height)
{
	return (2 * uint64_t(y) + 1) * 3 < 2 * uint64_t(height);
}

bgra pattern_colour(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
		    const palette &colours)
{
	int region = (is_left(x, width) ? 0 : 1) + (is_top(y, height) ? 0 : 2);
	return colours.colours[region];
}

image make_pattern(uint32_t width, uint32_t height, const palette &colours)
{
	image img;
	img.width = width;
	img.height = height;
	img.pitch = width * 4;
	img.pixels.resize(size_t(img.pitch) * height);
	for (uint32_t y = 0; y < height; y++) {
		uint8_t *row = img.pixels.data() + size_t(y) * img.pitch;
		for (uint32_t x = 0; x < width; x++) {
			bgra c = pattern_colour(x, y, width, height, colours);
			memcpy(row + size_t(x) * 4, &c, 4);
		}
	}
	return img;
}

static bool near_border(uint32_t pos, uint32_t size, uint32_t parts,
			uint32_t margin)
{
	// The border lies at size / parts; compare in units of 1/parts pixel.
	int64_t border = int64_t(size);
	int64_t at = int64_t(pos) * parts;
	return std::abs(at - border) <= int64_t(margin) * parts;
}

std::string pattern_mismatch(const image &img, const palette &colours,
			     uint32_t margin)
{
	if (img.width == 0 || img.height == 0)
		return "empty image";
	for (uint32_t y = 0; y < img.height; y++) {
		if (near_border(y, img.height, 3, margin))
			continue;
		for (uint32_t x = 0; x < img.width; x++) {
			if (near_border(x, img.width, 4, margin))
				continue;
			bgra want = pattern_colour(x, y, img.width, img.height,
						   colours);
			bgra got = img.at(x, y);
			if (!near(got, want))
				return "pixel (" + std::to_string(x) + ", " +
				       std::to_string(y) + ") of " +
				       std::to_string(img.width) + "x" +
				       std::to_string(img.height) + " is " +
				       to_string(got) + ", expected " +
				       to_string(want);
		}
	}
	return "";
}

bool contains_colour(const image &img, const bgra &colour)
{
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++)
			if (near(img.at(x, y), colour))
				return true;
	return false;
}

bool contains_any(const image &img, const palette &colours)
{
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++)
			for (const bgra &c : colours.colours)
				if (near(img.at(x, y), c))
					return true;
	return false;
}

bool is_all(const image &img, const bgra &colour)
{
	if (img.width == 0 || img.height == 0)
		return false;
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++)
			if (img.at(x, y) != colour)
				return false;
	return true;
}

bool is_opaque_black(const image &img)
{
	return is_all(img, OPAQUE_BLACK);
}

// ---------------------------------------------------------------------------
// Rendering on the graphics thread

namespace {

struct graphics_job {
	const std::function<void()> *fn;
	bool done = false;
};

std::mutex job_mutex;
std::condition_variable job_done;
std::deque<graphics_job *> jobs;

// Registered as a main render callback: the host calls it once per frame on
// its graphics thread, after ticking the sources.
void run_jobs(void *, uint32_t, uint32_t)
{
	std::unique_lock<std::mutex> guard(job_mutex);
	while (!jobs.empty()) {
		graphics_job *job = jobs.front();
		guard.unlock();
		(*job->fn)();
		guard.lock();
		jobs.pop_front();
		job->done = true;
		job_done.notify_all();
	}
}

} // namespace

bool run_on_graphics_thread(const std::function<void()> &fn,
			    std::chrono::milliseconds deadline)
{
	graphics_job job{&fn};
	std::unique_lock<std::mutex> guard(job_mutex);
	jobs.push_back(&job);
	if (job_done.wait_for(guard, deadline, [&] { return job.done; }))
		return true;
	// Still waiting: take it back unless it has already started.
	if (!jobs.empty() && jobs.front() != &job) {
		jobs.erase(std::find(jobs.begin(), jobs.end(), &job));
		return false;
	}
	job_done.wait(guard, [&] { return job.done; });
	return true;
}

bool render_into(obs_source_t *source, gs_texrender_t *texrender,
		 gs_stagesurf_t *stage, uint32_t width, uint32_t height,
		 image &img)
{
	gs_texrender_reset(texrender);
	if (!gs_texrender_begin(texrender, width, height))
		return false;
	vec4 clear;
	vec4_zero(&clear);
	gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
	gs_ortho(0.0f, float(width), 0.0f, float(height), -100.0f, 100.0f);
	gs_blend_state_push();
	gs_reset_blend_state();
	gs_matrix_push();
	gs_matrix_identity();
	obs_source_video_render(source);
	gs_matrix_pop();
	gs_blend_state_pop();
	gs_texrender_end(texrender);

	gs_stage_texture(stage, gs_texrender_get_texture(texrender));
	uint8_t *data = nullptr;
	uint32_t pitch = 0;
	if (!gs_stagesurface_map(stage, &data, &pitch))
		return false;
	img.width = width;
	img.height = height;
	img.pitch = width * 4;
	img.pixels.resize(size_t(img.pitch) * height);
	for (uint32_t y = 0; y < height; y++)
		memcpy(img.pixels.data() + size_t(y) * img.pitch,
		       data + size_t(y) * pitch, img.pitch);
	gs_stagesurface_unmap(stage);
	return true;
}

static image read_back(obs_source_t *source, uint32_t width, uint32_t height)
{
	image img;
	gs_texrender_t *texrender = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
	gs_stagesurf_t *stage = gs_stagesurface_create(width, height, GS_BGRA);
	if (texrender && stage &&
	    !render_into(source, texrender, stage, width, height, img))
		img = image();
	gs_stagesurface_destroy(stage);
	gs_texrender_destroy(texrender);
	return img;
}

image render_and_read(obs_source_t *source, uint32_t width, uint32_t height)
{
	if (width == 0 || height == 0) {
		width = obs_source_get_width(source);
		height = obs_source_get_height(source);
	}
	if (width == 0 || height == 0) {
		width = FRAME_WIDTH;
		height = FRAME_HEIGHT;
	}
	image img;
	run_on_graphics_thread([&] { img = read_back(source, width, height); });
	return img;
}

void render_times(obs_source_t *source, int count)
{
	for (int i = 0; i < count; i++)
		render_and_read(source);
}

image copy_input_frame(direct_filter_data *data, uint64_t *seq)
{
	image img;
	img.width = FRAME_WIDTH;
	img.height = FRAME_HEIGHT;
	img.pitch = FRAME_LINESIZE;
	img.pixels.resize(FRAME_SIZE);
	std::lock_guard<std::mutex> guard(data->lock);
	memcpy(img.pixels.data(), data->input_frame.get(), FRAME_SIZE);
	if (seq)
		*seq = data->input_seq;
	return img;
}

uint64_t input_seq(direct_filter_data *data)
{
	std::lock_guard<std::mutex> guard(data->lock);
	return data->input_seq;
}

void set_output_frame(direct_filter_data *data, const image &frame,
		      uint64_t output_time)
{
	std::lock_guard<std::mutex> guard(data->lock);
	for (uint32_t y = 0; y < FRAME_HEIGHT; y++)
		memcpy(data->output_frame.get() + y * FRAME_LINESIZE,
		       frame.pixels.data() + size_t(y) * frame.pitch,
		       FRAME_LINESIZE);
	data->output_time = output_time ? output_time : os_gettime_ns();
	data->has_output = true;
}

void clear_output_frame(direct_filter_data *data)
{
	std::lock_guard<std::mutex> guard(data->lock);
	data->has_output = false;
}

bool quiet_workers(direct_filter_data *data)
{
	int before = thread_count();
	data->stop.exchange(true);
	return wait_until([&] { return thread_count() <= before - 2; });
}

// ---------------------------------------------------------------------------
// Waiting and process state

bool wait_until(const std::function<bool()> &condition,
		std::chrono::milliseconds deadline,
		std::chrono::milliseconds step)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	for (;;) {
		if (condition())
			return true;
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(step);
	}
}

int thread_count()
{
	DIR *dir = opendir("/proc/self/task");
	if (!dir)
		return -1;
	int count = 0;
	while (dirent *entry = readdir(dir))
		if (entry->d_name[0] != '.')
			count++;
	closedir(dir);
	return count;
}

bool wait_for_thread_count(int count, std::chrono::milliseconds deadline)
{
	return wait_until([&] { return thread_count() <= count; }, deadline);
}

// ---------------------------------------------------------------------------
// Start-up and teardown

namespace {

std::string config_home_path;
Display *x_display = nullptr;

bool fail(std::string *error, const std::string &what)
{
	if (error)
		*error = what;
	return false;
}

bool load_module(const std::string &path, std::string *error)
{
	obs_module_t *module = nullptr;
	std::string data_dir = config_home_path + "/module-data";
	int result = obs_open_module(&module, path.c_str(), data_dir.c_str());
	if (result != MODULE_SUCCESS)
		return fail(error, "obs_open_module(" + path + ") returned " +
					   std::to_string(result));
	if (!obs_init_module(module))
		return fail(error, "the module refused to load");
	return true;
}

// obs_shutdown unloads the graphics module, its drivers and the module
// under test. Leak reports written at exit can name a library only while
// it is mapped, so every library loaded by now stays loaded.
void pin_loaded_libraries()
{
	FILE *maps = fopen("/proc/self/maps", "r");
	if (!maps)
		return;
	char line[4096];
	while (fgets(line, sizeof(line), maps)) {
		const char *path = strchr(line, '/');
		if (!path || !strstr(path, ".so"))
			continue;
		line[strcspn(line, "\n")] = '\0';
		// RTLD_NOLOAD only marks what is already loaded.
		dlopen(path, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
	}
	fclose(maps);
}

} // namespace

bool make_config_home(const char *prefix, std::string *error)
{
	std::error_code ec;
	std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
	if (ec)
		tmp = "/tmp";
	std::string pattern =
		(tmp / (std::string(prefix) + "-XXXXXX")).string();
	if (!mkdtemp(pattern.data()))
		return fail(error,
			    "cannot create a temporary configuration folder");
	config_home_path = pattern;
	setenv("XDG_CONFIG_HOME", config_home_path.c_str(), 1);
	return true;
}

const std::string &config_home()
{
	return config_home_path;
}

std::string module_config_dir()
{
	return config_home_path + "/obs-studio/plugin_config/quilmar-direct";
}

void remove_config_home()
{
	if (config_home_path.empty())
		return;
	std::error_code ignored;
	std::filesystem::remove_all(config_home_path, ignored);
}

bool start(const host_config &config, std::string *error)
{
	log_echo_level = config.echo_level;
	base_set_log_handler(log_handler, nullptr);

	x_display = XOpenDisplay(nullptr);
	if (!x_display)
		return fail(error,
			    "cannot open the X display (run under xvfb-run)");
	obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
	obs_set_nix_platform_display(x_display);

	if (!obs_startup("en-US", nullptr, nullptr))
		return fail(error, "obs_startup failed");

	obs_video_info ovi = {};
	ovi.graphics_module = "libobs-opengl";
	ovi.fps_num = config.fps ? config.fps : 60;
	ovi.fps_den = 1;
	ovi.base_width = FRAME_WIDTH;
	ovi.base_height = FRAME_HEIGHT;
	ovi.output_width = FRAME_WIDTH;
	ovi.output_height = FRAME_HEIGHT;
	ovi.output_format = VIDEO_FORMAT_BGRA;
	ovi.adapter = 0;
	ovi.gpu_conversion = true;
	ovi.colorspace = VIDEO_CS_DEFAULT;
	ovi.range = VIDEO_RANGE_DEFAULT;
	ovi.scale_type = OBS_SCALE_BILINEAR;
	int result = obs_reset_video(&ovi);
	if (result != OBS_VIDEO_SUCCESS)
		return fail(error,
			    "cannot start video: obs_reset_video returned " +
				    std::to_string(result));

	register_patterns();
	if (!config.module_path.empty() &&
	    !load_module(config.module_path, error))
		return false;
	if (config.after_startup)
		config.after_startup();
	if (config.pin_libraries)
		pin_loaded_libraries();
	obs_add_main_render_callback(run_jobs, nullptr);
	return true;
}

long stop()
{
	obs_remove_main_render_callback(run_jobs, nullptr);
	obs_shutdown();
	long leaks = bnum_allocs();
	if (x_display)
		XCloseDisplay(x_display);
	x_display = nullptr;
	base_set_log_handler(nullptr, nullptr);
	return leaks;
}

} // namespace qm_host
