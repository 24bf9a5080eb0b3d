#include "phone-numbers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <regex>
#include <set>

#include <opencv2/imgproc.hpp>
#include <phonenumbers/phonenumbermatch.h>
#include <phonenumbers/phonenumbermatcher.h>
#include <phonenumbers/phonenumberutil.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

using i18n::phonenumbers::PhoneNumberMatch;
using i18n::phonenumbers::PhoneNumberMatcher;
using i18n::phonenumbers::PhoneNumberUtil;

namespace {

constexpr int BORDER = 12;
// Fewer digits than this is a short code, a year or a price, not a number
// to hide (555-0100 has seven).
constexpr int MIN_DIGITS = 7;

// Words that, just before a number, make it a phone number...
const char *const PHONE_WORDS[] = {"tel",    "phone", "call",    "fax",
				   "mobile", "mob",   "cell",    "ph",
				   "text",   "sms",   "whatsapp"};
// ...and words that make it some other kind of number.
const char *const OTHER_WORDS[] = {
	"order",   "invoice", "inv",      "ref",      "reference", "serial",
	"sn",      "isbn",    "id",       "item",     "sku",       "art",
	"account", "acct",    "iban",     "tracking", "ticket",    "case",
	"code",    "pin",     "po",       "receipt",  "batch",     "lot",
	"part",    "model",   "customer", "booking",  "flight",    "room"};
const char *const CURRENCIES[] = {"$",   "\xe2\x82\xac", "\xc2\xa3", "\xc2\xa5",
				  "eur", "usd",          "gbp",      "chf",
				  "jpy", "cad",          "aud"};

std::string lower(std::string s)
{
	for (char &c : s)
		c = (char)std::tolower((unsigned char)c);
	return s;
}

bool is_alpha(char c)
{
	return std::isalpha((unsigned char)c) != 0;
}

bool is_digit(char c)
{
	return std::isdigit((unsigned char)c) != 0;
}

template<size_t N>
bool listed(const char *const (&list)[N], const std::string &w)
{
	return std::find_if(list, list + N,
			    [&](const char *x) { return w == x; }) != list + N;
}

// The last few words (letters only, lower case) before pos.
std::vector<std::string> words_before(const std::string &text, size_t pos,
				      size_t count)
{
	std::vector<std::string> words;
	size_t i = pos;
	while (i > 0 && words.size() < count) {
		while (i > 0 && !is_alpha(text[i - 1]))
			i--;
		size_t end = i;
		while (i > 0 && is_alpha(text[i - 1]))
			i--;
		if (end > i)
			words.push_back(lower(text.substr(i, end - i)));
	}
	return words;
}

bool currency_near(const std::string &text, size_t begin, size_t end)
{
	std::string before = lower(
		text.substr(begin > 4 ? begin - 4 : 0, begin > 4 ? 4 : begin));
	std::string after = lower(text.substr(end, 4));
	for (const char *c : CURRENCIES)
		if (before.find(c) != std::string::npos ||
		    after.find(c) != std::string::npos)
			return true;
	return false;
}

bool looks_like_date_or_amount(const std::string &s)
{
	static const std::regex shapes[] = {
		// 2024-03-15, 2024/3/5
		std::regex(
			R"((19|20)\d\d[-./ ](0?[1-9]|1[0-2])[-./ ](0?[1-9]|[12]\d|3[01]))"),
		// 15.03.2024, 3/15/2024
		std::regex(R"(\d{1,2}[-./ ]\d{1,2}[-./ ](19|20)\d\d)"),
		// 1,299.00  1.299,00  1234.56
		std::regex(R"(\d{1,3}([,. ]\d{3})*[.,]\d{2})"),
		std::regex(R"(\d+[.,]\d{2})"),
		// 5,550,100
		std::regex(R"(\d{1,3}(,\d{3})+)"),
		// 3.14159
		std::regex(R"(\d{1,3}[.,]\d{4,})"),
	};
	for (const std::regex &r : shapes)
		if (std::regex_match(s, r))
			return true;
	return false;
}

// Blanks out dates, times and amounts of money, keeping every other byte
// where it was: the matcher would otherwise take a date written right
// after a number as part of it and then drop the whole.
std::string blank_dates_and_amounts(const std::string &text)
{
	static const std::regex shapes[] = {
		// 2024-03-15, 15.03.2024, 3/15/2024: four-digit years only, so
		// that numbers written in pairs (06.12.34.56.78) stay whole.
		std::regex(
			R"((^|[^\d./-])((19|20)\d\d[-./]\d{1,2}[-./]\d{1,2})(?![\d./-]\d))"),
		std::regex(
			R"((^|[^\d./-])(\d{1,2}[-./]\d{1,2}[-./](19|20)\d\d)(?![\d./-]\d))"),
		// 9:30, 17:00
		std::regex(R"((^|\D)(\d{1,2}:\d\d))"),
		// $1,299.00  EUR 249.99  1.299,00 EUR
		std::regex(
			R"((^|\W)((\$|\xe2\x82\xac|\xc2\xa3|\xc2\xa5|eur|usd|gbp|chf)\s?\d[\d.,]*))",
			std::regex::icase),
		std::regex(
			R"((^|\D)(\d[\d.,]*\s?(\$|\xe2\x82\xac|\xc2\xa3|\xc2\xa5|eur|usd|gbp|chf)))",
			std::regex::icase),
	};
	std::string out = text;
	for (const std::regex &r : shapes) {
		for (auto it =
			     std::sregex_iterator(text.begin(), text.end(), r);
		     it != std::sregex_iterator(); ++it) {
			size_t at = (size_t)it->position(2);
			size_t n = (size_t)it->length(2);
			std::fill(out.begin() + (long)at,
				  out.begin() + (long)(at + n), ' ');
		}
	}
	return out;
}

// Whether the number the matcher found at [begin, end) is a phone number.
bool keep_match(const std::string &text, size_t begin, size_t end)
{
	std::string raw = text.substr(begin, end - begin);
	int digits = (int)std::count_if(raw.begin(), raw.end(), is_digit);
	if (digits < MIN_DIGITS)
		return false;
	bool plus = raw[0] == '+';
	// Glued to letters: part of an identifier such as INV-2024-00123.
	size_t b = begin;
	while (b > 0 && (text[b - 1] == '-' || text[b - 1] == '/'))
		b--;
	if (b > 0 && is_alpha(text[b - 1]))
		return false;
	if (end < text.size() && is_alpha(text[end]))
		return false;
	if (currency_near(text, begin, end))
		return false;
	size_t lead = begin;
	while (lead > 0 && text[lead - 1] == ' ')
		lead--;
	std::vector<std::string> before = words_before(text, begin, 3);
	bool phone_word =
		std::any_of(before.begin(), before.end(),
			    [](auto &w) { return listed(PHONE_WORDS, w); });
	if (phone_word)
		return true;
	if (!plus && lead > 0 && text[lead - 1] == '#')
		return false;
	if (std::any_of(before.begin(), before.end(),
			[](auto &w) { return listed(OTHER_WORDS, w); }))
		return false;
	return plus || !looks_like_date_or_amount(raw);
}

bool known_region(const std::string &region)
{
	std::set<std::string> regions;
	PhoneNumberUtil::GetInstance()->GetSupportedRegions(&regions);
	return regions.count(region) > 0;
}

} // namespace

