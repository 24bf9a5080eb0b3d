// The controller's face and phone-number detectors with the real module in
// the headless host, on the people scene: faces are hidden but that of the
// person to keep, a phone number is hidden and the date beside it, an
// order number, a price and opening hours left alone; the switches and a
// reference photo added while running act soon; workers that abort or hang
// are replaced while frames keep coming; a model that is missing or
// altered means black, never raw frames.

#include "controller-process.h"
#include "host.h"
#include "people-scene.h"
#include "scene-feeder.h"

#include <signal.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>

using namespace qm_test;
using qm_ctl::controller_process;
using qm_ctl::temp_dir;
namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// Waits only catch a hang. On a machine losing half its cores to other
// guests, the detectors' first runs took seconds and the first processed
// frame came after more than a minute.
constexpr auto LONG = seconds(120);
// Shares of a box's pixels changed: at least HIDDEN when obscured, at
// most SHOWN when left as the camera saw it.
constexpr double HIDDEN = 0.6;
constexpr double SHOWN = 0.02;

enum class seen { black, processed, whole, other };

struct look {
	seen kind = seen::other;
	uint64_t n = 0;
	double moving = 0, kept = 0, stranger = 0, phone = 0, date = 0;
	// The most changed of the numbers that are not phone numbers.
	double others = 0;
};

double changed_share(const cv::Mat &a, const cv::Mat &b, const cv::Rect &r)
{
	if (r.empty())
		return 0;
	cv::Mat diff;
	cv::absdiff(a(r), b(r), diff);
	cv::Mat grey;
	cv::transform(diff, grey, cv::Matx14f(1, 1, 1, 0));
	return double(cv::countNonZero(grey)) / double(r.area());
}

cv::Rect middle_of(const cv::Rect &r)
{
	return cv::Rect(r.x + r.width / 4, r.y + r.height / 4, r.width / 2,
			r.height / 2);
}

look look_at(obs_source_t *parent)
{
	image img = render_and_read(parent, 1280, 720);
	look l;
	if (img.pixels.empty())
		return l;
	if (is_opaque_black(img)) {
		l.kind = seen::black;
		return l;
	}
	cv::Mat shown = to_mat(img);
	if (!qm_scene::read_scene_stamp(shown, &l.n)) {
		l.kind = seen::whole;
		return l;
	}
	l.kind = seen::processed;
	qm_scene::people_truth t;
	cv::Mat raw = qm_scene::people_frame(l.n, &t);
	// Hidden regions now follow the face itself, not the whole photo it
	// was cut from: the face is the middle of that photo.
	l.moving = changed_share(raw, shown, middle_of(t.moving_face));
	l.kept = changed_share(raw, shown, t.kept_face);
	l.stranger = changed_share(raw, shown, t.stranger_face);
	l.phone = changed_share(raw, shown, t.phone);
	l.date = changed_share(raw, shown, t.date);
	for (const cv::Rect &r : t.other_numbers)
		l.others = std::max(l.others, changed_share(raw, shown, r));
	return l;
}

// The filter on a webcam-like source showing the people scene, with QR
// codes left to the QR tests.
struct people_under_filter {
	filtered_source fs;
	std::unique_ptr<webcam_feeder> feed;

	explicit people_under_filter(const std::string &reference = {})
	{
		data_ptr settings(obs_data_create());
		obs_data_set_double(settings.get(), "delay", 5.0);
		obs_data_set_int(settings.get(), "fps", 15);
		obs_data_set_bool(settings.get(), "qr_enabled", false);
		if (!reference.empty())
			obs_data_set_string(settings.get(), "reference",
					    reference.c_str());
		fs = make_filtered(pattern_kind::async, 1280, 720, FILTER_ID,
				   settings.get());
		feed = feed_people(fs.parent.get(), 30);
	}
	~people_under_filter() { feed->stop(); }
	obs_source_t *parent() const { return fs.parent.get(); }
	void set(const char *key, bool value)
	{
		data_ptr s(obs_data_create());
		obs_data_set_bool(s.get(), key, value);
		obs_source_update(fs.filter.get(), s.get());
	}
	// Looks until `done` holds for a processed frame; false after limit.
	bool until(const std::function<bool(const look &)> &done,
		   std::chrono::seconds limit = LONG)
	{
		return wait_until(
			[&] {
				look l = look_at(parent());
				return l.kind == seen::processed && done(l);
			},
			limit, milliseconds(20));
	}
};

