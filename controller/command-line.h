// The command line, the configuration folder and the signals that end the
// program.
#pragma once

#include <cstddef>
#include <string>

namespace qmc {

constexpr int EXIT_USAGE = 2;

struct options {
	std::string config_dir;
	bool quiet = false;
	bool help = false;
	// Seconds between status lines; 0 picks one (1 on a terminal, 60
	// otherwise).
	double status_every = 0;
	// Memory the look-ahead buffer may use, in megabytes.
	size_t buffer_mb = 2048;
	// Cores the controller may take; 0: the default for this
	// machine.
	double cpu_budget = 0;
	// Folder of the detectors' models; empty: beside the program, then
	// the installed folder.
	std::string model_dir;
	// Region for phone numbers written without a leading +; empty: from
	// the locale.
	std::string region;
};

extern const char *const HELP_TEXT;

// Fills opt from the arguments. False with the reason in *error on a bad
// one.
bool parse_command_line(int argc, char **argv, options *opt,
			std::string *error);

// The filter's configuration folder, found as the filter finds it:
// $XDG_CONFIG_HOME/obs-studio/plugin_config/quilmar-direct when that
// variable holds an absolute path, else below $HOME/.config.
bool default_config_dir(std::string *out);
// Creates a folder and its parents (owner only); true when it exists.
bool make_dirs(const std::string &path);

// SIGINT and SIGTERM ask the program to end; SIGPIPE never ends it; the
// fatal signals remove the endpoint files on their way (crash-cleanup.h).
void install_signal_handlers();
bool stop_requested();
// Blocks SIGINT and SIGTERM on the calling thread and the threads it
// starts afterwards (the main thread keeps receiving them).
void block_stop_signals();
void unblock_stop_signals();

} // namespace qmc
