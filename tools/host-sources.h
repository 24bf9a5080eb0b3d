// Test-pattern sources for the headless host: still, self-drawing,
// webcam-like (asynchronous) and moving patterns, a feeder that pushes
// frames like a webcam, and a pattern with a filter attached; owned host
// references.
#pragma once

#include "common.h"
#include "host-images.h"

#include <obs.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace qm_host {

constexpr const char *FILTER_ID = "quilmar_direct_filter_experiment";

// ---------------------------------------------------------------------------
// Owned host references

struct source_release {
	void operator()(obs_source_t *s) const { obs_source_release(s); }
};
using source_ptr = std::unique_ptr<obs_source_t, source_release>;

struct data_release {
	void operator()(obs_data_t *d) const { obs_data_release(d); }
};
using data_ptr = std::unique_ptr<obs_data_t, data_release>;

struct properties_destroy {
	void operator()(obs_properties_t *p) const
	{
		obs_properties_destroy(p);
	}
};
using properties_ptr = std::unique_ptr<obs_properties_t, properties_destroy>;

// ---------------------------------------------------------------------------
// Test-pattern sources

enum class pattern_kind {
	plain,       // synchronous still, draws with the effect it is given
	custom_draw, // synchronous still, draws itself with the default effect
	async,       // asynchronous, shows frames pushed to it like a webcam
	moving,      // synchronous, the next moving frame on every video tick
};

constexpr const char *PATTERN_ID = "qm_test_pattern";
constexpr const char *PATTERN_CUSTOM_DRAW_ID = "qm_test_pattern_custom_draw";
constexpr const char *PATTERN_ASYNC_ID = "qm_test_pattern_async";
constexpr const char *PATTERN_MOVING_ID = "qm_test_pattern_moving";

const char *pattern_id(pattern_kind kind);

// A private pattern source of the given size (settings "width" and
// "height"; a moving one also "fps"; a still one "alpha", 255 unless
// set). An asynchronous one has no picture until a frame is pushed.
source_ptr create_pattern(pattern_kind kind, uint32_t width, uint32_t height,
			  const char *name = "qm test pattern");

// When a moving source made its frames (null for other sources).
const frame_times *moving_frame_times(obs_source_t *source);

// Hands an asynchronous source one frame, as a capture device does.
void push_frame(obs_source_t *source, const image &frame);
void push_pattern_frame(obs_source_t *source, uint32_t width, uint32_t height,
			const palette &colours = SOURCE_PALETTE);

// Pushes moving frames 0, 1, 2, ... into an asynchronous source at fps
// from a thread of its own, as a webcam delivers them, until stopped or
// destroyed.
struct webcam_feeder {
	webcam_feeder(obs_source_t *source, uint32_t width, uint32_t height,
		      uint32_t fps);
	// The same with frames of another making: make(n) is frame n.
	webcam_feeder(obs_source_t *source, uint32_t fps,
		      std::function<image(uint64_t n)> make);
	~webcam_feeder();
	webcam_feeder(const webcam_feeder &) = delete;
	webcam_feeder &operator=(const webcam_feeder &) = delete;

	void stop();
	uint64_t frames_pushed() const { return pushed_.load(); }
	// When each frame was pushed.
	const frame_times &times() const { return times_; }

private:
	void run(obs_source_t *source, uint32_t fps,
		 const std::function<image(uint64_t n)> &make);

	std::atomic<bool> stop_{false};
	std::atomic<uint64_t> pushed_{0};
	frame_times times_;
	std::thread thread_;
};

// A pattern source with one filter attached. Removes and releases both
// when it goes out of scope.
struct filtered_source {
	source_ptr parent;
	source_ptr filter;

	filtered_source() = default;
	filtered_source(filtered_source &&) = default;
	filtered_source &operator=(filtered_source &&) = default;
	~filtered_source();

	// The filter's instance record, or null when creation failed.
	direct_filter_data *data() const;
};

filtered_source make_filtered(pattern_kind kind, uint32_t width,
			      uint32_t height,
			      const char *filter_id = FILTER_ID,
			      obs_data_t *filter_settings = nullptr);

// Registers the pattern source types; start does, once libobs is up.
void register_patterns();

} // namespace qm_host
