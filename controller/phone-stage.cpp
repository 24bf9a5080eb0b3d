#include "phone-stage.h"

#include "settings.h"

#include <algorithm>
#include <cmath>

namespace qmc {

namespace {

// Share of the number's height added on every side, and a floor.
constexpr double MARGIN_SHARE = 0.3;
constexpr int MARGIN_PX = 4;

} // namespace

cv::Rect phone_region(const qm_phone_number &number, const cv::Size &frame)
{
	cv::Rect box = number.box;
	if (box.empty())
		return {};
	// The height across the line, not along a tilted number.
	double height = double(std::min(box.width, box.height));
	if (number.outline.size() == 4)
		height = cv::norm(number.outline[3] - number.outline[0]);
	int by = MARGIN_PX + int(std::ceil(MARGIN_SHARE * height));
	cv::Rect grown(box.x - by, box.y - by, box.width + 2 * by,
		       box.height + 2 * by);
	return grown & cv::Rect(0, 0, frame.width, frame.height);
}

detector make_phone_detector(std::shared_ptr<phone_models> models)
{
	detector d;
	d.name = "phones";
	d.kind = "phones";
	d.wanted = [](const settings &s) {
		return s.phone_enabled;
	};
	d.find = [models](const cv::Mat &bgra, const regions &) {
		std::vector<qm_text_line> lines =
			qm_detect_text(models->text, bgra);
		regions found;
		for (const qm_phone_number &n :
		     qm_find_phone_numbers(models->reader, bgra, lines)) {
			cv::Rect r = phone_region(n, bgra.size());
			if (!r.empty())
				found.push_back({r, -1, false});
		}
		return found;
	};
	// About one run a second, each reaching the frames up to the next
	// runs with room for runs that come late on a busy machine.
	d.expected_cpu_s = 0.47;
	d.spacing_s = 1.0;
	d.reach_s = 2.0;
	d.carry_s = 1.0;
	// Text in the picture moves slowly if at all (a sign, a sheet held
	// up, a phone's screen).
	d.motion_px_per_s = 30;
	d.max_share = 0.6;
	return d;
}

} // namespace qmc
