#include "qr-scene.h"

#define ZX_USE_UTF8
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <ZXing/ReadBarcode.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm_scene {

namespace {

constexpr int QUIET_MODULES = 4;
// The stamp: a start block, STAMP_BITS blocks of one bit each (white for
// 1), an end block, each STAMP_BLOCK pixels square.
constexpr int STAMP_BLOCK = 16;
constexpr int STAMP_BITS = 24;
const cv::Vec4b STAMP_START(0, 0, 255, 255), STAMP_END(0, 255, 0, 255);
const cv::Vec4b BIT_ON(255, 255, 255, 255), BIT_OFF(0, 0, 0, 255);

struct scene_code {
	const char *text;
	int module_px;
	// The centre swings around (x, y) by (ax, ay) pixels, once a cycle.
	float x, y, ax, ay;
	double angle, turn; // degrees, and degrees of swing
	double tilt;
};

const scene_code SCENE[] = {
	{"https://quilmar.example/large", 6, 300, 430, 38, 20, 0, 0, 0},
	{"turned thirty degrees", 4, 700, 300, 30, 30, 30, 6, 0},
	{"seen at a slant", 4, 1020, 220, 20, 30, -12, 4, 0.15},
	{"small", 3, 1040, 560, 36, 18, 8, 5, 0},
};

bool near_colour(const cv::Vec4b &a, const cv::Vec4b &b)
{
	for (int c = 0; c < 3; c++)
		if (std::abs(int(a[c]) - int(b[c])) > 48)
			return false;
	return true;
}

// Shapes, lines and text: detail whose sharpness shows at a glance.
cv::Mat make_background()
{
	cv::Mat bg(SCENE_HEIGHT, SCENE_WIDTH, CV_8UC4);
	for (int y = 0; y < bg.rows; y++) {
		cv::Vec4b *row = bg.ptr<cv::Vec4b>(y);
		for (int x = 0; x < bg.cols; x++)
			row[x] = cv::Vec4b(uint8_t(90 + x * 80 / SCENE_WIDTH),
					   uint8_t(110 + y * 60 / SCENE_HEIGHT),
					   uint8_t(150 - x * 50 / SCENE_WIDTH),
					   255);
	}
	bg(cv::Rect(0, 0, SCENE_WIDTH, SCENE_TOP))
		.setTo(cv::Scalar(40, 40, 40, 255));
	for (int i = 0; i < 12; i++) {
		cv::Point c(60 + i * 105, 120 + (i % 3) * 230);
		cv::circle(bg, c, 26,
			   cv::Scalar(30 + i * 17, 200 - i * 11, 90, 255),
			   cv::FILLED, cv::LINE_AA);
		cv::rectangle(bg, cv::Rect(c.x - 40, c.y + 40, 80, 30),
			      cv::Scalar(200, 80 + i * 10, 40, 255), 2);
	}
	for (int x = 0; x < SCENE_WIDTH; x += 40)
		cv::line(bg, cv::Point(x, SCENE_TOP),
			 cv::Point(x + 200, SCENE_HEIGHT),
			 cv::Scalar(70, 70, 70, 255), 1, cv::LINE_AA);
	const char *lines[] = {
		"Quilmar direct: QR codes hidden, the rest sharp",
		"0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklm"};
	for (int i = 0; i < 2; i++)
		cv::putText(bg, lines[i], cv::Point(40, 640 + 40 * i),
			    cv::FONT_HERSHEY_SIMPLEX, 0.9,
			    cv::Scalar(20, 20, 20, 255), 2, cv::LINE_AA);
	return bg;
}

void draw_stamp(cv::Mat &frame, uint64_t n)
{
	for (int b = 0; b < STAMP_BITS + 2; b++) {
		cv::Vec4b c = b == 0 ? STAMP_START
			      : b == STAMP_BITS + 1
				      ? STAMP_END
				      : ((n >> (b - 1)) & 1 ? BIT_ON : BIT_OFF);
		frame(cv::Rect(b * STAMP_BLOCK, 0, STAMP_BLOCK, STAMP_BLOCK))
			.setTo(cv::Scalar(c[0], c[1], c[2], c[3]));
	}
}

} // namespace

cv::Mat render_qr(const std::string &text, int module_px, uint8_t dark,
		  uint8_t light)
{
	ZXing::BitMatrix bits =
		ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode)
			.setMargin(0)
			.encode(text, 0, 0);
	int n = bits.width();
	int side = (n + 2 * QUIET_MODULES) * module_px;
	cv::Mat code(side, side, CV_8UC4, cv::Scalar(light, light, light, 255));
	for (int y = 0; y < n; y++)
		for (int x = 0; x < n; x++)
			if (bits.get(x, y))
				cv::rectangle(code,
					      cv::Rect((x + QUIET_MODULES) *
							       module_px,
						       (y + QUIET_MODULES) *
							       module_px,
						       module_px, module_px),
					      cv::Scalar(dark, dark, dark, 255),
					      cv::FILLED);
	return code;
}

