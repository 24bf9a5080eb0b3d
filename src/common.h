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
	// Set by create when the instance could not get all it needs. A
	// failed instance has no workers, no link and no settings of its
	// own, and draws opaque black in place of its target.
	bool failed = false;
	std::thread reader_thread;
	std::thread sender_thread;

	// Captures go round three buffers, so that nobody copies a frame
	// under the lock: render fills input_frame, then trades it for
	// input_ready; the sender trades input_ready for input_sending and
	// sends that. Each buffer's number tells which capture it holds (0:
	// none), and the latest capture is in whichever has the higher one.
	frame_buffer input_frame;
	frame_buffer input_ready;
	frame_buffer input_sending;
	uint64_t input_seq = 0;
	uint64_t ready_seq = 0;
	uint64_t sending_seq = 0;
	// With lock: tells the sender of a new capture, or of stop.
	std::condition_variable input_wake;
	gs_texrender_t *texrender = nullptr;
	gs_stagesurf_t *stagesurf = nullptr;

	// Guards the input buffers with their numbers, and output_frame with
	// output_seq, output_time and has_output. Held only for trading
	// buffers, the texture upload and the tests and stamps that go with
	// them.
	std::mutex lock;
	std::atomic<bool> stop{false};
	// Wakes the workers from their pauses when stop is set, so that
	// teardown never waits out a pause.
	std::mutex pause_lock;
	std::condition_variable pause_wake;

	// The latest processed frame, and the receiver's own buffer, where
	// the next one is put together before the two trade places.
	frame_buffer output_frame;
	frame_buffer output_spare;
	uint64_t output_seq = 0;
	uint64_t output_time = 0;
	bool has_output = false;

	gs_effect_t *effect = nullptr;
	gs_texture_t *texture = nullptr;
	// The output_seq of the frame in texture; graphics thread only.
	uint64_t uploaded_seq = 0;
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
// Every frame buffer of the instance; false when one is missing.
bool qm_alloc_frames(direct_filter_data *filter);

// True when a processed frame stamped at output_time may still be shown
// at now.
bool qm_frame_is_fresh(bool has_output, uint64_t now, uint64_t output_time);

// Loads a JSON file that another program writes, as a settings object.
// Only a regular file of sane size is read: a folder, a FIFO or a huge
// file in its place reads as missing.
obs_data_t *qm_load_json_file(const char *path);

// Makes the capture in input_frame the latest one and wakes the sender;
// input_frame is then free for the next capture.
void qm_publish_input(direct_filter_data *filter);

// The buffer that holds the latest capture. Call with lock held.
inline const uint8_t *qm_latest_input(const direct_filter_data *filter)
{
	return filter->ready_seq >= filter->sending_seq
		       ? filter->input_ready.get()
		       : filter->input_sending.get();
}

// Sets stop and wakes the workers wherever they wait.
inline void qm_request_stop(direct_filter_data *filter)
{
	{
		std::lock_guard<std::mutex> guard(filter->pause_lock);
		filter->stop.exchange(true);
	}
	filter->pause_wake.notify_all();
	// Taken once after stop is set, so that a sender about to wait sees
	// it or is woken.
	{
		std::lock_guard<std::mutex> guard(filter->lock);
	}
	filter->input_wake.notify_all();
}

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
