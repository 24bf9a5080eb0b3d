// Process-level measurements for the benchmark: CPU time of the process
// and of single threads, resident memory and heap use.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Monotonic seconds.
double now_s();
void sleep_s(double seconds);

// CPU time (user and system) of the whole process so far, in seconds.
double process_cpu_s();
// Threads of this process.
std::vector<pid_t> thread_ids();
// CPU time of one thread of this process so far, in nanoseconds (0 when it
// has ended).
uint64_t thread_cpu_ns(pid_t tid);
// The name of one thread of this process (empty when it has ended).
std::string thread_name(pid_t tid);
uint64_t threads_cpu_ns(const std::vector<pid_t> &tids);

// Resident set size of the process, in bytes.
size_t resident_bytes();
// Bytes the C heap has handed out and not taken back (mallinfo2).
size_t heap_bytes();

// Percentiles of values (sorted in place); 0 when empty.
double percentile(std::vector<double> &values, double p);

} // namespace bench
