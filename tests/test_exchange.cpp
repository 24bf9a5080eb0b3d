// The settings exchange with the controller and the reference capture, in
// the real host: the settings file mirror, its half-second poll, capture
// requests, the "capture" button and the failures the module reports.
// Runs against quilmar-direct.so loaded into a headless libobs; the tests
// play the controller by reading and rewriting settings.json.
#include "bytes.h"
#include "host.h"

#include <callback/signal.h>
#include <util/platform.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace qm_test;
namespace stdfs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char *REQUEST_WARNING = "Quilmar: no webcam frame available";
constexpr const char *DIR_ERROR = "Quilmar: cannot create settings directory";
constexpr const char *SAVE_ERROR = "Quilmar: cannot save settings";
constexpr size_t BMP_SIZE = 3686454;

// Set in a child process that runs with an over-long configuration folder:
// the folder's length in characters.
constexpr const char *LONG_DIR_ENV = "QM_EXCHANGE_DIR_LENGTH";
// The child creates this file when its test has run to the end.
constexpr const char *DONE_ENV = "QM_EXCHANGE_DONE_FILE";
// The configuration folder of such a child.
std::string long_config_dir;

// ---------------------------------------------------------------------------
// Files

// Identifies one version of a file: a rewrite through a temporary file
// always gives a new inode.
ino_t inode_of(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::vector<std::string> images_in(const std::string &dir)
{
	std::vector<std::string> images;
	for (auto &name : names_in(dir))
		images.push_back(dir + "/" + name);
	return images;
}

// ---------------------------------------------------------------------------
// Frame time: the host ticks every source with the time between video
// frames, so the module's poll follows the host's video clock.

double frame_seconds_since(uint64_t start)
{
	return double(obs_get_video_frame_time() - start) / 1e9;
}

// Checks a condition once per video frame on the graphics thread, after the
// sources' tick, and notes the frame time when it first holds.
struct frame_watch {
	std::function<bool()> condition;
	std::atomic<uint64_t> hit_time{0};

	static void check(void *p, uint32_t, uint32_t)
	{
		auto *watch = static_cast<frame_watch *>(p);
		if (!watch->hit_time && watch->condition())
			watch->hit_time = obs_get_video_frame_time();
	}

	explicit frame_watch(std::function<bool()> c) : condition(std::move(c))
	{
		obs_add_main_render_callback(check, this);
	}
	~frame_watch() { obs_remove_main_render_callback(check, this); }

	// Frame time from start until the condition held; negative when it
	// did not hold within the deadline.
	double seconds_after(uint64_t start,
			     std::chrono::milliseconds deadline = 20s)
	{
		if (!wait_until([&] { return hit_time != 0; }, deadline))
			return -1.0;
		return double(int64_t(hit_time - start)) / 1e9;
	}
};

// ---------------------------------------------------------------------------
// Fixture

// Each test works with one filter instance on a 640x480 pattern and a
// configuration folder of its own, and lists the module's log lines it
// expects; any other line from the module fails it.
class exchange_test : public ::testing::Test {
protected:
	filtered_source fs;
	std::vector<log_line> expected_log;

	void SetUp() override
	{
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
		clear_log();
	}

	void TearDown() override
	{
		stop_filter();
		auto lines = module_log_lines();
		EXPECT_EQ(lines.size(), expected_log.size())
			<< "module log lines: " << describe(lines);
		for (size_t i = 0; i < lines.size() && i < expected_log.size();
		     i++) {
			EXPECT_EQ(lines[i].level, expected_log[i].level)
				<< lines[i].text;
			EXPECT_EQ(lines[i].text, expected_log[i].text);
		}
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
	}

	static std::string describe(const std::vector<log_line> &lines)
	{
		std::string text;
		for (auto &line : lines)
			text += "\n  [" + std::to_string(line.level) + "] " +
				line.text;
		return text.empty() ? "none" : text;
	}

	void start_filter(obs_data_t *settings = nullptr)
	{
		fs = make_filtered(pattern_kind::plain, 640, 480, FILTER_ID,
				   settings);
		ASSERT_TRUE(fs.filter);
		ASSERT_NE(fs.data(), nullptr);
	}

	// Destroys the instance and lets a frame pass, so that no tick of it
	// is still running when the folder is cleaned.
	void stop_filter()
	{
		fs = filtered_source();
		run_on_graphics_thread([] {});
		run_on_graphics_thread([] {});
	}

	obs_source_t *filter() const { return fs.filter.get(); }

	// Renders the source once, so that the filter has a camera frame.
	void render_frame()
	{
		image shown = render_and_read(fs.parent.get());
		ASSERT_EQ(shown.width, 640u);
		ASSERT_GT(input_seq(fs.data()), 0u);
	}

	// Waits until the module has written the filter's settings to the
	// file, after a change that the host passes on with the next tick.
	bool file_mirrors_settings(const std::string &dir = module_config_dir())
	{
		return wait_until([&] {
			auto text = read_text(settings_path(dir));
			return text && *text == settings_json(filter());
		});
	}

	void expect_no_temporary_file()
	{
		EXPECT_FALSE(stdfs::exists(settings_path() + ".tmp"));
	}

	void expect_log(int level, const char *text, int times = 1)
	{
		for (int i = 0; i < times; i++)
			expected_log.push_back({level, text});
	}

	size_t lines_of(const char *text)
	{
		return log_lines_containing(text).size();
	}
};

using Mirror = exchange_test;
using Poll = exchange_test;
using Capture = exchange_test;
using Failures = exchange_test;

// Restores a changed part of the configuration home when it goes out of
// scope, so that later tests find it usable.
struct restore_path {
	std::string path;
	~restore_path()
	{
		std::error_code ignored;
		stdfs::remove_all(path, ignored);
	}
};

// The host's JSON of settings that hold every kind of value the page has.
data_ptr sample_settings()
{
	data_ptr settings(obs_data_create());
	obs_data_set_string(settings.get(), "reference", "/home/me/me.png");
	obs_data_set_double(settings.get(), "delay", 7.0);
	obs_data_set_int(settings.get(), "fps", 24);
	obs_data_set_bool(settings.get(), "qr_enabled", false);
	return settings;
}

} // namespace

