// GoogleTest on Windows starts a watcher thread for a thread the first time
// that thread touches its thread-local state (a SCOPED_TRACE, a failure),
// and keeps it while the thread lives. Started for the main thread before
// any test counts threads, it is never taken for a thread of the module.
#include <gtest/gtest.h>

namespace {

struct start_watcher : ::testing::Environment {
	void SetUp() override { SCOPED_TRACE("start the watcher"); }
};

// Registered before main, so it is set up before every other environment.
const ::testing::Environment *const registered =
	::testing::AddGlobalTestEnvironment(new start_watcher);

} // namespace
