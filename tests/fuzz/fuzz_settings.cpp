// Fuzzes the shared settings file as the half-second poll reads and
// applies it: the input is written as settings.json in the configuration
// folder, and tick polls it for an instance whose source is a fresh
// private source of a minimal type registered here.
#include "fuzz_common.h"
#include "direct-filter.h"
#include "exchange.h"

#include <obs.h>
#include <util/bmem.h>
#include <util/platform.h>

#include <dirent.h>

#include <atomic>
#include <cstring>

namespace {

const char *const TEST_SOURCE_ID = "qm_fuzz_settings_source";
const char *const NO_FRAME_WARNING = "Quilmar: no webcam frame available";

std::string config_dir;
std::string settings_path;
std::string faces_dir;
direct_filter_data *instance;
std::atomic<int> no_frame_warnings{0};

// Counts the module's warning for a capture without a camera frame, and
// drops everything else.
void count_warnings(int level, const char *format, va_list, void *)
{
	if (level == LOG_WARNING && strcmp(format, NO_FRAME_WARNING) == 0)
		no_frame_warnings++;
}

const char *source_name(void *)
{
	return "Quilmar fuzz source";
}

void *source_create(obs_data_t *, obs_source_t *source)
{
	return source;
}

void source_destroy(void *) {}

void register_test_source()
{
	obs_source_info info = {};
	info.id = TEST_SOURCE_ID;
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = source_name;
	info.create = source_create;
	info.destroy = source_destroy;
	// The filter's own defaults, so that the settings look as the
	// filter's do.
	info.get_defaults = filter.get_defaults;
	obs_register_source(&info);
}

bool folder_is_empty(const std::string &path)
{
	DIR *dir = opendir(path.c_str());
	if (!dir)
		return true;
	bool empty = true;
	while (dirent *entry = readdir(dir))
		if (strcmp(entry->d_name, ".") != 0 &&
		    strcmp(entry->d_name, "..") != 0)
			empty = false;
	closedir(dir);
	return empty;
}

// The settings a poll must leave behind when it starts from empty
// settings: the file's object as the host reads it, with a capture
// request cleared. Null when the host cannot read the file.
obs_data_t *expected_settings(bool *requested)
{
	obs_data_t *file =
		obs_data_create_from_json_file(settings_path.c_str());
	*requested = false;
	if (!file)
		return nullptr;
	const char *request = obs_data_get_string(file, S_CAPTURE_REQUEST);
	if (request && *request) {
		*requested = true;
		obs_data_set_string(file, S_CAPTURE_REQUEST, "");
	}
	return file;
}

// Compares JSON texts of private copies, as the poll itself does.
std::string json_of(obs_data_t *data)
{
	obs_data_t *copy = obs_data_create();
	obs_data_apply(copy, data);
	const char *json = obs_data_get_json(copy);
	std::string text = json ? json : "";
	obs_data_release(copy);
	return text;
}

// libobs's own threads allocate now and then, so the count may be off for
// a moment; a leak stays.
bool allocations_back_to(long count)
{
	for (int waited_ms = 0; waited_ms < 2000; waited_ms++) {
		if (bnum_allocs() <= count)
			return true;
		os_sleep_ms(1);
	}
	return false;
}

} // namespace

static void poll_file(const uint8_t *data, size_t size, bool count_allocs);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// The configuration folder comes from the environment, so it is fixed
	// before anything reads it.
	std::string home = qm_fuzz::make_temp_dir("settings");
	setenv("XDG_CONFIG_HOME", home.c_str(), 1);
	unsetenv("APPDATA");
	base_set_log_handler(count_warnings, nullptr);

	char dir[3072];
	if (!qm_config_dir(dir, sizeof(dir)) || os_mkdirs(dir) == MKDIR_ERROR)
		qm_fuzz::fail("cannot create the configuration folder");
	config_dir = dir;
	settings_path = config_dir + "/settings.json";
	faces_dir = config_dir + "/faces";

	if (!obs_startup("en-US", nullptr, nullptr))
		qm_fuzz::fail("obs_startup failed");
	register_test_source();

	instance = new direct_filter_data;
	if (!qm_alloc_frames(instance))
		qm_fuzz::fail("cannot allocate the frames");

	// libobs allocates a few things once, on first use (a source of the
	// type, a JSON parse error); after these polls every further one must
	// leave as many allocations as it found.
	for (const char *warm_up : {"{\"capture_request\": \"warm-up\"}", "{"})
		poll_file(reinterpret_cast<const uint8_t *>(warm_up),
			  strlen(warm_up), false);
	return 0;
}

static void poll_file(const uint8_t *data, size_t size, bool count_allocs)
{
	qm_fuzz::write_file(settings_path, data, size);
	long allocs_before = bnum_allocs();
	bool requested;
	obs_data_t *expected = expected_settings(&requested);

	obs_source_t *source =
		obs_source_create_private(TEST_SOURCE_ID, "fuzz", nullptr);
	qm_fuzz::check(source != nullptr, "cannot create the test source");
	instance->source = source;
	instance->tick_accum = 0.0f;
	no_frame_warnings = 0;

	tick(instance, 0.5f);

	obs_data_t *settings = obs_source_get_settings(source);
	const char *left = obs_data_get_string(settings, S_CAPTURE_REQUEST);
	qm_fuzz::check(!left || !*left,
		       "a capture request survived into the settings");
	if (expected)
		qm_fuzz::check(json_of(settings) == json_of(expected),
			       "the poll did not apply the file's settings");
	else
		qm_fuzz::check(json_of(settings) == "{}",
			       "an unreadable file changed the settings");
	qm_fuzz::check(no_frame_warnings == (requested ? 1 : 0),
		       "not exactly one capture attempt per request");
	qm_fuzz::check(folder_is_empty(faces_dir),
		       "a failed capture left a file behind");

	obs_data_release(settings);
	obs_data_release(expected);
	instance->source = nullptr;
	obs_source_release(source);
	qm_fuzz::check(!count_allocs || allocations_back_to(allocs_before),
		       "libobs objects left allocated after the poll");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	poll_file(data, size, true);
	return 0;
}