// ---------------------------------------------------------------------------
// Mirror: every settings change reaches the file

TEST_F(Mirror, CreatingTheFilterWritesItsSettings)
{
	data_ptr settings = sample_settings();
	start_filter(settings.get());

	// create writes the file before it returns.
	auto text = read_text(settings_path());
	ASSERT_TRUE(text) << "no settings file after create";
	EXPECT_EQ(*text, settings_json(filter()));

	data_ptr file(obs_data_create_from_json(text->c_str()));
	ASSERT_TRUE(file);
	EXPECT_EQ(obs_data_get_int(file.get(), "fps"), 24);
	EXPECT_EQ(obs_data_get_double(file.get(), "delay"), 7.0);
	EXPECT_FALSE(obs_data_get_bool(file.get(), "qr_enabled"));
	EXPECT_STREQ(obs_data_get_string(file.get(), "reference"),
		     "/home/me/me.png");
	EXPECT_EQ(names_in(module_config_dir()),
		  std::vector<std::string>{"settings.json"});
}

TEST_F(Mirror, EveryChangeRewritesTheFile)
{
	start_filter();
	ino_t first = inode_of(settings_path());
	ASSERT_NE(first, 0u);

	change_settings(filter(), [](obs_data_t *d) {
		obs_data_set_int(d, "fps", 42);
		obs_data_set_bool(d, "phone_enabled", false);
	});
	ASSERT_TRUE(file_mirrors_settings());
	EXPECT_NE(inode_of(settings_path()), first);
	data_ptr file(obs_data_create_from_json(
		read_text(settings_path()).value_or("").c_str()));
	EXPECT_EQ(obs_data_get_int(file.get(), "fps"), 42);
	EXPECT_FALSE(obs_data_get_bool(file.get(), "phone_enabled"));
	expect_no_temporary_file();

	// A second change, to a list, is mirrored as well.
	change_settings(filter(), [](obs_data_t *d) {
		obs_data_array_t *refs = obs_data_array_create();
		obs_data_t *item = obs_data_create();
		obs_data_set_string(item, "value", "/home/me/friend.jpg");
		obs_data_array_push_back(refs, item);
		obs_data_release(item);
		obs_data_set_array(d, "references", refs);
		obs_data_array_release(refs);
	});
	ASSERT_TRUE(wait_until([&] {
		auto text = read_text(settings_path());
		return text && text->find("friend.jpg") != std::string::npos;
	}));
	ASSERT_TRUE(file_mirrors_settings());
	file.reset(obs_data_create_from_json(
		read_text(settings_path()).value_or("").c_str()));
	EXPECT_EQ(obs_data_get_int(file.get(), "fps"), 42);
	EXPECT_EQ(references_of(file.get()).values,
		  std::vector<std::string>{"/home/me/friend.jpg"});
	EXPECT_EQ(names_in(module_config_dir()),
		  std::vector<std::string>{"settings.json"});
}

