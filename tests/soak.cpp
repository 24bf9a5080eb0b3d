// The soak: the module in the headless host for a long round trip with the
// fake controller, which greys every frame it is sent, while the controller
// is killed and restarted now and then and asks for reference captures
// through settings.json. Every picture the filter draws is checked for the
// source's own pixels. At the end it reports what it counted and fails on
// any breach, leak or hang.
//
//   soak [minutes]   (default 10; fractions allowed)
#include "fake_controller.h"
#include "obs-host.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

using namespace qm_host;
namespace stdfs = std::filesystem;
using steady = std::chrono::steady_clock;
using std::chrono::seconds;

namespace {

constexpr auto RESTART_EVERY = seconds(30);
constexpr auto CAPTURE_EVERY = seconds(20);
constexpr auto CONTROLLER_AWAY = std::chrono::milliseconds(1500);
// No loop turn may take longer than this.
constexpr auto HANG_LIMIT = seconds(60);

constexpr bgra GREY_85{85, 85, 85, 255};
constexpr bgra GREY_170{170, 170, 170, 255};
constexpr palette GREYED_SOURCE{{GREY_85, GREY_85, GREY_85, GREY_170}};

void to_grey(fake::bytes &p)
{
	for (size_t i = 0; i + 3 < p.size(); i += 4) {
		auto v = uint8_t((p[i] + p[i + 1] + p[i + 2]) / 3);
		p[i] = p[i + 1] = p[i + 2] = v;
	}
}

int fd_count()
{
	int n = 0;
	std::error_code ec;
	for (auto it = stdfs::directory_iterator("/proc/self/fd", ec);
	     !ec && it != stdfs::directory_iterator(); it.increment(ec))
		n++;
	return n;
}

long max_rss_kb()
{
	rusage usage{};
	getrusage(RUSAGE_SELF, &usage);
	return usage.ru_maxrss;
}

size_t files_in(const std::string &dir)
{
	size_t n = 0;
	std::error_code ec;
	for (auto it = stdfs::directory_iterator(dir, ec);
	     !ec && it != stdfs::directory_iterator(); it.increment(ec))
		n++;
	return n;
}

// What a controller does to ask for a capture: edit a copy of the file and
// move it over the original.
bool request_capture(const std::string &dir, int n)
{
	std::string path = dir + "/settings.json";
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	obs_data_t *data = obs_data_create_from_json(text.str().c_str());
	if (!data)
		return false;
	obs_data_set_string(data, "capture_request",
			    ("soak-" + std::to_string(n)).c_str());
	std::string temp = path + ".controller";
	bool ok = false;
	{
		std::ofstream out(temp, std::ios::binary | std::ios::trunc);
		out << obs_data_get_json(data);
		ok = bool(out);
	}
	obs_data_release(data);
	return ok && rename(temp.c_str(), path.c_str()) == 0;
}

// Whole frames over all output connections of the controller.
uint64_t frames_out(const fake::controller &ctl)
{
	uint64_t n = 0;
	for (auto &c : ctl.connections(fake::endpoint::output))
		n += c.frames;
	return n;
}

struct counts {
	uint64_t renders = 0, processed = 0, black = 0, other = 0;
	uint64_t breaches = 0;
	uint64_t frames_in = 0, frames_out = 0;
	int restarts = 0, requests = 0;
};

} // namespace