std::vector<cv::Point2f> place(cv::Mat &frame, const cv::Mat &code,
			       cv::Point2f centre, double angle, double tilt)
{
	float w = float(code.cols), h = float(code.rows);
	std::vector<cv::Point2f> from = {{0, 0}, {w, 0}, {w, h}, {0, h}};
	std::vector<cv::Point2f> to;
	double a = angle * CV_PI / 180.0;
	for (const cv::Point2f &p : from) {
		double x = p.x - w / 2, y = p.y - h / 2;
		// The top edge shorter than the bottom one.
		x *= 1.0 + tilt * (y / h);
		to.emplace_back(
			float(centre.x + x * std::cos(a) - y * std::sin(a)),
			float(centre.y + x * std::sin(a) + y * std::cos(a)));
	}
	// Warping into the code's own area only costs what the code covers.
	cv::Rect area =
		(cv::boundingRect(to) + cv::Size(2, 2)) - cv::Point(1, 1);
	area &= cv::Rect(0, 0, frame.cols, frame.rows);
	if (area.empty())
		return to;
	std::vector<cv::Point2f> local;
	for (const cv::Point2f &p : to)
		local.emplace_back(p.x - float(area.x), p.y - float(area.y));
	cv::Mat warp = cv::getPerspectiveTransform(from, local);
	cv::Mat target = frame(area);
	cv::warpPerspective(code, target, warp, area.size(), cv::INTER_LINEAR,
			    cv::BORDER_TRANSPARENT);
	return to;
}

cv::Mat scene_frame(uint64_t n, std::vector<placed_code> *codes)
{
	static const cv::Mat background = make_background();
	static const std::vector<cv::Mat> rendered = [] {
		std::vector<cv::Mat> all;
		for (const scene_code &s : SCENE)
			all.push_back(render_qr(s.text, s.module_px));
		return all;
	}();
	cv::Mat frame = background.clone();
	double phase = 2 * CV_PI * double(n % SCENE_CYCLE) / SCENE_CYCLE;
	std::vector<placed_code> placed;
	for (size_t i = 0; i < std::size(SCENE); i++) {
		const scene_code &s = SCENE[i];
		cv::Point2f centre(
			s.x + s.ax * float(std::sin(phase)),
			s.y + s.ay * float(std::sin(phase + 1.0 + double(i))));
		double angle = s.angle + s.turn * std::sin(phase + 2.0);
		placed_code p;
		p.text = s.text;
		p.corners = place(frame, rendered[i], centre, angle, s.tilt);
		p.box = cv::boundingRect(p.corners) &
			cv::Rect(0, 0, frame.cols, frame.rows);
		placed.push_back(p);
	}
	draw_stamp(frame, n);
	if (codes)
		*codes = std::move(placed);
	return frame;
}

bool read_scene_stamp(const cv::Mat &bgra, uint64_t *n)
{
	if (bgra.type() != CV_8UC4 ||
	    bgra.cols < (STAMP_BITS + 2) * STAMP_BLOCK ||
	    bgra.rows < STAMP_BLOCK)
		return false;
	auto at = [&](int b) {
		return bgra.at<cv::Vec4b>(STAMP_BLOCK / 2,
					  b * STAMP_BLOCK + STAMP_BLOCK / 2);
	};
	if (!near_colour(at(0), STAMP_START) ||
	    !near_colour(at(STAMP_BITS + 1), STAMP_END))
		return false;
	uint64_t value = 0;
	for (int b = 0; b < STAMP_BITS; b++) {
		cv::Vec4b c = at(b + 1);
		if (near_colour(c, BIT_ON))
			value |= uint64_t(1) << b;
		else if (!near_colour(c, BIT_OFF))
			return false;
	}
	*n = value;
	return true;
}

