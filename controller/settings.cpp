#include "settings.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace qmc {

bool settings::operator==(const settings &o) const
{
	return delay == o.delay && fps == o.fps &&
	       worker_enabled == o.worker_enabled &&
	       face_enabled == o.face_enabled && qr_enabled == o.qr_enabled &&
	       phone_enabled == o.phone_enabled && references == o.references;
}

namespace {

using json = nlohmann::json;

bool read_bool(const json &obj, const char *key, bool &out, std::string *why)
{
	auto it = obj.find(key);
	if (it == obj.end() || it->is_null())
		return true;
	if (!it->is_boolean()) {
		*why = std::string("\"") + key + "\" is not true or false";
		return false;
	}
	out = it->get<bool>();
	return true;
}

bool read_number(const json &obj, const char *key, double &out,
		 std::string *why)
{
	auto it = obj.find(key);
	if (it == obj.end() || it->is_null())
		return true;
	if (!it->is_number()) {
		*why = std::string("\"") + key + "\" is not a number";
		return false;
	}
	out = it->get<double>();
	return true;
}

// Paths of reference photos; entries of any other shape are skipped.
std::vector<std::string> read_references(const json &obj)
{
	std::vector<std::string> paths;
	auto one = obj.find("reference");
	if (one != obj.end() && one->is_string() &&
	    !one->get<std::string>().empty())
		paths.push_back(one->get<std::string>());
	auto list = obj.find("references");
	if (list == obj.end() || !list->is_array())
		return paths;
	for (const json &item : *list) {
		if (!item.is_object())
			continue;
		auto value = item.find("value");
		if (value != item.end() && value->is_string() &&
		    !value->get<std::string>().empty())
			paths.push_back(value->get<std::string>());
	}
	return paths;
}

// The deepest nesting of arrays and objects in JSON text. The filter's
// file nests three deep; a hostile one could nest a million deep and cost
// a lot of memory to parse.
size_t nesting_depth(const std::string &text)
{
	size_t depth = 0, deepest = 0;
	bool in_string = false, escaped = false;
	for (char c : text) {
		if (in_string) {
			if (escaped)
				escaped = false;
			else if (c == '\\')
				escaped = true;
			else if (c == '"')
				in_string = false;
		} else if (c == '"') {
			in_string = true;
		} else if (c == '[' || c == '{') {
			deepest = std::max(deepest, ++depth);
		} else if ((c == ']' || c == '}') && depth > 0) {
			depth--;
		}
	}
	return deepest;
}

constexpr size_t MAX_NESTING = 32;

} // namespace

std::optional<settings> parse_settings(const std::string &text,
				       std::string *why)
{
	if (nesting_depth(text) > MAX_NESTING) {
		*why = "nested too deep";
		return std::nullopt;
	}
	json obj = json::parse(text, nullptr, false);
	if (obj.is_discarded()) {
		*why = "not valid JSON";
		return std::nullopt;
	}
	if (!obj.is_object()) {
		*why = "not a JSON object";
		return std::nullopt;
	}
	settings s;
	double fps = s.fps;
	if (!read_number(obj, "delay", s.delay, why) ||
	    !read_number(obj, "fps", fps, why) ||
	    !read_bool(obj, "worker_enabled", s.worker_enabled, why) ||
	    !read_bool(obj, "face_enabled", s.face_enabled, why) ||
	    !read_bool(obj, "qr_enabled", s.qr_enabled, why) ||
	    !read_bool(obj, "phone_enabled", s.phone_enabled, why))
		return std::nullopt;
	s.delay = std::clamp(s.delay, MIN_DELAY, MAX_DELAY);
	s.fps = int(
		std::floor(std::clamp(fps, double(MIN_FPS), double(MAX_FPS))));
	s.references = read_references(obj);
	return s;
}

file_read read_small_file(const std::string &path, size_t limit,
			  std::string *text, std::string *why)
{
	// Non-blocking, so that a FIFO without a writer cannot hang us.
	int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		if (errno == ENOENT)
			return file_read::missing;
		*why = strerror(errno);
		return file_read::unusable;
	}
	struct stat st;
	file_read result = file_read::ok;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		*why = "not a regular file";
		result = file_read::unusable;
	} else if (size_t(st.st_size) > limit) {
		*why = "larger than " + std::to_string(limit) + " bytes";
		result = file_read::unusable;
	}
	text->clear();
	char buf[16384];
	while (result == file_read::ok) {
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0) {
			*why = strerror(errno);
			result = file_read::unusable;
		} else if (n == 0) {
			break;
		} else if (text->size() + size_t(n) > limit) {
			*why = "larger than " + std::to_string(limit) +
			       " bytes";
			result = file_read::unusable;
		} else {
			text->append(buf, size_t(n));
		}
	}
	close(fd);
	return result;
}

settings_file::settings_file(std::string path,
			     std::function<void(const std::string &)> report)
	: path_(std::move(path)),
	  report_(std::move(report))
{
}

void settings_file::problem(const std::string &what)
{
	if (what == last_problem_)
		return;
	last_problem_ = what;
	if (report_)
		report_("settings.json: " + what +
			"; keeping the last good settings");
}

bool settings_file::poll()
{
	std::string text, why;
	switch (read_small_file(path_, MAX_SETTINGS_BYTES, &text, &why)) {
	case file_read::missing:
		// Before the filter first writes it, the defaults hold.
		if (seen_)
			problem("missing");
		return false;
	case file_read::unusable:
		problem(why);
		return false;
	case file_read::ok:
		break;
	}
	if (seen_ && text == last_text_ && last_problem_.empty())
		return false;
	std::optional<settings> parsed = parse_settings(text, &why);
	if (!parsed) {
		// A file being written shows up as bad JSON for a moment; the
		// filter replaces it whole, so the next poll sees it done.
		problem(why);
		return false;
	}
	seen_ = true;
	last_text_ = text;
	last_problem_.clear();
	bool changed = *parsed != current_;
	current_ = std::move(*parsed);
	return changed;
}

} // namespace qmc
