// quilmar-bench, 4. Idle cost of ten instances: CPU time of their workers
// and of the graphics thread with no controller and with a silent one,
// and memory per instance against the floor filter's.
#include "bench-groups.h"

#include "floor-filter.h"
#include "loopback.h"
#include "measure.h"
#include "table.h"

#include "common.h"
#include "obs-host.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

struct idle_figures {
	double worker_cpu = 0; // share of one core
	double process_cpu = 0;
	double graphics_cpu = 0;
	double seconds = 0;
};

pid_t graphics_thread()
{
	for (pid_t tid : thread_ids())
		if (thread_name(tid).find("graphics") != std::string::npos)
			return tid;
	return 0;
}

void measure_idle(const std::vector<pid_t> &workers, pid_t graphics,
		  idle_figures *f)
{
	double seconds = 4.0 * time_scale;
	uint64_t w0 = threads_cpu_ns(workers);
	uint64_t g0 = graphics ? thread_cpu_ns(graphics) : 0;
	double p0 = process_cpu_s(), t0 = now_s();
	sleep_s(seconds);
	double t = now_s() - t0;
	f->seconds = t;
	f->worker_cpu = double(threads_cpu_ns(workers) - w0) / 1e9 / t;
	f->process_cpu = (process_cpu_s() - p0) / t;
	f->graphics_cpu =
		graphics ? double(thread_cpu_ns(graphics) - g0) / 1e9 / t : 0;
}

} // namespace

void run_idle_group(bool *met)
{
	fprintf(stderr, "== Idle cost of ten instances\n");
	constexpr int INSTANCES = 10;
	pid_t graphics = graphics_thread();
	idle_figures none, no_ctl, silent;
	measure_idle({}, graphics, &none);

	std::vector<pid_t> before = thread_ids();
	size_t rss0 = resident_bytes(), heap0 = heap_bytes();
	std::vector<qm_host::filtered_source> instances;
	for (int i = 0; i < INSTANCES; i++)
		instances.push_back(
			qm_host::make_filtered(qm_host::pattern_kind::plain,
					       FRAME_WIDTH, FRAME_HEIGHT));
	sleep_s(1.0);
	size_t rss1 = resident_bytes(), heap1 = heap_bytes();
	std::vector<pid_t> workers;
	for (pid_t tid : thread_ids())
		if (!std::binary_search(before.begin(), before.end(), tid))
			workers.push_back(tid);
	measure_idle(workers, graphics, &no_ctl);

	controller ctl(qm_host::module_config_dir(), input_mode::drain,
		       output_mode::quiet);
	ctl.start();
	qm_host::wait_until(
		[&] {
			return ctl.input_connections() >= INSTANCES &&
			       ctl.output_connections() >= INSTANCES;
		},
		std::chrono::seconds(10));
	measure_idle(workers, graphics, &silent);
	ctl.stop();

	// Every GPU object and the input frame in use once.
	for (auto &fs : instances)
		qm_host::render_and_read(fs.parent.get());
	sleep_s(0.5);
	size_t rss2 = resident_bytes();
	instances.clear();
	qm_host::wait_for_thread_count(int(before.size()) + 2,
				       std::chrono::seconds(10));

	// The same for the floor filter: its GPU objects are ours too, and
	// llvmpipe keeps them in system memory, where a GPU keeps them in its
	// own.
	sleep_s(0.5);
	size_t floor_heap0 = heap_bytes();
	for (int i = 0; i < INSTANCES; i++)
		instances.push_back(qm_host::make_filtered(
			qm_host::pattern_kind::plain, FRAME_WIDTH, FRAME_HEIGHT,
			FLOOR_FILTER_ID));
	sleep_s(1.0);
	size_t floor_heap1 = heap_bytes();
	instances.clear();

	const std::string g = "4. Idle cost of ten instances (not shown)";
	auto pct = [](double share) {
		return format("%.3f", share * 100);
	};
	std::string window = format("%.1f s", no_ctl.seconds);
	add(g, "host alone: whole process", pct(none.process_cpu),
	    "% of one core", window);
	add(g, "no controller: 20 worker threads", pct(no_ctl.worker_cpu),
	    "% of one core", window);
	add(g, "no controller: whole process, minus host alone",
	    pct(no_ctl.process_cpu - none.process_cpu), "% of one core",
	    window);
	add(g, "no controller: graphics thread, minus host alone",
	    pct(no_ctl.graphics_cpu - none.graphics_cpu), "% of one core",
	    window);
	add(g, "silent controller: 20 worker threads", pct(silent.worker_cpu),
	    "% of one core", window);
	add(g, "silent controller: graphics thread, minus host alone",
	    pct(silent.graphics_cpu - none.graphics_cpu), "% of one core",
	    window);
	double mb = 1e6;
	double rss_idle = double(rss1 - rss0) / INSTANCES / mb;
	double heap_idle = double(heap1 - heap0) / INSTANCES / mb;
	double rss_used = double(rss2 - rss0) / INSTANCES / mb;
	add(g, "memory per instance, resident (RSS delta / 10)",
	    format("%.1f", rss_idle), "MB", "created, never rendered");
	add(g, "memory per instance, heap allocated / 10",
	    format("%.1f", heap_idle), "MB", "created, never rendered");
	add(g, "memory per instance, resident after one render",
	    format("%.1f", rss_used), "MB", "GPU objects in use (llvmpipe)");
	double floor_heap = double(floor_heap1 - floor_heap0) / INSTANCES / mb;
	// The floor filter holds one frame buffer besides its GPU objects.
	double gpu_heap = floor_heap - FRAME_SIZE / mb;
	add(g, "floor filter per instance, heap allocated / 10",
	    format("%.1f", floor_heap), "MB", "created, never rendered");
	add(g, "GPU objects in system memory (floor heap - 1 frame)",
	    format("%.1f", gpu_heap), "MB", "llvmpipe only");
	double own_heap = heap_idle - gpu_heap;
	add(g, "memory per instance without GPU objects (heap)",
	    format("%.1f", own_heap), "MB", "created, never rendered");
	add(g, "five frame-sized buffers", format("%.1f", 5 * FRAME_SIZE / mb),
	    "MB", "reference");
	double cpu = std::max(
		no_ctl.worker_cpu +
			std::max(0.0, no_ctl.graphics_cpu - none.graphics_cpu),
		silent.worker_cpu +
			std::max(0.0, silent.graphics_cpu - none.graphics_cpu));
	double limit = 1.1 * 5 * FRAME_SIZE / mb;
	*met = cpu <= 0.005 && own_heap <= limit;
	verdict(cpu <= 0.005,
		format("ten idle instances <= 0.5 %% of one core: %.3f %%",
		       cpu * 100));
	verdict(own_heap <= limit,
		format("memory per instance <= 1.1 x 18.4 MB (%.1f MB): "
		       "%.1f MB without the GPU objects llvmpipe keeps in "
		       "system memory (with them: heap %.1f MB, resident "
		       "%.1f MB, %.1f MB after one render)",
		       limit, own_heap, heap_idle, rss_idle, rss_used));
}

} // namespace bench
