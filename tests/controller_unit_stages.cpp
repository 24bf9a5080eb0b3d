// The controller's stages apart from the pipeline: obscuring, the settings
// file, the endpoint helpers and the QR detectors.

#include "endpoints.h"
#include "obscure.h"
#include "qr-detector.h"
#include "qr-scene.h"
#include "settings.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

using namespace qmc;
namespace fs = std::filesystem;

namespace {

cv::Mat noise(cv::Size size, int seed)
{
	cv::Mat m(size, CV_8UC4);
	cv::RNG rng = cv::RNG(uint64_t(seed));
	rng.fill(m, cv::RNG::UNIFORM, 0, 256);
	return m;
}

// Pixels that differ, outside the rectangle.
size_t changed_outside(const cv::Mat &a, const cv::Mat &b, const cv::Rect &r)
{
	return qm_scene::differences_away_from(a, b, {r}, 0);
}

struct temp_dir {
	fs::path path;
	temp_dir()
	{
		char tmpl[] = "/tmp/qm-ctl-unit-XXXXXX";
		path = mkdtemp(tmpl);
	}
	~temp_dir() { fs::remove_all(path); }
};

void write_text(const fs::path &p, const std::string &text)
{
	std::ofstream(p, std::ios::binary) << text;
}

} // namespace

TEST(Obscure, MosaicCellsAreMeansAndNothingOutsideChanges)
{
	cv::Mat before = noise({320, 180}, 1), after = before.clone();
	const cv::Rect region(50, 40, 100, 61);
	mosaic(after, region);
	EXPECT_EQ(changed_outside(before, after, region), 0u);

	// 100 pixels across in at most 8 cells: cells of 13 pixels.
	std::set<int> lefts;
	for (int y = region.y; y < region.br().y; y += 13) {
		for (int x = region.x; x < region.br().x; x += 13) {
			cv::Rect cell = cv::Rect(x, y, 13, 13) & region;
			lefts.insert(x);
			cv::Scalar mean = cv::mean(before(cell));
			std::vector<cv::Mat> channels;
			cv::split(after(cell), channels);
			for (int c = 0; c < 4; c++) {
				double lo, hi;
				cv::minMaxLoc(channels[size_t(c)], &lo, &hi);
				EXPECT_EQ(lo, hi)
					<< "cell at " << x << "," << y;
				EXPECT_NEAR(lo, mean[c], 0.51);
			}
		}
	}
	EXPECT_EQ(lefts.size(), 8u);
}

