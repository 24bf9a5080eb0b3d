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
//
// Usage: quilmar-bench [--out FILE] [--quick] [--benchmark_... options]
#include "floor-filter.h"
#include "loopback.h"
#include "measure.h"
#include "micro.h"
#include "moving-source.h"
#include "table.h"
#include "video.h"

#include "common.h"
#include "obs-host.h"

#include <util/platform.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include <sys/socket.h>
#include <unistd.h>

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
// 3. Link throughput

// A frame source for the workers without the host: raises input_seq so
// that the sender always finds a new frame when it looks.
struct capture_stand_in {
	direct_filter_data data;
	std::atomic<bool> done{false};
	std::thread thread;

	capture_stand_in()
	{
		qm_alloc_frames(&data);
		auto wire = make_wire_frame();
		for (frame_buffer *f : {&data.input_frame, &data.input_ready,
					&data.input_sending})
			memcpy(f->get(), wire.data() + 8, FRAME_SIZE);
		memset(data.output_frame.get(), 0, FRAME_SIZE);
		thread = std::thread([this] {
			while (!done) {
				qm_publish_input(&data);
				std::this_thread::sleep_for(
					std::chrono::microseconds(100));
			}
		});
	}
	~capture_stand_in()
	{
		qm_request_stop(&data);
		done = true;
		thread.join();
		if (data.sender_thread.joinable())
			data.sender_thread.join();
		if (data.reader_thread.joinable())
			data.reader_thread.join();
	}
};

struct rate {
	uint64_t frames = 0;
	double seconds = 0;
	double fps() const
	{
		return seconds > 0 ? double(frames) / seconds : 0;
	}
};

// Counts what counter gains over one window, after a warm-up.
void count_window(const std::function<uint64_t()> &counter, rate *r)
{
	double warm_end = now_s() + 0.5 * time_scale;
	while (counter() < 2 && now_s() < warm_end + 5)
		sleep_s(0.01);
	sleep_s(std::max(0.0, warm_end - now_s()));
	uint64_t c0 = counter();
	double t0 = now_s();
	sleep_s(2.5 * time_scale);
	r->frames += counter() - c0;
	r->seconds += now_s() - t0;
}

enum class link_case { sender, receiver, round_trip };

void run_module_link(link_case which, rate *r)
{
	input_mode in = which == link_case::round_trip ? input_mode::echo
						       : input_mode::drain;
	output_mode out = which == link_case::receiver ? output_mode::flood
						       : output_mode::quiet;
	controller ctl(qm_host::module_config_dir(), in, out);
	if (!ctl.start()) {
		fprintf(stderr, "controller did not start\n");
		return;
	}
	capture_stand_in capture;
	direct_filter_data *data = &capture.data;
	if (which != link_case::receiver)
		data->sender_thread = std::thread(send_input, data);
	if (which != link_case::sender)
		data->reader_thread = std::thread(reader, data);
	if (which == link_case::sender)
		count_window([&] { return ctl.frames_in(); }, r);
	else
		count_window([&] { return ctl.frames_out(); }, r);
	ctl.stop();
}

// The same frames over loopback without the module: one thread writes
// whole frames, the controller's drain loop reads them; for the round trip
// an echo thread in between forwards each over a second pair.
void run_plain_link(bool round_trip, rate *r)
{
	int a = -1, b = -1, c = -1, d = -1;
	if (!socket_pair(&a, &b) || (round_trip && !socket_pair(&c, &d))) {
		fprintf(stderr, "no loopback socket pair\n");
		return;
	}
	std::atomic<bool> stop{false};
	std::atomic<uint64_t> written{0}, echoed{0}, read{0};
	auto frame = make_wire_frame();
	std::vector<uint8_t> buf1(WIRE_FRAME_SIZE), buf2(WIRE_FRAME_SIZE);
	std::thread writer(flood_frames, a, frame.data(), &written, &stop);
	std::thread echo, last;
	if (round_trip) {
		echo = std::thread([&] {
			while (!stop &&
			       recv_whole(b, buf1.data(), buf1.size()) &&
			       send_whole(c, buf1.data(), buf1.size()))
				echoed++;
		});
		last = std::thread(drain_frames, d, buf2.data(), &read, &stop);
	} else {
		last = std::thread(drain_frames, b, buf2.data(), &read, &stop);
	}
	count_window([&] { return read.load(); }, r);
	stop = true;
	for (int fd : {a, b, c, d})
		if (fd >= 0)
			shutdown(fd, SHUT_RDWR);
	writer.join();
	if (echo.joinable())
		echo.join();
	last.join();
	for (int fd : {a, b, c, d})
		if (fd >= 0)
			close(fd);
}

void run_link_group()
{
	fprintf(stderr, "== Link throughput\n");
	rate sender, receiver, loop, plain, plain_loop;
	// Interleaved, so that a passing load on the machine hits all alike.
	for (int round = 0; round < 2; round++) {
		run_plain_link(false, &plain);
		run_module_link(link_case::sender, &sender);
		run_module_link(link_case::receiver, &receiver);
		run_plain_link(true, &plain_loop);
		run_module_link(link_case::round_trip, &loop);
	}
	const std::string g =
		"3. Link throughput over loopback, 3,686,408-byte frames";
	auto frames = [](const rate &r) {
		return format("%" PRIu64 " frames in %.1f s", r.frames,
			      r.seconds);
	};
	add(g, "plain socket pair, one way", format("%.0f", plain.fps()),
	    "frames/s", frames(plain));
	add(g, "sender -> controller reading at full speed",
	    format("%.0f", sender.fps()), "frames/s", frames(sender));
	add(g, "controller writing at full speed -> receiver",
	    format("%.0f", receiver.fps()), "frames/s", frames(receiver));
	double rs = plain.fps() > 0 ? sender.fps() / plain.fps() : 0;
	double rr = plain.fps() > 0 ? receiver.fps() / plain.fps() : 0;
	add(g, "ratio sender / plain", format("%.2f", rs), "x", "");
	add(g, "ratio receiver / plain", format("%.2f", rr), "x", "");
	add(g, "plain pairs, write -> echo -> read",
	    format("%.0f", plain_loop.fps()), "frames/s", frames(plain_loop));
	add(g, "sender -> echoing controller -> receiver",
	    format("%.0f", loop.fps()), "frames/s", frames(loop));
	double rl = plain_loop.fps() > 0 ? loop.fps() / plain_loop.fps() : 0;
	add(g, "ratio round trip / plain", format("%.2f", rl), "x", "");
	verdict(rs >= 0.9,
		format("sender >= 0.9 x plain pair: %.2f (receiver %.2f)", rs,
		       rr));
	verdict(rl >= 0.8, format("round trip >= 0.8 x plain echo: %.2f", rl));
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
// 2. Round trip

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

// ---------------------------------------------------------------------------
// 4. Idle cost

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
