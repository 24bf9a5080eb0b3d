// The module inside a Windows build of libobs, with the fake controller on
// loopback: what a user of the Windows DLL relies on, and what differs
// there (APPDATA, backslash-joined endpoint files, Winsock time-outs,
// binary image files).
#include "environment.h"
#include "fake_controller.h"
#include "platform.h"
#include "wide_files.h"

#include <util/platform.h>

#include <io.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace qm_wintest;
using namespace std::chrono_literals;
using fake::endpoint;

namespace {

constexpr auto DEADLINE = std::chrono::seconds(20);

fake::bytes pixels_of(const image &img)
{
	return fake::bytes(img.pixels.begin(), img.pixels.end());
}

std::string settings_path()
{
	return module_config_dir() + "/settings.json";
}

// The finished images in a folder: names ending in .bmp.
std::vector<std::string> images_in(const std::string &dir)
{
	std::vector<std::string> images;
	for (auto &name : names_in(dir))
		if (name.size() > 4 &&
		    name.compare(name.size() - 4, 4, ".bmp") == 0)
			images.push_back(name);
	return images;
}

data_ptr settings_of(obs_source_t *source)
{
	return data_ptr(obs_source_get_settings(source));
}

// Rewrites the settings file as the controller does: a temporary file
// put in its place.
bool controller_writes(const std::string &text,
		       const std::string &path = settings_path())
{
	std::wstring temp = qm_wide::widen(path + ".ctl");
	return qm_wide::write_text(temp, text) &&
	       qm_wide::replace_with(temp, qm_wide::widen(path));
}

int64_t fps_in_file(const std::string &path)
{
	data_ptr file(obs_data_create_from_json(
		qm_wide::read_text(qm_wide::widen(path)).value_or("{}").c_str()));
	return file ? obs_data_get_int(file.get(), "fps") : -1;
}

// Every test starts with an empty log and ends without a warning or error
// from anyone, without a line from the module, and with every worker it
// started ended.
class windows_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_log();
		threads_at_start = thread_count();
		ctl = std::make_unique<fake::controller>(module_config_dir());
	}

	void TearDown() override
	{
		// Closing the controller first wakes the receiver at once.
		ctl->stop();
		fs = filtered_source();
		ctl.reset();
		EXPECT_TRUE(wait_for_thread_count(threads_at_start, DEADLINE))
			<< thread_count() << " threads, " << threads_at_start
			<< " at the start";
		for (auto &line : log_lines())
			EXPECT_GT(line.level, LOG_WARNING)
				<< "unexpected log line: " << line.text;
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
	}

	void make_filter(uint32_t width = FRAME_WIDTH,
			 uint32_t height = FRAME_HEIGHT,
			 obs_data_t *settings = nullptr)
	{
		fs = make_filtered(pattern_kind::plain, width, height,
				   FILTER_ID, settings);
		ASSERT_NE(fs.data(), nullptr);
	}

	image render() { return render_and_read(fs.parent.get()); }

	bool filter_fps_becomes(int64_t fps)
	{
		return wait_until(
			[&] {
				return obs_data_get_int(
					       settings_of(fs.filter.get())
						       .get(),
					       "fps") == fps;
			},
			DEADLINE);
	}

	bool render_until(const std::function<bool(const image &)> &cond)
	{
		return wait_until([&] { return cond(render()); }, DEADLINE);
	}

	static bool shows_processed(const image &img)
	{
		return pattern_mismatch(img, PROCESSED_PALETTE).empty();
	}

	std::unique_ptr<fake::controller> ctl;
	filtered_source fs;
	int threads_at_start = 0;
};

using Registration = windows_test;
using Link = windows_test;
using Exchange = windows_test;

} // namespace

TEST_F(Registration, FilterTypeAndDefaults)
{
	EXPECT_STREQ(obs_source_get_display_name(FILTER_ID),
		     "Quilmar direct filter (experimental)");
	EXPECT_EQ(obs_get_source_output_flags(FILTER_ID), 9u);

	data_ptr defaults(obs_get_source_defaults(FILTER_ID));
	ASSERT_TRUE(defaults);
	EXPECT_EQ(obs_data_get_default_double(defaults.get(), "delay"), 5.0);
	EXPECT_EQ(obs_data_get_default_int(defaults.get(), "fps"), 15);
	for (const char *key : {"worker_enabled", "face_enabled", "qr_enabled",
				"phone_enabled"}) {
		SCOPED_TRACE(key);
		EXPECT_TRUE(obs_data_get_default_bool(defaults.get(), key));
	}
}

