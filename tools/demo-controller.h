// The controller as a child process of the demo: started on the module's
// configuration folder, stopped with SIGTERM, and its summary line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>

namespace qm_demo {

// How long the controller may take to end after SIGTERM, and the filter to
// show black after that.
constexpr auto STOP_DEADLINE = std::chrono::seconds(20);

struct controller_run {
	pid_t pid = -1;
	int stdout_fd = -1;
};

// The controller's summary line: key=value pairs.
struct controller_summary {
	bool valid = false;
	std::map<std::string, double> values;
	double get(const std::string &key) const
	{
		auto it = values.find(key);
		return it == values.end() ? 0 : it->second;
	}
};

bool start_controller(const std::string &path, const std::string &config_dir,
		      controller_run *run);

// Whether the controller is still running; reaps it when it has ended.
bool controller_alive(controller_run *run, int *status);

// SIGTERM, then its exit status (-1 when it had to be killed) and summary.
int stop_controller(controller_run *run, controller_summary *summary);

} // namespace qm_demo
