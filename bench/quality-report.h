// The benchmark's tables of every sequence at each "delay", and the
// targets judged on them.
#pragma once

#include "quality-run.h"

#include <string>
#include <vector>

namespace quality {

struct outcome {
	std::string name;
	double delay;
	tally t;
	run_result r;
};

// Share of part in whole, in percent; 0 when whole is 0.
double share(uint64_t part, uint64_t whole);
// A summary figure of the controller, "-" when it did not print it.
std::string summary_figure(const run_result &r, const std::string &key,
			   const char *number);
// One summary figure of every detector, " / " between them.
std::string each_detector(const run_result &r, const char *what,
			  const char *number);

// Two tables: what the frames showed, and what they cost, a row for each
// sequence and delay.
void add_delay_tables(const std::vector<outcome> &all);
// The targets for every sequence at every delay: frames wholly obscured,
// changes away from the objects, hiding, the controller's cores, and what
// the grain costs each detector.
void judge_delay_targets(const std::vector<outcome> &all);

} // namespace quality
