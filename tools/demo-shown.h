// What the filter shows in the demo: each picture classified, a processed
// one checked against the scene frame it came from, what was shown over a
// stretch of frames, and the report the demo prints at the end.
#pragma once

#include "demo-controller.h"
#include "host-images.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace qm_demo {

enum class shown_kind { black, processed, unstamped, whole, raw, other };
constexpr int SHOWN_KINDS = int(shown_kind::other) + 1;

const char *kind_name(shown_kind k);

// What a picture of the filter shows; for a processed one, the scene
// frame it came from goes to *n.
shown_kind classify(const qm_host::image &img, uint64_t *n = nullptr);

// How scene frame n was processed. `leak`: a code, the moving face, the
// stranger or the phone number left as the camera showed it. `loose`: more
// hidden than the objects, as far as runs up to 0.8 s apart may carry
// them: the person to keep or the date changed, or anything away from
// what is hidden not what the camera showed, byte for byte. Each empty
// when none.
struct processing_check {
	std::string leak, loose;
};
processing_check check_processing(const qm_host::image &img, uint64_t n);

// Whether the controller covered every frame with its detectors' runs in
// time: none wholly obscured, none in a class's fallback, none uncovered.
// A machine too busy for that spaces runs farther apart than the demo's
// check of tightness allows for.
bool kept_up(const controller_summary &c);

struct latency_stats {
	uint64_t count = 0;
	double sum_ms = 0, max_ms = 0;
	std::vector<double> all_ms;

	void add(double ms)
	{
		count++;
		sum_ms += ms;
		max_ms = std::max(max_ms, ms);
		all_ms.push_back(ms);
	}
	double mean() const { return count ? sum_ms / double(count) : 0; }
	double median()
	{
		if (all_ms.empty())
			return 0;
		std::nth_element(all_ms.begin(),
				 all_ms.begin() + all_ms.size() / 2,
				 all_ms.end());
		return all_ms[all_ms.size() / 2];
	}
};

// What the filter showed over a stretch of frames.
struct shown_stats {
	uint64_t shown[SHOWN_KINDS] = {};
	std::set<uint64_t> processed_frames;
	latency_stats latency;

	uint64_t of(shown_kind k) const { return shown[int(k)]; }
	uint64_t total() const
	{
		uint64_t all = 0;
		for (uint64_t n : shown)
			all += n;
		return all;
	}
};

struct demo_report {
	std::filesystem::path out_dir;
	shown_kind before, during, after;
	uint64_t during_frame;
	double black_after_s;
	uint32_t fps;
	double controller_s;
	uint64_t pushed, seq_start, seq_end;
	controller_summary controller;
	double connect_s, run_s;
};

void print_report(const demo_report &r, const shown_stats &connecting,
		  shown_stats &running);

} // namespace qm_demo
