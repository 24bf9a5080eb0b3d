#include "host-instance.h"

#include <util/platform.h>

#include <cstring>
#include <mutex>
#include <thread>

namespace qm_host {

image copy_input_frame(direct_filter_data *data, uint64_t *seq)
{
	image img;
	img.width = FRAME_WIDTH;
	img.height = FRAME_HEIGHT;
	img.pitch = FRAME_LINESIZE;
	img.pixels.resize(FRAME_SIZE);
	std::lock_guard<std::mutex> guard(data->lock);
	memcpy(img.pixels.data(), qm_latest_input(data), FRAME_SIZE);
	if (seq)
		*seq = data->input_seq;
	return img;
}

uint64_t input_seq(direct_filter_data *data)
{
	std::lock_guard<std::mutex> guard(data->lock);
	return data->input_seq;
}

bool has_output(direct_filter_data *data)
{
	std::lock_guard<std::mutex> guard(data->lock);
	return data->has_output;
}

void set_output_frame(direct_filter_data *data, const image &frame,
		      uint64_t output_time)
{
	std::lock_guard<std::mutex> guard(data->lock);
	for (uint32_t y = 0; y < FRAME_HEIGHT; y++)
		memcpy(data->output_frame.get() + y * FRAME_LINESIZE,
		       frame.pixels.data() + size_t(y) * frame.pitch,
		       FRAME_LINESIZE);
	data->output_seq++;
	data->output_time = output_time ? output_time : os_gettime_ns();
	data->has_output = true;
}

void clear_output_frame(direct_filter_data *data)
{
	std::lock_guard<std::mutex> guard(data->lock);
	data->has_output = false;
}

void restamp_output(direct_filter_data *data)
{
	std::lock_guard<std::mutex> guard(data->lock);
	data->output_time = os_gettime_ns();
}

void quiet_workers(direct_filter_data *data)
{
	qm_request_stop(data);
	for (std::thread *worker : {&data->reader_thread, &data->sender_thread})
		if (worker->joinable())
			worker->join();
}

} // namespace qm_host
