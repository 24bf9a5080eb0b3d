// The module's pure pieces timed with Google Benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct micro_result {
	std::string name;
	double ns_per_op = 0;
	int64_t iterations = 0;
};

// Runs every benchmark registered in micro.cpp (narrowed by a
// --benchmark_filter among args) and returns the per-operation times.
std::vector<micro_result> run_micro(std::vector<std::string> args);

} // namespace bench
