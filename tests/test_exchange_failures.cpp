// The failures the module reports in the settings exchange and the
// reference capture, in the real host: folders and files that cannot be
// written, an image write cut short and over-long configuration folders.
// Runs against quilmar-direct.so loaded into a headless libobs; the tests
// play the controller by reading and rewriting settings.json. The exchange
// itself is in test_exchange_settings.cpp; the program's main is here.
#include "exchange_fixture.h"

#include <callback/signal.h>
#include <util/platform.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using namespace qm_test;
using namespace qm_exchange;
using namespace std::chrono_literals;

namespace {

constexpr const char *DIR_ERROR = "Quilmar: cannot create settings directory";
constexpr const char *SAVE_ERROR = "Quilmar: cannot save settings";

// Set in a child process that runs with an over-long configuration folder:
// the folder's length in characters.
constexpr const char *LONG_DIR_ENV = "QM_EXCHANGE_DIR_LENGTH";
// The child creates this file when its test has run to the end.
constexpr const char *DONE_ENV = "QM_EXCHANGE_DONE_FILE";
// The configuration folder of such a child.
std::string long_config_dir;

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

using Failures = exchange_test;

} // namespace

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
