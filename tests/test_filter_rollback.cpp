// A filter that cannot start shows black, never its source. Links the
// module's core directly, so that it can make each resource that create
// acquires fail in turn, and registers the core's filter type itself
// instead of loading quilmar-direct.so.
#include "host.h"

#include "direct-filter.h"

#include <cstring>
#include <filesystem>

using namespace qm_test;
namespace stdfs = std::filesystem;

namespace {

// One resource that create acquires, and a word of the log line that
// names it.
struct failure_point {
	qm_test_resource kind;
	int succeed; // acquisitions of the kind that succeed before it
	const char *named;
};

const failure_point POINTS[] = {
	{QM_TEST_FRAME_BUFFER, 0, "frames"},
	{QM_TEST_FRAME_BUFFER, 1, "frames"},
	{QM_TEST_FRAME_BUFFER, 2, "frames"},
	{QM_TEST_FRAME_BUFFER, 3, "frames"},
	{QM_TEST_FRAME_BUFFER, 4, "frames"},
	{QM_TEST_GRAPHICS_OBJECT, 0, "default effect"},
	{QM_TEST_GRAPHICS_OBJECT, 1, "render target"},
	{QM_TEST_GRAPHICS_OBJECT, 2, "staging surface"},
	{QM_TEST_GRAPHICS_OBJECT, 3, "texture"},
	{QM_TEST_THREAD_START, 0, "receiver thread"},
	{QM_TEST_THREAD_START, 1, "sender thread"},
};

std::string describe(const failure_point &p)
{
	static const char *kinds[] = {"frame buffer", "graphics object",
				      "thread start"};
	return std::string(kinds[p.kind]) + " " + std::to_string(p.succeed);
}

void inject(const failure_point &p)
{
	qm_test_injected[p.kind].succeed = p.succeed;
	qm_test_injected[p.kind].fail = 1;
}

void clear_injection()
{
	for (auto &f : qm_test_injected) {
		f.succeed = 0;
		f.fail = 0;
	}
}

class FailedStart : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_injection();
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
		clear_log();
		threads_at_start = thread_count();
	}
	void TearDown() override
	{
		clear_injection();
		EXPECT_TRUE(wait_for_thread_count(threads_at_start));
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
	}

	// The filter on a new source of the kind, with the failure injected.
	// The failure was met, and create kept a failed instance without
	// any worker.
	filtered_source make_failed(const failure_point &p, pattern_kind kind,
				    uint32_t width, uint32_t height)
	{
		inject(p);
		filtered_source fs = make_filtered(kind, width, height);
		EXPECT_EQ(qm_test_injected[p.kind].fail.load(), 0)
			<< "the failure point was never reached";
		clear_injection();
		EXPECT_NE(fs.data(), nullptr);
		if (fs.data())
			expect_no_workers(fs.data());
		return fs;
	}

	// A failed instance, and any worker that did start has ended before
	// create returned.
	void expect_no_workers(direct_filter_data *data)
	{
		EXPECT_TRUE(data->failed);
		EXPECT_FALSE(data->reader_thread.joinable());
		EXPECT_FALSE(data->sender_thread.joinable());
		EXPECT_LE(thread_count(), threads_at_start);
	}

	// Renders a few times: opaque black over the whole box, never a
	// colour of the source.
	void expect_black(obs_source_t *parent, uint32_t width, uint32_t height,
			  int renders = 2)
	{
		for (int i = 0; i < renders; i++) {
			image shown = render_and_read(parent);
			ASSERT_EQ(shown.width, width);
			ASSERT_EQ(shown.height, height);
			EXPECT_TRUE(is_opaque_black(shown));
			EXPECT_FALSE(contains_any(shown, SOURCE_PALETTE));
		}
	}

	int threads_at_start = 0;
};

} // namespace

TEST_F(FailedStart, EveryFailurePointShowsBlackAndSaysSoOnce)
{
	for (const failure_point &p : POINTS) {
		SCOPED_TRACE(describe(p));
		clear_log();
		filtered_source fs =
			make_failed(p, pattern_kind::plain, 640, 480);
		ASSERT_NE(fs.data(), nullptr);

		auto lines = module_log_lines();
		ASSERT_EQ(lines.size(), 1u);
		EXPECT_EQ(lines[0].level, LOG_ERROR);
		EXPECT_NE(lines[0].text.find("\"qm test filter\""),
			  std::string::npos)
			<< lines[0].text;
		EXPECT_NE(lines[0].text.find(p.named), std::string::npos)
			<< lines[0].text;

		expect_black(fs.parent.get(), 640, 480);
		// A source of another kind.
		filtered_source custom =
			make_failed(p, pattern_kind::custom_draw, 320, 240);
		expect_black(custom.parent.get(), 320, 240, 1);

		// Nothing per frame: one line for each failed filter.
		EXPECT_EQ(module_log_lines().size(), 2u);
		EXPECT_TRUE(
			log_lines_containing("Failed to create source").empty())
			<< "the host kept the filter without an instance";
	}
}

