// What tests/stranger_listener.py reports, one line per event:
// "listening PORT", "connection PORT", "bytes PORT N", "closed PORT".
#pragma once

#include <cstddef>
#include <sstream>
#include <string>

namespace stranger_report {

// The lines of report that start with what (and name port, unless it is
// -1); for "bytes" the sum of their byte counts.
inline size_t count(const std::string &report, const std::string &what,
		    long port = -1)
{
	std::istringstream in(report);
	size_t found = 0;
	for (std::string text; std::getline(in, text);) {
		std::istringstream line(text);
		std::string word;
		long seen_port = 0, n = 0;
		line >> word >> seen_port;
		if (word != what || (port >= 0 && seen_port != port))
			continue;
		found += what == "bytes" && (line >> n) ? size_t(n) : 1;
	}
	return found;
}

// What the module logs, once, when the listener of an endpoint file
// ("filter-input" or "direct-output") belongs to another user.
inline std::string module_warning(const std::string &endpoint)
{
	return "Quilmar: the listener of " + endpoint +
	       ".endpoint does not belong to this user; not connecting";
}

} // namespace stranger_report
