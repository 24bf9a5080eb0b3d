// Text lines and phone numbers: the DB post-processing on maps made here,
// lines found in rendered text on the real model, and phone numbers read
// by Tesseract from rendered lines in several fonts, shapes and tilts,
// boxed where they are and nowhere else.
#include <gtest/gtest.h>

#include <cstdlib>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "detector_samples.h"
#include "phone-numbers.h"
#include "text-detector.h"

namespace {

const char *const FONTS[] = {"dejavu/DejaVuSans.ttf",
			     "liberation/LiberationSerif-Regular.ttf",
			     "liberation/LiberationMono-Regular.ttf"};

TEST(TextMap, LinesComeBackGrownAndInFramePixels)
{
	qm_text_options o;
	cv::Mat map(200, 400, CV_32F, cv::Scalar(0));
	map(cv::Rect(50, 40, 100, 10)).setTo(0.9);  // a line's core
	map(cv::Rect(50, 100, 100, 10)).setTo(0.5); // too unsure
	map(cv::Rect(300, 150, 2, 2)).setTo(0.9);   // a speck
	std::vector<qm_text_line> lines =
		qm_text_lines_from_map(map, {800, 600}, o);
	ASSERT_EQ(lines.size(), 1u);
	cv::Rect r = lines[0].box.boundingRect();
	// The 100x10 core grows by 100 * 10 * 1.5 / 220 = 6.8 on each side,
	// then doubles in x and triples in y.
	EXPECT_NEAR(r.x, (50 - 6.8) * 2, 4);
	EXPECT_NEAR(r.width, (100 + 13.6) * 2, 6);
	EXPECT_NEAR(r.y, (40 - 6.8) * 3, 6);
	EXPECT_NEAR(r.height, (10 + 13.6) * 3, 8);
	EXPECT_NEAR(lines[0].score, 0.9, 0.01);
}

TEST(TextMap, PiecesOfOneLineAreJoinedOthersAreNot)
{
	qm_text_options o;
	cv::Mat map(200, 600, CV_32F, cv::Scalar(0));
	// Two words of one line, a word gap apart.
	map(cv::Rect(20, 40, 120, 12)).setTo(0.9);
	map(cv::Rect(155, 40, 80, 12)).setTo(0.9);
	// The line below, and a word far to the right of the first line.
	map(cv::Rect(20, 90, 120, 12)).setTo(0.9);
	map(cv::Rect(450, 40, 80, 12)).setTo(0.9);
	std::vector<qm_text_line> lines =
		qm_text_lines_from_map(map, map.size(), o);
	ASSERT_EQ(lines.size(), 3u);
	int widest = 0;
	for (const qm_text_line &l : lines)
		widest = std::max(widest, l.box.boundingRect().width);
	EXPECT_GT(widest, 215);
	EXPECT_LT(widest, 260);
}

TEST(TextMap, HundredsOfLinesInPiecesAreJoinedEachToItsOwn)
{
	// A page: 40 rows of three columns, each line in three words.
	qm_text_options o;
	cv::Mat map(1000, 1500, CV_32F, cv::Scalar(0));
	for (int row = 0; row < 40; row++)
		for (int col = 0; col < 3; col++)
			for (int word = 0; word < 3; word++)
				map(cv::Rect(20 + 500 * col + 140 * word,
					     10 + 24 * row, 120, 8))
					.setTo(0.9);
	std::vector<qm_text_line> lines =
		qm_text_lines_from_map(map, map.size(), o);
	ASSERT_EQ(lines.size(), 120u);
	// Each the whole of its three words, none reaching the next column.
	for (const qm_text_line &l : lines) {
		EXPECT_GT(l.box.boundingRect().width, 400);
		EXPECT_LT(l.box.boundingRect().width, 480);
	}
}

class TextModels : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!qm_detector_samples_ready())
			GTEST_SKIP() << "opencv-doc is not installed";
		std::string error;
		ASSERT_TRUE(qm_load_text_detector(
			text, qm_model_path("text-detector.onnx"), error))
			<< error;
	}
	qm_text_detector text;
};

TEST_F(TextModels, FindsTurnedLinesOfRenderedText)
{
	cv::Mat frame = qm_background();
	std::vector<cv::RotatedRect> truth;
	const char *lines[] = {"Opening hours 9:30 to 17:00",
			       "Fresh bread every morning",
			       "Closed on public holidays"};
	const float angles[] = {0, -12, 9};
	for (size_t i = 0; i < std::size(lines); i++)
		truth.push_back(qm_paste_text(
			frame, lines[i], qm_font_path(FONTS[i]),
			18 + 6 * (int)i,
			{(float)(300 + 300 * i), (float)(150 + 200 * i)},
			angles[i]));
	cv::Mat bgra;
	cv::cvtColor(frame, bgra, cv::COLOR_BGR2BGRA);
	std::vector<qm_text_line> found = qm_detect_text(text, bgra);
	for (size_t i = 0; i < truth.size(); i++) {
		float best = 0;
		for (const qm_text_line &l : found)
			best = std::max(best, qm_coverage(l.box, truth[i]));
		EXPECT_GT(best, 0.85f) << lines[i];
	}
}

