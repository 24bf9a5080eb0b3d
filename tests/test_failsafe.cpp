// The graphics thread never waits for a capture and does no needless work,
// and reference images reach the disk on file systems without hard links.
// Runs against quilmar-direct.so in the headless host; the program's own
// stand-ins for the C library's file calls and for the host's texture
// upload come first for the module.
#include "bytes.h"
#include "file_hooks.h"
#include "host.h"

#include <util/platform.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace qm_test;
using namespace std::chrono_literals;
namespace stdfs = std::filesystem;

// ---------------------------------------------------------------------------
// Uploads into one texture, counted in front of the host's upload call.

namespace uploads {

std::mutex mutex;
gs_texture_t *watched = nullptr;
int count = 0;

void watch(gs_texture_t *texture)
{
	std::lock_guard<std::mutex> guard(mutex);
	watched = texture;
	count = 0;
}

int seen()
{
	std::lock_guard<std::mutex> guard(mutex);
	return count;
}

} // namespace uploads

extern "C" void gs_texture_set_image(gs_texture_t *tex, const uint8_t *data,
				     uint32_t linesize, bool invert)
{
	using upload_fn =
		void (*)(gs_texture_t *, const uint8_t *, uint32_t, bool);
	static upload_fn real = reinterpret_cast<upload_fn>(
		dlsym(RTLD_NEXT, "gs_texture_set_image"));
	{
		std::lock_guard<std::mutex> guard(uploads::mutex);
		if (tex && tex == uploads::watched)
			uploads::count++;
	}
	real(tex, data, linesize, invert);
}

namespace {

constexpr auto LONG = std::chrono::milliseconds(20000);

bool is_image_name(const char *path, bool temporary)
{
	if (!strstr(path, "/faces/face-"))
		return false;
	size_t len = strlen(path);
	bool tmp = len > 4 && strcmp(path + len - 4, ".tmp") == 0;
	return tmp == temporary;
}

// Each test works with one filter on a 640x480 pattern and a configuration
// folder of its own; nothing it does may make the module log a line.
class failsafe_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
		clear_log();
		clear_file_hooks();
		fs = make_filtered(pattern_kind::plain, 640, 480);
		ASSERT_NE(fs.data(), nullptr);
	}

	void TearDown() override
	{
		clear_file_hooks();
		fs = filtered_source();
		// No tick of the filter is left running.
		run_on_graphics_thread([] {});
		run_on_graphics_thread([] {});
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
	}

	bool press_capture()
	{
		properties_ptr props(obs_source_properties(fs.filter.get()));
		return obs_property_button_clicked(
			obs_properties_get(props.get(), "capture"),
			fs.filter.get());
	}

	std::vector<std::string> images() { return names_in(faces_dir()); }

	filtered_source fs;
};

using GraphicsThread = failsafe_test;
using ReferenceFiles = failsafe_test;

} // namespace

// ---------------------------------------------------------------------------
// The graphics thread

TEST_F(GraphicsThread, UploadsOnlyWhenANewerProcessedFrameHasArrived)
{
	// A target without a size: each render only draws, and a frame
	// stamped right before it is fresh however slow the machine.
	fs = make_filtered(pattern_kind::plain, 0, 0);
	ASSERT_NE(fs.data(), nullptr);
	quiet_workers(fs.data());
	uploads::watch(fs.data()->texture);
	// Each render with the processed frame stamped as just arrived. A
	// render that ends half a second after the stamp or later may have
	// found the frame stale (and uploaded nothing), so it is made again.
	auto shows = [&](const palette &colours) {
		for (int attempt = 0; attempt < 20; attempt++) {
			uint64_t stamped = 0;
			image shown = render_and_read_after(
				[&] {
					stamped = os_gettime_ns();
					restamp_output(fs.data());
				},
				fs.parent.get());
			if (os_gettime_ns() - stamped < 500000000)
				return pattern_mismatch(shown, colours).empty();
		}
		ADD_FAILURE() << "no render took less than half a second";
		return false;
	};
	const palette other{{RED, RED, BLUE, BLUE}};

	// Black, however often, without any upload.
	for (int i = 0; i < 3; i++)
		EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));
	EXPECT_EQ(uploads::seen(), 0);

	// One upload per processed frame, however often it is drawn.
	set_output_frame(fs.data(), make_pattern(FRAME_WIDTH, FRAME_HEIGHT,
						 PROCESSED_PALETTE));
	for (int i = 0; i < 4; i++)
		EXPECT_TRUE(shows(PROCESSED_PALETTE));
	EXPECT_EQ(uploads::seen(), 1);
	set_output_frame(fs.data(),
			 make_pattern(FRAME_WIDTH, FRAME_HEIGHT, other));
	for (int i = 0; i < 3; i++)
		EXPECT_TRUE(shows(other));
	EXPECT_EQ(uploads::seen(), 2);

	// Black again, still without uploads; the same picture arriving anew
	// is uploaded once more.
	clear_output_frame(fs.data());
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));
	set_output_frame(fs.data(),
			 make_pattern(FRAME_WIDTH, FRAME_HEIGHT, other),
			 os_gettime_ns() - 600000000);
	EXPECT_TRUE(is_opaque_black(render_and_read(fs.parent.get())));
	EXPECT_EQ(uploads::seen(), 2);
	set_output_frame(fs.data(),
			 make_pattern(FRAME_WIDTH, FRAME_HEIGHT, other));
	EXPECT_TRUE(shows(other));
	EXPECT_EQ(uploads::seen(), 3);
	uploads::watch(nullptr);
}

