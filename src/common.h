// Shared by every part of the module: the fixed frame geometry and the
// per-instance record that the host callbacks and both workers work on.
#pragma once

#include "platform.h"

#include <obs-module.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

constexpr uint32_t FRAME_WIDTH = 1280;
constexpr uint32_t FRAME_HEIGHT = 720;
constexpr size_t FRAME_LINESIZE = FRAME_WIDTH * 4;
constexpr size_t FRAME_SIZE = FRAME_LINESIZE * FRAME_HEIGHT;

// A processed frame is shown while it is at most this old.
constexpr uint64_t FRESH_LIMIT_NS = 499999999;

using frame_buffer = std::unique_ptr<uint8_t[]>;

struct direct_filter_data {
	obs_source_t *source = nullptr;
	std::thread reader_thread;
	std::thread sender_thread;

	frame_buffer input_frame;
	uint64_t input_seq = 0;
	gs_texrender_t *texrender = nullptr;
	gs_stagesurf_t *stagesurf = nullptr;

	// Guards input_frame with input_seq, and output_frame with
	// output_time and has_output. Held only for frame copies, the
	// texture upload and the tests and stamps that go with them.
	std::mutex lock;
	std::atomic<bool> stop{false};
	// Wakes the workers from their pauses when stop is set, so that
	// teardown never waits out a pause.
	std::mutex pause_lock;
	std::condition_variable pause_wake;

	frame_buffer output_frame;
	frame_buffer black_frame;
	uint64_t output_time = 0;
	bool has_output = false;

	gs_effect_t *effect = nullptr;
	gs_texture_t *texture = nullptr;
	float tick_accum = 0.0f;

	// Serialises the settings poll with reference captures, which both
	// rewrite the filter's settings from different threads. Never held
	// together with lock in the other order.
	std::mutex settings_lock;
	// The JSON text this instance last saved to the settings file. A
	// file that still reads the same was not changed by anyone else, and
	// applying it could only undo a change that is about to be saved.
	std::mutex saved_lock;
	std::string saved_json;
};

// A frame-sized buffer, or none when memory is short.
frame_buffer qm_alloc_frame();

// True when a processed frame stamped at output_time may still be shown
// at now.
bool qm_frame_is_fresh(bool has_output, uint64_t now, uint64_t output_time);

// Loads a JSON file that another program writes, as a settings object.
// Only a regular file of sane size is read: a folder, a FIFO or a huge
// file in its place reads as missing.
obs_data_t *qm_load_json_file(const char *path);

// Sets stop and wakes the workers.
void qm_request_stop(direct_filter_data *filter);
// Waits ms milliseconds, or until stop is set.
void qm_pause(direct_filter_data *filter, unsigned ms);

// Worker bodies, started by create and ended by the stop flag. Host
// callbacks and workers let no exception out: the host is C.
void send_input(direct_filter_data *filter) noexcept;
void reader(direct_filter_data *filter) noexcept;

// Settings exchange with the controller, and reference capture.
void update(void *data, obs_data_t *settings) noexcept;
void tick(void *data, float seconds) noexcept;
bool capture_reference(obs_properties_t *props, obs_property_t *property,
		       void *data) noexcept;

// Settings keys, shared by the property page and the settings exchange.
#define S_REFERENCE "reference"
#define S_REFERENCES "references"
#define S_CAPTURE "capture"
#define S_DELAY "delay"
#define S_FPS "fps"
#define S_WORKER_ENABLED "worker_enabled"
#define S_FACE_ENABLED "face_enabled"
#define S_QR_ENABLED "qr_enabled"
#define S_PHONE_ENABLED "phone_enabled"
#define S_NOTE "note"
#define S_CAPTURE_REQUEST "capture_request"
