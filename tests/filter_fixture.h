// The fixture and helpers that the filter tests in the host with the
// module loaded share (test_filter_registration.cpp, test_filter_display.cpp,
// test_filter_capture.cpp): the fixture that checks the log and the workers
// after every test, the sizes the sources come in, and a wait until the
// filter has captured its target.
#pragma once

#include "host.h"

#include <cstdint>
#include <string>

namespace qm_filter {

using namespace qm_test;

struct size {
	uint32_t width;
	uint32_t height;
};

const size SIZES[] = {{640, 480}, {1280, 720}, {1920, 1080}, {400, 900}};

std::string describe(pattern_kind kind, size s);

// Every test starts with an empty log and ends without a warning or an
// error from anyone and without a line from the module: in normal
// operation the module has nothing to say. Every worker a test started
// has ended soon after its filters are released.
class host_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_log();
		threads_at_start = thread_count();
	}
	void TearDown() override
	{
		EXPECT_TRUE(wait_for_thread_count(threads_at_start))
			<< thread_count() << " threads, " << threads_at_start
			<< " at the start";
		for (auto &line : log_lines())
			EXPECT_GT(line.level, LOG_WARNING)
				<< "unexpected log line: " << line.text;
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
	}
	int threads_at_start = 0;
};

using Registration = host_test;
using Display = host_test;
using Capture = host_test;
using LifeCycle = host_test;

// Renders until the input frame holds the pattern. An asynchronous pattern
// is fed frames of feed_width x feed_height meanwhile, as a webcam keeps
// sending them: the host may drop a single frame before it is shown.
bool wait_for_captured_pattern(filtered_source &fs, std::string &mismatch,
			       uint32_t feed_width = 0,
			       uint32_t feed_height = 0);

} // namespace qm_filter
