// quilmar-bench, 2. Round trip: the moving source through our filter and
// an echoing controller, the frame stamp read back from what the filter
// draws in every host frame; frames that reach the controller, frames
// shown, capture-to-display latency.
#include "bench-groups.h"

#include "loopback.h"
#include "measure.h"
#include "moving-source.h"
#include "table.h"

#include "common.h"
#include "obs-host.h"

#include <util/platform.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace bench {

namespace {

// What the filter drew in one frame of the host, read back from the
// top-left corner that carries the frame stamp.
struct observation {
	int64_t frame;    // the pattern's frame made in that host frame
	uint64_t time_ns; // when it was read back
	int64_t stamp;    // the frame shown, -1 when none (black)
};

constexpr uint32_t STAMP_W = 14 * qm_host::STAMP_BLOCK;
constexpr uint32_t STAMP_H = qm_host::STAMP_BLOCK;

struct readback {
	std::atomic<obs_source_t *> source{nullptr};
	const qm_host::frame_times *times = nullptr;
	int64_t current = -1;
	gs_texrender_t *texrender = nullptr;
	gs_stagesurf_t *stagesurf = nullptr;
	std::mutex mutex;
	std::vector<observation> seen;
};

// A main render callback: runs once per host frame on the graphics thread,
// after the sources' tick, and renders the filtered source there, so the
// filter captures and draws exactly once per frame.
void read_back_stamp(void *param, uint32_t, uint32_t)
{
	auto *rb = static_cast<readback *>(param);
	obs_source_t *source = rb->source.load();
	if (!source)
		return;
	rb->current = moving_source_frame(source);
	if (!rb->texrender) {
		rb->texrender = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
		rb->stagesurf =
			gs_stagesurface_create(STAMP_W, STAMP_H, GS_BGRA);
	}
	qm_host::image img;
	bool drawn = qm_host::render_into(source, rb->texrender, rb->stagesurf,
					  STAMP_W, STAMP_H, img);
	observation o{rb->current, os_gettime_ns(), -1};
	uint64_t n = 0;
	if (drawn && qm_host::read_stamp(img, &n))
		o.stamp = int64_t(n);
	std::lock_guard<std::mutex> guard(rb->mutex);
	rb->seen.push_back(o);
}

} // namespace

void run_round_trip_group(obs_source_t *parent, obs_source_t *ours,
			  uint32_t fps, bool *met)
{
	fprintf(stderr, "== Round trip at %u fps\n", fps);
	auto *data = static_cast<direct_filter_data *>(obs_obj_get_data(ours));
	controller ctl(qm_host::module_config_dir(), input_mode::echo,
		       output_mode::quiet);
	readback rb;
	rb.times = moving_source_times(parent);
	obs_source_filter_add(parent, ours);
	obs_add_main_render_callback(read_back_stamp, &rb);
	rb.source = parent;
	ctl.start();
	qm_host::wait_until([&] { return qm_host::has_output(data); },
			    std::chrono::seconds(10));
	sleep_s(1.0);

	double window = 8.0 * time_scale;
	int64_t n0, n1;
	uint64_t seq0 = qm_host::input_seq(data);
	uint64_t in0 = ctl.frames_in(), out0 = ctl.frames_out();
	{
		std::lock_guard<std::mutex> guard(rb.mutex);
		n0 = rb.seen.empty() ? 0 : rb.seen.back().frame + 1;
	}
	sleep_s(window);
	uint64_t seq1 = qm_host::input_seq(data);
	uint64_t in1 = ctl.frames_in(), out1 = ctl.frames_out();
	{
		std::lock_guard<std::mutex> guard(rb.mutex);
		n1 = rb.seen.empty() ? 0 : rb.seen.back().frame + 1;
	}
	// Frames of the window that are still on their way.
	sleep_s(0.5);
	rb.source = nullptr;
	obs_remove_main_render_callback(read_back_stamp, &rb);
	ctl.stop();
	obs_source_filter_remove(parent, ours);
	qm_host::wait_until([&] { return !qm_host::has_output(data); },
			    std::chrono::seconds(10));
	obs_enter_graphics();
	gs_texrender_destroy(rb.texrender);
	gs_stagesurface_destroy(rb.stagesurf);
	obs_leave_graphics();

	std::map<int64_t, observation> first;
	for (auto &o : rb.seen)
		if (o.stamp >= n0 && o.stamp < n1 && !first.count(o.stamp))
			first[o.stamp] = o;
	std::vector<double> frames, ms;
	for (auto &[stamp, o] : first) {
		frames.push_back(double(o.frame - stamp));
		uint64_t made = rb.times->time_of(uint64_t(stamp));
		if (made && o.time_ns >= made)
			ms.push_back(double(o.time_ns - made) / 1e6);
	}
	uint64_t captured = seq1 - seq0;
	double reached = captured ? double(in1 - in0) / double(captured) : 0;
	double returned = captured ? double(out1 - out0) / double(captured) : 0;
	double shown = captured ? double(first.size()) / double(captured) : 0;
	size_t shown_count = first.size();
	double f50 = percentile(frames, 50), f95 = percentile(frames, 95);
	double m50 = percentile(ms, 50), m95 = percentile(ms, 95);

	const std::string g =
		format("2. Round trip at %u fps, echoing controller", fps);
	std::string of =
		format("of %" PRIu64 " captured in %.0f s", captured, window);
	add(g, "frames that reach the controller",
	    format("%.1f", reached * 100), "% of captured",
	    format("%" PRIu64 " ", in1 - in0) + of);
	add(g, "frames that come back", format("%.1f", returned * 100),
	    "% of captured", format("%" PRIu64 " ", out1 - out0) + of);
	add(g, "frames shown", format("%.1f", shown * 100), "% of captured",
	    format("%zu ", shown_count) + of);
	add(g, "capture-to-display latency, median", format("%.0f", f50),
	    "frames", format("%zu frames shown", frames.size()));
	add(g, "capture-to-display latency, p95", format("%.0f", f95), "frames",
	    format("%zu frames shown", frames.size()));
	add(g, "capture-to-display latency, median", format("%.1f", m50), "ms",
	    format("%zu frames shown", ms.size()));
	add(g, "capture-to-display latency, p95", format("%.1f", m95), "ms",
	    format("%zu frames shown", ms.size()));
	if (fps == 60) {
		*met = shown >= 0.95 && f50 <= 2;
		verdict(*met, format("60 fps: >= 95 %% shown, median latency "
				     "<= 2 frames: %.1f %%, %.0f frames",
				     shown * 100, f50));
	}
}

} // namespace bench
