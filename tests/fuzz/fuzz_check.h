// Checks and files shared by every fuzz target, the module's and the
// controller's.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qm_fuzz {

// Where broken invariants are told: stderr, or a copy of it made before
// libFuzzer closes stderr (-close_fd_mask=2) for a target whose libraries
// write a line for every bad input.
inline int &report_fd()
{
	static int fd = 2;
	return fd;
}

inline void keep_stderr_for_reports()
{
	int fd = dup(2);
	if (fd >= 0)
		report_fd() = fd;
}

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *what)
{
	const char *prefix = "fuzz invariant broken: ";
	if (write(report_fd(), prefix, strlen(prefix)) < 0 ||
	    write(report_fd(), what, strlen(what)) < 0 ||
	    write(report_fd(), "\n", 1) < 0)
		fputs(what, stderr);
	abort();
}

inline void check(bool ok, const char *what)
{
	if (!ok)
		fail(what);
}

// A fresh private folder under TMPDIR (or /tmp) for one fuzzer process.
inline std::string make_temp_dir(const char *tag)
{
	const char *tmp = getenv("TMPDIR");
	std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") +
			    "/qm-fuzz-" + tag + "-XXXXXX";
	if (!mkdtemp(&templ[0]))
		fail("cannot create a temporary folder");
	return templ;
}

inline void write_file(const std::string &path, const uint8_t *data,
		       size_t size)
{
	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		fail("cannot open the input file for writing");
	bool ok = fwrite(data, 1, size, f) == size;
	ok = fclose(f) == 0 && ok;
	if (!ok)
		fail("cannot write the input file");
}

} // namespace qm_fuzz
