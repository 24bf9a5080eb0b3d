#include "frame-buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmc {

namespace {

// A frame due longer ago than this is passed over when a newer one is due
// as well: an output that fell behind catches up instead of lagging.
constexpr uint64_t LATE_LIMIT_NS = 250000000;
// Credit that may be saved up, in seconds at the kept rate (and frames at
// least): how far the kept frames may bunch up when the filter's frames
// come irregularly. Frames that come at random moments barely faster than
// "fps" need a quarter of a second of it to keep nearly "fps" a second;
// with one and a half frames they lose a third.
constexpr double MAX_CREDIT_S = 0.25;
constexpr double MIN_MAX_CREDIT = 1.5;

// Whether two frames hold the same pixels.
bool same_picture(const cv::Mat &a, const cv::Mat &b)
{
	if (a.size() != b.size() || a.type() != b.type())
		return false;
	size_t row = size_t(a.cols) * a.elemSize();
	for (int y = 0; y < a.rows; y++)
		if (memcmp(a.ptr(y), b.ptr(y), row) != 0)
			return false;
	return true;
}

} // namespace

frame_buffer::frame_buffer(size_t max_frames)
	: max_frames_(std::max<size_t>(max_frames, 1))
{
}

void frame_buffer::set_rates(double delay_s, int fps)
{
	delay_ns_ = delay_s <= 0 ? 0 : uint64_t(std::llround(delay_s * 1e9));
	// "delay" seconds at the kept rate must fit into the buffer.
	double fit = double(max_frames_) / std::max(delay_s, 0.001);
	keep_fps_ = std::min(double(fps), fit);
}

bool frame_buffer::offer(cv::Mat &bgra, uint64_t now, size_t detectors)
{
	// Frames come at the filter's pace, irregularly: credit earned at the
	// kept rate, of which a little may be saved up, keeps "fps" a second
	// on average without losing frames to jitter.
	double most = std::max(MIN_MAX_CREDIT, MAX_CREDIT_S * keep_fps_);
	if (!credit_at_)
		credit_ = 1;
	else if (now > credit_at_)
		credit_ = std::min(most, credit_ + double(now - credit_at_) /
							   1e9 * keep_fps_);
	credit_at_ = now;
	// (A frame exactly one period later must not miss its turn by a
	// rounding error.)
	if (credit_ < 1 - 1e-6 || frames_.size() >= max_frames_)
		return false;
	credit_ = std::max(0.0, credit_ - 1);
	auto pixels = std::make_shared<const cv::Mat>(std::move(bgra));
	uint64_t picture = last_pixels_ && same_picture(*pixels, *last_pixels_)
				   ? last_picture_
				   : now;
	frames_.push_back({next_seq_++, now, pixels, picture,
			   std::vector<bool>(detectors, false)});
	last_pixels_ = pixels;
	last_picture_ = picture;
	kept_++;
	return true;
}

std::optional<buffered_frame> frame_buffer::take_due(uint64_t now)
{
	while (!frames_.empty()) {
		uint64_t due = frames_.front().arrival + delay_ns_;
		if (due > now)
			return std::nullopt;
		bool late = now - due > LATE_LIMIT_NS;
		if (late && frames_.size() > 1 &&
		    frames_[1].arrival + delay_ns_ <= now) {
			passed_over_++;
			frames_.pop_front();
			continue;
		}
		buffered_frame f = std::move(frames_.front());
		frames_.pop_front();
		return f;
	}
	return std::nullopt;
}

std::optional<uint64_t> frame_buffer::next_due() const
{
	if (frames_.empty())
		return std::nullopt;
	return frames_.front().arrival + delay_ns_;
}

void frame_buffer::clear()
{
	frames_.clear();
	credit_at_ = 0;
	last_pixels_.reset();
}

} // namespace qmc