bool one_mosaic(const cv::Mat &bgra)
{
	const int side = bgra.cols / 8;
	for (int y = 0; y < bgra.rows; y += side)
		for (int x = 0; x < bgra.cols; x += side) {
			cv::Rect cell = cv::Rect(x, y, side, side) &
					cv::Rect({0, 0}, bgra.size());
			cv::Mat one(cell.size(), bgra.type(),
				    cv::Scalar(bgra.at<cv::Vec4b>(y, x)));
			if (cv::norm(bgra(cell), one, cv::NORM_INF) > 4)
				return false;
		}
	return true;
}

namespace {

std::vector<std::string> read_codes(const cv::Mat &grey)
{
	ZXing::DecodeHints hints;
	hints.setFormats(ZXing::BarcodeFormat::QRCode |
			 ZXing::BarcodeFormat::MicroQRCode);
	hints.setTryHarder(true);
	// Finder patterns are found at any angle: turning the picture by
	// quarter turns finds no more QR codes.
	hints.setTryRotate(false);
	hints.setTryDownscale(true);
	ZXing::ImageView view(grey.data, grey.cols, grey.rows,
			      ZXing::ImageFormat::Lum, int(grey.step));
	std::vector<std::string> texts;
	for (const ZXing::Result &r : ZXing::ReadBarcodes(view, hints))
		if (r.isValid())
			texts.push_back(r.text());
	return texts;
}

// Calls step(bytes done) until all `size` bytes are done.
template<typename Step> bool all_bytes(size_t size, Step step)
{
	for (size_t done = 0; done < size;) {
		ssize_t n = step(done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		done += size_t(n);
	}
	return true;
}

bool send_all(int fd, const void *data, size_t size)
{
	auto *p = static_cast<const char *>(data);
	return all_bytes(size, [&](size_t done) {
		return send(fd, p + done, size - done, MSG_NOSIGNAL);
	});
}

bool receive_all(int fd, void *data, size_t size)
{
	auto *p = static_cast<char *>(data);
	return all_bytes(size, [&](size_t done) {
		return recv(fd, p + done, size - done, 0);
	});
}

// The reader's side: a picture's size and grey pixels in, the texts read
// out (each ended by a zero byte, after their length), until the caller
// goes.
[[noreturn]] void serve(int fd)
{
	for (;;) {
		int32_t size[2];
		if (!receive_all(fd, size, sizeof size) || size[0] <= 0 ||
		    size[1] <= 0 || size[0] > 1 << 14 || size[1] > 1 << 14)
			_exit(0);
		cv::Mat grey(size[1], size[0], CV_8U);
		if (!receive_all(fd, grey.data, grey.total()))
			_exit(0);
		std::string out;
		for (const std::string &t : read_codes(grey))
			out += t + '\0';
		uint64_t length = out.size();
		if (!send_all(fd, &length, sizeof length) ||
		    !send_all(fd, out.data(), out.size()))
			_exit(0);
	}
}

// A child process that reads codes for this one, started when first
// needed and again after it died: Debian's ZXing checks its own
// assertions, and a distorted code can trip one and abort the reader.
// One process for many pictures, since a fork of a large process for
// each picture cost it 11 ms and slowed everything beside it.
struct reader {
	pid_t pid = -1;
	int fd = -1;
};

bool start_reader(reader &r)
{
	// Closed on exec: a program another thread starts does not hold it.
	int link[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link) != 0)
		return false;
	pid_t pid = fork();
	if (pid == 0) {
		// Nothing of the caller's but its end of the link and the
		// standard streams: a copy of its sockets here would keep
		// them open after it closed them.
		if (dup2(link[1], 3) < 0)
			_exit(1);
		close_range(4, ~0U, 0);
		serve(3);
	}
	close(link[1]);
	if (pid < 0) {
		close(link[0]);
		return false;
	}
	r = {pid, link[0]};
	return true;
}

void stop_reader(reader &r)
{
	close(r.fd);
	int status = 0;
	while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
	}
	r = {};
}

// The texts read in the picture, each ended by a zero byte; false when
// the reader died on it.
std::mutex reader_lock;
reader the_reader;

