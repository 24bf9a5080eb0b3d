#include "due-frame.h"

#include "region-tracks.h"

#include <algorithm>

namespace qmc {

namespace {

uint64_t ns(double seconds)
{
	return seconds <= 0 ? 0 : uint64_t(seconds * 1e9 + 0.5);
}

uint64_t distance(uint64_t a, uint64_t b)
{
	return a > b ? a - b : b - a;
}

// The nearest successful runs on or before and on or after the frame,
// within `limit`.
struct nearest_runs {
	const run_record *before = nullptr;
	const run_record *after = nullptr;
};

nearest_runs nearest(const run_history &h, const frame_ref &f, uint64_t limit)
{
	nearest_runs n;
	for (auto it = h.lower_bound(f.seq); it != h.end(); ++it) {
		if (it->second.arrival - f.arrival > limit)
			break;
		if (it->second.ok) {
			n.after = &it->second;
			break;
		}
	}
	for (auto it = h.upper_bound(f.seq); it != h.begin();) {
		--it;
		if (f.arrival - it->second.arrival > limit)
			break;
		if (it->second.ok) {
			n.before = &it->second;
			break;
		}
	}
	return n;
}

template<typename T> uint64_t picture_of(const T &x)
{
	return x.picture ? x.picture : x.arrival;
}

template<typename T> const cv::Mat *look_if_any(const T &x)
{
	return x.look.empty() ? nullptr : &x.look;
}

bool overlaps_any(const cv::Rect &r, const std::vector<cv::Rect> &boxes)
{
	for (const cv::Rect &b : boxes)
		if ((r & b).area() > 0)
			return true;
	return false;
}

// The exact boxes of a detector that covered the frame.
void covered_boxes(const run_history &h, const coverage_rule &rule,
		   const frame_ref &f, const nearest_runs &n,
		   std::vector<cv::Rect> &out)
{
	std::vector<cv::Rect> mine = boxes_between(
		{picture_of(*n.before), &n.before->result.found,
		 look_if_any(*n.before)},
		{picture_of(*n.after), &n.after->result.found,
		 look_if_any(*n.after)},
		picture_of(f), rule.motion, f.size, look_if_any(f));
	// Runs within carry hold what the nearest two missed.
	uint64_t carry = ns(rule.carry_s);
	for (const auto &kv : h) {
		const run_record &r = kv.second;
		if (!r.ok || &r == n.before || &r == n.after ||
		    distance(r.arrival, f.arrival) > carry)
			continue;
		for (const cv::Rect &b : boxes_carried(
			     {picture_of(r), &r.result.found, look_if_any(r)},
			     picture_of(f), rule.motion.px_per_s, f.size,
			     look_if_any(f)))
			if (!overlaps_any(b, mine))
				mine.push_back(b);
	}
	out.insert(out.end(), mine.begin(), mine.end());
}

void add_carried(const run_record &r, const frame_ref &f, double motion,
		 std::vector<cv::Rect> &out)
{
	for (const regions *rs : {&r.result.found, &r.result.evidence})
		for (const cv::Rect &b : boxes_carried(
			     {picture_of(r), rs, look_if_any(r)}, picture_of(f),
			     motion, f.size, look_if_any(f)))
			out.push_back(b);
}

// The class's evidence for the frame: what the nearest runs on each side
// of each of its detectors found or noticed, followed by its look or grown
// for motion. False when it has none.
bool evidence_boxes(const std::string &kind, const frame_ref &f,
		    const std::vector<coverage_rule> &rules,
		    const std::vector<const run_history *> &runs,
		    uint64_t window, std::vector<cv::Rect> &out)
{
	bool any = false;
	for (size_t i = 0; i < rules.size(); i++) {
		if (rules[i].kind != kind || !rules[i].wanted || !runs[i])
			continue;
		nearest_runs n = nearest(*runs[i], f, window);
		for (const run_record *r : {n.before, n.after})
			if (r) {
				any = true;
				add_carried(*r, f, rules[i].motion.px_per_s,
					    out);
			}
	}
	return any;
}

} // namespace

double history_needed_s(const coverage_rule &rule)
{
	return std::max({rule.reach_s, rule.carry_s, rule.fallback_s});
}

due_decision decide_due(const frame_ref &f,
			const std::vector<coverage_rule> &rules,
			const std::vector<const run_history *> &runs)
{
	due_decision d;
	std::vector<std::string> fell_back;
	for (size_t i = 0; i < rules.size() && i < runs.size(); i++) {
		const coverage_rule &rule = rules[i];
		if (!rule.wanted)
			continue;
		static const run_history none;
		const run_history &h = runs[i] ? *runs[i] : none;
		nearest_runs n = nearest(h, f, ns(rule.reach_s));
		if (n.before && n.after) {
			covered_boxes(h, rule, f, n, d.boxes);
			continue;
		}
		d.missing.push_back(rule.name);
		if (std::find(d.fallback.begin(), d.fallback.end(),
			      rule.kind) != d.fallback.end())
			continue;
		if (!evidence_boxes(rule.kind, f, rules, runs,
				    ns(rule.fallback_s), d.boxes)) {
			d.whole = true;
			if (d.blamed.empty())
				d.blamed = rule.name;
		}
		d.fallback.push_back(rule.kind);
	}
	if (d.whole) {
		d.boxes.clear();
		d.fallback.clear();
	}
	return d;
}

} // namespace qmc
