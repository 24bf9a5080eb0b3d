// The fixture and helpers that the exchange tests share: one filter
// instance in the headless host with a configuration folder of its own,
// the module's log lines each test expects, and checks of the reference
// images the module saves.
#pragma once

#include "host.h"

#include <obs.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qm_exchange {

using namespace qm_test;
namespace stdfs = std::filesystem;

// ---------------------------------------------------------------------------
// Files

std::vector<std::string> images_in(const std::string &dir);

// Checks that path is one reference image in the faces folder holding
// exactly frame.
void expect_image_of_frame(const std::string &path, const image &frame,
			   const std::string &dir = module_config_dir());

// ---------------------------------------------------------------------------
// Settings

// The host's JSON of settings that hold every kind of value the page has.
data_ptr sample_settings();

void set_request(obs_data_t *d);

// ---------------------------------------------------------------------------
// Fixture

// Each test works with one filter instance on a 640x480 pattern and a
// configuration folder of its own, and lists the module's log lines it
// expects; any other line from the module fails it.
class exchange_test : public ::testing::Test {
protected:
	filtered_source fs;
	std::vector<log_line> expected_log;

	void SetUp() override
	{
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
		clear_log();
	}

	void TearDown() override
	{
		stop_filter();
		auto lines = module_log_lines();
		EXPECT_EQ(lines.size(), expected_log.size())
			<< "module log lines: " << describe(lines);
		for (size_t i = 0; i < lines.size() && i < expected_log.size();
		     i++) {
			EXPECT_EQ(lines[i].level, expected_log[i].level)
				<< lines[i].text;
			EXPECT_EQ(lines[i].text, expected_log[i].text);
		}
		std::error_code ignored;
		stdfs::remove_all(module_config_dir(), ignored);
	}

	static std::string describe(const std::vector<log_line> &lines)
	{
		std::string text;
		for (auto &line : lines)
			text += "\n  [" + std::to_string(line.level) + "] " +
				line.text;
		return text.empty() ? "none" : text;
	}

	void start_filter(obs_data_t *settings = nullptr)
	{
		fs = make_filtered(pattern_kind::plain, 640, 480, FILTER_ID,
				   settings);
		ASSERT_TRUE(fs.filter);
		ASSERT_NE(fs.data(), nullptr);
	}

	// Destroys the instance and lets a frame pass, so that no tick of it
	// is still running when the folder is cleaned.
	void stop_filter()
	{
		fs = filtered_source();
		run_on_graphics_thread([] {});
		run_on_graphics_thread([] {});
	}

	obs_source_t *filter() const { return fs.filter.get(); }

	// Renders the source once, so that the filter has a camera frame.
	void render_frame()
	{
		image shown = render_and_read(fs.parent.get());
		ASSERT_EQ(shown.width, 640u);
		ASSERT_GT(input_seq(fs.data()), 0u);
	}

	// Waits until the module has written the filter's settings to the
	// file, after a change that the host passes on with the next tick.
	bool file_mirrors_settings(const std::string &dir = module_config_dir())
	{
		return wait_until([&] {
			auto text = read_text(settings_path(dir));
			return text && *text == settings_json(filter());
		});
	}

	void expect_no_temporary_file()
	{
		EXPECT_FALSE(stdfs::exists(settings_path() + ".tmp"));
	}

	void expect_log(int level, const char *text, int times = 1)
	{
		for (int i = 0; i < times; i++)
			expected_log.push_back({level, text});
	}

	size_t lines_of(const char *text)
	{
		return log_lines_containing(text).size();
	}
};

} // namespace qm_exchange
