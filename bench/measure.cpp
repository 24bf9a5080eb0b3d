#include "measure.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace bench {

double now_s()
{
	using namespace std::chrono;
	return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleep_s(double seconds)
{
	std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double process_cpu_s()
{
	rusage ru{};
	getrusage(RUSAGE_SELF, &ru);
	return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
	       double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

std::vector<pid_t> thread_ids()
{
	std::vector<pid_t> tids;
	DIR *dir = opendir("/proc/self/task");
	if (!dir)
		return tids;
	while (dirent *entry = readdir(dir))
		if (entry->d_name[0] != '.')
			tids.push_back(pid_t(atoi(entry->d_name)));
	closedir(dir);
	std::sort(tids.begin(), tids.end());
	return tids;
}

// schedstat counts the time on a CPU in nanoseconds, exactly; stat only in
// clock ticks.
uint64_t thread_cpu_ns(pid_t tid)
{
	char path[64];
	snprintf(path, sizeof(path), "/proc/self/task/%d/schedstat", int(tid));
	FILE *f = fopen(path, "r");
	if (!f)
		return 0;
	unsigned long long ns = 0;
	if (fscanf(f, "%llu", &ns) != 1)
		ns = 0;
	fclose(f);
	return ns;
}

std::string thread_name(pid_t tid)
{
	char path[64];
	snprintf(path, sizeof(path), "/proc/self/task/%d/comm", int(tid));
	FILE *f = fopen(path, "r");
	if (!f)
		return "";
	char buf[64] = {};
	if (!fgets(buf, sizeof(buf), f))
		buf[0] = '\0';
	fclose(f);
	std::string name = buf;
	while (!name.empty() && name.back() == '\n')
		name.pop_back();
	return name;
}

uint64_t threads_cpu_ns(const std::vector<pid_t> &tids)
{
	uint64_t sum = 0;
	for (pid_t tid : tids)
		sum += thread_cpu_ns(tid);
	return sum;
}

size_t resident_bytes()
{
	FILE *f = fopen("/proc/self/statm", "r");
	if (!f)
		return 0;
	unsigned long size = 0, resident = 0;
	if (fscanf(f, "%lu %lu", &size, &resident) != 2)
		resident = 0;
	fclose(f);
	return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

size_t heap_bytes()
{
	struct mallinfo2 info = mallinfo2();
	return info.uordblks + info.hblkhd;
}

double percentile(std::vector<double> &values, double p)
{
	if (values.empty())
		return 0;
	std::sort(values.begin(), values.end());
	// Nearest rank.
	size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
	rank = std::max<size_t>(rank, 1);
	return values[std::min(rank, values.size()) - 1];
}

} // namespace bench
