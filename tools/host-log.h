// Capture of libobs's log (and with it the module's) for the headless host.
#pragma once

#include <string>
#include <vector>

namespace qm_host {

struct log_line {
	int level;
	std::string text;
};

void clear_log();
std::vector<log_line> log_lines();
std::vector<log_line> log_lines_containing(const std::string &needle);
// The lines the module writes: all of them carry "Quilmar".
std::vector<log_line> module_log_lines();

// Sends libobs's log to the capture, echoing lines at echo_level or more
// severe to stderr; start does this first.
void capture_log(int echo_level);
void end_log_capture();

} // namespace qm_host
