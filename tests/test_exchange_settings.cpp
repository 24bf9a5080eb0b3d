// The settings exchange with the controller and the reference capture, in
// the real host: the settings file mirror, its half-second poll, capture
// requests and the "capture" button. Runs against quilmar-direct.so loaded
// into a headless libobs; the tests play the controller by reading and
// rewriting settings.json. The failures the module reports are in
// test_exchange_failures.cpp.
#include "exchange_fixture.h"

#include <callback/signal.h>
#include <util/platform.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace qm_test;
using namespace qm_exchange;
using namespace std::chrono_literals;

namespace {

constexpr const char *REQUEST_WARNING = "Quilmar: no webcam frame available";

// ---------------------------------------------------------------------------
// Files

// Identifies one version of a file: a rewrite through a temporary file
// always gives a new inode.
ino_t inode_of(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
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

using Mirror = exchange_test;
using Poll = exchange_test;
using Capture = exchange_test;

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
