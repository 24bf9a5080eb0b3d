// The demo's command line, and where it finds the module and the
// controller program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace qm_demo {

struct options {
	std::string output_dir = std::string(QM_PROJECT_DIR) + "/demo-output";
	double seconds = 5.0;
	double delay = 5.0;
	uint32_t fps = 30;
	std::string module_path;
	std::string controller_path;
};

// 0 when the arguments are good, otherwise the exit status to end with;
// --help prints the usage and exits.
int parse_args(int argc, char **argv, options *opt);

bool is_executable(const std::filesystem::path &p);

// The controller program: the one given, else quilmar-controller next to
// this program, else the one built with it.
std::string find_controller(const options &opt);
// The module: the one given, else the one built with this program.
std::string find_module(const options &opt);

} // namespace qm_demo
