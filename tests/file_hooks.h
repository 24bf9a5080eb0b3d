// Stand-ins for the C library's open(), renameat2() and link() in front of
// the real ones, for test programs that export their symbols (CMake's
// ENABLE_EXPORTS): the module loaded into the host then calls these first.
// Tests hook into them to plant a file at the very name the module is
// about to create, to hold a call up for as long as they like, or to make
// a call fail as it does on a file system without hard links.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace qm_test {

// Runs before every open(); may block. path and flags as given.
using open_hook = std::function<void(const char *path, int flags)>;
// Runs before every renameat2() or link() with the two paths; returns an
// errno value to fail the call with, or 0 to let it run.
using name_hook = std::function<int(const char *from, const char *to)>;

// Each replaces the hook before it; an empty one removes it. Thread-safe:
// a hook runs on the thread that made the call, without any lock held.
void hook_open(open_hook hook);
void hook_rename(name_hook hook);
void hook_link(name_hook hook);
void clear_file_hooks();

// The C library's own open(), for hooks that create files themselves.
int real_open(const char *path, int flags, unsigned mode = 0);
// Creates a new file at path holding text, past the hooks; false when
// something is there already or it cannot be written.
bool plant_file(const char *path, const char *text);

// Counts the open() calls for paths that end in suffix while it lives: the
// module looking at a file, whether or not the file is there.
class open_counter {
public:
	explicit open_counter(std::string suffix);
	~open_counter();
	open_counter(const open_counter &) = delete;
	open_counter &operator=(const open_counter &) = delete;

	int count() const { return count_.load(); }
	const std::string &suffix() const { return suffix_; }
	void add() { count_++; }

private:
	std::string suffix_;
	std::atomic<int> count_{0};
};

} // namespace qm_test
