// The look-ahead buffer: the frames kept from those the filter sends (at
// most "fps" a second, and no more than fit into its memory), in order of
// arrival, each until it falls due "delay" seconds after it came.
// Not locked: the pipeline guards it.
#pragma once

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace qmc {

// A kept frame, shared between the threads that read it. Its matrix is
// never copied across threads, so that the last reader frees it in plain
// sight of the others (OpenCV counts its own references where tools that
// check threads cannot see).
using frame_ptr = std::shared_ptr<const cv::Mat>;

struct buffered_frame {
	uint64_t seq = 0;
	uint64_t arrival = 0;
	frame_ptr pixels;
	// When its picture came first: its arrival, or that of the kept
	// frame before it when it shows the very same picture. A source that
	// stalls sends its last picture again, and then one that has moved
	// on; where things are in a frame follows this time, not arrival.
	uint64_t picture = 0;
	// Per detector: a run on it has started, or it was passed over.
	std::vector<bool> started;
};

class frame_buffer {
public:
	explicit frame_buffer(size_t max_frames);

	// How long frames wait, and how many a second are kept: "fps", or
	// fewer when "delay" seconds of them would not fit.
	void set_rates(double delay_s, int fps);
	double keep_fps() const { return keep_fps_; }
	// Seconds between kept frames (ten at most).
	double period_s() const { return 1 / std::max(keep_fps_, 0.1); }
	uint64_t delay_ns() const { return delay_ns_; }

	// The frame read at `now`: kept, its pixels taken, when the kept rate
	// and the memory allow.
	bool offer(cv::Mat &bgra, uint64_t now, size_t detectors);

	// The oldest frame due at `now`, out of the buffer. When the output
	// has fallen behind, late frames are passed over for the newest due
	// one.
	std::optional<buffered_frame> take_due(uint64_t now);
	// When the oldest frame falls due (none: nullopt).
	std::optional<uint64_t> next_due() const;

	void clear();
	std::deque<buffered_frame> &frames() { return frames_; }
	const std::deque<buffered_frame> &frames() const { return frames_; }
	uint64_t kept() const { return kept_; }
	uint64_t passed_over() const { return passed_over_; }

private:
	const size_t max_frames_;
	uint64_t delay_ns_ = 0;
	double keep_fps_ = 0;
	// Frames that may be kept now, earned at the kept rate; a frame costs
	// one.
	double credit_ = 0;
	uint64_t credit_at_ = 0;
	uint64_t next_seq_ = 1;
	uint64_t kept_ = 0, passed_over_ = 0;
	std::deque<buffered_frame> frames_;
	// The last frame kept, and when its picture came first.
	frame_ptr last_pixels_;
	uint64_t last_picture_ = 0;
};

} // namespace qmc
