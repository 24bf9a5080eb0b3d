// The filter's settings as the controller reads them from "settings.json"
// in the configuration folder, which the filter rewrites on every change.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qmc {

constexpr double MIN_DELAY = 1.0, MAX_DELAY = 30.0, DEFAULT_DELAY = 5.0;
constexpr int MIN_FPS = 5, MAX_FPS = 60, DEFAULT_FPS = 15;
// Larger files are not settings the filter wrote.
constexpr size_t MAX_SETTINGS_BYTES = 1 << 20;

struct settings {
	// Seconds between a frame's arrival and its output.
	double delay = DEFAULT_DELAY;
	// Frames per second kept for output.
	int fps = DEFAULT_FPS;
	bool worker_enabled = true;
	bool face_enabled = true;
	bool qr_enabled = true;
	bool phone_enabled = true;
	// Photos of people to keep visible: "reference", then each "value"
	// of "references".
	std::vector<std::string> references;

	bool operator==(const settings &o) const;
	bool operator!=(const settings &o) const { return !(*this == o); }
};

// The settings in a file's text. Absent keys take their defaults and
// numbers are clamped to their ranges. Text that is not a JSON object, or
// a known key of the wrong type, gives nothing, with the reason in *why.
std::optional<settings> parse_settings(const std::string &text,
				       std::string *why);

enum class file_read { ok, missing, unusable };

// Reads a small regular file whole without ever blocking: a folder, FIFO
// or device in its place, or a file over limit bytes, is unusable (the
// reason in *why).
file_read read_small_file(const std::string &path, size_t limit,
			  std::string *text, std::string *why);

// The settings file as it changes: starts at the defaults, and keeps the
// last good settings whenever the file goes missing or turns bad.
class settings_file {
public:
	// report receives one line for each new problem with the file.
	settings_file(std::string path,
		      std::function<void(const std::string &)> report);

	// Rereads the file; true when the settings changed.
	bool poll();
	const settings &current() const { return current_; }

private:
	std::string path_;
	std::function<void(const std::string &)> report_;
	settings current_;
	std::string last_text_;
	std::string last_problem_;
	bool seen_ = false;

	void problem(const std::string &what);
};

} // namespace qmc
