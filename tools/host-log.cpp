#include "host-log.h"

#include <util/base.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace qm_host {

namespace {

std::mutex log_mutex;
std::vector<log_line> captured_log;
int log_echo_level = LOG_WARNING;

void log_handler(int level, const char *format, va_list args, void *)
{
	char buf[8192];
	va_list copy;
	va_copy(copy, args);
	vsnprintf(buf, sizeof(buf), format, copy);
	va_end(copy);

	if (level <= log_echo_level)
		fprintf(stderr, "[obs %d] %s\n", level, buf);
	std::lock_guard<std::mutex> guard(log_mutex);
	captured_log.push_back({level, buf});
}

} // namespace

void clear_log()
{
	std::lock_guard<std::mutex> guard(log_mutex);
	captured_log.clear();
}

std::vector<log_line> log_lines()
{
	std::lock_guard<std::mutex> guard(log_mutex);
	return captured_log;
}

std::vector<log_line> log_lines_containing(const std::string &needle)
{
	std::vector<log_line> found;
	for (auto &line : log_lines())
		if (line.text.find(needle) != std::string::npos)
			found.push_back(line);
	return found;
}

std::vector<log_line> module_log_lines()
{
	return log_lines_containing("Quilmar");
}

void capture_log(int echo_level)
{
	log_echo_level = echo_level;
	base_set_log_handler(log_handler, nullptr);
}

void end_log_capture()
{
	base_set_log_handler(nullptr, nullptr);
}

} // namespace qm_host
