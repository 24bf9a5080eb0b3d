#include "planner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qmc {

namespace {

// Wall times kept per mode for the percentile, and which one is taken.
constexpr size_t WALL_SAMPLES = 20;
constexpr double WALL_PERCENTILE = 0.9;
// Weight of a new run in the smoothed CPU time: several slow runs in a
// row move it, one does not.
constexpr double CPU_WEIGHT = 0.2;
// Wall time over CPU time before any run was measured.
constexpr double GUESSED_WALL_PER_CPU = 1.5;
// The widest spacing of a detector the budget cannot afford at its reach.
constexpr double MAX_SPACING_S = 10;
// The share of its spacing a detector's run may take: its runs follow one
// another, and one that takes all of it never catches up after a delay.
constexpr double PACE = 0.8;

struct step {
	size_t mode = 0;
	double spacing = 0;
};

class planning {
public:
	planning(const std::vector<demand> &wanted, const plan_limits &limits)
		: d_(wanted),
		  lim_(limits),
		  margin_(plan_margin_s(limits.delay_s)),
		  period_(std::max(limits.frame_period_s, 1e-3)),
		  at_(wanted.size()),
		  behind_(wanted.size(), false)
	{
	}

	plan run()
	{
		for (size_t i = 0; i < d_.size(); i++) {
			start(i);
			keep_pace(i);
		}
		while (total() > budget() + 1e-9)
			if (!give_up_pace() && !widen() && !cheapen()) {
				refuse_budget();
				break;
			}
		return result();
	}

private:
	const std::vector<demand> &d_;
	const plan_limits &lim_;
	const double margin_, period_;
	std::vector<step> at_;
	// Detectors whose runs cannot keep pace with the spacing coverage
	// asks: they cover some frames only, the others fall back.
	std::vector<bool> behind_;
	plan out_;

	const mode_cost &cost(size_t i) const
	{
		return d_[i].modes[at_[i].mode];
	}
	// The widest spacing that still covers every frame in mode m.
	double widest(size_t i, size_t m) const
	{
		const demand &d = d_[i];
		return std::min(d.reach_s, lim_.delay_s - margin_ -
						   d.min_age_s -
						   d.modes[m].wall_s);
	}
	bool covers(size_t i, size_t m) const
	{
		return widest(i, m) >= period_ - 1e-9;
	}
	double spacing_for(size_t i, size_t m, double wanted) const
	{
		return std::max(period_, std::min(wanted, widest(i, m)));
	}
	// Runs keep to whole frames: each takes the latest frame at or before
	// its step, so runs 3.75 frames apart come every 3.
	double kept(double spacing) const
	{
		return std::max(1.0, std::floor(spacing / period_ + 1e-6)) *
		       period_;
	}
	// A spacing whose runs come at least `apart` seconds apart: half a
	// frame past the whole frames that takes, so that a frame a little
	// late still counts (and none is waited for after it).
	double aiming_at(double apart) const
	{
		return (std::ceil(apart / period_ - 1e-6) + 0.5) * period_;
	}
	double cores(size_t i) const
	{
		return cost(i).cpu_s / kept(at_[i].spacing);
	}
	double total() const
	{
		double sum = 0;
		for (size_t i = 0; i < d_.size(); i++)
			sum += cores(i);
		return sum;
	}
	// A mode better than the one in use is taken only with room to
	// spare.
	double budget() const
	{
		for (size_t i = 0; i < d_.size(); i++)
			if (at_[i].mode < d_[i].current_mode)
				return lim_.budget_cores * (1 - lim_.headroom);
		return lim_.budget_cores;
	}

	void start(size_t i)
	{
		const demand &d = d_[i];
		size_t m = 0;
		while (m + 1 < d.modes.size() && !covers(i, m))
			m++;
		at_[i] = {m, spacing_for(i, m, d.preferred_spacing_s)};
		// Its runs cannot cover frames in time; they still give
		// evidence.
		if (!covers(i, m))
			at_[i].spacing = evidence_spacing(i);
		if (!covers(i, m) && out_.fits) {
			char why[160];
			snprintf(why, sizeof(why),
				 "a run takes %.2f s, which leaves no time to "
				 "cover a frame within \"delay\" %.1f s",
				 d.modes[m].wall_s, lim_.delay_s);
			refuse(i, why);
		}
	}