TEST_F(TextModels, RefusesInputSizesTheNetworkCannotTake)
{
	std::string error;
	qm_text_detector other;
	EXPECT_FALSE(qm_load_text_detector(
		other, qm_model_path("text-detector.onnx"), error, {100, 64}));
	EXPECT_FALSE(error.empty());
}

std::vector<std::string> matches(const std::string &text,
				 const std::string &region)
{
	std::vector<std::string> out;
	for (const qm_text_span &s : qm_match_phone_numbers(text, region))
		out.push_back(text.substr(s.begin, s.end - s.begin));
	return out;
}

using strings = std::vector<std::string>;

TEST(PhoneMatch, FindsNumbersInTheShapesPeopleWrite)
{
	EXPECT_EQ(matches("Call +44 20 7946 0958 today", "US"),
		  strings{"+44 20 7946 0958"});
	EXPECT_EQ(matches("(555) 123-4567", "US"), strings{"(555) 123-4567"});
	EXPECT_EQ(matches("Tel. 555-0100", "US"), strings{"555-0100"});
	EXPECT_EQ(matches("555 0100", "US"), strings{"555 0100"});
	EXPECT_EQ(matches("212-555-0147 or 1 800 555 0199", "US"),
		  (strings{"212-555-0147", "1 800 555 0199"}));
	EXPECT_EQ(matches("Phone: 020 7946 0958", "GB"),
		  strings{"020 7946 0958"});
	EXPECT_EQ(matches("Mobil 0171 234 5678", "DE"),
		  strings{"0171 234 5678"});
	EXPECT_EQ(matches("06 12 34 56 78", "FR"), strings{"06 12 34 56 78"});
	// A leading + is found whatever the region.
	for (const char *region : {"US", "GB", "DE", "JP", "BR"})
		EXPECT_EQ(matches("+33 1 23 45 67 89", region),
			  strings{"+33 1 23 45 67 89"})
			<< region;
}

TEST(PhoneMatch, LeavesDatesPricesAndOrderNumbersAlone)
{
	const char *distractors[] = {
		"Date: 2024-03-15",    "15.03.2024",
		"12/03/2024",          "Price: $1,299.00",
		"EUR 249.99",          "1.299,00 EUR",
		"Total 1234.56",       "Order #4711-0815-2291",
		"Order no. 5567 1234", "INV-2024-00123",
		"Invoice 2024-00123",  "ISBN 978-3-16-148410-0",
		"Serial 12345678",     "Flight LH 2024 at 10:45",
		"Open 12:30 - 14:00",  "5,550,100 visitors",
		"3.14159265",          "Room 101",
		"12 March 2024",       "Tracking 1Z999AA10123456784"};
	for (const char *region : {"US", "GB", "DE"})
		for (const char *text : distractors)
			EXPECT_TRUE(matches(text, region).empty())
				<< region << ": " << text << " -> "
				<< matches(text, region)[0];
}

TEST(PhoneMatch, ANumberBesideADateIsFoundAlone)
{
	EXPECT_EQ(matches("Call 555-0100 on 2024-03-15", "US"),
		  strings{"555-0100"});
	EXPECT_EQ(matches("Order 4711 - questions: tel 0171 234 5678", "DE"),
		  strings{"0171 234 5678"});
}

TEST(PhoneMatch, AMisreadAreaCodeBesideANumberIsCoveredWithIt)
{
	auto widened = [](const std::string &text, const std::string &part) {
		size_t at = text.find(part);
		qm_text_span s =
			qm_span_with_area_code(text, {at, at + part.size()});
		return text.substr(s.begin, s.end - s.begin);
	};
	// What Tesseract leaves of "(617)" when it misreads it.
	EXPECT_EQ(widened("(61 555-0199", "555-0199"), "(61 555-0199");
	EXPECT_EQ(widened("Call  {6l7) 555-0199", "555-0199"),
		  "{6l7) 555-0199");
	EXPECT_EQ(widened("(61?555-0199", "555-0199"), "(61?555-0199");
	// Words, dates and prices beside a number stay sharp.
	EXPECT_EQ(widened("Tel. 555-0100", "555-0100"), "555-0100");
	EXPECT_EQ(widened("2024-03-15 555-0100", "555-0100"), "555-0100");
	EXPECT_EQ(widened("$1,299.00 555-0100", "555-0100"), "555-0100");
	EXPECT_EQ(widened("555-0100", "555-0100"), "555-0100");
}