TEST(Obscure, RegionsAreClippedAndMergedAndTheWholeFrameCanGo)
{
	cv::Mat before = noise({320, 180}, 2), after = before.clone();
	mosaic(after, cv::Rect(-50, 150, 100, 100));
	EXPECT_EQ(changed_outside(before, after, cv::Rect(0, 150, 50, 30)), 0u);
	mosaic(after, cv::Rect(400, 400, 10, 10)); // wholly outside

	std::vector<cv::Rect> merged = merge_overlapping(
		{{0, 0, 10, 10}, {2, 2, 10, 10}, {100, 100, 5, 5}, {}});
	ASSERT_EQ(merged.size(), 2u);
	EXPECT_EQ(merged[0], cv::Rect(0, 0, 12, 12));
	// Two faces whose grown regions only touch: their union would
	// cover the face between them.
	EXPECT_EQ(
		merge_overlapping({{0, 0, 100, 100}, {90, 90, 100, 100}}).size(),
		2u);
	// A box mostly inside the union of two others of one object, but
	// half inside neither, is another object.
	merged = merge_overlapping(
		{{0, 0, 100, 100}, {20, 20, 100, 100}, {80, 0, 60, 60}});
	EXPECT_EQ(merged, (std::vector<cv::Rect>{cv::Rect(0, 0, 120, 120),
						 cv::Rect(80, 0, 60, 60)}));
	// Copies of one object chain: one mosaic over all of them.
	EXPECT_EQ(merge_overlapping({{0, 0, 100, 100},
				     {20, 0, 100, 100},
				     {40, 0, 100, 100}}),
		  std::vector<cv::Rect>{cv::Rect(0, 0, 140, 100)});
	// Two boxes of one object share one mosaic, and the corners of
	// their union that neither covers stay as they were.
	cv::Mat pair = noise({320, 180}, 6), paired;
	compose(pair, {{0, 0, 100, 100}, {20, 20, 100, 100}}, false, paired);
	for (const cv::Rect &corner :
	     {cv::Rect(100, 0, 20, 20), cv::Rect(0, 100, 20, 20)})
		EXPECT_EQ(cv::norm(pair(corner), paired(corner), cv::NORM_INF),
			  0);
	EXPECT_GT(cv::norm(pair(cv::Rect(0, 0, 120, 100)),
			   paired(cv::Rect(0, 0, 120, 100)), cv::NORM_INF),
		  0);
	// Objects of a crowd chained round a corner: their union would
	// cover the corner, so each keeps its own mosaic.
	const std::vector<cv::Rect> corner = {{0, 0, 100, 60},
					      {50, 0, 100, 60},
					      {100, 0, 60, 100},
					      {100, 50, 60, 100}};
	EXPECT_EQ(merge_overlapping(corner), corner);
	cv::Mat crowd = noise({320, 180}, 5), chained;
	compose(crowd, corner, false, chained);
	EXPECT_EQ(cv::norm(crowd(cv::Rect(0, 60, 100, 90)),
			   chained(cv::Rect(0, 60, 100, 90)), cv::NORM_INF),
		  0);
	for (const cv::Rect &r : corner)
		EXPECT_GT(cv::norm(crowd(r), chained(r), cv::NORM_INF), 0);
	cv::Mat between = noise({320, 180}, 4), shown;
	compose(between, {{0, 0, 100, 100}, {90, 60, 100, 100}}, false, shown);
	EXPECT_EQ(changed_outside(between, shown, cv::Rect(0, 0, 190, 160)),
		  0u);
	EXPECT_EQ(cv::norm(between(cv::Rect(0, 110, 80, 50)),
			   shown(cv::Rect(0, 110, 80, 50)), cv::NORM_INF),
		  0);

	cv::Mat frame = noise({1280, 720}, 3), out;
	compose(frame, {}, true, out);
	// 1280 pixels in 8 cells: every 160-pixel cell is one colour.
	for (int y = 0; y < 720; y += 160)
		for (int x = 0; x < 1280; x += 160) {
			cv::Rect cell = cv::Rect(x, y, 160, 160) &
					cv::Rect(0, 0, 1280, 720);
			cv::Mat one(cell.size(), CV_8UC4,
				    cv::Scalar(out.at<cv::Vec4b>(y, x)));
			EXPECT_EQ(cv::norm(out(cell), one, cv::NORM_INF), 0);
		}
	compose(frame, {cv::Rect(10, 10, 20, 20)}, false, out);
	EXPECT_EQ(changed_outside(frame, out, cv::Rect(10, 10, 20, 20)), 0u);
	EXPECT_GT(cv::norm(frame(cv::Rect(10, 10, 20, 20)),
			   out(cv::Rect(10, 10, 20, 20)), cv::NORM_INF),
		  0);
}

TEST(Obscure, TheToolsTellAWhollyObscuredFrameFromOneWithRegions)
{
	// The demo and the benchmark count a frame as wholly obscured by its
	// look alone: the controller's whole-frame mosaic must be that look,
	// and a frame with a region over its stamp must not.
	cv::Mat frame = qm_scene::scene_frame(7), out;
	qmc::compose(frame, {}, true, out);
	EXPECT_TRUE(qm_scene::one_mosaic(out));
	qmc::compose(frame, {cv::Rect(0, 0, 400, 200)}, false, out);
	EXPECT_FALSE(qm_scene::one_mosaic(out));
	EXPECT_FALSE(qm_scene::one_mosaic(frame));
}

TEST(Settings, ParsedWithDefaultsAndClampedToTheirRanges)
{
	std::string why;
	std::optional<settings> s = parse_settings("{}", &why);
	ASSERT_TRUE(s);
	EXPECT_EQ(*s, settings());
	EXPECT_EQ(s->delay, 5.0);
	EXPECT_EQ(s->fps, 15);

	struct clamp_case {
		const char *json;
		double delay;
		int fps;
	};
	for (clamp_case c :
	     {clamp_case{R"({"fps": 1, "delay": 0})", 1, 5},
	      clamp_case{R"({"fps": 1000, "delay": 99})", 30, 60},
	      clamp_case{R"({"fps": 12.9, "delay": -3})", 1, 12},
	      clamp_case{R"({"fps": -7, "delay": 1e308})", 30, 5},
	      clamp_case{R"({"fps": 30, "delay": 2.5})", 2.5, 30}}) {
		s = parse_settings(c.json, &why);
		ASSERT_TRUE(s) << c.json;
		EXPECT_EQ(s->delay, c.delay) << c.json;
		EXPECT_EQ(s->fps, c.fps) << c.json;
	}

	s = parse_settings(
		R"({"worker_enabled": false, "qr_enabled": false,
		    "reference": "/a.png", "capture_request": "",
		    "references": [{"value": "/b.bmp"}, 7, {"value": 3},
				   {"value": ""}, {"value": "/c.jpg"}]})",
		&why);
	ASSERT_TRUE(s);
	EXPECT_FALSE(s->worker_enabled);
	EXPECT_FALSE(s->qr_enabled);
	EXPECT_TRUE(s->face_enabled);
	EXPECT_EQ(s->references,
		  (std::vector<std::string>{"/a.png", "/b.bmp", "/c.jpg"}));
}

