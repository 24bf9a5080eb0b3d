// Starting and stopping libobs headless, with the module loaded, and the
// temporary configuration folder it works in.
#pragma once

#include <util/base.h>

#include <cstdint>
#include <functional>
#include <string>

namespace qm_host {

struct host_config {
	// Video frames per second of the host's graphics thread.
	uint32_t fps = 60;
	// The module to load; empty loads none (a program that links the
	// module's core registers its filter itself).
	std::string module_path;
	// Log lines at this level or more severe are echoed to stderr.
	int echo_level = LOG_WARNING;
	// Runs once libobs is up, the pattern sources are registered and the
	// module is loaded.
	std::function<void()> after_startup;
	// Keeps every library loaded at start-up mapped until the process
	// ends, so that leak reports written at exit can name them.
	bool pin_libraries = true;
};

// Creates a fresh temporary folder named after prefix and makes it
// XDG_CONFIG_HOME of this process. Call it before start: module threads
// read the environment, so it must not change while they run.
bool make_config_home(const char *prefix, std::string *error);
// The folder made by make_config_home (empty before).
const std::string &config_home();
// The module's configuration folder below config_home().
std::string module_config_dir();
// Removes the folder made by make_config_home with everything in it.
void remove_config_home();

// Starts libobs headless at 1280x720 and config.fps. False with a reason
// in *error when it cannot.
bool start(const host_config &config, std::string *error);
// Shuts libobs down and returns how many allocations it still counts
// beyond those it keeps without any module (0 when nothing leaked).
long stop();

} // namespace qm_host
