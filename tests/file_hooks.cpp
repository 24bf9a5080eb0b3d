#include "file_hooks.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace qm_test {

namespace {

std::mutex hooks_mutex;
open_hook open_hook_;
name_hook rename_hook_;
name_hook link_hook_;
std::vector<open_counter *> counters;

void count_open(const char *path)
{
	size_t len = strlen(path);
	std::lock_guard<std::mutex> guard(hooks_mutex);
	for (open_counter *c : counters) {
		const std::string &suffix = c->suffix();
		if (len >= suffix.size() &&
		    suffix.compare(0, suffix.size(),
				   path + len - suffix.size()) == 0)
			c->add();
	}
}

template<typename Hook> Hook current(const Hook &hook)
{
	std::lock_guard<std::mutex> guard(hooks_mutex);
	return hook;
}

template<typename Fn> Fn next(const char *name)
{
	return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

void hook_open(open_hook hook)
{
	std::lock_guard<std::mutex> guard(hooks_mutex);
	open_hook_ = std::move(hook);
}

void hook_rename(name_hook hook)
{
	std::lock_guard<std::mutex> guard(hooks_mutex);
	rename_hook_ = std::move(hook);
}

void hook_link(name_hook hook)
{
	std::lock_guard<std::mutex> guard(hooks_mutex);
	link_hook_ = std::move(hook);
}

void clear_file_hooks()
{
	hook_open({});
	hook_rename({});
	hook_link({});
}

int real_open(const char *path, int flags, unsigned mode)
{
	using open_fn = int (*)(const char *, int, ...);
	static open_fn fn = next<open_fn>("open");
	return fn(path, flags, mode);
}

open_counter::open_counter(std::string suffix) : suffix_(std::move(suffix))
{
	std::lock_guard<std::mutex> guard(hooks_mutex);
	counters.push_back(this);
}

open_counter::~open_counter()
{
	std::lock_guard<std::mutex> guard(hooks_mutex);
	counters.erase(std::find(counters.begin(), counters.end(), this));
}

bool plant_file(const char *path, const char *text)
{
	int fd = real_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
	if (fd < 0)
		return false;
	size_t len = strlen(text);
	bool written = write(fd, text, len) == ssize_t(len);
	return close(fd) == 0 && written;
}

} // namespace qm_test

extern "C" int open(const char *path, int flags, ...)
{
	unsigned mode = 0;
	if (flags & (O_CREAT | O_TMPFILE)) {
		va_list args;
		va_start(args, flags);
		mode = va_arg(args, unsigned);
		va_end(args);
	}
	qm_test::count_open(path);
	if (auto hook = qm_test::current(qm_test::open_hook_))
		hook(path, flags);
	return qm_test::real_open(path, flags, mode);
}

// Declared by the C library as throwing nothing.
extern "C" int renameat2(int from_dir, const char *from, int to_dir,
			 const char *to, unsigned flags) noexcept
{
	if (auto hook = qm_test::current(qm_test::rename_hook_)) {
		if (int error = hook(from, to)) {
			errno = error;
			return -1;
		}
	}
	using rename_fn =
		int (*)(int, const char *, int, const char *, unsigned);
	static rename_fn fn = qm_test::next<rename_fn>("renameat2");
	return fn(from_dir, from, to_dir, to, flags);
}

extern "C" int link(const char *from, const char *to) noexcept
{
	if (auto hook = qm_test::current(qm_test::link_hook_)) {
		if (int error = hook(from, to)) {
			errno = error;
			return -1;
		}
	}
	using link_fn = int (*)(const char *, const char *);
	static link_fn fn = qm_test::next<link_fn>("link");
	return fn(from, to);
}