TEST(Settings, UntrustworthyTextGivesNothing)
{
	std::string deep(100, '[');
	for (const std::string &text :
	     {std::string(""), std::string("{\"fps\": 20"),
	      std::string("[1, 2]"), std::string("\"text\""), std::string("5"),
	      std::string(R"({"fps": "20"})"),
	      std::string(R"({"delay": true})"),
	      std::string(R"({"worker_enabled": 1})"),
	      std::string(R"({"qr_enabled": "false"})"),
	      "{\"x\": " + deep + "}"}) {
		std::string why;
		EXPECT_FALSE(parse_settings(text, &why)) << text;
		EXPECT_FALSE(why.empty()) << text;
	}
}

TEST(Settings, TheFileKeepsItsLastGoodSettings)
{
	temp_dir dir;
	fs::path path = dir.path / "settings.json";
	std::vector<std::string> reports;
	settings_file file(path.string(), [&](const std::string &line) {
		reports.push_back(line);
	});

	// Before the filter writes it, the defaults hold quietly.
	EXPECT_FALSE(file.poll());
	EXPECT_EQ(file.current(), settings());
	EXPECT_TRUE(reports.empty());

	write_text(path, R"({"fps": 30, "qr_enabled": false})");
	EXPECT_TRUE(file.poll());
	EXPECT_EQ(file.current().fps, 30);
	EXPECT_FALSE(file.poll()) << "nothing changed";

	auto bad = [&](const std::function<void()> &make) {
		make();
		auto start = std::chrono::steady_clock::now();
		EXPECT_FALSE(file.poll());
		EXPECT_LT(std::chrono::steady_clock::now() - start,
			  std::chrono::seconds(5));
		EXPECT_EQ(file.current().fps, 30);
		EXPECT_FALSE(file.current().qr_enabled);
		fs::remove_all(path);
	};
	bad([&] { write_text(path, "{\"fps\": 5, \"qr_en"); });
	bad([&] { write_text(path, "[]"); });
	bad([&] { write_text(path, R"({"fps": 120, "delay": "soon"})"); });
	bad([&] { fs::create_directory(path); });
	bad([&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); });
	bad([&] {
		write_text(path,
			   "{\"x\": \"" + std::string(2 << 20, 'a') + "\"}");
	});
	bad([] {}); // missing, once it had been there
	EXPECT_GE(reports.size(), 6u);
	for (const std::string &r : reports)
		EXPECT_NE(r.find("keeping the last good settings"),
			  std::string::npos)
			<< r;

	// The same problem twice is told once.
	size_t told = reports.size();
	write_text(path, "nonsense");
	file.poll();
	file.poll();
	EXPECT_EQ(reports.size(), told + 1);

	write_text(path, R"({"fps": 1000, "worker_enabled": false})");
	EXPECT_TRUE(file.poll());
	EXPECT_EQ(file.current().fps, 60);
	EXPECT_FALSE(file.current().worker_enabled);
	EXPECT_TRUE(file.current().qr_enabled) << "absent is the default";
}

