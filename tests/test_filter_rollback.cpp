// Creation that fails part-way leaves nothing behind. Links the module's
// core directly, so that it can make thread starts fail, and registers the
// core's filter type itself instead of loading quilmar-direct.so.
#include "host.h"

#include "direct-filter.h"

#include <cstring>

using namespace qm_test;

namespace {

class Rollback : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_log();
		qm_test_failing_thread_starts = 0;
		qm_test_thread_starts_before_failure = 0;
		threads_at_start = thread_count();
	}
	void TearDown() override
	{
		qm_test_failing_thread_starts = 0;
		EXPECT_TRUE(wait_for_thread_count(threads_at_start));
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
	}
	int threads_at_start = 0;
};

} // namespace

TEST_F(Rollback, FailedReceiverStartCreatesNothing)
{
	qm_test_failing_thread_starts = 1;
	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	// create asked for exactly one thread, got none, and gave up.
	EXPECT_EQ(qm_test_failing_thread_starts, 0);
	EXPECT_EQ(fs.data(), nullptr);
	EXPECT_EQ(thread_count(), threads_at_start);

	// The host keeps a filter without instance and reports that itself.
	EXPECT_FALSE(log_lines_containing("Failed to create source").empty());

	// Rendering the source with the failed filter attached is harmless.
	image shown = render_and_read(fs.parent.get());
	EXPECT_EQ(shown.width, 640u);
}

TEST_F(Rollback, FailedSenderStartStopsTheReceiverFirst)
{
	source_ptr parent = create_pattern(pattern_kind::plain, 640, 480);
	data_ptr settings(obs_data_create());
	qm_test_thread_starts_before_failure = 1;
	qm_test_failing_thread_starts = 1;
	EXPECT_EQ(filter.create(settings.get(), parent.get()), nullptr);
	EXPECT_EQ(qm_test_failing_thread_starts, 0);
	// The receiver that did start has ended before create returned.
	EXPECT_EQ(thread_count(), threads_at_start);
}

TEST_F(Rollback, FailedCreateCalledDirectly)
{
	source_ptr parent = create_pattern(pattern_kind::plain, 640, 480);
	data_ptr settings(obs_data_create());
	for (int i = 0; i < 5; i++) {
		qm_test_failing_thread_starts = 1;
		EXPECT_EQ(filter.create(settings.get(), parent.get()), nullptr);
		EXPECT_EQ(qm_test_failing_thread_starts, 0);
		EXPECT_EQ(thread_count(), threads_at_start);
	}
}

TEST_F(Rollback, CreationWorksAgainAfterAFailure)
{
	qm_test_failing_thread_starts = 1;
	filtered_source failed = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_EQ(failed.data(), nullptr);

	filtered_source fs = make_filtered(pattern_kind::plain, 640, 480);
	ASSERT_NE(fs.data(), nullptr);
	EXPECT_EQ(thread_count(), threads_at_start + 2);
	render_and_read(fs.parent.get());
	EXPECT_EQ(input_seq(fs.data()), 1u);
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
