#include "phone-stage.h"

#include "models.h"
#include "settings.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

// Share of the number's height added on every side, and a floor.
constexpr double MARGIN_SHARE = 0.3;
constexpr int MARGIN_PX = 4;
// A line's look: this many pixels tall, softened so that grain and a
// fraction of a pixel's shift barely show.
constexpr int LOOK_HEIGHT = 24;
constexpr double LOOK_SIGMA = 1.0;
// A column whose grey level changed by this much on average is changed
// text (a digit's strokes over the line's height); grain and the line
// box's jitter change columns by a few levels.
constexpr double LOOK_CHANGE = 32;
// How far a line may have moved since the last run and still be the
// same line: a card swaying at 150 px a second, two seconds between runs
// on a busy machine. Its look must match as well.
constexpr double MAX_LINE_MOVE_PX = 320;
// Line boxes differ this much in length from run to run.
constexpr double SAME_LENGTH_SHARE = 0.1;

cv::Rect grown_box(const cv::Rect &box, double height, const cv::Size &frame)
{
	int by = MARGIN_PX + int(std::ceil(MARGIN_SHARE * height));
	cv::Rect grown(box.x - by, box.y - by, box.width + 2 * by,
		       box.height + 2 * by);
	return grown & cv::Rect(0, 0, frame.width, frame.height);
}

double length_of(const cv::RotatedRect &line)
{
	return std::max(line.size.width, line.size.height);
}

// Whether a line of the last run may be this one, moved.
bool may_be_moved(const cv::RotatedRect &before, const cv::RotatedRect &now)
{
	double a = length_of(before), b = length_of(now);
	return cv::norm(now.center - before.center) <= MAX_LINE_MOVE_PX &&
	       std::abs(a - b) <= SAME_LENGTH_SHARE * std::max(a, b);
}

// The largest mean change of a column between the two looks (CV_32F),
// b first moved onto a: the line's box jitters by a fraction of a pixel
// from run to run, which changes the columns of every upright stroke.
double column_change(const cv::Mat &a, const cv::Mat &b)
{
	cv::Point2d shift = cv::phaseCorrelate(a, b);
	if (std::abs(shift.x) > 3 || std::abs(shift.y) > 3)
		return 255;
	cv::Mat back = (cv::Mat_<double>(2, 3) << 1, 0, shift.x, 0, 1, shift.y);
	cv::Mat aligned, diff, columns;
	cv::warpAffine(b, aligned, back, b.size(),
		       cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
		       cv::BORDER_REPLICATE);
	cv::absdiff(a, aligned, diff);
	// The edges, where the move brought in what the crop had not.
	cv::Rect inner(4, 4, a.cols - 8, a.rows - 8);
	cv::reduce(diff(inner), columns, 0, cv::REDUCE_AVG, CV_32F);
	double most;
	cv::minMaxLoc(columns, nullptr, &most);
	return most;
}

std::vector<qm_phone_number> moved(std::vector<qm_phone_number> numbers,
				   cv::Point2f by)
{
	for (qm_phone_number &n : numbers) {
		for (cv::Point2f &p : n.outline)
			p += by;
		n.box = cv::boundingRect(n.outline);
	}
	return numbers;
}

struct phone_state {
	std::shared_ptr<phone_models> models;
	line_cache cache;
};

std::vector<qm_phone_number> read_line(phone_state &st, const cv::Mat &bgra,
				       const qm_text_line &line,
				       const cv::Mat &look, bool reuse)
{
	if (reuse)
		if (auto known = st.cache.reuse(line.box, look))
			return *known;
	return qm_find_phone_numbers(st.models->reader, bgra, {line});
}

findings read_phones(phone_state &st, const cv::Mat &bgra, size_t mode)
{
	phone_models &m = *st.models;
	bool small = mode >= PHONES_SMALL_READ_NEW && !m.small.net.empty();
	std::vector<qm_text_line> lines =
		qm_detect_text(small ? m.small : m.text, bgra);
	// Lines over the cap are hidden unread; a line read and found to hold
	// no number is no evidence of one either, so that a frame in fallback
	// keeps the text the runs around it read.
	findings f;
	std::vector<line_cache::entry> read;
	for (const qm_text_line &line :
	     lines_to_read(std::move(lines), f.found, bgra.size())) {
		cv::Mat look = line_look(bgra, line.box);
		std::vector<qm_phone_number> numbers = read_line(
			st, bgra, line, look, mode != PHONES_READ_ALL);
		for (const qm_phone_number &n : numbers) {
			cv::Rect r = phone_region(n, bgra.size());
			if (!r.empty())
				f.found.push_back({r, -1, false});
		}
		read.push_back({line.box, look, std::move(numbers)});
	}
	st.cache.replace(std::move(read));
	return f;
}

} // namespace

cv::Rect phone_region(const qm_phone_number &number, const cv::Size &frame)
{
	if (number.box.empty())
		return {};
	// The height across the line, not along a tilted number.
	double height = double(std::min(number.box.width, number.box.height));
	if (number.outline.size() == 4)
		height = cv::norm(number.outline[3] - number.outline[0]);
	return grown_box(number.box, height, frame);
}

