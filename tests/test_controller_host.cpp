// The controller with the real module in the headless host: a moving scene
// with QR codes goes through the filter, the controller and back, and what
// the filter shows has no readable code while everything away from the
// codes is byte for byte the camera's picture. Switches, restarts and
// hostile peers are seen from the filter's side.
//
// The first two cases need the detectors to keep up with the frames in real
// time, which the sanitizer builds on a busy machine do not: they run in the
// plain build only (the CTest entry controller_host_heavy_tests, labelled
// "heavy"). The others wait only for the filter to be served, processed or
// wholly obscured, and run in every build.

#include "controller-process.h"
#include "host.h"
#include "qr-scene.h"
#include "scene-feeder.h"

#include <arpa/inet.h>
#include <signal.h>

#include <map>
#include <thread>

using namespace qm_test;
using qm_ctl::controller_process;
using qm_ctl::endpoint;
using qm_ctl::temp_dir;
namespace fs = std::filesystem;

namespace {

// Catches only a hang: a controller under a sanitizer on a busy machine
// takes half a minute to start, and the host draws a frame a second.
constexpr auto LONG = std::chrono::seconds(150);

// The camera's frame rate.
constexpr uint32_t SCENE_FPS = 30;

enum class seen { black, processed, whole, other };

struct look {
	seen kind = seen::other;
	uint64_t n = 0;
	size_t readable_codes = 0;
	cv::Mat shown; // when processed
};

// What the filter shows now, and the scene frame it came from.
look look_at(obs_source_t *parent, bool decode = true)
{
	image img = render_and_read(parent, 1280, 720);
	look l;
	if (img.pixels.empty())
		return l;
	if (is_opaque_black(img)) {
		l.kind = seen::black;
		return l;
	}
	l.shown = to_mat(img);
	if (decode)
		l.readable_codes = qm_scene::decode_qr(l.shown).size();
	if (!qm_scene::read_scene_stamp(l.shown, &l.n)) {
		l.kind = seen::whole;
		l.shown.release();
		return l;
	}
	l.kind = seen::processed;
	return l;
}

// The filter on a webcam-like source showing the moving scene.
struct scene_under_filter {
	filtered_source fs;
	std::unique_ptr<webcam_feeder> feed;

	scene_under_filter()
	{
		data_ptr settings(obs_data_create());
		obs_data_set_double(settings.get(), "delay", 1.0);
		obs_data_set_int(settings.get(), "fps", 15);
		// Faces and phone numbers have tests of their own.
		obs_data_set_bool(settings.get(), "face_enabled", false);
		obs_data_set_bool(settings.get(), "phone_enabled", false);
		fs = make_filtered(pattern_kind::async, 1280, 720, FILTER_ID,
				   settings.get());
		feed = feed_scene(fs.parent.get(), SCENE_FPS);
	}
	~scene_under_filter() { feed->stop(); }
	obs_source_t *parent() const { return fs.parent.get(); }
	void set(const char *key, bool value)
	{
		data_ptr s(obs_data_create());
		obs_data_set_bool(s.get(), key, value);
		obs_source_update(fs.filter.get(), s.get());
	}
	bool wait_for(seen kind, std::chrono::seconds limit = LONG)
	{
		return wait_until(
			[&] { return look_at(parent(), false).kind == kind; },
			limit, std::chrono::milliseconds(20));
	}
	// Until the filter shows what the controller sends, processed or
	// wholly obscured alike: this needs no detector to keep up.
	bool wait_served(std::chrono::seconds limit = LONG)
	{
		return wait_until(
			[&] {
				seen k = look_at(parent(), false).kind;
				return k == seen::processed || k == seen::whole;
			},
			limit, std::chrono::milliseconds(20));
	}
};

std::unique_ptr<controller_process> start_controller(const temp_dir &logs)
{
	return std::make_unique<controller_process>(
		std::vector<std::string>{"--config-dir", module_config_dir(),
					 "--status-every", "1"},
		logs.path);
}

} // namespace