TEST_F(Registration, OpaqueBlackWithoutAController)
{
	make_filter(640, 480);
	image img = render();
	EXPECT_EQ(img.width, 640u);
	EXPECT_EQ(img.height, 480u);
	EXPECT_TRUE(is_opaque_black(img));
	// The capture goes on all the same.
	EXPECT_TRUE(wait_until([&] {
		render();
		return input_seq(fs.data()) > 0;
	}));
}

TEST_F(Link, TokenIsPresentedAndAShortOneRefused)
{
	std::string short_token(63, 'a');
	ctl->set_token(endpoint::input, short_token);
	ctl->set_token(endpoint::output, short_token);
	ASSERT_TRUE(ctl->start());
	make_filter();
	render();
	// A worker retries every 250 ms: a few seconds see many attempts.
	std::this_thread::sleep_for(1500ms);
	EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);

	// The endpoint files are read again on every attempt.
	// A longer token is cut to its first 64 bytes.
	std::string token = fake::random_token();
	ctl->set_token(endpoint::input, token);
	ctl->set_token(endpoint::output, token + "cut");
	ctl->set_accepted_token(endpoint::output, token);
	ASSERT_TRUE(ctl->publish_all());
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, DEADLINE));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, DEADLINE));
	EXPECT_EQ(ctl->connections(endpoint::input)[0].token, token);
	EXPECT_EQ(ctl->connections(endpoint::output)[0].token, token);
}

TEST_F(Link, FramesOutByteExactAndProcessedFramesShownUntilTheControllerStops)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, DEADLINE));
	render();
	ASSERT_TRUE(ctl->wait_input_frames(1, DEADLINE));
	auto frames = ctl->input_frames();
	EXPECT_EQ(frames[0].width, 1280u);
	EXPECT_EQ(frames[0].height, 720u);
	EXPECT_TRUE(ctl->last_input_frame() ==
		    pixels_of(make_pattern(FRAME_WIDTH, FRAME_HEIGHT)))
		<< "the frame that arrived is not the source's picture";

	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, DEADLINE));
	image processed =
		make_pattern(FRAME_WIDTH, FRAME_HEIGHT, PROCESSED_PALETTE);
	ctl->set_output_behavior(
		fake::output_behavior::repeat(pixels_of(processed), 30ms));
	ctl->close_connections(endpoint::output);
	EXPECT_TRUE(render_until(shows_processed));

	ctl->stop();
	EXPECT_TRUE(render_until(is_opaque_black));
}

TEST_F(Link, WrongFrameHeaderClosesTheConnectionUnshown)
{
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::output, 1, DEADLINE));
	uint64_t first = ctl->connections(endpoint::output)[0].id;

	image big = make_pattern(1920, 1080, PROCESSED_PALETTE);
	fake::bytes wire = fake::encode_header(1920, 1080);
	wire.insert(wire.end(), big.pixels.begin(), big.pixels.end());
	ctl->post_bytes(wire, fake::pacing{4096, 10ms});

	bool shown = false;
	ASSERT_TRUE(render_until([&](const image &img) {
		shown = shown || !is_opaque_black(img);
		return ctl->token_ok_count(endpoint::output) >= 2;
	}));
	EXPECT_FALSE(shown) << "something other than black was drawn";
	EXPECT_EQ(ctl->connections(endpoint::output)[0].id, first);
	EXPECT_EQ(ctl->connections(endpoint::output)[0].closed,
		  fake::close_reason::peer);
}