std::unique_ptr<controller_process>
start_controller(const temp_dir &logs, std::vector<std::string> extra = {},
		 const std::map<std::string, const char *> &env = {})
{
	std::vector<std::string> args{"--config-dir", module_config_dir(),
				      "--status-every", "1"};
	args.insert(args.end(), extra.begin(), extra.end());
	return std::make_unique<controller_process>(args, logs.path, env);
}

long long ms_since(std::chrono::steady_clock::time_point t)
{
	return (long long)std::chrono::duration_cast<milliseconds>(
		       std::chrono::steady_clock::now() - t)
		.count();
}

struct photos {
	temp_dir dir;
	std::string kept = (dir.path / "kept.jpg").string();
	photos() { EXPECT_TRUE(qm_scene::write_kept_person_photo(kept)); }
};

} // namespace

TEST(ControllerPeople, FacesAndPhoneNumbersAreHiddenTheKeptPersonIsNot)
{
	if (!qm_scene::people_scene_available())
		GTEST_SKIP() << "opencv-doc or fonts-dejavu-core missing";
	photos refs;
	people_under_filter scene(refs.kept);
	temp_dir logs;
	auto ctl = start_controller(logs);
	ASSERT_TRUE(scene.until([](const look &) { return true; }))
		<< ctl->std_err();

	// Every processed frame for a few seconds.
	std::vector<look> frames;
	auto start = std::chrono::steady_clock::now();
	while (std::chrono::steady_clock::now() - start < seconds(6) ||
	       (frames.size() < 10 &&
		std::chrono::steady_clock::now() - start < LONG)) {
		look l = look_at(scene.parent());
		if (l.kind == seen::processed)
			frames.push_back(l);
	}
	ASSERT_GE(frames.size(), 10u);
	size_t kept_visible = 0;
	std::set<uint64_t> text_hidden;
	for (const look &l : frames) {
		EXPECT_GE(l.moving, HIDDEN) << "frame " << l.n;
		EXPECT_GE(l.stranger, HIDDEN) << "frame " << l.n;
		EXPECT_GE(l.phone, HIDDEN) << "frame " << l.n;
		if (l.date > 0 || l.others > 0)
			text_hidden.insert(l.n);
		kept_visible += l.kept <= SHOWN;
	}
	printf("kept person visible in %zu of %zu frames\n", kept_visible,
	       frames.size());
	EXPECT_GE(kept_visible * 10, frames.size() * 9);
	EXPECT_EQ(ctl->stop(SIGTERM), 0);
	EXPECT_GE(ctl->summary("faces_runs"), 5);
	EXPECT_GE(ctl->summary("phones_runs"), 2);
	// The date and the other numbers stay sharp, except in frames the
	// phone stage had no run for in time (a busy machine): those hide
	// every text line, unread.
	EXPECT_LE(double(text_hidden.size()), ctl->summary("fallback_phones"))
		<< text_hidden.size() << " frames with other text hidden";
	if (HasFailure())
		printf("%s", ctl->std_err().c_str());
}