	// The spacing a detector's runs ask for when they only give evidence:
	// what its reach asks for.
	double evidence_spacing(size_t i) const
	{
		const demand &d = d_[i];
		return std::max(period_, std::max(d.preferred_spacing_s,
						  std::min(d.reach_s,
							   lim_.delay_s / 2)));
	}

	// Runs spaced so that each ends before the next is due, in a mode
	// cheap enough for that within coverage; the cheapest mode at the
	// widest spacing its coverage allows when none is.
	void keep_pace(size_t i)
	{
		step &s = at_[i];
		// Runs that cannot cover keep the spacing their evidence asks.
		if (!covers(i, s.mode))
			return;
		for (;;) {
			double wanted = cost(i).wall_s / PACE;
			double aim =
				std::min(aiming_at(wanted), widest(i, s.mode));
			if (wanted <= kept(aim) + 1e-9) {
				s.spacing = std::max(s.spacing, aim);
				return;
			}
			if (s.mode + 1 >= d_[i].modes.size() ||
			    !covers(i, s.mode + 1))
				break;
			s.mode++;
		}
		s.spacing = spacing_for(i, s.mode, 1e9);
		behind_[i] = true;
		if (out_.fits) {
			char why[160];
			snprintf(why, sizeof(why),
				 "a run takes %.2f s, too long to keep pace at "
				 "%.2f s spacing",
				 cost(i).wall_s, s.spacing);
			refuse(i, why);
		}
	}

	// A detector that covers only some frames however often it runs is
	// the first to space its runs as for evidence: the budget it frees
	// keeps another's runs covering every frame.
	bool give_up_pace()
	{
		for (size_t i = 0; i < d_.size(); i++) {
			double spacing =
				std::max(evidence_spacing(i),
					 aiming_at(cost(i).wall_s / PACE));
			if (behind_[i] && at_[i].spacing + 1e-9 < spacing) {
				at_[i].spacing = spacing;
				return true;
			}
		}
		return false;
	}

	// The costliest detector that may still space its runs wider.
	bool widen()
	{
		size_t best = d_.size();
		for (size_t i = 0; i < d_.size(); i++)
			if (at_[i].spacing + 1e-9 <
				    spacing_for(i, at_[i].mode, 1e9) &&
			    (best == d_.size() || cores(i) > cores(best)))
				best = i;
		if (best == d_.size())
			return false;
		at_[best].spacing = spacing_for(best, at_[best].mode, 1e9);
		return true;
	}

	// The costliest detector with a cheaper mode that still covers.
	bool cheapen()
	{
		size_t best = d_.size();
		for (size_t i = 0; i < d_.size(); i++) {
			size_t next = at_[i].mode + 1;
			if (next < d_[i].modes.size() && covers(i, next) &&
			    (best == d_.size() || cores(i) > cores(best)))
				best = i;
		}
		if (best == d_.size())
			return false;
		step &s = at_[best];
		s.mode++;
		s.spacing = spacing_for(best, s.mode, s.spacing);
		return true;
	}

	void refuse_budget()
	{
		size_t worst = 0;
		for (size_t i = 1; i < d_.size(); i++)
			if (cores(i) > cores(worst))
				worst = i;
		char why[200];
		snprintf(why, sizeof(why),
			 "needs %.2f cores at its widest spacing (%.2f s), "
			 "%.2f in all; the budget is %.2f",
			 cores(worst), at_[worst].spacing, total(),
			 lim_.budget_cores);
		if (out_.fits)
			refuse(worst, why);
		// The plan still keeps to the budget: the costliest detector
		// runs as often as what is left allows, and the frames it
		// leaves uncovered fall back.
		double left = lim_.budget_cores - (total() - cores(worst));
		double spacing = left > 0 ? aiming_at(cost(worst).cpu_s / left)
					  : MAX_SPACING_S;
		at_[worst].spacing = std::max(at_[worst].spacing,
					      std::min(spacing, MAX_SPACING_S));
	}

	void refuse(size_t i, const std::string &why)
	{
		out_.fits = false;
		out_.blame = d_[i].name;
		out_.why = why;
	}

	plan result()
	{
		for (size_t i = 0; i < d_.size(); i++)
			out_.detectors.push_back({d_[i].name, at_[i].mode,
						  at_[i].spacing, cores(i),
						  cost(i).wall_s});
		out_.cores = total();
		return out_;
	}
};

} // namespace

