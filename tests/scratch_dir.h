#pragma once

// Folders under /tmp for the cases of one test program, removed with
// everything in them when the program ends.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qm_test {

// Makes /tmp/PREFIX-XXXXXX; empty when it cannot.
inline std::string scratch_dir(const std::string &prefix)
{
	struct roots {
		std::vector<std::string> paths;
		~roots()
		{
			for (auto &p : paths) {
				std::error_code ec;
				std::filesystem::remove_all(p, ec);
			}
		}
	};
	static roots made;
	std::string templ = "/tmp/" + prefix + "-XXXXXX";
	if (!::mkdtemp(templ.data()))
		return {};
	made.paths.push_back(templ);
	return templ;
}

} // namespace qm_test
