#include "host-render.h"

#include "host-instance.h"
#include "host-wait.h"

#include <graphics/vec4.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace qm_host {

namespace {

struct graphics_job {
	const std::function<void()> *fn;
	bool done = false;
};

std::mutex job_mutex;
std::condition_variable job_done;
std::deque<graphics_job *> jobs;

} // namespace

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

bool draws_fresh(const filtered_source &fs, const palette &colours,
		 image *shown, uint32_t width, uint32_t height,
		 std::chrono::milliseconds deadline)
{
	image last;
	bool drawn = wait_until(
		[&] {
			last = render_and_read_after(
				[&] { restamp_output(fs.data()); },
				fs.parent.get(), width, height);
			return pattern_mismatch(last, colours).empty();
		},
		deadline);
	if (shown)
		*shown = std::move(last);
	return drawn;
}

image render_and_read(obs_source_t *source, uint32_t width, uint32_t height)
{
	return render_and_read_after({}, source, width, height);
}

image render_and_read_after(const std::function<void()> &before,
			    obs_source_t *source, uint32_t width,
			    uint32_t height)
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
	run_on_graphics_thread([&] {
		if (before)
			before();
		img = read_back(source, width, height);
	});
	return img;
}

void render_times(obs_source_t *source, int count)
{
	for (int i = 0; i < count; i++)
		render_and_read(source);
}

} // namespace qm_host
