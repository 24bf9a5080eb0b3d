// quilmar-bench, 3. Link throughput: the module's sender and receiver on
// their own threads, fed by a stand-in for the capture, against plain
// loopback sockets moving the same frames.
#include "bench-groups.h"

#include "loopback.h"
#include "measure.h"
#include "table.h"

#include "common.h"
#include "obs-host.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>

#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

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

} // namespace

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

} // namespace bench