TEST(ControllerWithModule, CodesAreHiddenAndTheRestIsTheCameraPicture)
{
	scene_under_filter scene;
	ASSERT_NE(scene.fs.data(), nullptr);
	// The filter captures when it is drawn.
	ASSERT_TRUE(wait_until(
		[&] {
			render_and_read(scene.parent(), 1280, 720);
			return input_seq(scene.fs.data()) >= 3;
		},
		LONG));
	EXPECT_EQ(look_at(scene.parent()).kind, seen::black)
		<< "no controller yet";

	temp_dir logs;
	auto started = std::chrono::steady_clock::now();
	auto ctl = start_controller(logs);
	ASSERT_TRUE(scene.wait_for(seen::processed)) << ctl->std_err();

	// Three seconds at least, and until a processed frame has been seen
	// (a machine too busy for the detectors shows frames wholly obscured
	// in between). The processed frames are judged once the controller's
	// figures say how far its findings reached.
	size_t readable = 0;
	std::map<uint64_t, cv::Mat> frames;
	auto start = std::chrono::steady_clock::now();
	while (std::chrono::steady_clock::now() - start < LONG &&
	       (std::chrono::steady_clock::now() - start <
			std::chrono::seconds(3) ||
		frames.empty())) {
		look l = look_at(scene.parent());
		readable += l.readable_codes;
		if (l.kind == seen::processed && frames.size() < 24)
			frames.emplace(l.n, l.shown);
	}
	EXPECT_EQ(readable, 0u) << "no code is readable in what is shown";
	ASSERT_FALSE(frames.empty());
	// The codes were readable to begin with.
	EXPECT_GE(qm_scene::decode_qr(
			  qm_scene::scene_frame(frames.begin()->first))
			  .size(),
		  3u);

	double fed_s = std::chrono::duration<double>(
			       std::chrono::steady_clock::now() - started)
			       .count();
	EXPECT_EQ(ctl->stop(SIGTERM), 0);
	EXPECT_FALSE(fs::exists(fs::path(module_config_dir()) /
				"filter-input.endpoint"));
	EXPECT_TRUE(scene.wait_for(seen::black)) << "black once it has gone";
	EXPECT_GE(ctl->summary("processed"), double(frames.size()))
		<< ctl->std_out();

	// Away from where the codes' findings may have reached at the speed
	// this run had, what is shown is the camera's picture.
	const double reach_s = ctl->findings_reach_s(fed_s);
	for (const auto &[n, shown] : frames)
		EXPECT_EQ(qm_scene::changed_beyond_reach(shown, n, reach_s,
							 SCENE_FPS),
			  0u)
			<< "frame " << n << ", findings reaching " << reach_s
			<< " s\n"
			<< ctl->std_out();
	printf("%zu processed frames judged; findings reach %.2f s\n",
	       frames.size(), reach_s);
}

TEST(ControllerWithModule, SwitchesActWithinASecond)
{
	scene_under_filter scene;
	temp_dir logs;
	auto ctl = start_controller(logs);
	ASSERT_TRUE(scene.wait_for(seen::processed)) << ctl->std_err();

	// The bounds are generous for loaded machines and sanitizers; the
	// times measured are what counts.
	auto timed = [&](const std::function<bool()> &condition) {
		auto start = std::chrono::steady_clock::now();
		bool met = wait_until(condition, LONG,
				      std::chrono::milliseconds(20));
		return met ? std::chrono::steady_clock::now() - start
			   : std::chrono::steady_clock::duration::max();
	};
	auto readable = [&] {
		return look_at(scene.parent()).readable_codes > 0;
	};

	scene.set("qr_enabled", false);
	auto shown_codes = timed(readable);
	EXPECT_LT(shown_codes, std::chrono::seconds(20));

	// A switch has acted once its effect has begun and lasts (1.5 s, two
	// looks at least): until then a frame already on its way, or a gap in
	// the stream showing black, may be seen for a moment. The time until
	// the lasting effect began counts.
	auto settles = [&](const std::function<bool()> &begun,
			   const std::function<bool()> &holds) {
		auto start = std::chrono::steady_clock::now();
		while (std::chrono::steady_clock::now() - start < LONG) {
			if (!begun()) {
				std::this_thread::sleep_for(
					std::chrono::milliseconds(20));
				continue;
			}
			auto began = std::chrono::steady_clock::now();
			bool held = true;
			for (int looks = 0;
			     held && (looks < 2 ||
				      std::chrono::steady_clock::now() - began <
					      std::chrono::milliseconds(1500));
			     looks++)
				held = holds();
			if (held)
				return began - start;
		}
		return std::chrono::steady_clock::duration::max();
	};
	auto no_codes = [&] {
		return look_at(scene.parent()).readable_codes == 0;
	};
	scene.set("qr_enabled", true);
	// Begun: a sharp frame (not black, not wholly obscured) with its
	// codes hidden.
	auto hidden = settles(
		[&] {
			look l = look_at(scene.parent());
			return l.kind == seen::processed &&
			       l.readable_codes == 0;
		},
		no_codes);
	EXPECT_LT(hidden, std::chrono::seconds(20));
	// From then on, not one readable code.
	for (int i = 0; i < 5; i++)
		EXPECT_TRUE(no_codes());

	scene.set("worker_enabled", false);
	auto is_black = [&] {
		return look_at(scene.parent(), false).kind == seen::black;
	};
	auto black = settles(is_black, is_black);
	EXPECT_LT(black, std::chrono::seconds(20));
	// Black stays: nothing is written while processing is off.
	for (int i = 0; i < 10; i++)
		EXPECT_TRUE(is_black());

	scene.set("worker_enabled", true);
	EXPECT_TRUE(scene.wait_for(seen::processed));
	EXPECT_EQ(ctl->stop(SIGTERM), 0);
	auto ms = [](std::chrono::steady_clock::duration d) {
		return std::chrono::duration_cast<std::chrono::milliseconds>(d)
			.count();
	};
	printf("codes shown after %lld ms, hidden again after %lld ms, "
	       "black after %lld ms\n",
	       (long long)ms(shown_codes), (long long)ms(hidden),
	       (long long)ms(black));
}

