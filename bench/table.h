// The benchmarks' result table: rows in groups, echoed to stderr as they
// come, and the targets met or missed, rendered as Markdown at the end.
#pragma once

#include <string>
#include <vector>

namespace bench {

// Seconds of each measuring window are scaled by this; --quick shortens
// them for a smoke run.
extern double time_scale;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void add(const std::string &group, const std::string &item,
	 const std::string &value, const std::string &unit,
	 const std::string &covers);
void verdict(bool met, const std::string &what);
// A target that could not be judged, and why, among the verdicts.
void unjudged(const std::string &what);
// A table of its own (Markdown), printed after the groups of rows.
void add_section(const std::string &title,
		 const std::vector<std::string> &header,
		 const std::vector<std::vector<std::string>> &rows);
std::string render_table();
// Prints the table with the run's length to stdout, and writes it to
// out_path unless that is empty. The exit status: 1 when it cannot write.
int print_table(const std::string &out_path, double seconds);

} // namespace bench
