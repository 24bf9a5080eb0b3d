#include "host-wait.h"

#include "host-platform.h"

#include <thread>

namespace qm_host {

bool wait_until(const std::function<bool()> &condition,
		std::chrono::milliseconds deadline,
		std::chrono::milliseconds step)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	for (;;) {
		if (condition())
			return true;
		if (std::chrono::steady_clock::now() >= end)
			return false;
		std::this_thread::sleep_for(step);
	}
}

int thread_count()
{
	return platform::thread_count();
}

bool wait_for_thread_count(int count, std::chrono::milliseconds deadline)
{
	return wait_until([&] { return thread_count() <= count; }, deadline);
}

} // namespace qm_host
