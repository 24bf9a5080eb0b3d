// Helpers shared by the fuzz targets.
#pragma once

#include <util/base.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qm_fuzz {

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char *what)
{
	fprintf(stderr, "fuzz invariant broken: %s\n", what);
	abort();
}

inline void check(bool ok, const char *what)
{
	if (!ok)
		fail(what);
}

// libobs logs every unreadable JSON file; millions of those lines would
// only hide the fuzzer's own report.
inline void quiet_log(int, const char *, va_list, void *) {}

inline void silence_libobs_log()
{
	base_set_log_handler(quiet_log, nullptr);
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