// ---------------------------------------------------------------------------
// Poll: what the controller writes is applied within half a second

TEST_F(Poll, FileEqualToTheSettingsAppliesNothing)
{
	data_ptr settings = sample_settings();
	start_filter(settings.get());
	update_counter updates(filter());
	std::string before = settings_json(filter());
	ino_t inode = inode_of(settings_path());

	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(inode_of(settings_path()), inode);
	EXPECT_EQ(settings_json(filter()), before);

	// The same file written anew by the controller, laid out differently.
	std::string text = read_text(settings_path()).value_or("");
	std::string spaced;
	for (char c : text) {
		spaced += c;
		if (c == ',' || c == '{' || c == ':')
			spaced += "\n\t  ";
	}
	ASSERT_TRUE(controller_writes(" \n" + spaced + "\n\n"));
	inode = inode_of(settings_path());
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(inode_of(settings_path()), inode);
	EXPECT_EQ(settings_json(filter()), before);
}

TEST_F(Poll, ControllerChangeIsAppliedWithinHalfASecond)
{
	start_filter();
	obs_source_t *source = filter();
	frame_watch applied([source] {
		obs_data_t *live = obs_source_get_settings(source);
		bool done = obs_data_get_int(live, "fps") == 33 &&
			    !obs_data_get_bool(live, "face_enabled");
		obs_data_release(live);
		return done;
	});

	ASSERT_TRUE(controller_edits([](obs_data_t *d) {
		obs_data_set_int(d, "fps", 33);
		obs_data_set_bool(d, "face_enabled", false);
	}));
	uint64_t written = obs_get_video_frame_time();
	double seconds = applied.seconds_after(written);
	ASSERT_GE(seconds, 0.0) << "the change was never applied";
	// Half a second plus the frame that crosses it; the rest is slack
	// for a loaded machine, whose host drops frames and then ticks with
	// the time of several at once.
	EXPECT_LE(seconds, 3.0);
	RecordProperty("frame_seconds_to_apply", std::to_string(seconds));

	// The host passes the applied settings to update, which writes them
	// back.
	ASSERT_TRUE(file_mirrors_settings());
	data_ptr now = settings_copy(filter());
	EXPECT_EQ(obs_data_get_int(now.get(), "fps"), 33);
	EXPECT_FALSE(obs_data_get_bool(now.get(), "face_enabled"));
	// Values the controller left alone keep their defaults.
	EXPECT_FALSE(obs_data_has_user_value(now.get(), "qr_enabled"));
	expect_no_temporary_file();
}

TEST_F(Poll, UnknownKeysAreMergedAndWrittenBack)
{
	data_ptr settings = sample_settings();
	start_filter(settings.get());

	ASSERT_TRUE(controller_edits([](obs_data_t *d) {
		obs_data_set_string(d, "controller_model", "faces-v2");
		obs_data_t *state = obs_data_create();
		obs_data_set_int(state, "people", 3);
		obs_data_set_obj(d, "controller_state", state);
		obs_data_release(state);
	}));
	ASSERT_TRUE(wait_until([&] {
		data_ptr now = settings_copy(filter());
		return strcmp(obs_data_get_string(now.get(),
						  "controller_model"),
			      "faces-v2") == 0;
	}));
	ASSERT_TRUE(file_mirrors_settings());

	data_ptr now = settings_copy(filter());
	data_ptr state(obs_data_get_obj(now.get(), "controller_state"));
	ASSERT_TRUE(state);
	EXPECT_EQ(obs_data_get_int(state.get(), "people"), 3);
	// The filter's own values are kept.
	EXPECT_EQ(obs_data_get_int(now.get(), "fps"), 24);
	EXPECT_STREQ(obs_data_get_string(now.get(), "reference"),
		     "/home/me/me.png");

	data_ptr file(obs_data_create_from_json(
		read_text(settings_path()).value_or("").c_str()));
	EXPECT_STREQ(obs_data_get_string(file.get(), "controller_model"),
		     "faces-v2");
}

TEST_F(Poll, DeletedEmptyOrGarbageFileAppliesNothing)
{
	data_ptr settings = sample_settings();
	start_filter(settings.get());
	update_counter updates(filter());
	std::string before = settings_json(filter());

	ASSERT_EQ(unlink(settings_path().c_str()), 0);
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_FALSE(stdfs::exists(settings_path()));

	const char *bad_files[] = {
		"",
		"this is not JSON",
		"{\"fps\": 60, \"qr_enabled\": tru",
		"\x01\x02\xff\xfe",
	};
	for (const char *bad : bad_files) {
		SCOPED_TRACE(std::string("file: ") + bad);
		ASSERT_TRUE(controller_writes(bad));
		ASSERT_TRUE(let_frame_time_pass());
		EXPECT_EQ(read_text(settings_path()).value_or("?"), bad);
	}
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(filter()), before);

	// The filter keeps working: the next change writes the file again.
	change_settings(filter(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 10); });
	EXPECT_TRUE(file_mirrors_settings());
}

