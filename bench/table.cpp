#include "table.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

struct row {
	std::string group, item, value, unit, covers;
};

std::vector<row> table;
std::vector<std::string> verdicts;
std::vector<std::string> sections;

} // namespace

double time_scale = 1.0;

std::string format(const char *fmt, ...)
{
	char buf[512];
	va_list args;
	va_start(args, fmt);
	vsnprintf(buf, sizeof(buf), fmt, args);
	va_end(args);
	return buf;
}

void add(const std::string &group, const std::string &item,
	 const std::string &value, const std::string &unit,
	 const std::string &covers)
{
	table.push_back({group, item, value, unit, covers});
	fprintf(stderr, "  %-44s %12s %-18s %s\n", item.c_str(), value.c_str(),
		unit.c_str(), covers.c_str());
}

void verdict(bool met, const std::string &what)
{
	verdicts.push_back(std::string(met ? "met     " : "MISSED  ") + what);
}

void unjudged(const std::string &what)
{
	verdicts.push_back("unjudged " + what);
}

void add_section(const std::string &title,
		 const std::vector<std::string> &header,
		 const std::vector<std::vector<std::string>> &rows)
{
	std::vector<size_t> w(header.size());
	for (size_t c = 0; c < header.size(); c++) {
		w[c] = header[c].size();
		for (auto &r : rows)
			w[c] = std::max(w[c], r[c].size());
	}
	auto line = [&](const std::vector<std::string> &cells) {
		std::string out = "|";
		for (size_t c = 0; c < cells.size(); c++)
			out += format(c ? " %*s |" : " %-*s |", int(w[c]),
				      cells[c].c_str());
		return out + "\n";
	};
	std::string out = "\n" + title + "\n\n" + line(header) + "|";
	for (size_t c = 0; c < w.size(); c++)
		out += std::string(w[c] + 1, '-') + (c ? ":|" : "-|");
	out += "\n";
	for (auto &r : rows) {
		out += line(r);
		fputs(line(r).c_str(), stderr);
	}
	sections.push_back(out);
}

std::string render_table()
{
	size_t w[4] = {4, 5, 4, 6};
	for (auto &r : table) {
		w[0] = std::max(w[0], r.item.size());
		w[1] = std::max(w[1], r.value.size());
		w[2] = std::max(w[2], r.unit.size());
		w[3] = std::max(w[3], r.covers.size());
	}
	std::string out;
	std::string group;
	auto line = [&](const std::string &a, const std::string &b,
			const std::string &c, const std::string &d) {
		out += format("| %-*s | %*s | %-*s | %-*s |\n", int(w[0]),
			      a.c_str(), int(w[1]), b.c_str(), int(w[2]),
			      c.c_str(), int(w[3]), d.c_str());
	};
	for (auto &r : table) {
		if (r.group != group) {
			group = r.group;
			out += "\n" + group + "\n\n";
			line("What", "Value", "Unit", "Covers");
			out += format(
				"|%s|%s|%s|%s|\n",
				std::string(w[0] + 2, '-').c_str(),
				(std::string(w[1] + 1, '-') + ":").c_str(),
				std::string(w[2] + 2, '-').c_str(),
				std::string(w[3] + 2, '-').c_str());
		}
		line(r.item, r.value, r.unit, r.covers);
	}
	for (auto &s : sections)
		out += s;
	out += "\nTargets\n\n";
	for (auto &v : verdicts)
		out += "- " + v + "\n";
	return out;
}

int print_table(const std::string &out_path, double seconds)
{
	std::string text = render_table();
	text += format("\nWhole run: %.0f s\n", seconds);
	fputs(text.c_str(), stdout);
	if (out_path.empty())
		return 0;
	FILE *f = fopen(out_path.c_str(), "w");
	if (!f || fputs(text.c_str(), f) < 0 || fclose(f) != 0) {
		fprintf(stderr, "cannot write %s\n", out_path.c_str());
		return 1;
	}
	return 0;
}

} // namespace bench
