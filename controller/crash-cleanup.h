// Files that must not outlive the process even when a fatal signal ends it
// (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL: a crash or a failed assertion
// in the program or a library it runs). The handler only compares and
// unlinks, with what was prepared beforehand, then lets the signal end the
// process as it would have.
#pragma once

#include <cstddef>
#include <string>

namespace qmc {

constexpr size_t CRASH_CLEANUP_FILES = 4;

// Installs the handler for the fatal signals; call once, early.
void install_crash_cleanup();
// Removes path after a fatal signal in this process (not in a child it
// forks), if it then still holds exactly text. False when no room is left
// or path or text is too long.
bool crash_cleanup_add(const std::string &path, const std::string &text);
// Forgets every file added.
void crash_cleanup_clear();

} // namespace qmc