TEST_F(Poll, WhiteSpaceAndKeyOrderNeverChangeTheResult)
{
	data_ptr settings = sample_settings();
	start_filter(settings.get());
	// Settings as the host holds them once the controller's values for
	// fps and phone_enabled are in.
	change_settings(filter(), [](obs_data_t *d) {
		obs_data_set_int(d, "fps", 12);
		obs_data_set_bool(d, "phone_enabled", false);
	});
	ASSERT_TRUE(file_mirrors_settings());
	std::string wanted = settings_json(filter());
	change_settings(filter(), [](obs_data_t *d) {
		obs_data_set_int(d, "fps", 24);
		obs_data_set_bool(d, "phone_enabled", true);
	});
	ASSERT_TRUE(file_mirrors_settings());

	// The same change, written with the keys in reverse order and in two
	// layouts.
	const char *layouts[] = {
		"{\"phone_enabled\":false,\"fps\":12,\"qr_enabled\":false,"
		"\"delay\":7.0,\"reference\":\"/home/me/me.png\"}",
		"\n\n  {   \"phone_enabled\" :\tfalse ,\r\n \"fps\"\n:\n12,"
		"\"qr_enabled\"   : false,\n\n\"delay\": 7.0,  "
		"\"reference\" : \"/home/me/me.png\"  }   \n",
	};
	for (const char *layout : layouts) {
		SCOPED_TRACE(layout);
		ASSERT_TRUE(controller_writes(layout));
		ASSERT_TRUE(wait_until([&] {
			return settings_json(filter()) == wanted;
		})) << settings_json(filter());
		ASSERT_TRUE(file_mirrors_settings());
		ASSERT_TRUE(let_frame_time_pass());
		EXPECT_EQ(settings_json(filter()), wanted);
		// Back to the start for the next layout.
		change_settings(filter(), [](obs_data_t *d) {
			obs_data_set_int(d, "fps", 24);
			obs_data_set_bool(d, "phone_enabled", true);
		});
		ASSERT_TRUE(file_mirrors_settings());
		ASSERT_NE(settings_json(filter()), wanted);
	}
}

// ---------------------------------------------------------------------------
// Capture: requests from the controller and the button