TEST(PhoneRegion, ComesFromTheLocale)
{
	EXPECT_EQ(qm_region_from_locale("en_GB.UTF-8"), "GB");
	EXPECT_EQ(qm_region_from_locale("de_DE@euro"), "DE");
	EXPECT_EQ(qm_region_from_locale("pt_BR"), "BR");
	EXPECT_EQ(qm_region_from_locale("C.UTF-8"), "");
	EXPECT_EQ(qm_region_from_locale("POSIX"), "");
	EXPECT_EQ(qm_region_from_locale("en_gb"), "");
	EXPECT_EQ(qm_region_from_locale("en_GBR.UTF-8"), "");

	setenv("LC_ALL", "", 1);
	setenv("LC_TELEPHONE", "fr_FR.UTF-8", 1);
	setenv("LANG", "de_AT.UTF-8", 1);
	EXPECT_EQ(qm_default_region(), "FR");
	unsetenv("LC_TELEPHONE");
	EXPECT_EQ(qm_default_region(), "AT");
	setenv("LANG", "C.UTF-8", 1);
	EXPECT_EQ(qm_default_region(), "US");
}

class PhoneReader : public TextModels {
protected:
	void SetUp() override
	{
		TextModels::SetUp();
		if (IsSkipped() || HasFatalFailure())
			return;
		std::string error;
		ASSERT_TRUE(qm_load_phone_reader(reader, "US", error)) << error;
	}
	qm_phone_reader reader;
};

TEST_F(PhoneReader, RefusesUnknownRegions)
{
	qm_phone_reader other;
	std::string error;
	EXPECT_FALSE(qm_load_phone_reader(other, "XX", error));
	EXPECT_FALSE(qm_load_phone_reader(other, "", error));
	EXPECT_TRUE(qm_load_phone_reader(other, "gb", error)) << error;
	EXPECT_EQ(other.region, "GB");
}

// Each number on its own card, in a different font, size and tilt, with a
// date on the same line and a price on the line below: the boxes hold the
// number and leave the date and the price alone.
TEST_F(PhoneReader, BoxesNumbersInRenderedFramesAndNothingElse)
{
	struct line {
		const char *number;
		const char *rest;
		int height;
		float angle;
	};
	const line lines[] = {{"+44 20 7946 0958", "  2024-03-15", 22, 0},
			      {"(555) 123-4567", "  15.03.2024", 18, 6},
			      {"555-0100", "  12/03/2024", 26, -10}};
	cv::Mat frame = qm_background();
	std::vector<cv::RotatedRect> numbers, others;
	for (size_t i = 0; i < std::size(lines); i++) {
		const line &l = lines[i];
		std::string font = qm_font_path(FONTS[i]);
		cv::Point2f centre((float)(330 + 300 * (i % 2)),
				   (float)(110 + 220 * i));
		// Render the whole line to learn where the number ends, then
		// the number alone for its outline.
		cv::Mat scratch = frame.clone();
		cv::RotatedRect whole =
			qm_paste_text(frame, std::string(l.number) + l.rest,
				      font, l.height, centre, l.angle);
		cv::RotatedRect number = qm_paste_text(
			scratch, l.number, font, l.height, centre, l.angle);
		// Shift the number's outline to the start of the line.
		float shift = (whole.size.width - number.size.width) / 2;
		float rad = -l.angle * (float)CV_PI / 180;
		number.center -=
			shift * cv::Point2f(std::cos(rad), std::sin(rad));
		numbers.push_back(number);
		cv::RotatedRect rest = number;
		rest.center += (whole.size.width / 2) *
			       cv::Point2f(std::cos(rad), std::sin(rad));
		rest.size.width = whole.size.width - number.size.width - 20;
		others.push_back(rest);
	}
	cv::RotatedRect price = qm_paste_text(frame, "Price: $1,299.00",
					      qm_font_path(FONTS[0]), 24,
					      {1000, 620}, 0);
	others.push_back(price);

	std::vector<qm_phone_number> found = qm_find_phone_numbers(
		reader, frame, qm_detect_text(text, frame));
	ASSERT_EQ(found.size(), numbers.size());
	for (size_t i = 0; i < numbers.size(); i++) {
		SCOPED_TRACE(lines[i].number);
		float best = 0;
		for (const qm_phone_number &n : found)
			best = std::max(best,
					qm_coverage(cv::minAreaRect(n.outline),
						    numbers[i]));
		EXPECT_GT(best, 0.9f);
	}
	for (const cv::RotatedRect &o : others)
		for (const qm_phone_number &n : found)
			EXPECT_LT(qm_coverage(cv::minAreaRect(n.outline), o),
				  0.1f)
				<< n.text;
}

TEST_F(PhoneReader, ReadsEachCharacterWithItsBox)
{
	cv::Mat card(60, 400, CV_8UC3, cv::Scalar::all(255));
	qm_draw_text(card, "Tel 555-0100", qm_font_path(FONTS[0]), 30,
		     {10, 45});
	cv::Mat grey;
	cv::cvtColor(card, grey, cv::COLOR_BGR2GRAY);
	qm_read_line line = qm_read_text_line(reader, grey);
	EXPECT_EQ(line.text, "Tel 555-0100");
	ASSERT_EQ(line.symbols.size(), 11u);
	for (size_t i = 1; i < line.symbols.size(); i++)
		EXPECT_GT(line.symbols[i].box.x, line.symbols[i - 1].box.x);
	EXPECT_EQ(line.symbols[3].begin, 4u); // the space is no symbol
}

} // namespace