TEST(Endpoints, TokensFilesAndComparison)
{
	std::string a, b;
	ASSERT_TRUE(random_token(&a));
	ASSERT_TRUE(random_token(&b));
	EXPECT_TRUE(std::regex_match(a, std::regex("[A-Za-z0-9]{64}")));
	EXPECT_NE(a, b);

	const uint8_t *bytes = reinterpret_cast<const uint8_t *>(a.data());
	EXPECT_TRUE(token_matches(bytes, a));
	for (size_t at : {size_t(0), size_t(31), size_t(63)}) {
		std::string other = a;
		other[at] = other[at] == 'x' ? 'y' : 'x';
		EXPECT_FALSE(token_matches(
			reinterpret_cast<const uint8_t *>(other.data()), a));
	}
	EXPECT_FALSE(token_matches(bytes, a.substr(0, 63)));

	temp_dir dir;
	fs::path file = dir.path / "filter-input.endpoint";
	write_text(file, "old");
	std::string error;
	ASSERT_TRUE(
		write_file_whole(file.string(), endpoint_json(4321, a), &error))
		<< error;
	std::ifstream in(file);
	std::string text((std::istreambuf_iterator<char>(in)),
			 std::istreambuf_iterator<char>());
	EXPECT_EQ(text, "{\"port\": 4321, \"token\": \"" + a + "\"}\n");
	struct stat st;
	ASSERT_EQ(stat(file.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0600u);
	EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
	EXPECT_FALSE(write_file_whole((dir.path / "no/such/x").string(), "t",
				      &error));
}

TEST(QrDetectors, EveryCodeOfTheSceneIsFoundAndNoneSurvivesObscuring)
{
	for (uint64_t n : {0ull, 17ull, 40ull}) {
		std::vector<qm_scene::placed_code> codes;
		cv::Mat frame = qm_scene::scene_frame(n, &codes);
		ASSERT_EQ(qm_scene::decode_qr(frame).size(), codes.size())
			<< "frame " << n << ": every code is readable raw";
		regions found = find_qr_zxing(frame);
		std::vector<cv::Rect> boxes;
		for (const region &r : found)
			boxes.push_back(r.box);
		for (const qm_scene::placed_code &c : codes) {
			bool covered = false;
			for (const cv::Rect &b : boxes)
				covered |= (b & c.box).area() >=
					   c.box.area() * 9 / 10;
			EXPECT_TRUE(covered) << c.text << " in frame " << n;
		}
		cv::Mat out;
		compose(frame, boxes, false, out);
		EXPECT_TRUE(qm_scene::decode_qr(out).empty()) << "frame " << n;
		EXPECT_EQ(qm_scene::differences_away_from(frame, out, boxes, 0),
			  0u);
	}
}

TEST(QrDetectors, TheFinePassReadsSmallCodesThatBlurRanTogether)
{
	// Two-pixel modules, blurred by one pixel, turned and sent through
	// JPEG: the plain pass cannot locate it.
	cv::Mat frame(720, 1280, CV_8UC4, cv::Scalar(90, 110, 120, 255));
	cv::Mat code = qm_scene::render_qr("quilmar fine pass code 1", 2);
	cv::GaussianBlur(code, code, cv::Size(0, 0), 1.0);
	cv::Rect truth =
		cv::boundingRect(qm_scene::place(frame, code, {450, 170}, 8));
	std::vector<uint8_t> jpeg;
	cv::Mat bgr;
	cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
	cv::imencode(".jpg", bgr, jpeg, {cv::IMWRITE_JPEG_QUALITY, 75});
	cv::cvtColor(cv::imdecode(jpeg, cv::IMREAD_COLOR), frame,
		     cv::COLOR_BGR2BGRA);
	ASSERT_TRUE(find_qr_zxing(frame).empty());

	regions found = find_qr_fine(frame);
	ASSERT_EQ(found.size(), 1u);
	// In the frame's own coordinates, around the whole code.
	EXPECT_GE((found[0].box & truth).area(), truth.area() * 9 / 10);
	EXPECT_LT(found[0].box.area(), 2 * truth.area());
}

TEST(QrDetectors, OpenCvLocatesWhatZxingMissesAndSkipsWhatIsKnown)
{
	cv::Mat frame(720, 1280, CV_8UC4, cv::Scalar(120, 130, 140, 255));
	cv::Mat code = qm_scene::render_qr("low contrast, blurred", 5, 95, 165);
	cv::GaussianBlur(code, code, cv::Size(0, 0), 2.0);
	std::vector<cv::Point2f> corners =
		qm_scene::place(frame, code, {400, 360}, 0);
	cv::Rect truth = cv::boundingRect(corners);
	EXPECT_TRUE(find_qr_zxing(frame).empty());

	regions found = find_qr_opencv(frame, {});
	ASSERT_EQ(found.size(), 1u);
	EXPECT_GT((found[0].box & truth).area(), truth.area() / 2);
	EXPECT_TRUE(find_qr_opencv(frame, found).empty())
		<< "a code already found is masked out";

	// A 100-pixel code gains 4 + 15 pixels a side, clipped to the frame.
	EXPECT_EQ(code_box({{10, 10}, {110, 10}, {110, 110}, {10, 110}},
			   {1280, 720}),
		  cv::Rect(0, 0, 129, 129));
	EXPECT_EQ(code_box({{300, 200}, {400, 200}, {400, 300}, {300, 300}},
			   {1280, 720}),
		  cv::Rect(281, 181, 138, 138));
	EXPECT_TRUE(code_box({{0, 0}, {NAN, 5}}, {1280, 720}).empty());
}