int main(int argc, char **argv)
{
	double minutes = argc > 1 ? atof(argv[1]) : 10.0;
	if (!(minutes > 0)) {
		fprintf(stderr, "usage: soak [minutes]\n");
		return 2;
	}
	std::string error;
	if (!make_config_home("qm-soak", &error)) {
		fprintf(stderr, "soak: %s\n", error.c_str());
		return 2;
	}
	host_config config;
	config.fps = 30;
	config.module_path = QM_MODULE_PATH;
	if (!start(config, &error)) {
		fprintf(stderr, "soak: %s\n", error.c_str());
		return 2;
	}

	// The watchdog ends the run when a turn of the loop hangs.
	std::atomic<int64_t> heartbeat{
		steady::now().time_since_epoch().count()};
	std::atomic<bool> finished{false};
	std::thread watchdog([&] {
		while (!finished) {
			std::this_thread::sleep_for(seconds(1));
			auto last = steady::time_point(
				steady::duration(heartbeat.load()));
			if (steady::now() - last > HANG_LIMIT) {
				fprintf(stderr, "soak: HANG, no progress for "
						"60 s\n");
				fflush(stderr);
				_exit(3);
			}
		}
	});
	auto beat = [&] {
		heartbeat = steady::now().time_since_epoch().count();
	};

	int threads_at_start = thread_count();
	int fds_at_start = fd_count();
	counts n;
	std::string dir = module_config_dir();
	auto ctl = std::make_unique<fake::controller>(dir);
	ctl->set_output_behavior(fake::output_behavior::echo(to_grey));
	if (!ctl->start()) {
		fprintf(stderr, "soak: the fake controller cannot listen\n");
		return 2;
	}
	filtered_source fs =
		make_filtered(pattern_kind::plain, FRAME_WIDTH, FRAME_HEIGHT);
	if (!fs.data()) {
		fprintf(stderr, "soak: the filter was not created\n");
		return 2;
	}

	auto check = [&](const image &img) {
		n.renders++;
		if (contains_any(img, SOURCE_PALETTE)) {
			n.breaches++;
			fprintf(stderr,
				"soak: source pixels drawn (render %llu)\n",
				(unsigned long long)n.renders);
		} else if (pattern_mismatch(img, GREYED_SOURCE).empty()) {
			n.processed++;
		} else if (is_opaque_black(img)) {
			n.black++;
		} else {
			n.other++;
		}
	};

	auto begin = steady::now();
	auto end = begin + std::chrono::duration_cast<steady::duration>(
				   std::chrono::duration<double>(minutes * 60));
	auto next_restart = begin + RESTART_EVERY;
	auto next_capture = begin + CAPTURE_EVERY;
	uint64_t in_base = 0, out_base = 0;
	while (steady::now() < end) {
		beat();
		check(render_and_read(fs.parent.get()));
		auto now = steady::now();
		if (now >= next_capture) {
			n.requests += request_capture(dir, n.requests);
			next_capture = now + CAPTURE_EVERY;
		}
		if (now >= next_restart) {
			n.frames_in += ctl->input_frame_count() - in_base;
			n.frames_out += frames_out(*ctl) - out_base;
			ctl->stop();
			auto away = steady::now();
			while (steady::now() - away < CONTROLLER_AWAY) {
				beat();
				check(render_and_read(fs.parent.get()));
			}
			if (!ctl->restart()) {
				fprintf(stderr, "soak: restart failed\n");
				break;
			}
			n.restarts++;
			in_base = ctl->input_frame_count();
			out_base = frames_out(*ctl);
			next_restart = steady::now() + RESTART_EVERY;
		}
	}
	n.frames_in += ctl->input_frame_count() - in_base;
	n.frames_out += frames_out(*ctl) - out_base;
	// Let the last request be carried out.
	wait_until(
		[&] { return files_in(dir + "/faces") >= size_t(n.requests); },
		seconds(10));
	size_t captures = files_in(dir + "/faces");
	size_t module_lines = module_log_lines().size();
	uint64_t seq = input_seq(fs.data());

	beat();
	ctl->stop();
	fs = filtered_source();
	ctl.reset();
	bool threads_back =
		wait_for_thread_count(threads_at_start, seconds(30));
	bool fds_back = wait_until([&] { return fd_count() <= fds_at_start; },
				   seconds(30));
	int threads_at_end = thread_count();
	int fds_at_end = fd_count();
	finished = true;
	watchdog.join();
	long leaks = stop();
	remove_config_home();
	double ran =
		std::chrono::duration<double>(steady::now() - begin).count();

	printf("soak: %.1f minutes\n", ran / 60);
	printf("  captures by the filter (input_seq)  %llu\n",
	       (unsigned long long)seq);
	printf("  frames received by the controller   %llu\n",
	       (unsigned long long)n.frames_in);
	printf("  processed frames sent to the filter %llu\n",
	       (unsigned long long)n.frames_out);
	printf("  renders checked                     %llu\n",
	       (unsigned long long)n.renders);
	printf("    processed picture shown           %llu\n",
	       (unsigned long long)n.processed);
	printf("    black                             %llu\n",
	       (unsigned long long)n.black);
	printf("    other                             %llu\n",
	       (unsigned long long)n.other);
	printf("    source pixels shown               %llu\n",
	       (unsigned long long)n.breaches);
	printf("  controller restarts                 %d\n", n.restarts);
	printf("  capture requests / images saved     %d / %zu\n", n.requests,
	       captures);
	printf("  module log lines                    %zu\n", module_lines);
	printf("  threads start / end                 %d / %d\n",
	       threads_at_start, threads_at_end);
	printf("  descriptors start / end             %d / %d\n", fds_at_start,
	       fds_at_end);
	printf("  libobs allocations left             %ld\n", leaks);
	printf("  max RSS                             %ld MB\n",
	       max_rss_kb() / 1024);

	bool ok = n.breaches == 0 && n.processed > 0 && threads_back &&
		  fds_back && leaks == 0 && module_lines == 0 &&
		  captures == size_t(n.requests);
	printf("soak: %s\n", ok ? "PASS" : "FAIL");
	return ok ? 0 : 1;
}