double plan_margin_s(double delay_s)
{
	return 0.1 + 0.05 * std::max(delay_s, 0.0);
}

// Ranking runs by their own frame's due instead starves a detector that
// fell behind: it takes the newest frame, whose due is the latest of all,
// while the detectors working through older frames keep every core.
uint64_t run_start_by(uint64_t last_arrival, uint64_t arrival, uint64_t period,
		      uint64_t delay, uint64_t wall)
{
	uint64_t first = last_arrival ? std::min(arrival, last_arrival + period)
				      : arrival;
	uint64_t due = first + delay;
	return std::max<uint64_t>(1, due > wall ? due - wall : 0);
}

plan make_plan(const std::vector<demand> &wanted, const plan_limits &limits)
{
	for (const demand &d : wanted)
		if (d.modes.empty()) {
			plan p;
			p.fits = false;
			p.blame = d.name;
			p.why = "it has no mode";
			return p;
		}
	return planning(wanted, limits).run();
}

std::string describe_plan(const plan &p,
			  const std::vector<std::vector<std::string>> &modes)
{
	std::string out;
	char buf[160];
	for (size_t i = 0; i < p.detectors.size(); i++) {
		const planned &d = p.detectors[i];
		std::string mode = i < modes.size() && d.mode < modes[i].size()
					   ? modes[i][d.mode]
					   : std::to_string(d.mode);
		snprintf(buf, sizeof(buf), "%s%s %s/%.2fs %.2fc",
			 out.empty() ? "" : " ", d.name.c_str(), mode.c_str(),
			 d.spacing_s, d.cores);
		out += buf;
	}
	if (!p.fits)
		out += " (short: " + p.blame + " " + p.why + ")";
	return out;
}

bool plan_changed(const plan &a, const plan &b)
{
	if (a.detectors.size() != b.detectors.size() || a.fits != b.fits)
		return true;
	auto moved = [](double x, double y) {
		return std::fabs(x - y) > 0.2 * std::max(std::fabs(x), 1e-3);
	};
	for (size_t i = 0; i < a.detectors.size(); i++) {
		const planned &x = a.detectors[i], &y = b.detectors[i];
		if (x.name != y.name || x.mode != y.mode ||
		    moved(x.spacing_s, y.spacing_s) || moved(x.cores, y.cores))
			return true;
	}
	return false;
}

cost_meter::cost_meter(std::vector<double> guesses)
	: guesses_(std::move(guesses)),
	  modes_(guesses_.size())
{
	if (guesses_.empty()) {
		guesses_.push_back(0.05);
		modes_.resize(1);
	}
}

void cost_meter::add(size_t mode, double cpu_s, double wall_s)
{
	if (mode >= modes_.size())
		return;
	samples &s = modes_[mode];
	s.cpu_s = s.count ? (1 - CPU_WEIGHT) * s.cpu_s + CPU_WEIGHT * cpu_s
			  : cpu_s;
	s.walls.push_back(wall_s);
	if (s.walls.size() > WALL_SAMPLES)
		s.walls.pop_front();
	s.count++;
}

double cost_meter::wall_per_cpu() const
{
	double cpu = 0, wall = 0;
	for (const samples &s : modes_)
		for (double w : s.walls) {
			wall += w;
			cpu += s.cpu_s;
		}
	return cpu > 0 ? std::max(1.0, wall / cpu) : GUESSED_WALL_PER_CPU;
}

mode_cost cost_meter::cost(size_t mode) const
{
	mode = std::min(mode, modes_.size() - 1);
	const samples &s = modes_[mode];
	if (s.count) {
		std::vector<double> w(s.walls.begin(), s.walls.end());
		size_t k =
			size_t(std::ceil(WALL_PERCENTILE * double(w.size()))) -
			1;
		std::nth_element(w.begin(), w.begin() + long(k), w.end());
		return {s.cpu_s, w[k], true};
	}
	for (size_t j = 0; j < modes_.size(); j++)
		if (modes_[j].count && guesses_[j] > 0) {
			double scale = guesses_[mode] / guesses_[j];
			mode_cost known = cost(j);
			return {known.cpu_s * scale, known.wall_s * scale,
				false};
		}
	return {guesses_[mode], guesses_[mode] * wall_per_cpu(), false};
}

} // namespace qmc