TEST(ControllerPeople, SwitchesAndANewReferenceActWithinASecond)
{
	if (!qm_scene::people_scene_available())
		GTEST_SKIP() << "opencv-doc or fonts-dejavu-core missing";
	photos refs;
	people_under_filter scene;
	temp_dir logs;
	auto ctl = start_controller(logs);
	ASSERT_TRUE(scene.until([](const look &l) {
		return l.kept >= HIDDEN && l.phone >= HIDDEN;
	})) << ctl->std_err();

	// The bounds are generous for loaded machines; the times printed
	// are what counts.
	auto t = std::chrono::steady_clock::now();
	scene.set("face_enabled", false);
	EXPECT_TRUE(scene.until([](const look &l) {
		return l.moving == 0 && l.stranger == 0;
	}));
	long long faces_off = ms_since(t);

	t = std::chrono::steady_clock::now();
	scene.set("phone_enabled", false);
	EXPECT_TRUE(scene.until([](const look &l) { return l.phone == 0; }));
	long long phones_off = ms_since(t);

	t = std::chrono::steady_clock::now();
	scene.set("face_enabled", true);
	scene.set("phone_enabled", true);
	EXPECT_TRUE(scene.until([](const look &l) {
		return l.moving >= HIDDEN && l.phone >= HIDDEN;
	}));
	long long back_on = ms_since(t);
	// From then on, not one processed frame shows them.
	for (int i = 0; i < 5; i++) {
		look l = look_at(scene.parent());
		if (l.kind != seen::processed)
			continue;
		EXPECT_GE(l.moving, HIDDEN);
		EXPECT_GE(l.kept, HIDDEN) << "nobody is kept yet";
		EXPECT_GE(l.phone, HIDDEN);
	}

	// A capture appends to "references"; the kept person shows soon.
	t = std::chrono::steady_clock::now();
	{
		data_ptr s(obs_source_get_settings(scene.fs.filter.get()));
		obs_data_array_t *list = obs_data_array_create();
		data_ptr item(obs_data_create());
		obs_data_set_string(item.get(), "value", refs.kept.c_str());
		obs_data_array_push_back(list, item.get());
		obs_data_set_array(s.get(), "references", list);
		obs_data_array_release(list);
		obs_source_update(scene.fs.filter.get(), s.get());
	}
	EXPECT_TRUE(scene.until([](const look &l) {
		return l.kept <= SHOWN && l.stranger >= HIDDEN;
	})) << ctl->std_err();
	long long kept_shown = ms_since(t);
	EXPECT_EQ(ctl->stop(SIGTERM), 0);
	printf("faces shown after %lld ms, phone number shown after %lld "
	       "ms, both hidden again after %lld ms, a new reference kept "
	       "after %lld ms\n",
	       faces_off, phones_off, back_on, kept_shown);
}