// Both workers wait on a controller that neither reads nor writes: only
// the socket time-outs let them see the stop flag.
TEST_F(Link, RemovingTheFilterWhileTheControllerStallsEndsWithinTheBound)
{
	ctl->set_input_behavior(fake::input_behavior::never_read());
	ASSERT_TRUE(ctl->start());
	make_filter();
	ASSERT_TRUE(ctl->wait_open(endpoint::output, DEADLINE));
	ASSERT_TRUE(ctl->wait_token_ok(endpoint::input, 1, DEADLINE));
	// Enough frames to fill the connection's buffers: the sender is
	// then inside a send that cannot finish.
	for (int i = 0; i < 40; i++)
		render();

	int module_threads = 2;
	int before = thread_count();
	auto start = std::chrono::steady_clock::now();
	fs = filtered_source();
	ASSERT_TRUE(wait_for_thread_count(before - module_threads, DEADLINE));
	auto took = std::chrono::steady_clock::now() - start;
	// One time-out of a second per worker at most, and slack.
	EXPECT_LE(took, 1000ms + 2000ms);
}

TEST_F(Exchange, SettingsAreMirroredAndAControllersChangeApplied)
{
	data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), "fps", 24);
	make_filter(640, 480, settings.get());

	auto text = read_text(settings_path());
	ASSERT_TRUE(text) << "no " << settings_path();
	data_ptr file(obs_data_create_from_json(text->c_str()));
	ASSERT_TRUE(file);
	EXPECT_EQ(obs_data_get_int(file.get(), "fps"), 24);

	obs_data_set_int(file.get(), "fps", 33);
	obs_data_set_string(file.get(), "controller_note", "kept");
	ASSERT_TRUE(controller_writes(obs_data_get_json(file.get())));
	ASSERT_TRUE(filter_fps_becomes(33));
	// The host hands the merged settings to update, which writes them
	// back with the key the module does not know.
	EXPECT_TRUE(wait_until([&] {
		data_ptr now(obs_data_create_from_json(
			read_text(settings_path()).value_or("{}").c_str()));
		return now && obs_data_get_int(now.get(), "fps") == 33 &&
		       std::string(obs_data_get_string(
			       now.get(), "controller_note")) == "kept";
	}));
}

TEST_F(Exchange, CaptureRequestWritesOneTopDownBmpAndAddsItsPath)
{
	make_filter();
	ASSERT_TRUE(wait_until([&] {
		render();
		return input_seq(fs.data()) > 0;
	}));
	std::string faces = module_config_dir() + "\\faces";
	ASSERT_TRUE(names_in(faces).empty());

	data_ptr file(obs_data_create_from_json(
		read_text(settings_path()).value_or("{}").c_str()));
	ASSERT_TRUE(file);
	obs_data_set_string(file.get(), "capture_request", "now");
	ASSERT_TRUE(controller_writes(obs_data_get_json(file.get())));

	// The image appears under its own name only when whole.
	std::vector<std::string> names;
	ASSERT_TRUE(wait_until([&] {
		names = images_in(faces);
		return !names.empty();
	}));
	ASSERT_EQ(names.size(), 1u);
	ASSERT_EQ(names[0].rfind("face-", 0), 0u) << names[0];
	std::string bmp = read_text(faces + "\\" + names[0]).value_or("");
	ASSERT_EQ(bmp.size(), 3686454u);
	EXPECT_EQ(bmp.substr(0, 2), "BM");
	int32_t height = 0;
	memcpy(&height, bmp.data() + 22, 4);
	EXPECT_EQ(height, -720) << "rows are not stored top down";
	image first = make_pattern(FRAME_WIDTH, FRAME_HEIGHT);
	EXPECT_EQ(
		bmp.compare(54, FRAME_LINESIZE,
			    reinterpret_cast<const char *>(first.pixels.data()),
			    FRAME_LINESIZE),
		0);

	// The stored path keeps the configuration folder's backslashes and
	// joins the rest with forward slashes.
	std::string expected = module_config_dir() + "/faces/" + names[0];
	ASSERT_TRUE(wait_until([&] {
		data_ptr now = settings_of(fs.filter.get());
		obs_data_array_t *refs =
			obs_data_get_array(now.get(), "references");
		bool found = false;
		if (refs && obs_data_array_count(refs) == 1) {
			obs_data_t *item = obs_data_array_item(refs, 0);
			found = expected == obs_data_get_string(item, "value");
			obs_data_release(item);
		}
		obs_data_array_release(refs);
		return found;
	}))
		<< "references do not hold " << expected;
	// One request, one image.
	std::this_thread::sleep_for(1500ms);
	EXPECT_EQ(names_in(faces), names);
}

