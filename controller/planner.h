// The planner: how often each wanted detector runs, and in which mode, so
// that every kept frame is covered before it falls due while all of them
// together stay within one CPU budget.
//
// A frame is covered by a detector once it has run on frames no further
// than its reach before and after it. With runs `spacing` apart in arrival
// time that holds when
//   - spacing <= reach, and
//   - the run after a frame, up to `spacing` later, has finished before
//     the frame falls due: spacing + completion time <= delay - margin;
// and the machine keeps up when the sum of cost / spacing <= budget, the
// spacing runs really keep: whole frames, each run taking the latest frame
// at or before its step.
// When that does not fit, cost is cut before coverage: runs are spaced
// wider (up to what coverage allows), then cheaper modes are taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace qmc {

// What one run in one mode costs.
struct mode_cost {
	// CPU seconds a run (smoothed), and seconds from its start to its end
	// (a high percentile: waiting for a core included).
	double cpu_s = 0;
	double wall_s = 0;
	// False for a guess: the mode has not run yet.
	bool measured = false;
};

// One wanted detector as the planner sees it.
struct demand {
	std::string name;
	// Its modes, best first (at least one).
	std::vector<mode_cost> modes;
	// How far a run reaches on each side (coverage), and how long a frame
	// waits before the detector may run on it.
	double reach_s = 0.25;
	double min_age_s = 0;
	// Runs closer than this are not worth their cost (0: every frame).
	double preferred_spacing_s = 0;
	// The mode in use now: a better one is taken again only with room to
	// spare, so that the plan does not swing between two modes.
	size_t current_mode = 0;
};

struct plan_limits {
	double budget_cores = 1.5;
	double delay_s = 5;
	// The time between kept frames: no spacing is shorter.
	double frame_period_s = 1.0 / 15;
	// Share of the budget left free before a better mode is taken again.
	double headroom = 0.15;
};

// Time kept free before a frame falls due: the queueing and the handing
// out of the frame that completion times do not show.
double plan_margin_s(double delay_s);

// Detectors waiting for a core are taken least laxity first: by the
// latest a run may start and still finish (wall_ns) before the frames
// that wait for it fall due, every frame since the detector's last run
// (0: none yet). All times in ns on the pipeline's clock; never 0.
uint64_t run_start_by(uint64_t last_arrival, uint64_t arrival, uint64_t period,
		      uint64_t delay, uint64_t wall);

struct planned {
	std::string name;
	size_t mode = 0;
	double spacing_s = 0;
	// Expected cost in cores (cpu / the whole frames between runs) and
	// completion time.
	double cores = 0;
	double wall_s = 0;
};

struct plan {
	std::vector<planned> detectors;
	double cores = 0;
	// False when coverage cannot be met: `blame` names the detector and
	// `why` says what does not fit. The plan is then the cheapest one,
	// and frames it leaves uncovered fall back.
	bool fits = true;
	std::string blame, why;
};

plan make_plan(const std::vector<demand> &wanted, const plan_limits &limits);

// "qr-zxing full/0.07s 0.08c" for each detector, for the status line and
// the log.
std::string describe_plan(const plan &p,
			  const std::vector<std::vector<std::string>> &modes);

// Whether two plans differ enough to be told: another mode, or a spacing
// or cost that moved by more than a fifth.
bool plan_changed(const plan &a, const plan &b);

// Measured costs of one detector's runs, per mode.
class cost_meter {
public:
	// guesses: CPU seconds a run in each mode before any was measured.
	explicit cost_meter(std::vector<double> guesses);
	void add(size_t mode, double cpu_s, double wall_s);
	// What the mode costs: measured, or scaled from a measured mode by
	// the guesses' ratio, or the guess itself.
	mode_cost cost(size_t mode) const;
	size_t modes() const { return guesses_.size(); }

private:
	struct samples {
		double cpu_s = 0;
		std::deque<double> walls;
		uint64_t count = 0;
	};
	std::vector<double> guesses_;
	std::vector<samples> modes_;
	// Wall time over CPU time of measured runs, for guesses.
	double wall_per_cpu() const;
};

} // namespace qmc
