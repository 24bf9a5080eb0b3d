// The filter instance's frames and workers, reached as the module reaches
// them: under the instance's lock.
#pragma once

#include "common.h"
#include "host-images.h"

#include <cstdint>

namespace qm_host {

// The instance's input frame and sequence number, read together under
// its lock.
image copy_input_frame(direct_filter_data *data, uint64_t *seq = nullptr);
uint64_t input_seq(direct_filter_data *data);
// Whether the instance holds a processed frame from its current
// connection; the receiver clears it when the connection ends.
bool has_output(direct_filter_data *data);

// Places a processed frame into the instance as its receiver does: under
// the lock, with has_output set and output_time stamped (now by default).
void set_output_frame(direct_filter_data *data, const image &frame,
		      uint64_t output_time = 0);
void clear_output_frame(direct_filter_data *data);
// Stamps the processed frame as arrived now, as the receiver stamps each
// frame it stores, without changing the frame.
void restamp_output(direct_filter_data *data);

// Stops the instance's workers as destroy begins to and joins them, so
// that afterwards only the caller changes the output frame: the receiver
// clears has_output whenever it has no controller connection. Rendering
// goes on as before.
void quiet_workers(direct_filter_data *data);

} // namespace qm_host