// Removes APPDATA for one scope.
struct without_appdata {
	std::string saved = getenv("APPDATA");
	without_appdata() { _putenv_s("APPDATA", ""); }
	~without_appdata() { _putenv_s("APPDATA", saved.c_str()); }
};

TEST_F(Exchange, NothingIsWrittenOrConnectedWithoutAppdata)
{
	ASSERT_TRUE(ctl->start());
	std::string faces = module_config_dir() + "\\faces";
	std::vector<std::string> images = names_in(faces);
	DeleteFileA(settings_path().c_str());
	without_appdata unset;
	ASSERT_EQ(getenv("APPDATA"), nullptr);

	make_filter();
	render();
	std::this_thread::sleep_for(1500ms);
	EXPECT_FALSE(read_text(settings_path()));
	EXPECT_EQ(ctl->connection_count(endpoint::input), 0u);
	EXPECT_EQ(ctl->connection_count(endpoint::output), 0u);
	properties_ptr props(obs_source_properties(fs.filter.get()));
	obs_property_t *capture = obs_properties_get(props.get(), "capture");
	ASSERT_NE(capture, nullptr);
	EXPECT_FALSE(obs_property_button_clicked(capture, fs.filter.get()));
	EXPECT_EQ(names_in(faces), images);
	fs = filtered_source();
}

// The filter reads the settings file every half second. A save by OBS
// (os_safe_replace: ReplaceFileW) or a controller's replacement that
// meets a reader must still succeed: the user's change would otherwise
// not reach the file.
TEST_F(Exchange, SettingsAreSavedAndReplacedWhileAReaderHoldsTheFile)
{
	data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), "fps", 24);
	make_filter(640, 480, settings.get());
	std::string held = read_text(settings_path()).value_or("");
	ASSERT_NE(held, "");
	int fd = qm_open_for_reading(settings_path().c_str());
	ASSERT_GE(fd, 0);

	data_ptr change(obs_data_create());
	obs_data_set_int(change.get(), "fps", 40);
	obs_source_update(fs.filter.get(), change.get());
	EXPECT_TRUE(wait_until(
		[&] { return fps_in_file(settings_path()) == 40; }, DEADLINE))
		<< "the filter's save did not replace the held file";

	data_ptr file(obs_data_create_from_json(held.c_str()));
	obs_data_set_int(file.get(), "fps", 33);
	EXPECT_TRUE(controller_writes(obs_data_get_json(file.get())))
		<< "error " << GetLastError();
	EXPECT_TRUE(filter_fps_becomes(33));

	std::string old(held.size() + 1, '\0');
	EXPECT_EQ(_read(fd, &old[0], unsigned(old.size())), int(held.size()));
	old.resize(held.size());
	EXPECT_EQ(old, held);
	EXPECT_TRUE(qm_close_file(fd));
}

// Sets APPDATA from UTF-16 for one scope.
struct wide_appdata {
	std::wstring saved = _wgetenv(L"APPDATA");
	explicit wide_appdata(const std::wstring &value)
	{
		_wputenv_s(L"APPDATA", value.c_str());
	}
	~wide_appdata() { _wputenv_s(L"APPDATA", saved.c_str()); }
};

// A user name such as "Zoë 東": the folder, the settings file and what a
// controller writes there all take the names Windows has for them.
TEST_F(Exchange, SettingsAreMirroredAndReadBackUnderANonAsciiAppdata)
{
	std::string appdata = config_home() + "\\Zo\xC3\xAB \xE6\x9D\xB1";
	ASSERT_TRUE(
		CreateDirectoryW(qm_wide::widen(appdata).c_str(), nullptr) ||
		GetLastError() == ERROR_ALREADY_EXISTS);
	std::string path = appdata +
			   "\\obs-studio\\plugin_config\\quilmar-direct"
			   "\\settings.json";
	wide_appdata scope(qm_wide::widen(appdata));

	data_ptr settings(obs_data_create());
	obs_data_set_int(settings.get(), "fps", 24);
	make_filter(640, 480, settings.get());
	ASSERT_EQ(fps_in_file(path), 24) << "no settings.json under " << path;

	data_ptr file(obs_data_create());
	obs_data_set_int(file.get(), "fps", 33);
	ASSERT_TRUE(controller_writes(obs_data_get_json(file.get()), path));
	EXPECT_TRUE(filter_fps_becomes(33));
	fs = filtered_source();
}
