// The test's clock and the scripted detectors that the pipeline tests
// (controller_unit_pipeline_*.cpp) share, with frames that carry their
// number and the steps that feed a pipeline.
#pragma once

#include "pipeline.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qm_pipeline {

using namespace qmc;

constexpr uint64_t MS = 1000000;
constexpr auto IDLE = std::chrono::seconds(30);

// The test's clock. A frame fed "arriving" at a time moves the clock only
// when the feeding thread reads it, inside the pipeline's offer: its
// detectors never see that time come before the frame.
struct manual_clock {
	struct state {
		std::atomic<uint64_t> t{1000 * MS};
		std::atomic<uint64_t> next{0};
		std::atomic<std::thread::id> feeder{};
	};
	std::shared_ptr<state> s = std::make_shared<state>();
	clock_fn fn() const
	{
		auto p = s;
		return [p] {
			uint64_t next = p->next;
			if (next && p->feeder == std::this_thread::get_id()) {
				p->t = next;
				p->next = 0;
			}
			return p->t.load();
		};
	}
	void set_ms(double ms) { s->t = 1000 * MS + uint64_t(ms * 1e6); }
	void arrive_at_ms(double ms)
	{
		s->feeder = std::this_thread::get_id();
		s->next = 1000 * MS + uint64_t(ms * 1e6);
	}
};

// Room for every detector at once; run times on the test's clock.
pipeline_options options(
	size_t frames, const clock_fn &cpu = [] { return uint64_t(0); });

// A frame that carries its number in its first pixel.
cv::Mat numbered(uint64_t n);

uint64_t number_of(const cv::Mat &m);

struct gate {
	std::mutex m;
	std::condition_variable cv;
	bool open = false;
	void wait()
	{
		std::unique_lock<std::mutex> lock(m);
		cv.wait(lock, [&] { return open; });
	}
	void release()
	{
		std::lock_guard<std::mutex> lock(m);
		open = true;
		cv.notify_all();
	}
};

// A detector that reports what the test says each frame holds, and notes
// which frames it ran on and what hints it got.
struct scripted {
	std::mutex m;
	std::map<uint64_t, regions> truth;
	std::vector<uint64_t> ran_on;
	std::vector<regions> hints_seen;
	std::shared_ptr<gate> hold;
	std::atomic<int> entered{0};
	bool fail = false;
	// Called as each run ends: moves the test's clock by the run's time.
	std::function<void()> took;

	detector make(const std::string &name, double spacing, double reach,
		      double carry, double motion = 0)
	{
		detector d;
		d.name = name;
		d.spacing_s = spacing;
		d.reach_s = reach;
		d.carry_s = carry;
		d.motion.px_per_s = motion;
		d.find = [this](const cv::Mat &f, const regions &hints) {
			entered++;
			if (hold)
				hold->wait();
			std::lock_guard<std::mutex> lock(m);
			uint64_t n = number_of(f);
			ran_on.push_back(n);
			hints_seen.push_back(hints);
			if (took)
				took();
			if (fail)
				throw std::runtime_error("model went away");
			auto it = truth.find(n);
			return it == truth.end() ? regions() : it->second;
		};
		return d;
	}
	std::vector<uint64_t> runs()
	{
		std::lock_guard<std::mutex> lock(m);
		return ran_on;
	}
};

settings at(double delay, int fps);

// Offers frame n.
bool offer(pipeline &p, uint64_t n);

// Offers frames 0..count-1, one every period_ms, letting detectors finish
// each time.
void feed(pipeline &p, manual_clock &clock, int count, double period_ms,
	  double start_ms = 0);

bool contains(const std::vector<cv::Rect> &boxes, const cv::Rect &r);

} // namespace qm_pipeline
