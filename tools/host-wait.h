// Waiting for conditions with deadlines, and the process's threads.
#pragma once

#include <chrono>
#include <functional>

namespace qm_host {

bool wait_until(const std::function<bool()> &condition,
		std::chrono::milliseconds deadline = std::chrono::seconds(10),
		std::chrono::milliseconds step = std::chrono::milliseconds(5));

// Threads of this process right now.
int thread_count();

// The host destroys released sources later, on threads of its own. Waits
// until the process has no more threads than count, which after releasing
// filters means that their workers have been joined.
bool wait_for_thread_count(int count, std::chrono::milliseconds deadline =
					      std::chrono::seconds(10));

} // namespace qm_host
