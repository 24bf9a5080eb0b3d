// Fuzzes the controller's reading of settings.json: parse_settings on the
// input as text, and the same text as the file that a fresh settings_file
// polls. Settings it accepts must lie in their ranges and come back the
// same when written out again as the filter writes them; the file's poll
// must give exactly what the parser gives, or keep the defaults.
#include "fuzz_check.h"

#include "settings.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace {

std::string settings_path;

void check_ranges(const qmc::settings &s)
{
	qm_fuzz::check(std::isfinite(s.delay) && s.delay >= qmc::MIN_DELAY &&
			       s.delay <= qmc::MAX_DELAY,
		       "delay out of range");
	qm_fuzz::check(s.fps >= qmc::MIN_FPS && s.fps <= qmc::MAX_FPS,
		       "fps out of range");
	for (const std::string &r : s.references)
		qm_fuzz::check(!r.empty(), "an empty reference path");
}

// The settings as the filter would write them.
std::string written_back(const qmc::settings &s)
{
	nlohmann::json refs = nlohmann::json::array();
	for (const std::string &r : s.references)
		refs.push_back({{"value", r}, {"selected", false}});
	nlohmann::json j = {{"delay", s.delay},
			    {"fps", s.fps},
			    {"worker_enabled", s.worker_enabled},
			    {"face_enabled", s.face_enabled},
			    {"qr_enabled", s.qr_enabled},
			    {"phone_enabled", s.phone_enabled},
			    {"references", refs}};
	return j.dump(4);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	settings_path =
		qm_fuzz::make_temp_dir("ctl-settings") + "/settings.json";
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size), why;
	std::optional<qmc::settings> s = qmc::parse_settings(text, &why);
	if (s) {
		check_ranges(*s);
		std::string again_why;
		std::optional<qmc::settings> again =
			qmc::parse_settings(written_back(*s), &again_why);
		qm_fuzz::check(again && *again == *s,
			       "settings written back read differently");
	} else {
		qm_fuzz::check(!why.empty(), "refused without a reason");
	}

	qm_fuzz::write_file(settings_path, data, size);
	int problems = 0;
	qmc::settings_file file(settings_path,
				[&](const std::string &) { problems++; });
	bool changed = file.poll();
	const qmc::settings defaults;
	qm_fuzz::check(changed == (s && *s != defaults),
		       "poll's change does not match the parser");
	qm_fuzz::check(file.current() == (s ? *s : defaults),
		       "poll's settings do not match the parser");
	qm_fuzz::check((problems == 1) == !s,
		       "a bad file not told exactly once");
	qm_fuzz::check(!file.poll(), "the same file changed the settings");
	qm_fuzz::check((problems == 1) == !s, "a bad file told twice");
	return 0;
}