// The faces worker aborts on its 20th run, the phone numbers' hangs on
// its 3rd: frames keep coming, no processed frame shows a face or the
// phone number, and exact regions come back soon after the faults.
TEST(ControllerPeople, FaceAndPhoneWorkersThatAbortOrHangAreReplaced)
{
	if (!qm_scene::people_scene_available())
		GTEST_SKIP() << "opencv-doc or fonts-dejavu-core missing";
	photos refs;
	people_under_filter scene(refs.kept);
	temp_dir logs;
	auto ctl = start_controller(
		logs, {},
		{{"QM_WORKER_FAULT", "abort:20:faces,hang:3:phones"}});
	ASSERT_TRUE(scene.until([](const look &) { return true; }))
		<< ctl->std_err();
	auto both_told = [&] {
		std::string log = ctl->std_err();
		return log.find("faces: worker ended by signal 6") !=
			       std::string::npos &&
		       log.find("phones: worker missed its") !=
			       std::string::npos;
	};
	using clock_type = std::chrono::steady_clock;
	auto end = clock_type::now() + LONG * 2;
	std::optional<clock_type::time_point> told, black_since;
	clock_type::duration longest_black{};
	uint64_t first_after = 0;
	size_t processed = 0;
	// Until a frame fed after both faults comes back with exact
	// regions: the date beside the phone number sharp again.
	for (;;) {
		look l = look_at(scene.parent());
		auto now = clock_type::now();
		if (l.kind == seen::black) {
			black_since = black_since.value_or(now);
			longest_black =
				std::max(longest_black, now - *black_since);
		} else {
			black_since.reset();
		}
		if (l.kind == seen::processed) {
			processed++;
			EXPECT_GE(l.moving, HIDDEN) << "frame " << l.n;
			EXPECT_GE(l.stranger, HIDDEN) << "frame " << l.n;
			EXPECT_GE(l.phone, HIDDEN) << "frame " << l.n;
		}
		if (!told && both_told()) {
			told = now;
			first_after = scene.feed->frames_pushed();
		}
		if (told && l.kind == seen::processed && l.n >= first_after &&
		    l.date == 0.0)
			break;
		ASSERT_LT(now, end) << ctl->std_err();
	}
	double back_s =
		std::chrono::duration<double>(clock_type::now() - *told).count();
	printf("exact regions again %.2f s after both faults were told, "
	       "longest black %.2f s, %zu processed frames looked at\n",
	       back_s, std::chrono::duration<double>(longest_black).count(),
	       processed);
	// Quiet, 5 to 8 s: the delay (5 s) and a worker's restart. Beside
	// the test command's other tests on two cores it took 21 s once;
	// the bound catches a stage left in fallback, not a slow machine.
	EXPECT_LT(back_s, 30.0);
	EXPECT_LT(longest_black, seconds(2));

	EXPECT_EQ(ctl->stop(SIGTERM), 0);
	EXPECT_EQ(ctl->summary("restarts_faces"), 1);
	EXPECT_EQ(ctl->summary("restarts_phones"), 1);
	EXPECT_GE(ctl->summary("faces_failures"), 1);
	EXPECT_GE(ctl->summary("phones_failures"), 1);
	if (HasFailure())
		printf("%s", ctl->std_err().c_str());
}

TEST(ControllerPeople, AMissingOrAlteredModelMeansBlack)
{
	if (!qm_scene::people_scene_available())
		GTEST_SKIP() << "opencv-doc or fonts-dejavu-core missing";
	// The models of this build, the face detector's altered by a byte.
	temp_dir models;
	fs::path from =
		fs::path(qm_ctl::controller_path()).parent_path() / "models";
	for (const auto &e : fs::directory_iterator(from))
		fs::copy_file(e.path(), models.path / e.path().filename());
	{
		std::fstream f(models.path / "face-detector.onnx",
			       std::ios::in | std::ios::out | std::ios::binary);
		f.seekp(1000);
		f.put('\x5a');
	}
	people_under_filter scene;
	temp_dir logs;
	auto ctl =
		start_controller(logs, {"--model-dir", models.path.string()});

	// Nothing comes back while faces are on: black, not raw frames.
	auto start = std::chrono::steady_clock::now();
	while (std::chrono::steady_clock::now() - start < seconds(6))
		EXPECT_EQ(look_at(scene.parent()).kind, seen::black);
	EXPECT_TRUE(ctl->running());
	// Said at start; a busy machine may take a while to start.
	std::string err;
	EXPECT_TRUE(wait_until(
		[&] {
			err = ctl->std_err();
			return err.find("nothing is sent back: faces") !=
			       std::string::npos;
		},
		LONG, milliseconds(100)))
		<< "on the status line";
	EXPECT_NE(err.find("wrong checksum"), std::string::npos) << err;

	// With faces off, the other detectors work.
	scene.set("face_enabled", false);
	EXPECT_TRUE(scene.until([](const look &l) {
		return l.phone >= HIDDEN && l.moving == 0;
	})) << ctl->std_err();
	EXPECT_EQ(ctl->stop(SIGTERM), 0);
	// Said once in the log, however often the status line repeats it.
	err = ctl->std_err();
	size_t told = 0;
	for (size_t at = err.find("error: faces:"); at != std::string::npos;
	     at = err.find("error: faces:", at + 1))
		told++;
	EXPECT_EQ(told, 1u) << err;
}

int main(int argc, char **argv)
{
	return run_all_tests(argc, argv);
}