void qm_tesseract_deleter::operator()(tesseract::TessBaseAPI *api) const
{
	if (api)
		api->End();
	delete api;
}

bool qm_load_phone_reader(qm_phone_reader &reader, const std::string &region,
			  std::string &error, const std::string &tessdata)
{
	std::string upper = region;
	for (char &c : upper)
		c = (char)std::toupper((unsigned char)c);
	if (!known_region(upper)) {
		error = "unknown region \"" + region + "\"";
		return false;
	}
	reader.region = upper;
	reader.ocr.reset(new tesseract::TessBaseAPI());
	if (reader.ocr->Init(tessdata.empty() ? nullptr : tessdata.c_str(),
			     "eng", tesseract::OEM_LSTM_ONLY) != 0) {
		reader.ocr.reset();
		error = "cannot start Tesseract with its English model";
		return false;
	}
	reader.ocr->SetPageSegMode(tesseract::PSM_SINGLE_LINE);
	reader.ocr->SetVariable("debug_file", "/dev/null");
	return true;
}

std::string qm_region_from_locale(const std::string &locale)
{
	// language[_TERRITORY][.codeset][@modifier]
	size_t us = locale.find('_');
	if (us == std::string::npos || us + 3 > locale.size())
		return {};
	std::string region = locale.substr(us + 1, 2);
	if (!std::isupper((unsigned char)region[0]) ||
	    !std::isupper((unsigned char)region[1]))
		return {};
	if (us + 3 < locale.size() && locale[us + 3] != '.' &&
	    locale[us + 3] != '@')
		return {};
	return region;
}

std::string qm_default_region()
{
	for (const char *name : {"LC_ALL", "LC_TELEPHONE", "LANG"}) {
		const char *value = std::getenv(name);
		if (!value || !*value)
			continue;
		std::string region = qm_region_from_locale(value);
		if (!region.empty() && known_region(region))
			return region;
	}
	return "US";
}

