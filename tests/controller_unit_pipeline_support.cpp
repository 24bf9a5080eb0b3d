// The pipeline tests' shared helpers (see
// controller_unit_pipeline_support.h).
#include "controller_unit_pipeline_support.h"

#include <gtest/gtest.h>

namespace qm_pipeline {

namespace {

const cv::Size SIZE(320, 180);

} // namespace

pipeline_options options(size_t frames, const clock_fn &cpu)
{
	pipeline_options o;
	o.max_frames = frames;
	o.cpu_budget = 8;
	o.thread_cpu = cpu;
	o.process_cpu = [] {
		return uint64_t(0);
	};
	return o;
}

cv::Mat numbered(uint64_t n)
{
	cv::Mat m(SIZE, CV_8UC4, cv::Scalar(90, 120, 150, 255));
	m.at<cv::Vec4b>(0, 0) = cv::Vec4b(uint8_t(n), uint8_t(n >> 8), 7, 255);
	return m;
}

uint64_t number_of(const cv::Mat &m)
{
	cv::Vec4b v = m.at<cv::Vec4b>(0, 0);
	return uint64_t(v[0]) | uint64_t(v[1]) << 8;
}

settings at(double delay, int fps)
{
	settings s;
	s.delay = delay;
	s.fps = fps;
	return s;
}

bool offer(pipeline &p, uint64_t n)
{
	cv::Mat frame = numbered(n);
	return p.offer(frame);
}

void feed(pipeline &p, manual_clock &clock, int count, double period_ms,
	  double start_ms)
{
	for (int i = 0; i < count; i++) {
		clock.arrive_at_ms(start_ms + i * period_ms);
		offer(p, uint64_t(i));
		ASSERT_TRUE(p.wait_idle(IDLE));
	}
}

bool contains(const std::vector<cv::Rect> &boxes, const cv::Rect &r)
{
	for (const cv::Rect &b : boxes)
		if ((b & r) == r)
			return true;
	return false;
}

} // namespace qm_pipeline
