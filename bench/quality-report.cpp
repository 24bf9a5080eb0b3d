#include "quality-report.h"

#include "table.h"

#include <algorithm>

namespace quality {

using bench::format;

double share(uint64_t part, uint64_t whole)
{
	return whole ? 100.0 * double(part) / double(whole) : 0;
}

std::string summary_figure(const run_result &r, const std::string &key,
			   const char *number)
{
	auto it = r.summary.find(key);
	return it == r.summary.end() || it->second < 0
		       ? "-"
		       : format(number, it->second);
}

std::string each_detector(const run_result &r, const char *what,
			  const char *number)
{
	std::string out;
	for (const char *name : DETECTORS)
		out += (out.empty() ? "" : " / ") +
		       summary_figure(r, name + std::string(what), number);
	return out;
}

namespace {

std::string hidden_share(const tally &t, kind k)
{
	return t.seen.count(k) && t.seen.at(k)
		       ? format("%.1f", share(t.hidden.at(k), t.seen.at(k)))
		       : "-";
}

std::string partly_count(const tally &t, kind k)
{
	return t.seen.count(k) && t.seen.at(k)
		       ? format("%llu", (unsigned long long)t.partly.at(k))
		       : "-";
}

std::vector<std::string> coverage_row(const outcome &o)
{
	const tally &t = o.t;
	std::string fallback;
	for (const char *name : FALLBACKS)
		fallback += (fallback.empty() ? "" : " / ") +
			    summary_figure(o.r, "fallback_" + std::string(name),
					   "%.0f");
	return {o.name,
		format("%.0f", o.delay),
		format("%llu", (unsigned long long)t.written_late),
		format("%.1f (%llu)", share(t.whole_late, t.written_late),
		       (unsigned long long)t.whole_late),
		fallback,
		format("%.1f / %llu", share(t.outside_frames, t.processed),
		       (unsigned long long)t.outside_max),
		hidden_share(t, kind::face) + " / " +
			hidden_share(t, kind::qr) + " / " +
			hidden_share(t, kind::phone),
		partly_count(t, kind::face) + " / " +
			partly_count(t, kind::qr) + " / " +
			partly_count(t, kind::phone),
		t.decode_tried ? format("%llu of %llu",
					(unsigned long long)t.decodable,
					(unsigned long long)t.decode_tried)
			       : "-",
		format("%llu", (unsigned long long)t.unidentified)};
}

std::vector<std::string> cost_row(const outcome &o)
{
	return {o.name,
		format("%.0f", o.delay),
		format("%.2f / %.2f / %.2f", o.r.cores, o.r.own_cores,
		       o.r.machine_cores),
		each_detector(o.r, "_ms", "%.1f"),
		each_detector(o.r, "_runs", "%.0f"),
		each_detector(o.r, "_uncovered", "%.0f")};
}

} // namespace

void add_delay_tables(const std::vector<outcome> &all)
{
	std::vector<std::vector<std::string>> coverage, cost;
	for (const outcome &o : all) {
		coverage.push_back(coverage_row(o));
		cost.push_back(cost_row(o));
	}
	bench::add_section(
		"4. Every sequence at each delay: what the frames showed "
		"(frames written after the first delay and 1.5 s more)",
		{"Sequence", "Delay s", "Frames", "Wholly obscured % (frames)",
		 "In fallback faces / qr / phones",
		 "Changed > 40 px outside: % of frames / max px",
		 "Obscured faces / QR / phones %",
		 "Partly shown faces / QR / phones", "Decodable QR frames",
		 "Both stamps covered"},
		coverage);
	bench::add_section(
		"5. Every sequence at each delay: cost (cores over the window; "
		"the rest from the controller's summary, the whole run)",
		{"Sequence", "Delay s",
		 "Cores controller / this process / machine",
		 "ms per run faces / phones / qr-zxing / qr-opencv / qr-fine",
		 "Runs", "Frames left uncovered"},
		cost);
	std::vector<std::vector<std::string>> plans;
	for (const outcome &o : all)
		plans.push_back({o.name, format("%.0f", o.delay), o.r.plan});
	bench::add_section("6. Every sequence at each delay: the last plan "
			   "the controller chose (mode/spacing, cores)",
			   {"Sequence", "Delay s", "Plan"}, plans);
}

namespace {

// The worst of a figure over the runs that pass the filter, and where.
template<typename F, typename P>
std::pair<double, std::string> worst(const std::vector<outcome> &all, P pass,
				     F figure, bool highest)
{
	std::pair<double, std::string> w{highest ? -1e9 : 1e9, "none"};
	for (const outcome &o : all) {
		if (!pass(o))
			continue;
		double v = figure(o);
		if (highest ? v > w.first : v < w.first)
			w = {v, format("%s at delay %.0f", o.name.c_str(),
				       o.delay)};
	}
	return w;
}

const outcome *find(const std::vector<outcome> &all, const std::string &name,
		    double delay)
{
	for (const outcome &o : all)
		if (o.name == name && o.delay == delay)
			return &o;
	return nullptr;
}

// The mode a plan gives a detector ("960x544, every line read" of
// "... phones 960x544, every line read/1.00s 0.32c ...").
std::string mode_in(const std::string &plan, const std::string &detector)
{
	size_t at = (" " + plan).find(" " + detector + " ");
	if (at == std::string::npos)
		return std::string();
	size_t begin = at + detector.size() + 1;
	return plan.substr(begin, plan.find('/', begin) - begin);
}

// Each detector's cost on the grainy sequence against the clean one of
// its class at the same delay, when the planner ran both in one mode: a
// run at a lower resolution costs less whatever the picture.
void judge_grain_cost(const std::vector<outcome> &all)
{
	const std::pair<const char *, const char *> clean[] = {
		{"faces", "faces"},
		{"phones", "phone numbers"},
		{"qr-zxing", "QR codes"},
		{"qr-opencv", "QR codes"},
		{"qr-fine", "QR codes"}};
	for (const outcome &g : all) {
		if (g.name != "grainy")
			continue;
		for (const auto &[detector, name] : clean) {
			const outcome *c = find(all, name, g.delay);
			std::string key = detector + std::string("_ms");
			if (!c || c->r.summary.at(key) <= 0 ||
			    g.r.summary.at(key) < 0)
				continue;
			double ratio =
				g.r.summary.at(key) / c->r.summary.at(key);
			std::string gm = mode_in(g.r.plan, detector);
			std::string cm = mode_in(c->r.plan, detector);
			if (gm != cm) {
				bench::unjudged(format(
					"%s on the grainy sequence against %s, "
					"delay %.0f: %.2fx, but the last plans "
					"ran it as \"%s\" and \"%s\"",
					detector, name, g.delay, ratio,
					gm.c_str(), cm.c_str()));
				continue;
			}
			bench::verdict(
				ratio <= 1.5,
				format("%s costs at most 1.5x as much on "
				       "the grainy sequence as on %s, "
				       "delay %.0f: %.2fx",
				       detector, name, g.delay, ratio));
		}
	}
}

} // namespace

void judge_delay_targets(const std::vector<outcome> &all)
{
	auto whole = [](const outcome &o) {
		return share(o.t.whole_late, o.t.written_late);
	};
	// At "delay" 2 s and more at most 1 % of frames; at 1 s at most 10 %.
	for (bool short_delay : {false, true}) {
		auto w = worst(
			all,
			[&](const outcome &o) {
				return (o.delay < 2) == short_delay;
			},
			whole, true);
		if (w.first >= 0)
			bench::verdict(
				w.first <= (short_delay ? 10 : 1),
				format("%s: wholly obscured after the first "
				       "delay: worst %.1f %% (%s)",
				       short_delay ? "delay 1 s, <= 10 %"
						   : "delay >= 2 s, <= 1 %",
				       w.first, w.second.c_str()));
	}
	std::pair<double, std::string> w;
	auto any = [](const outcome &) {
		return true;
	};
	w = worst(
		all, [](const outcome &o) { return o.t.processed > 0; },
		[](const outcome &o) {
			return 100 - share(o.t.outside_frames, o.t.processed);
		},
		false);
	if (w.first <= 100)
		bench::verdict(w.first >= 95,
			       format("nothing changed more than 40 px outside "
				      "every object in >= 95 %% of processed "
				      "frames: worst %.1f %% (%s)",
				      w.first, w.second.c_str()));
	for (auto [k, least, what] :
	     {std::tuple{kind::face, 99.0, "faces"},
	      std::tuple{kind::qr, 100.0, "QR codes"},
	      std::tuple{kind::phone, 95.0, "phone numbers"}}) {
		w = worst(
			all,
			[k = k](const outcome &o) {
				return o.t.seen.count(k) && o.t.seen.at(k);
			},
			[k = k](const outcome &o) {
				return share(o.t.hidden.at(k), o.t.seen.at(k));
			},
			false);
		if (w.first <= 100)
			bench::verdict(
				w.first >= least,
				format("%s: >= %.0f %% obscured in "
				       "processed frames at every delay: "
				       "worst %.1f %% (%s)",
				       what, least, w.first, w.second.c_str()));
	}
	w = worst(
		all, any,
		[](const outcome &o) {
			uint64_t n = 0;
			for (const auto &kv : o.t.partly)
				n += kv.second;
			return double(n);
		},
		true);
	if (w.first >= 0)
		bench::verdict(w.first == 0,
			       format("no part of an object obscured shows (a "
				      "quarter of its box less than half "
				      "changed): most %.0f object-frames (%s)",
				      w.first, w.second.c_str()));
	w = worst(
		all, [](const outcome &o) { return o.t.decode_tried > 0; },
		[](const outcome &o) { return double(o.t.decodable); }, true);
	if (w.first >= 0)
		bench::verdict(
			w.first == 0,
			format("no QR code decodable in a frame written: "
			       "most %.0f frames (%s)",
			       w.first, w.second.c_str()));
	w = worst(
		all, any, [](const outcome &o) { return o.r.cores; }, true);
	if (w.first >= 0)
		bench::verdict(w.first <= 1.5,
			       format("the controller takes <= 1.5 cores: "
				      "most %.2f (%s)",
				      w.first, w.second.c_str()));
	judge_grain_cost(all);
}

} // namespace quality