namespace {

// Checks that path is one reference image in the faces folder holding
// exactly frame.
void expect_image_of_frame(const std::string &path, const image &frame,
			   const std::string &dir = module_config_dir())
{
	static const std::regex name("face-[0-9]+\\.bmp");
	std::string folder = faces_dir(dir) + "/";
	ASSERT_EQ(path.compare(0, folder.size(), folder), 0) << path;
	EXPECT_TRUE(std::regex_match(path.substr(folder.size()), name)) << path;

	struct stat st;
	ASSERT_EQ(stat(path.c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(size_t(st.st_size), BMP_SIZE);

	std::vector<uint8_t> bmp = qm_bytes::read_bytes(path);
	ASSERT_EQ(bmp.size(), BMP_SIZE);
	EXPECT_EQ(qm_bytes::bmp_header_mismatch(bmp.data()), "");

	ASSERT_EQ(frame.pixels.size(), size_t(3686400));
	EXPECT_TRUE(std::equal(frame.pixels.begin(), frame.pixels.end(),
			       bmp.begin() + 54))
		<< "the image's pixels are not the captured frame";
}

void set_request(obs_data_t *d)
{
	obs_data_set_string(d, "capture_request", "capture-1");
}

} // namespace

TEST_F(Capture, RequestInTheFileSavesTheCurrentFrameOnce)
{
	start_filter();
	render_frame();
	uint64_t seq = 0;
	image frame = copy_input_frame(fs.data(), &seq);
	ASSERT_EQ(pattern_mismatch(frame), "") << "captured frame";

	ASSERT_TRUE(controller_edits(set_request));
	ASSERT_TRUE(wait_until([&] {
		return images_in(faces_dir()).size() == 1;
	})) << "no reference image";
	ASSERT_TRUE(file_mirrors_settings());

	std::string path = images_in(faces_dir())[0];
	// Nothing rendered since, so the frame is the one captured.
	ASSERT_EQ(input_seq(fs.data()), seq);
	expect_image_of_frame(path, frame);

	data_ptr now = settings_copy(filter());
	EXPECT_STREQ(obs_data_get_string(now.get(), "capture_request"), "");
	EXPECT_EQ(references_of(now.get()).values,
		  std::vector<std::string>{path});
	data_ptr file(obs_data_create_from_json(
		read_text(settings_path()).value_or("").c_str()));
	EXPECT_STREQ(obs_data_get_string(file.get(), "capture_request"), "");
	EXPECT_EQ(references_of(file.get()).values,
		  std::vector<std::string>{path});

	// One request, one capture, however often the module polls.
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(images_in(faces_dir()).size(), 1u);
	EXPECT_EQ(references_of(settings_copy(filter()).get()).values.size(),
		  1u);
	EXPECT_EQ(names_in(module_config_dir()),
		  (std::vector<std::string>{"faces", "settings.json"}));
}

TEST_F(Capture, RequestStandingInTheFiltersOwnSettingsIsConsumedOnce)
{
	start_filter();
	render_frame();
	image frame = copy_input_frame(fs.data());

	// Set by a script or an imported scene rather than by the controller:
	// the file and the settings agree on it.
	change_settings(filter(), set_request);
	ASSERT_TRUE(wait_until([&] {
		return images_in(faces_dir()).size() == 1;
	})) << "the standing request was never carried out";
	ASSERT_TRUE(wait_until([&] {
		data_ptr now = settings_copy(filter());
		return strcmp(obs_data_get_string(now.get(), "capture_request"),
			      "") == 0 &&
		       references_of(now.get()).values.size() == 1;
	}));
	ASSERT_TRUE(file_mirrors_settings());
	expect_image_of_frame(images_in(faces_dir())[0], frame);

	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(images_in(faces_dir()).size(), 1u);
	data_ptr now = settings_copy(filter());
	EXPECT_EQ(references_of(now.get()).values, images_in(faces_dir()));
}

TEST_F(Capture, BeforeTheFirstFrameWarnsAndSavesNothing)
{
	data_ptr settings = sample_settings();
	start_filter(settings.get());
	ASSERT_EQ(input_seq(fs.data()), 0u);
	std::string before = settings_json(filter());

	ASSERT_TRUE(controller_edits(set_request));
	ASSERT_TRUE(wait_until([&] { return lines_of(REQUEST_WARNING) > 0; }))
		<< "no warning";
	expect_log(LOG_WARNING, REQUEST_WARNING);

	// The request is consumed all the same, and never retried.
	ASSERT_TRUE(file_mirrors_settings());
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(lines_of(REQUEST_WARNING), 1u);
	EXPECT_TRUE(stdfs::is_directory(faces_dir()));
	EXPECT_TRUE(images_in(faces_dir()).empty());

	data_ptr now = settings_copy(filter());
	EXPECT_STREQ(obs_data_get_string(now.get(), "capture_request"), "");
	EXPECT_FALSE(obs_data_has_user_value(now.get(), "references"));
	obs_data_erase(now.get(), "capture_request");
	EXPECT_EQ(obs_data_get_json(now.get()), before);
}

TEST_F(Capture, EarlierReferencesStayInOrder)
{
	// Entries as the property page's list makes them, and one from a
	// hand-edited scene.
	data_ptr settings(obs_data_create());
	obs_data_array_t *refs = obs_data_array_create();
	const char *by_hand[] = {
		"{\"value\":\"/home/me/a.png\",\"selected\":false,\"hidden\":false}",
		"{\"value\":\"C:\\\\Users\\\\me\\\\b.jpg\"}",
		"{\"value\":\"/home/me/c.webp\",\"selected\":true,\"hidden\":true}",
	};
	std::vector<std::string> earlier_items;
	for (const char *json : by_hand) {
		obs_data_t *item = obs_data_create_from_json(json);
		earlier_items.push_back(obs_data_get_json(item));
		obs_data_array_push_back(refs, item);
		obs_data_release(item);
	}
	obs_data_set_array(settings.get(), "references", refs);
	obs_data_array_release(refs);
	start_filter(settings.get());
	render_frame();

	ASSERT_TRUE(controller_edits(set_request));
	ASSERT_TRUE(
		wait_until([&] { return images_in(faces_dir()).size() == 1; }));
	ASSERT_TRUE(wait_until([&] {
		data_ptr now = settings_copy(filter());
		return references_of(now.get()).values.size() == 4;
	}));
	std::string first = images_in(faces_dir())[0];

	// A second capture, from the button, appends behind it.
	properties_ptr props(obs_source_properties(filter()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	ASSERT_NE(button, nullptr);
	EXPECT_TRUE(obs_property_button_clicked(button, filter()));
	ASSERT_EQ(images_in(faces_dir()).size(), 2u);
	std::string second;
	for (auto &path : images_in(faces_dir()))
		if (path != first)
			second = path;

	ASSERT_TRUE(file_mirrors_settings());
	for (bool from_file : {false, true}) {
		SCOPED_TRACE(from_file ? "settings file" : "filter settings");
		data_ptr now = from_file ? data_ptr(obs_data_create_from_json(
						   read_text(settings_path())
							   .value_or("")
							   .c_str()))
					 : settings_copy(filter());
		reference_list list = references_of(now.get());
		ASSERT_EQ(list.items.size(), 5u);
		for (size_t i = 0; i < earlier_items.size(); i++)
			EXPECT_EQ(list.items[i], earlier_items[i]);
		EXPECT_EQ(list.values[3], first);
		EXPECT_EQ(list.values[4], second);
	}
}

TEST_F(Capture, ButtonCapturesOnceForEachPress)
{
	start_filter();
	render_frame();
	image frame = copy_input_frame(fs.data());
	properties_ptr props(obs_source_properties(filter()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	ASSERT_NE(button, nullptr);
	ASSERT_EQ(obs_property_get_type(button), OBS_PROPERTY_BUTTON);

	// True tells the host to refresh the page.
	EXPECT_TRUE(obs_property_button_clicked(button, filter()));
	auto images = images_in(faces_dir());
	ASSERT_EQ(images.size(), 1u);
	expect_image_of_frame(images[0], frame);
	EXPECT_EQ(references_of(settings_copy(filter()).get()).values, images);
	ASSERT_TRUE(file_mirrors_settings());

	// A later press captures the frame rendered since.
	render_frame();
	EXPECT_TRUE(obs_property_button_clicked(button, filter()));
	ASSERT_TRUE(file_mirrors_settings());
	ASSERT_TRUE(let_frame_time_pass());
	images = images_in(faces_dir());
	ASSERT_EQ(images.size(), 2u);
	EXPECT_EQ(references_of(settings_copy(filter()).get()).values.size(),
		  2u);
	expect_no_temporary_file();
}

TEST_F(Capture, ButtonWithoutAnInstanceTouchesNothing)
{
	start_filter();
	render_frame();
	update_counter updates(filter());
	ino_t inode = inode_of(settings_path());
	std::string before = settings_json(filter());

	properties_ptr props(obs_get_source_properties(FILTER_ID));
	ASSERT_TRUE(props);
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	ASSERT_NE(button, nullptr);
	EXPECT_FALSE(obs_property_button_clicked(button, nullptr));

	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_FALSE(stdfs::exists(faces_dir()));
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(inode_of(settings_path()), inode);
	EXPECT_EQ(settings_json(filter()), before);
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(Failures, FolderThatCannotBeCreatedIsReportedForEachAttempt)
{
	// A file where the folder's parent belongs.
	std::string parent = config_home() + "/obs-studio/plugin_config";
	{
		std::error_code ignored;
		stdfs::remove_all(parent, ignored);
	}
	restore_path restore{parent};
	stdfs::create_directories(config_home() + "/obs-studio");
	ASSERT_TRUE(write_text(parent, "in the way"));

	start_filter();
	EXPECT_EQ(lines_of(DIR_ERROR), 1u) << "create's own update";
	for (int fps = 20; fps <= 21; fps++) {
		change_settings(filter(), [fps](obs_data_t *d) {
			obs_data_set_int(d, "fps", fps);
		});
		size_t wanted = size_t(fps - 18);
		EXPECT_TRUE(wait_until(
			[&] { return lines_of(DIR_ERROR) >= wanted; }));
	}
	expect_log(LOG_ERROR, DIR_ERROR, 3);

	// The poll and the button give up quietly, and the filter keeps
	// drawing black over its source.
	image shown = render_and_read(fs.parent.get());
	EXPECT_EQ(pattern_mismatch(copy_input_frame(fs.data())), "");
	EXPECT_TRUE(is_opaque_black(shown));
	properties_ptr props(obs_source_properties(filter()));
	EXPECT_FALSE(obs_property_button_clicked(
		obs_properties_get(props.get(), "capture"), filter()));
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(lines_of(DIR_ERROR), 3u);
	EXPECT_EQ(read_text(parent).value_or(""), "in the way");

	// Once the way is clear, the next change writes the file.
	ASSERT_EQ(unlink(parent.c_str()), 0);
	change_settings(filter(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 30); });
	EXPECT_TRUE(file_mirrors_settings());
}

TEST_F(Failures, FileThatCannotBeSavedIsReportedForEachAttempt)
{
	start_filter();
	// Without a file the poll has nothing to apply, so every update
	// comes from a change made here.
	ASSERT_EQ(unlink(settings_path().c_str()), 0);
	// The temporary file cannot be opened for writing when a folder has
	// its name (a read-only folder would not stop root).
	std::string temp = settings_path() + ".tmp";
	ASSERT_TRUE(stdfs::create_directory(temp));

	for (int fps = 20; fps <= 21; fps++) {
		change_settings(filter(), [fps](obs_data_t *d) {
			obs_data_set_int(d, "fps", fps);
		});
		size_t wanted = size_t(fps - 19);
		EXPECT_TRUE(wait_until(
			[&] { return lines_of(SAVE_ERROR) >= wanted; }));
	}
	expect_log(LOG_ERROR, SAVE_ERROR, 2);
	image shown = render_and_read(fs.parent.get());
	EXPECT_TRUE(is_opaque_black(shown));
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(lines_of(SAVE_ERROR), 2u);
	EXPECT_FALSE(stdfs::exists(settings_path()));
	EXPECT_EQ(names_in(module_config_dir()),
		  std::vector<std::string>{"settings.json.tmp"});

	ASSERT_TRUE(stdfs::remove(temp));
	change_settings(filter(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 22); });
	EXPECT_TRUE(file_mirrors_settings());
	expect_no_temporary_file();
}

TEST_F(Failures, AnUnsavedChangeIsNotUndoneByTheOlderFile)
{
	start_filter();
	change_settings(filter(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 20); });
	ASSERT_TRUE(file_mirrors_settings());
	std::string temp = settings_path() + ".tmp";
	ASSERT_TRUE(stdfs::create_directory(temp));

	// The change cannot reach the file, which still says 20.
	change_settings(filter(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 30); });
	EXPECT_TRUE(wait_until([&] { return lines_of(SAVE_ERROR) >= 1; }));
	ASSERT_TRUE(let_frame_time_pass());
	EXPECT_EQ(obs_data_get_int(settings_copy(filter()).get(), "fps"), 30);
	EXPECT_EQ(lines_of(SAVE_ERROR), 1u);

	// Once saving works again the poll follows the file as before.
	ASSERT_TRUE(stdfs::remove(temp));
	change_settings(filter(),
			[](obs_data_t *d) { obs_data_set_int(d, "fps", 31); });
	EXPECT_TRUE(file_mirrors_settings());
	expect_log(LOG_ERROR, SAVE_ERROR, 1);
}

TEST_F(Failures, FacesFolderThatCannotBeCreatedFailsQuietly)
{
	start_filter();
	render_frame();
	ASSERT_TRUE(write_text(faces_dir(), "in the way"));
	update_counter updates(filter());
	std::string before = settings_json(filter());

	properties_ptr props(obs_source_properties(filter()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	EXPECT_FALSE(obs_property_button_clicked(button, filter()));
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(filter()), before);
	EXPECT_EQ(read_text(faces_dir()).value_or(""), "in the way");
}

TEST_F(Failures, FailedImageWriteLeavesNoFile)
{
	start_filter();
	render_frame();
	update_counter updates(filter());
	std::string before = settings_json(filter());
	properties_ptr props(obs_source_properties(filter()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	ASSERT_TRUE(stdfs::create_directories(faces_dir()));

	// Files of this process may grow to 1 MB for the press: the image's
	// pixels cannot all be written.
	struct sigaction ignore = {}, old_action = {};
	ignore.sa_handler = SIG_IGN;
	ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
	struct rlimit old_limit;
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
	struct rlimit small = old_limit;
	small.rlim_cur = 1 << 20;
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
	bool added = obs_property_button_clicked(button, filter());
	setrlimit(RLIMIT_FSIZE, &old_limit);
	sigaction(SIGXFSZ, &old_action, nullptr);

	EXPECT_FALSE(added);
	EXPECT_TRUE(images_in(faces_dir()).empty());
	EXPECT_EQ(updates.count, 0);
	EXPECT_EQ(settings_json(filter()), before);

	// With room again, the next press works.
	EXPECT_TRUE(obs_property_button_clicked(button, filter()));
	EXPECT_EQ(images_in(faces_dir()).size(), 1u);
}

// Over-long configuration folders: the folder comes from the environment,
// which the host fixes for the whole process, so each length runs in a
// process of its own.
TEST_F(Failures, OverLongPathsGiveUpQuietly)
{
	// 4096: the folder itself does not fit; 4095: the folder fits but
	// not settings.json in it; 3072: the file is written but the poll
	// and the capture give up; 3071: everything works.
	for (int length : {4096, 4095, 3072, 3071}) {
		SCOPED_TRACE("configuration folder of " +
			     std::to_string(length) + " characters");
		std::string done =
			config_home() + "/done-" + std::to_string(length);
		std::string length_env = std::string(LONG_DIR_ENV) + "=" +
					 std::to_string(length);
		std::string done_env = std::string(DONE_ENV) + "=" + done;
		EXPECT_EQ(
			run_self({"--gtest_filter=DISABLED_LongConfigFolder.*",
				  "--gtest_also_run_disabled_tests"},
				 {length_env, done_env}, 120s),
			"");
		EXPECT_TRUE(stdfs::exists(done))
			<< "the child's test did not run";
	}
}

// Runs only in the child processes started above, with the module's
// folder long_config_dir.
using DISABLED_LongConfigFolder = exchange_test;

TEST_F(DISABLED_LongConfigFolder, GivesUpQuietly)
{
	ASSERT_FALSE(long_config_dir.empty())
		<< "runs only in a child of OverLongPathsGiveUpQuietly";
	const std::string &dir = long_config_dir;
	size_t length = dir.size();
	data_ptr settings = sample_settings();
	start_filter(settings.get());
	render_frame();
	image frame = copy_input_frame(fs.data());
	properties_ptr props(obs_source_properties(filter()));
	obs_property_t *button = obs_properties_get(props.get(), "capture");
	std::error_code ec;

	if (length > 4095) {
		// Not even the first folder of the way is made.
		EXPECT_FALSE(stdfs::exists(
			config_home() + "/" + std::string(200, 'x'), ec));
	} else if (length + strlen("/settings.json") > 4095) {
		EXPECT_TRUE(stdfs::is_directory(dir, ec));
		EXPECT_TRUE(names_in(dir).empty());
	} else {
		ASSERT_TRUE(file_mirrors_settings(dir));
		ASSERT_TRUE(controller_edits(
			[](obs_data_t *d) {
				obs_data_set_int(d, "fps", 33);
				set_request(d);
			},
			dir));
	}

	if (length > 3071) {
		EXPECT_FALSE(obs_property_button_clicked(button, filter()));
		ASSERT_TRUE(let_frame_time_pass());
		data_ptr now = settings_copy(filter());
		EXPECT_EQ(obs_data_get_int(now.get(), "fps"), 24);
		EXPECT_FALSE(obs_data_has_user_value(now.get(), "references"));
		EXPECT_FALSE(stdfs::exists(faces_dir(dir), ec));
	} else {
		ASSERT_TRUE(wait_until(
			[&] { return images_in(faces_dir(dir)).size() == 1; }));
		ASSERT_TRUE(wait_until([&] {
			data_ptr now = settings_copy(filter());
			return references_of(now.get()).values.size() == 1;
		}));
		ASSERT_TRUE(file_mirrors_settings(dir));
		std::string path = images_in(faces_dir(dir))[0];
		expect_image_of_frame(path, frame, dir);
		data_ptr now = settings_copy(filter());
		EXPECT_EQ(obs_data_get_int(now.get(), "fps"), 33);
		EXPECT_EQ(references_of(now.get()).values,
			  std::vector<std::string>{path});
	}
	// The filter keeps drawing.
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));

	const char *done = getenv(DONE_ENV);
	if (done && !HasFailure())
		write_text(done, "done");
}

namespace {

// The configuration home of a child: config_home() followed by as many
// folders as make the module's folder exactly length characters long.
std::string long_config_home(size_t length)
{
	const size_t tail = strlen("/obs-studio/plugin_config/quilmar-direct");
	std::string home = config_home();
	size_t remaining = length - tail - home.size();
	while (remaining > 0) {
		size_t part = std::min<size_t>(200, remaining - 1);
		if (remaining - (part + 1) == 1)
			part--;
		home += "/" + std::string(part, 'x');
		remaining -= part + 1;
	}
	return home;
}

} // namespace

int main(int argc, char **argv)
{
	host_options options;
	if (const char *length = getenv(LONG_DIR_ENV)) {
		size_t wanted = size_t(atoi(length));
		// No instance exists yet, so no module thread reads the
		// environment while it changes.
		options.after_startup = [wanted] {
			std::string home = long_config_home(wanted);
			setenv("XDG_CONFIG_HOME", home.c_str(), 1);
			long_config_dir =
				home +
				"/obs-studio/plugin_config/quilmar-direct";
		};
	}
	return run_all_tests(argc, argv, options);
}
