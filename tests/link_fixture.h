// The fixture and helpers that the link tests in the real host share
// (test_link_handshake.cpp, test_link_streams.cpp, test_link_faults.cpp):
// quilmar-direct.so loaded into a headless libobs, talking over loopback
// to the fake controller, which publishes its endpoints in the module's
// configuration folder.
#pragma once

#include "fake_controller.h"
#include "host.h"

#include <util/platform.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qm_link {

using namespace qm_test;
using namespace std::chrono_literals;
using fake::endpoint;

// Generous: two loaded cores, perhaps a sanitizer; waits end as soon as
// their condition holds.
constexpr auto LONG = std::chrono::milliseconds(60000);

using ms = std::chrono::milliseconds;

ms since(fake::clock::time_point from, fake::clock::time_point to);
fake::bytes pixels_of(const image &img);
image image_of(const fake::bytes &px);
fake::bytes processed_pixels(const palette &colours = PROCESSED_PALETTE);

// The first recorded input frame that arrived on a connection.
const fake::input_frame_info *
first_frame_on(const std::vector<fake::input_frame_info> &frames,
	       uint64_t conn);

class link_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		clear_log();
		threads_at_start = thread_count();
		ctl = std::make_unique<fake::controller>(module_config_dir());
	}

	void TearDown() override
	{
		// Closing the controller first wakes the receiver at once, so
		// that destroying the filter does not wait for its time-out.
		ctl->stop();
		fs = filtered_source();
		ctl.reset();
		// The host destroys the filter on a thread of its own; its
		// workers are gone once the thread count is back.
		EXPECT_TRUE(wait_for_thread_count(threads_at_start, LONG))
			<< thread_count() << " threads, " << threads_at_start
			<< " at the start";

		for (auto &line : log_lines()) {
			bool host_json_error =
				allow_json_errors &&
				line.text.find("obs_data_create_from_json") !=
					std::string::npos;
			if (!host_json_error) {
				EXPECT_GT(line.level, LOG_WARNING)
					<< "unexpected log line: " << line.text;
			}
		}
		for (auto &line : module_log_lines())
			ADD_FAILURE()
				<< "unexpected module log line: " << line.text;
	}

	// A 1280x720 pattern source with the filter attached.
	void make_filter(pattern_kind kind = pattern_kind::plain)
	{
		bool async = kind == pattern_kind::async;
		fs = make_filtered(kind, async ? 0 : FRAME_WIDTH,
				   async ? 0 : FRAME_HEIGHT);
		ASSERT_NE(fs.data(), nullptr);
	}

	// The filter on a source without a size: each render only draws,
	// capturing nothing, so that a frame is judged fresh as soon as the
	// render begins, however slowly the machine would capture.
	void make_display_only_filter()
	{
		fs = make_filtered(pattern_kind::plain, 0, 0);
		ASSERT_NE(fs.data(), nullptr);
	}

	image render() { return render_and_read(fs.parent.get()); }

	// Renders until cond holds.
	bool render_until(const std::function<bool(const image &)> &cond,
			  ms deadline = LONG)
	{
		return wait_until([&] { return cond(render()); }, deadline);
	}

	bool shows_processed(const image &img,
			     const palette &colours = PROCESSED_PALETTE)
	{
		return pattern_mismatch(img, colours).empty();
	}

	// The controller sends a frame of colours, again and again, until
	// the filter has drawn it.
	bool draws(const palette &colours)
	{
		return ctl->post_frames_until(
			processed_pixels(colours),
			[&] { return shows_processed(render(), colours); },
			LONG);
	}

	// Closes the controller's connections and renders until both
	// workers have connected again (the sender notices a closed
	// connection only when it next sends a frame).
	bool reconnect_both()
	{
		size_t in = ctl->token_ok_count(endpoint::input);
		size_t out = ctl->token_ok_count(endpoint::output);
		ctl->close_connections(endpoint::input);
		ctl->close_connections(endpoint::output);
		return render_until([&](const image &) {
			return ctl->token_ok_count(endpoint::input) > in &&
			       ctl->token_ok_count(endpoint::output) > out;
		});
	}

	std::unique_ptr<fake::controller> ctl;
	filtered_source fs;
	bool allow_json_errors = false;
	int threads_at_start = 0;
};

using Handshake = link_test;
using InputStream = link_test;
using OutputStream = link_test;
using RoundTrip = link_test;
using Faults = link_test;

} // namespace qm_link