TEST_F(FailedStart, LargeSourceIsCoveredWhole)
{
	// Larger than the frame: the black covers the source's own box.
	for (const failure_point &p : {POINTS[1], POINTS[6], POINTS[9]}) {
		SCOPED_TRACE(describe(p));
		filtered_source fs =
			make_failed(p, pattern_kind::plain, 1920, 1080);
		expect_black(fs.parent.get(), 1920, 1080, 1);
	}
}

TEST_F(FailedStart, WebcamLikeSourceShowsBlack)
{
	for (const failure_point &p : {POINTS[0], POINTS[7], POINTS[10]}) {
		SCOPED_TRACE(describe(p));
		filtered_source fs = make_failed(p, pattern_kind::async, 0, 0);
		webcam_feeder webcam(fs.parent.get(), 1280, 720, 30);
		ASSERT_TRUE(wait_until([&] {
			return obs_source_get_width(fs.parent.get()) == 1280;
		}));
		expect_black(fs.parent.get(), 1280, 720);
	}
}

TEST_F(FailedStart, KeepsAndWritesNoSettings)
{
	for (const failure_point &p : {POINTS[4], POINTS[8], POINTS[9]}) {
		SCOPED_TRACE(describe(p));
		filtered_source fs =
			make_failed(p, pattern_kind::plain, 640, 480);
		ASSERT_NE(fs.data(), nullptr);
		// create writes no settings file.
		EXPECT_FALSE(stdfs::exists(settings_path()));

		// Neither does a change, and the poll applies nothing and
		// carries out no capture request.
		change_settings(fs.filter.get(), [](obs_data_t *d) {
			obs_data_set_int(d, "fps", 20);
		});
		stdfs::create_directories(module_config_dir());
		const std::string request =
			"{\"fps\": 7, \"capture_request\": \"now\"}";
		ASSERT_TRUE(controller_writes(request));
		render_and_read(fs.parent.get());
		ASSERT_TRUE(let_frame_time_pass(1.2));
		EXPECT_EQ(read_text(settings_path()).value_or(""), request);
		EXPECT_EQ(obs_data_get_int(settings_copy(fs.filter.get()).get(),
					   "fps"),
			  20);
		EXPECT_FALSE(stdfs::exists(faces_dir()));

		// The button captures nothing.
		properties_ptr props(obs_source_properties(fs.filter.get()));
		EXPECT_FALSE(obs_property_button_clicked(
			obs_properties_get(props.get(), "capture"),
			fs.filter.get()));
		EXPECT_FALSE(stdfs::exists(faces_dir()));
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
	}
}

TEST_F(FailedStart, FailedCreateCalledDirectlyFreesEverything)
{
	source_ptr parent = create_pattern(pattern_kind::plain, 640, 480);
	data_ptr settings(obs_data_create());
	for (const failure_point &p : POINTS) {
		SCOPED_TRACE(describe(p));
		inject(p);
		void *instance = filter.create(settings.get(), parent.get());
		EXPECT_EQ(qm_test_injected[p.kind].fail.load(), 0);
		clear_injection();
		ASSERT_NE(instance, nullptr);
		expect_no_workers(static_cast<direct_filter_data *>(instance));
		filter.destroy(instance);
	}
	// The leak check at the end of the program covers what destroy
	// frees.
}

TEST_F(FailedStart, CreationWorksAgainAfterAFailure)
{
	filtered_source failed =
		make_failed(POINTS[9], pattern_kind::plain, 640, 480);
	ASSERT_NE(failed.data(), nullptr);

	auto ids = thread_ids_but_controller();
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	EXPECT_FALSE(fs.data()->failed);
	EXPECT_TRUE(fs.data()->reader_thread.joinable());
	EXPECT_TRUE(fs.data()->sender_thread.joinable());
	EXPECT_GE(started_since(ids).size(), 2u);
	render_and_read(fs.parent.get());
	EXPECT_EQ(input_seq(fs.data()), 1u);
	EXPECT_EQ(module_log_lines().size(), 1u);
}

int main(int argc, char **argv)
{
	host_options options;
	options.load_module = false;
	options.after_startup = [] {
		ASSERT_STREQ(filter.id, FILTER_ID);
		obs_register_source(&filter);
	};
	return run_all_tests(argc, argv, options);
}
