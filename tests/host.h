// The headless libobs host as the integration tests use it: a GoogleTest
// environment that starts libobs once per test program with the module
// loaded from the build tree, on top of the host core in tools/obs-host.h
// (log capture, test-pattern sources, reading back what a source draws).
#pragma once

#include "obs-host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm_test {

using namespace qm_host;

// ---------------------------------------------------------------------------
// Start-up and teardown

struct host_options {
	// Load quilmar-direct.so from the build tree. Tests that link the
	// module's core directly register its filter themselves instead.
	bool load_module = true;
	// Runs once libobs is up and the test sources are registered.
	std::function<void()> after_startup;
};

// Starts libobs once for the whole test program and shuts it down at the
// end, failing the run when libobs still counts allocations then. The
// configuration folder (XDG_CONFIG_HOME) is a fresh temporary one, removed
// afterwards unless QM_TEST_KEEP_CONFIG is set; QM_TEST_LOG_ALL echoes
// every log line.
class host_environment : public ::testing::Environment {
public:
	explicit host_environment(host_options options = {});
	void SetUp() override;
	void TearDown() override;

private:
	host_options options_;
};

// InitGoogleTest, the host environment and RUN_ALL_TESTS in one call.
int run_all_tests(int argc, char **argv, host_options options = {});

// Counts the host's calls of a source's update callback.
struct update_counter {
	obs_source_t *source;
	std::atomic<int> count{0};

	static void on_update(void *p, calldata_t *)
	{
		static_cast<update_counter *>(p)->count++;
	}
	explicit update_counter(obs_source_t *s) : source(s)
	{
		signal_handler_connect(obs_source_get_signal_handler(source),
				       "update", on_update, this);
	}
	~update_counter()
	{
		signal_handler_disconnect(obs_source_get_signal_handler(source),
					  "update", on_update, this);
	}
	update_counter(const update_counter &) = delete;
	update_counter &operator=(const update_counter &) = delete;
};

// Small file helpers for tests that look at what the module writes.
std::optional<std::string> read_text(const std::string &path);
bool write_text(const std::string &path, const std::string &text);
// The names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> names_in(const std::string &dir);

} // namespace qm_test