bool read_codes_apart(const cv::Mat &grey, std::string *texts)
{
	std::lock_guard<std::mutex> hold(reader_lock);
	reader &r = the_reader;
	if (r.pid < 0 && !start_reader(r))
		return false;
	cv::Mat pixels = grey.isContinuous() ? grey : grey.clone();
	int32_t size[2] = {pixels.cols, pixels.rows};
	uint64_t length = 0;
	if (send_all(r.fd, size, sizeof size) &&
	    send_all(r.fd, pixels.data, pixels.total()) &&
	    receive_all(r.fd, &length, sizeof length)) {
		texts->resize(length);
		if (receive_all(r.fd, texts->data(), length))
			return true;
	}
	stop_reader(r);
	return false;
}

} // namespace

void stop_code_reader()
{
	std::lock_guard<std::mutex> hold(reader_lock);
	if (the_reader.pid >= 0)
		stop_reader(the_reader);
}

std::vector<std::string> decode_qr(const cv::Mat &bgra)
{
	cv::Mat grey;
	cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
	// Read apart, and again a little smaller or larger when the reader
	// died on it (the same codes, other lines through them).
	for (double scale : {1.0, 0.9, 1.1}) {
		cv::Mat at = grey;
		if (scale != 1.0)
			cv::resize(grey, at, {}, scale, scale,
				   cv::INTER_LINEAR);
		std::string bytes;
		if (!read_codes_apart(at, &bytes))
			continue;
		std::vector<std::string> texts;
		for (size_t from = 0, end; from < bytes.size();
		     from = end + 1) {
			end = bytes.find('\0', from);
			texts.push_back(bytes.substr(from, end - from));
		}
		std::sort(texts.begin(), texts.end());
		return texts;
	}
	// Unread is not unreadable.
	return {"(not read: ZXing aborted at every size)"};
}

cv::Rect with_margin(const cv::Rect &box, int margin)
{
	return cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin,
			box.height + 2 * margin);
}

cv::Mat near_boxes(const cv::Size &size, const std::vector<cv::Rect> &boxes,
		   int margin)
{
	cv::Mat near_box(size, CV_8U, cv::Scalar(0));
	for (const cv::Rect &r : boxes)
		cv::rectangle(near_box, with_margin(r, margin), cv::Scalar(255),
			      cv::FILLED);
	return near_box;
}

size_t differences_away_from(const cv::Mat &a, const cv::Mat &b,
			     const std::vector<cv::Rect> &boxes, int margin)
{
	CV_Assert(a.size() == b.size() && a.type() == CV_8UC4 &&
		  b.type() == CV_8UC4);
	cv::Mat near_box = near_boxes(a.size(), boxes, margin);
	size_t differ = 0;
	for (int y = 0; y < a.rows; y++) {
		const uint32_t *pa = a.ptr<uint32_t>(y);
		const uint32_t *pb = b.ptr<uint32_t>(y);
		const uint8_t *m = near_box.ptr<uint8_t>(y);
		for (int x = 0; x < a.cols; x++)
			differ += !m[x] && pa[x] != pb[x];
	}
	return differ;
}

std::vector<cv::Rect> boxes_of(const std::vector<placed_code> &codes)
{
	std::vector<cv::Rect> boxes;
	for (const placed_code &c : codes)
		boxes.push_back(c.box);
	return boxes;
}

std::vector<cv::Rect> code_boxes_near(uint64_t n, uint64_t frames)
{
	static const std::vector<std::vector<cv::Rect>> of_frame = [] {
		std::vector<std::vector<cv::Rect>> all;
		for (uint64_t k = 0; k < SCENE_CYCLE; k++) {
			std::vector<placed_code> codes;
			scene_frame(k, &codes);
			all.push_back(boxes_of(codes));
		}
		return all;
	}();
	std::vector<cv::Rect> boxes;
	uint64_t first = n > frames ? n - frames : 0;
	// Past a whole cycle every place repeats.
	uint64_t last = std::min(n + frames, first + SCENE_CYCLE - 1);
	for (uint64_t m = first; m <= last; m++) {
		const auto &b = of_frame[m % SCENE_CYCLE];
		boxes.insert(boxes.end(), b.begin(), b.end());
	}
	return boxes;
}

size_t changed_beyond_reach(const cv::Mat &shown, uint64_t n, double reach_s,
			    double fps)
{
	auto frames = uint64_t(std::ceil(reach_s * fps)) + 2;
	int growth = int(std::ceil(200 * reach_s)) + 40;
	return differences_away_from(scene_frame(n), shown,
				     code_boxes_near(n, frames), growth);
}

} // namespace qm_scene