namespace {

// Holds up the first open() that creates a reference image until
// released: a capture slowed down as by a slow disk.
class held_capture {
public:
	held_capture()
	{
		hook_open([this](const char *path, int flags) {
			if ((flags & O_CREAT) && is_image_name(path, true))
				hold();
		});
	}
	bool wait_held()
	{
		std::unique_lock<std::mutex> guard(mutex_);
		return cv_.wait_for(guard, LONG, [&] { return held_; });
	}
	void release()
	{
		{
			std::lock_guard<std::mutex> guard(mutex_);
			released_ = true;
		}
		cv_.notify_all();
	}

private:
	void hold()
	{
		std::unique_lock<std::mutex> guard(mutex_);
		if (held_)
			return;
		held_ = true;
		cv_.notify_all();
		// Never for ever, should the test fail before releasing.
		cv_.wait_for(guard, 2 * LONG, [&] { return released_; });
	}

	std::mutex mutex_;
	std::condition_variable cv_;
	bool held_ = false, released_ = false;
};

} // namespace

TEST_F(GraphicsThread, SettingsPollSkipsWhileACaptureHoldsTheSettings)
{
	render_and_read(fs.parent.get());
	ASSERT_TRUE(stdfs::exists(settings_path()));
	held_capture slow;
	bool pressed = false;
	std::thread press([&] { pressed = press_capture(); });
	ASSERT_TRUE(slow.wait_held());

	// The controller changes a setting and asks for a capture while the
	// button's capture holds the settings.
	ASSERT_TRUE(controller_edits([](obs_data_t *d) {
		obs_data_set_int(d, "fps", 33);
		obs_data_set_string(d, "capture_request", "while-held");
	}));
	// The host's video clock goes on meanwhile, through several polls:
	// none of them waits for the capture, and each one is skipped.
	uint64_t start = obs_get_video_frame_time();
	bool moving = wait_until(
		[&] {
			return obs_get_video_frame_time() - start >= 1500000000;
		},
		LONG);
	std::string file = read_text(settings_path()).value_or("");
	int64_t fps =
		obs_data_get_int(settings_copy(fs.filter.get()).get(), "fps");
	slow.release();
	press.join();
	ASSERT_TRUE(moving) << "the graphics thread waited for the capture";
	EXPECT_NE(file.find("while-held"), std::string::npos) << file;
	EXPECT_NE(fps, 33) << "a poll applied the file";
	EXPECT_TRUE(pressed);
	EXPECT_EQ(images().size(), 1u);

	// The capture's own settings change rewrites the file, as every change
	// does; from then on the polls take the controller's changes again.
	ASSERT_TRUE(wait_until([&] {
		return references_of(read_text(settings_path()).value_or("{}"))
			       .values.size() == 1;
	}));
	ASSERT_TRUE(controller_edits([](obs_data_t *d) {
		obs_data_set_int(d, "fps", 33);
		obs_data_set_string(d, "capture_request", "after");
	}));
	ASSERT_TRUE(wait_until([&] { return images().size() == 2; }, LONG));
	ASSERT_TRUE(wait_until([&] {
		data_ptr now = settings_copy(fs.filter.get());
		return obs_data_get_int(now.get(), "fps") == 33 &&
		       strcmp(obs_data_get_string(now.get(), "capture_request"),
			      "") == 0 &&
		       references_of(now.get()).values.size() == 2;
	}));
}

// ---------------------------------------------------------------------------
// Reference images on file systems without hard links

