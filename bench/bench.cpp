// quilmar-bench: measures the module side by side with what it must at
// least cost, in one run, and prints one table.
//
//  1. Graphics-thread cost per frame: the moving pattern alone, with the
//     floor filter, with our filter and no controller, with our filter and
//     an echoing controller.
//  2. Round trip at 30 and 60 fps through an echoing controller: frames
//     that reach the controller, frames shown, capture-to-display latency.
//  3. Link throughput of the sender and receiver against plain loopback
//     sockets moving the same frames.
//  4. Idle cost of ten instances: CPU time and memory.
// Google Benchmark times the pure pieces; the rest is timed directly.
// Groups 2, 3 and 4 lie in bench-round-trip.cpp, bench-link.cpp and
// bench-idle.cpp (bench-groups.h).
//
// Usage: quilmar-bench [--out FILE] [--quick] [--benchmark_... options]
#include "bench-groups.h"
#include "floor-filter.h"
#include "loopback.h"
#include "measure.h"
#include "micro.h"
#include "moving-source.h"
#include "table.h"
#include "video.h"

#include "common.h"
#include "obs-host.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#ifndef QM_MODULE_PATH
#error "QM_MODULE_PATH must name the built module"
#endif

namespace {

using namespace bench;

// ---------------------------------------------------------------------------
// Pure pieces

void run_micro_group(const std::vector<std::string> &args)
{
	fprintf(stderr, "== Pure pieces (Google Benchmark)\n");
	std::vector<std::string> bm_args = args;
	bool has_min_time = false;
	for (auto &a : args)
		has_min_time |= a.rfind("--benchmark_min_time", 0) == 0;
	if (!has_min_time)
		bm_args.push_back(time_scale < 1 ? "--benchmark_min_time=0.05"
						 : "--benchmark_min_time=0.3");
	const std::string g = "0. Pure pieces (Google Benchmark, one thread)";
	for (auto &r : run_micro(bm_args)) {
		bool big = r.ns_per_op >= 10000;
		add(g, r.name,
		    big ? format("%.1f", r.ns_per_op / 1000)
			: format("%.2f", r.ns_per_op),
		    big ? "us per call" : "ns per call",
		    format("%" PRId64 " calls", r.iterations));
	}
}

// ---------------------------------------------------------------------------
// 1. Graphics-thread cost

struct cost {
	std::vector<double> samples_ms;
	uint64_t frames = 0, lagged = 0;
	// CPU time of the graphics thread and of the renderer's threads per
	// frame, one value per measuring window.
	std::vector<double> cpu_per_frame_ms;
	// The median of the windows, against load that comes and goes.
	double cpu_ms() const
	{
		std::vector<double> v = cpu_per_frame_ms;
		return percentile(v, 50);
	}
	// The median of the one-second averages, against passing load.
	double avg_ms() const
	{
		std::vector<double> v = samples_ms;
		return percentile(v, 50);
	}
};

// Samples libobs's average frame time, which it renews once a second over
// the frames of that second, after the configuration has settled.
// The graphics thread and llvmpipe's threads, which do its drawing.
std::vector<pid_t> rendering_threads()
{
	std::vector<pid_t> found;
	for (pid_t tid : thread_ids()) {
		std::string name = thread_name(tid);
		if (name.find("graphics") != std::string::npos ||
		    name.find("llvmpipe") != std::string::npos)
			found.push_back(tid);
	}
	return found;
}

void sample_cost(cost *c, int seconds)
{
	sleep_s(2.1);
	std::vector<pid_t> threads = rendering_threads();
	uint64_t cpu0 = threads_cpu_ns(threads);
	uint32_t total0 = obs_get_total_frames();
	uint32_t lagged0 = obs_get_lagged_frames();
	for (int i = 0; i < seconds; i++) {
		sleep_s(1.0);
		c->samples_ms.push_back(
			double(obs_get_average_frame_time_ns()) / 1e6);
	}
	uint32_t frames = obs_get_total_frames() - total0;
	uint32_t lagged = obs_get_lagged_frames() - lagged0;
	c->frames += frames;
	c->lagged += lagged;
	// The host counts a frame it had no time to render among its frames
	// as well as among the lagged ones: the CPU time went to the frames
	// actually rendered.
	uint32_t rendered = frames - lagged;
	if (rendered)
		c->cpu_per_frame_ms.push_back(
			double(threads_cpu_ns(threads) - cpu0) / rendered /
			1e6);
}

void run_cost_group(obs_source_t *parent, obs_source_t *floor_filter,
		    obs_source_t *ours, uint32_t fps)
{
	fprintf(stderr, "== Graphics-thread cost at %u fps\n", fps);
	auto *data = static_cast<direct_filter_data *>(obs_obj_get_data(ours));
	controller ctl(qm_host::module_config_dir(), input_mode::echo,
		       output_mode::quiet);
	cost alone, floor, bare, echo, echo15;
	int seconds = time_scale < 1 ? 1 : 3;
	obs_set_output_source(0, parent);
	auto with_controller = [&](unsigned echo_fps, cost *c) {
		obs_source_filter_add(parent, ours);
		ctl.set_echo_fps(echo_fps);
		ctl.start();
		qm_host::wait_until([&] { return qm_host::has_output(data); },
				    std::chrono::seconds(10));
		sample_cost(c, seconds);
		ctl.stop();
		qm_host::wait_until([&] { return !qm_host::has_output(data); },
				    std::chrono::seconds(10));
		obs_source_filter_remove(parent, ours);
	};
	auto measure = [&](int config) {
		switch (config) {
		case 0:
			sample_cost(&alone, seconds);
			break;
		case 1:
			obs_source_filter_add(parent, floor_filter);
			sample_cost(&floor, seconds);
			obs_source_filter_remove(parent, floor_filter);
			break;
		case 2:
			obs_source_filter_add(parent, ours);
			sample_cost(&bare, seconds);
			obs_source_filter_remove(parent, ours);
			break;
		case 3:
			with_controller(0, &echo);
			break;
		case 4:
			with_controller(15, &echo15);
			break;
		}
	};
	// Forwards, backwards, forwards...: a drift of the machine's load
	// favours no configuration. Five rounds at 30 fps, where the target
	// against the floor filter is tight.
	const int configs = 5;
	const int rounds = fps == 30 ? 5 : 3;
	for (int round = 0; round < rounds; round++)
		for (int i = 0; i < configs; i++)
			measure(round % 2 ? configs - 1 - i : i);
	obs_set_output_source(0, nullptr);

	const std::string g = format(
		"1. Graphics-thread cost per frame at %u fps (libobs average "
		"frame time)",
		fps);
	auto cpu_covers = [](const cost &c) {
		return format("graphics + llvmpipe threads; median of %zu",
			      c.cpu_per_frame_ms.size());
	};
	auto covers = [](const cost &c) {
		return format("%" PRIu64 " frames, %" PRIu64 " lagged; "
			      "median of %zu 1-s averages",
			      c.frames, c.lagged, c.samples_ms.size());
	};
	add(g, "moving pattern alone", format("%.2f", alone.avg_ms()),
	    "ms/frame", covers(alone));
	add(g, "pattern + floor filter", format("%.2f", floor.avg_ms()),
	    "ms/frame", covers(floor));
	add(g, "pattern + our filter, no controller",
	    format("%.2f", bare.avg_ms()), "ms/frame", covers(bare));
	add(g, "pattern + our filter, echoing controller",
	    format("%.2f", echo.avg_ms()), "ms/frame", covers(echo));
	add(g, "pattern + our filter, controller at 15 fps",
	    format("%.2f", echo15.avg_ms()), "ms/frame", covers(echo15));
	add(g, "CPU per frame: pattern alone", format("%.2f", alone.cpu_ms()),
	    "ms CPU/frame", cpu_covers(alone));
	add(g, "CPU per frame: pattern + floor filter",
	    format("%.2f", floor.cpu_ms()), "ms CPU/frame", cpu_covers(floor));
	add(g, "CPU per frame: pattern + our filter, no controller",
	    format("%.2f", bare.cpu_ms()), "ms CPU/frame", cpu_covers(bare));
	add(g, "CPU per frame: pattern + our filter, echoing",
	    format("%.2f", echo.cpu_ms()), "ms CPU/frame", cpu_covers(echo));
	add(g, "CPU per frame: pattern + our filter, 15 fps controller",
	    format("%.2f", echo15.cpu_ms()), "ms CPU/frame",
	    cpu_covers(echo15));
	double cpu_bare = bare.cpu_ms() / floor.cpu_ms();
	double cpu_echo = echo.cpu_ms() / floor.cpu_ms();
	double cpu_echo15 = echo15.cpu_ms() / floor.cpu_ms();
	add(g, "CPU ratio ours / floor, no controller",
	    format("%.2f", cpu_bare), "x", "whole frame");
	add(g, "CPU ratio ours / floor, echoing controller",
	    format("%.2f", cpu_echo), "x", "whole frame");
	add(g, "CPU ratio ours / floor, 15 fps controller",
	    format("%.2f", cpu_echo15), "x", "whole frame");
	double floor_inc = floor.avg_ms() - alone.avg_ms();
	double bare_ratio = bare.avg_ms() / floor.avg_ms();
	double echo_ratio = echo.avg_ms() / floor.avg_ms();
	add(g, "ratio ours / floor, no controller", format("%.2f", bare_ratio),
	    "x", "whole frame");
	add(g, "ratio ours / floor, echoing controller",
	    format("%.2f", echo_ratio), "x", "whole frame");
	double bare_inc = (bare.avg_ms() - alone.avg_ms()) / floor_inc;
	double echo_inc = (echo.avg_ms() - alone.avg_ms()) / floor_inc;
	add(g, "filter's own share: ours / floor, no controller",
	    format("%.2f", bare_inc), "x", "frame minus pattern alone");
	add(g, "filter's own share: ours / floor, echoing",
	    format("%.2f", echo_inc), "x", "frame minus pattern alone");
	if (fps == 30)
		verdict(cpu_echo15 <= 1.0,
			format("graphics-thread CPU per frame, 15 fps "
			       "controller on a 30 fps canvas, <= floor "
			       "filter's: %.2f ms against %.2f ms (%.2f x)",
			       echo15.cpu_ms(), floor.cpu_ms(), cpu_echo15));
	(void)bare_inc;
	(void)echo_inc;
}

// ---------------------------------------------------------------------------

void run_host_groups()
{
	qm_host::host_config config;
	config.fps = 30;
	config.module_path = QM_MODULE_PATH;
	bool moving_ok = false;
	config.after_startup = [&] {
		register_floor_filter();
		moving_ok = register_moving_source();
	};
	config.pin_libraries = false;
	std::string error;
	if (!qm_host::start(config, &error)) {
		fprintf(stderr, "cannot start the host: %s\n", error.c_str());
		exit(1);
	}

	if (!moving_ok) {
		fprintf(stderr, "the moving source cannot reproduce the "
				"frame stamp\n");
		exit(1);
	}
	bool idle_met = false;
	run_idle_group(&idle_met);

	// One moving pattern; the filters take turns on it, so that only one
	// pattern is made per frame.
	qm_host::source_ptr parent = create_moving_source();
	qm_host::source_ptr floor_filter(
		obs_source_create_private(FLOOR_FILTER_ID, "floor", nullptr));
	qm_host::source_ptr ours(
		obs_source_create_private(qm_host::FILTER_ID, "ours", nullptr));
	if (!parent || !floor_filter || !ours) {
		fprintf(stderr, "cannot create the sources\n");
		exit(1);
	}

	bool rt_met = false;
	for (uint32_t fps : {30u, 60u}) {
		if (fps != 30 && !set_fps(fps)) {
			fprintf(stderr, "cannot switch to %u fps\n", fps);
			break;
		}
		run_cost_group(parent.get(), floor_filter.get(), ours.get(),
			       fps);
		run_round_trip_group(parent.get(), ours.get(), fps, &rt_met);
	}

	ours.reset();
	floor_filter.reset();
	parent.reset();
	qm_host::stop();
}

} // namespace

int main(int argc, char **argv)
{
	std::string out_path;
	std::vector<std::string> bm_args;
	for (int i = 1; i < argc; i++) {
		std::string arg = argv[i];
		if (arg == "--out" && i + 1 < argc) {
			out_path = argv[++i];
		} else if (arg == "--quick") {
			time_scale = 0.3;
		} else if (arg.rfind("--benchmark_", 0) == 0) {
			bm_args.push_back(arg);
		} else {
			fprintf(stderr,
				"usage: %s [--out FILE] [--quick] "
				"[--benchmark_... options]\n",
				argv[0]);
			return 2;
		}
	}

	std::string error;
	if (!qm_host::make_config_home("qm-bench", &error)) {
		fprintf(stderr, "%s\n", error.c_str());
		return 1;
	}
	double start = now_s();
	run_micro_group(bm_args);
	run_link_group();
	run_host_groups();
	qm_host::remove_config_home();

	return print_table(out_path, now_s() - start);
}
