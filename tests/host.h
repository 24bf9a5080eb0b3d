// The headless libobs host as the integration tests use it: a GoogleTest
// environment that starts libobs once per test program with the module
// loaded from the build tree, on top of the host core in tools/obs-host.h
// (log capture, test-pattern sources, reading back what a source draws).
#pragma once

#include "file_hooks.h"
#include "obs-host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <set>
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

// The module's files in its configuration folder dir.
std::string settings_path(const std::string &dir = module_config_dir());
std::string faces_dir(const std::string &dir = module_config_dir());

// What a careful controller does: writes text to a file of its own, then
// moves it over the settings file in dir in one step.
bool controller_writes(const std::string &text,
		       const std::string &dir = module_config_dir());
// Reads the settings file in dir, lets edit change it and writes it back
// as above. False when there is no file or it is not JSON.
bool controller_edits(const std::function<void(obs_data_t *)> &edit,
		      const std::string &dir = module_config_dir());

// ---------------------------------------------------------------------------
// A filter's settings, taken on the graphics thread, where the module's poll
// changes them, and serialised from a private copy as the module does.

data_ptr settings_copy(obs_source_t *filter);
std::string settings_json(obs_source_t *filter);
// Applies the changes that edit makes to an empty settings object, on the
// graphics thread.
void change_settings(obs_source_t *filter,
		     const std::function<void(obs_data_t *)> &edit);

// The entries of "references": each "value", and each entry's JSON text.
struct reference_list {
	std::vector<std::string> values;
	std::vector<std::string> items;
};
reference_list references_of(obs_data_t *settings);
reference_list references_of(const std::string &json);

// Waits until the host's video clock has moved on by seconds, which lets
// the module's half-second poll run at least twice for 1.5 s. False when
// the clock stands still.
bool let_frame_time_pass(double seconds = 1.5);

// How often the module's workers look at their endpoint files: before each
// connection attempt, every 250 ms while there is no connection. Counts
// only in programs that export their symbols (see file_hooks.h).
class endpoint_reads {
public:
	// Counts from now on.
	void mark();
	// Whether each file has been read at least times times since mark.
	bool seen(int times) const;
	bool wait(int times, std::chrono::milliseconds deadline =
				     std::chrono::seconds(20)) const;

private:
	open_counter input_{"/filter-input.endpoint"};
	open_counter output_{"/direct-output.endpoint"};
	int input_mark_ = 0;
	int output_mark_ = 0;
};

// ---------------------------------------------------------------------------
// Child processes

// Runs this test program again, in a process of its own, with the given
// arguments and with the environment plus env ("NAME=value" entries, which
// replace those of the same name). Waits up to deadline, then kills it.
// Empty when it ended with status 0; otherwise how it ended.
std::string run_self(const std::vector<std::string> &args,
		     const std::vector<std::string> &env,
		     std::chrono::milliseconds deadline);

// ---------------------------------------------------------------------------
// Threads and descriptors

// The name the fake controller's threads start with.
constexpr const char *CONTROLLER_THREADS = "fakectl-";
// Ids of this process's threads other than the fake controller's.
std::set<std::string> thread_ids_but_controller();
int thread_count_but_controller();
// How many of ids still run.
size_t still_running(const std::set<std::string> &ids);
// Ids of threads other than the fake controller's that are not in before.
std::set<std::string> started_since(const std::set<std::string> &before);
// Open descriptors of this process.
int fd_count();

} // namespace qm_test