namespace {

// Neither an exclusive rename nor a hard link is possible in the faces
// folder: each fails with the error given. Counts the attempts.
struct no_hard_links {
	std::atomic<int> renames{0}, links{0};

	no_hard_links(int rename_error, int link_error)
	{
		hook_rename([this, rename_error](const char *, const char *to) {
			if (!is_image_name(to, false))
				return 0;
			renames++;
			return rename_error;
		});
		hook_link([this, link_error](const char *, const char *to) {
			if (!is_image_name(to, false))
				return 0;
			links++;
			return link_error;
		});
	}
	~no_hard_links()
	{
		hook_rename({});
		hook_link({});
	}
};

} // namespace

TEST_F(ReferenceFiles, WithoutHardLinksTheImageIsWrittenUnderItsName)
{
	render_and_read(fs.parent.get());
	image frame = copy_input_frame(fs.data());
	struct file_system {
		const char *what;
		int rename_error, link_error;
	};
	const file_system cases[] = {
		{"vfat", EINVAL, EPERM},
		{"no renameat2", ENOSYS, EPERM},
		{"links not supported", EINVAL, EOPNOTSUPP},
	};
	size_t have = 0;
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		no_hard_links fat(c.rename_error, c.link_error);
		EXPECT_TRUE(press_capture());
		EXPECT_GE(fat.renames, 1);
		EXPECT_GE(fat.links, 1);
		auto names = images();
		ASSERT_EQ(names.size(), ++have);
		auto refs = references_of(settings_copy(fs.filter.get()).get());
		ASSERT_EQ(refs.values.size(), have);
		const std::string &path = refs.values.back();

		struct stat st;
		ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
		EXPECT_EQ(st.st_mode & 07777, 0600u);
		std::vector<uint8_t> bmp = qm_bytes::read_bytes(path);
		ASSERT_EQ(bmp.size(), size_t(3686454));
		EXPECT_EQ(qm_bytes::bmp_header_mismatch(bmp.data()), "");
		EXPECT_TRUE(std::equal(frame.pixels.begin(), frame.pixels.end(),
				       bmp.begin() + 54));
		for (auto &name : names)
			EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
	}

	// Any other failure to give the name is a failed capture, without
	// writing the image under its name.
	no_hard_links broken(EINVAL, EIO);
	EXPECT_FALSE(press_capture());
	EXPECT_EQ(images().size(), have);
}

TEST_F(ReferenceFiles, WithoutHardLinksAFileAtTheNameIsNeverReplaced)
{
	render_and_read(fs.parent.get());
	std::string before = settings_json(fs.filter.get());
	no_hard_links fat(EINVAL, EPERM);
	std::string planted;
	hook_open([&](const char *path, int flags) {
		if ((flags & O_CREAT) && is_image_name(path, false) &&
		    planted.empty() && plant_file(path, "someone else's"))
			planted = path;
	});
	EXPECT_FALSE(press_capture());
	ASSERT_FALSE(planted.empty()) << "the image was never created";
	EXPECT_EQ(read_text(planted).value_or(""), "someone else's");
	EXPECT_EQ(images().size(), 1u);
	EXPECT_EQ(settings_json(fs.filter.get()), before);
}

TEST_F(ReferenceFiles, WithoutHardLinksAFailedWriteLeavesNothing)
{
	render_and_read(fs.parent.get());
	std::string before = settings_json(fs.filter.get());
	no_hard_links fat(EINVAL, EPERM);
	// The disk fills up once the image is written under its own name:
	// files of this process may then grow to 1 MB.
	struct sigaction ignore = {}, old_action = {};
	ignore.sa_handler = SIG_IGN;
	ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_action), 0);
	struct rlimit old_limit;
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
	std::atomic<bool> limited{false};
	hook_open([&](const char *path, int flags) {
		if (!(flags & O_CREAT) || !is_image_name(path, false))
			return;
		struct rlimit small = old_limit;
		small.rlim_cur = 1 << 20;
		limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
	});
	bool added = press_capture();
	setrlimit(RLIMIT_FSIZE, &old_limit);
	sigaction(SIGXFSZ, &old_action, nullptr);

	ASSERT_TRUE(limited) << "the image was never created";
	EXPECT_FALSE(added);
	EXPECT_TRUE(images().empty());
	EXPECT_EQ(settings_json(fs.filter.get()), before);

	// With room again, the next press works.
	hook_open({});
	EXPECT_TRUE(press_capture());
	EXPECT_EQ(images().size(), 1u);
}