std::vector<qm_text_line> lines_to_read(std::vector<qm_text_line> lines,
					regions &hidden, const cv::Size &frame)
{
	std::stable_sort(lines.begin(), lines.end(),
			 [](const qm_text_line &a, const qm_text_line &b) {
				 return a.box.size.area() > b.box.size.area();
			 });
	for (size_t i = MAX_LINES_READ; i < lines.size(); i++) {
		cv::Rect r = line_region(lines[i].box, frame);
		if (!r.empty())
			hidden.push_back({r, -1, false});
	}
	if (lines.size() > MAX_LINES_READ)
		lines.resize(MAX_LINES_READ);
	return lines;
}

cv::Rect line_region(const cv::RotatedRect &line, const cv::Size &frame)
{
	double height = std::min(line.size.width, line.size.height);
	return grown_box(line.boundingRect(), height, frame);
}

cv::Mat line_look(const cv::Mat &frame, const cv::RotatedRect &line)
{
	cv::Mat to_frame, look;
	cv::GaussianBlur(qm_crop_text_line(frame, line, LOOK_HEIGHT, to_frame),
			 look, {0, 0}, LOOK_SIGMA);
	return look;
}

bool same_look(const cv::Mat &a, const cv::Mat &b)
{
	if (a.empty() || b.empty() || a.rows != b.rows || a.cols < 16 ||
	    std::abs(a.cols - b.cols) > std::max(2, a.cols / 20))
		return false;
	cv::Mat fa, fb;
	a.convertTo(fa, CV_32F);
	b.convertTo(fb, CV_32F);
	if (fb.cols != fa.cols)
		cv::resize(fb, fb, fa.size(), 0, 0, cv::INTER_LINEAR);
	double change = column_change(fa, fb);
	return change < LOOK_CHANGE;
}

std::optional<std::vector<qm_phone_number>>
line_cache::reuse(const cv::RotatedRect &line, const cv::Mat &look) const
{
	// The nearest line that looks the same: cards held up side by side
	// may carry the same number, which reads the same either way.
	std::vector<std::pair<double, const entry *>> near;
	for (const entry &e : entries_)
		if (may_be_moved(e.line, line))
			near.push_back(
				{cv::norm(line.center - e.line.center), &e});
	std::sort(near.begin(), near.end(), [](const auto &a, const auto &b) {
		return a.first < b.first;
	});
	for (const auto &n : near)
		if (same_look(look, n.second->look))
			return moved(n.second->numbers,
				     line.center - n.second->line.center);
	return std::nullopt;
}

void line_cache::replace(std::vector<entry> entries)
{
	entries_ = std::move(entries);
}

std::shared_ptr<phone_models> load_phone_models(const std::string &model_dir,
						const std::string &region,
						std::string *problem,
						bool *bad_region)
{
	auto models = std::make_shared<phone_models>();
	std::string why, error;
	*bad_region = false;
	if (!qm_load_phone_reader(models->reader, region, error)) {
		*bad_region = error.rfind("unknown region", 0) == 0;
		*problem = error;
		return nullptr;
	}
	std::string path = checked_model(model_dir, TEXT_DETECTOR_MODEL, &why);
	if (path.empty() || !qm_load_text_detector(models->text, path, error)) {
		*problem = why.empty() ? error : why;
		return nullptr;
	}
	return models;
}

detector make_phone_detector(std::shared_ptr<phone_models> models)
{
	phone_models &m = *models;
	std::string error;
	if (m.small.net.empty() && !m.text.path.empty())
		qm_load_text_detector(m.small, m.text.path, error,
				      {QM_TEXT_SMALL_WIDTH,
				       QM_TEXT_SMALL_HEIGHT});
	auto st = std::make_shared<phone_state>();
	st->models = models;
	detector d;
	d.name = "phones";
	d.kind = "phones";
	d.wanted = [](const settings &s) {
		return s.phone_enabled;
	};
	d.run = [st](const cv::Mat &bgra, const regions &, uint64_t,
		     size_t mode) {
		return read_phones(*st, bgra, mode);
	};
	d.find = [st](const cv::Mat &bgra, const regions &) {
		return read_phones(*st, bgra, PHONES_READ_ALL).found;
	};
	// CPU per run measured on 10 lines of numbers in grain, the next
	// frame's run (detector_figures phone-modes): text detection takes
	// most of it.
	d.modes = {{"960x544, every line read", 1},
		   {"960x544, new lines read", 0.8}};
	if (!m.small.net.empty())
		d.modes.push_back({"640x352, new lines read", 0.4});
	d.expected_cpu_s = 0.42;
	// About one run a second, each reaching the frames up to the next
	// runs with room for runs that come late on a busy machine.
	d.spacing_s = 1.0;
	d.reach_s = 2.0;
	d.carry_s = 1.0;
	// Text in the picture is on a sign, a sheet or a card held up, a
	// phone's screen: it sways rather than flies. The two runs nearest a
	// frame they cover are up to twice the reach apart (a run late on a
	// busy machine): a line is interpolated between them, and placed
	// where its look is found in between; where it is not, it may have
	// moved as a swaying card does.
	d.motion = {150, 500, 2 * d.reach_s, true};
	return d;
}

} // namespace qmc