TEST(ControllerWithModule, ARestartOnNewPortsAndTokensIsPickedUp)
{
	scene_under_filter scene;
	temp_dir logs1, logs2;
	auto first = start_controller(logs1);
	ASSERT_TRUE(scene.wait_served()) << first->std_err();
	endpoint in1, out1, in2, out2;
	fs::path dir = module_config_dir();
	ASSERT_TRUE(qm_ctl::wait_endpoints(dir, in1, out1));
	EXPECT_EQ(first->stop(SIGTERM), 0);
	EXPECT_TRUE(scene.wait_for(seen::black));

	auto second = start_controller(logs2);
	ASSERT_TRUE(qm_ctl::wait_endpoints(dir, in2, out2));
	EXPECT_NE(in1.token, in2.token);
	EXPECT_TRUE(scene.wait_served()) << second->std_err();
	EXPECT_EQ(second->stop(SIGTERM), 0);
}

TEST(ControllerWithModule, HostilePeersDoNotStopTheFilterBeingServed)
{
	scene_under_filter scene;
	temp_dir logs;
	auto ctl = start_controller(logs);
	ASSERT_TRUE(scene.wait_served()) << ctl->std_err();
	endpoint in, out;
	ASSERT_TRUE(qm_ctl::wait_endpoints(module_config_dir(), in, out));

	{
		// Junk, a wrong token, and peers that know the token but send
		// a wrong header or stop reading, all at once.
		std::string wrong = in.token;
		wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
		qm_ctl::sock junk = qm_ctl::connect_with(in.port, "GET / HTTP");
		qm_ctl::sock bad = qm_ctl::connect_with(out.port, wrong);
		qm_ctl::sock odd = qm_ctl::connect_with(in.port, in.token);
		uint32_t header[2] = {htonl(640), htonl(480)};
		qm_ctl::send_all(odd.fd, header, sizeof(header));
		qm_ctl::sock stuck = qm_ctl::connect_with(out.port, out.token);
		EXPECT_EQ(qm_ctl::what_arrives(bad.fd, LONG),
			  qm_ctl::got::closed);
		EXPECT_EQ(qm_ctl::what_arrives(junk.fd, LONG),
			  qm_ctl::got::closed);
		EXPECT_EQ(qm_ctl::what_arrives(odd.fd, LONG),
			  qm_ctl::got::closed);
		std::this_thread::sleep_for(std::chrono::seconds(2));
	}
	// The filter reconnects and is served again; nothing raw is shown.
	EXPECT_TRUE(scene.wait_served());
	for (int i = 0; i < 5; i++)
		EXPECT_EQ(look_at(scene.parent()).readable_codes, 0u);
	EXPECT_TRUE(ctl->running());
	EXPECT_EQ(ctl->stop(SIGTERM), 0);
}

int main(int argc, char **argv)
{
	return run_all_tests(argc, argv);
}
