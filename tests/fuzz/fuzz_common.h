// Helpers shared by the module's fuzz targets.
#pragma once

#include "fuzz_check.h"

#include <util/base.h>

#include <cstdarg>

namespace qm_fuzz {

// libobs logs every unreadable JSON file; millions of those lines would
// only hide the fuzzer's own report.
inline void quiet_log(int, const char *, va_list, void *) {}

inline void silence_libobs_log()
{
	base_set_log_handler(quiet_log, nullptr);
}

} // namespace qm_fuzz