std::vector<qm_text_span> qm_match_phone_numbers(const std::string &text,
						 const std::string &region)
{
	// POSSIBLE: VALID would drop numbers that are well formed but not
	// assigned (555 numbers); the checks of keep_match drop the dates
	// and amounts that POSSIBLE lets through.
	std::string blanked = blank_dates_and_amounts(text);
	PhoneNumberMatcher matcher(*PhoneNumberUtil::GetInstance(), blanked,
				   region, PhoneNumberMatcher::POSSIBLE,
				   INT32_MAX);
	std::vector<qm_text_span> spans;
	PhoneNumberMatch match;
	while (matcher.HasNext() && matcher.Next(&match)) {
		size_t begin = (size_t)match.start();
		size_t end = begin + match.raw_string().size();
		if (end <= text.size() && keep_match(text, begin, end))
			spans.push_back({begin, end});
	}
	return spans;
}

qm_text_span qm_span_with_area_code(const std::string &text, qm_text_span span)
{
	const size_t SHORT_WORD = 6; // "(617)" and a stray mark
	auto word_start = [&](size_t end) {
		size_t b = end;
		while (b > 0 && text[b - 1] != ' ')
			b--;
		return b;
	};
	size_t begin = word_start(span.begin);
	if (span.begin - begin > SHORT_WORD)
		begin = span.begin;
	size_t gap = begin;
	while (gap > 0 && text[gap - 1] == ' ')
		gap--;
	size_t before = word_start(gap);
	std::string word = text.substr(before, gap - before);
	bool numeric = word.find_first_of("0123456789()[]{}") !=
		       std::string::npos;
	if (gap > before && word.size() <= SHORT_WORD && numeric)
		begin = before;
	return {begin, span.end};
}

qm_read_line qm_read_text_line(qm_phone_reader &reader, const cv::Mat &crop)
{
	qm_read_line line;
	cv::Mat page;
	cv::copyMakeBorder(crop, page, BORDER, BORDER, BORDER, BORDER,
			   cv::BORDER_REPLICATE);
	tesseract::TessBaseAPI &ocr = *reader.ocr;
	ocr.SetImage(page.data, page.cols, page.rows, 1, (int)page.step);
	ocr.SetSourceResolution(300);
	if (ocr.Recognize(nullptr) != 0)
		return line;
	std::unique_ptr<tesseract::ResultIterator> it(ocr.GetIterator());
	if (!it)
		return line;
	const auto level = tesseract::RIL_SYMBOL;
	do {
		std::unique_ptr<char[]> text(it->GetUTF8Text(level));
		int l, t, r, b;
		if (!text || !it->BoundingBox(level, &l, &t, &r, &b))
			continue;
		if (it->IsAtBeginningOf(tesseract::RIL_WORD) &&
		    !line.text.empty())
			line.text += ' ';
		size_t begin = line.text.size();
		line.text += text.get();
		line.symbols.push_back(
			{begin, line.text.size(),
			 cv::Rect(l - BORDER, t - BORDER, r - l, b - t)});
	} while (it->Next(level));
	return line;
}

std::vector<qm_phone_number>
qm_find_phone_numbers(qm_phone_reader &reader, const cv::Mat &frame,
		      const std::vector<qm_text_line> &lines)
{
	std::vector<qm_phone_number> numbers;
	for (const qm_text_line &line : lines) {
		cv::Mat to_frame;
		cv::Mat crop = qm_crop_text_line(frame, line.box,
						 reader.line_height, to_frame);
		qm_read_line read = qm_read_text_line(reader, crop);
		for (const qm_text_span &span :
		     qm_match_phone_numbers(read.text, reader.region)) {
			qm_text_span wide =
				qm_span_with_area_code(read.text, span);
			cv::Rect part;
			for (const auto &s : read.symbols)
				if (s.end > wide.begin && s.begin < wide.end)
					part |= s.box;
			// The whole height of the line, whatever the glyphs.
			part.y = 0;
			part.height = crop.rows;
			if (part.empty())
				part = cv::Rect({0, 0}, crop.size());
			std::vector<cv::Point2f> corners = {
				part.tl(),
				cv::Point2f((float)part.br().x, (float)part.y),
				part.br(),
				cv::Point2f((float)part.x, (float)part.br().y)};
			qm_phone_number number;
			number.text = read.text.substr(span.begin,
						       span.end - span.begin);
			cv::transform(corners, number.outline, to_frame);
			number.box = cv::boundingRect(number.outline);
			numbers.push_back(number);
		}
	}
	return numbers;
}
