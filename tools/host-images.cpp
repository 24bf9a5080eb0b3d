#include "host-images.h"

#include <graphics/math-defs.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qm_host {

std::string to_string(const bgra &c)
{
	char buf[64];
	snprintf(buf, sizeof(buf), "(b %u, g %u, r %u, a %u)", c.b, c.g, c.r,
		 c.a);
	return buf;
}

bool near(const bgra &x, const bgra &y, int tolerance)
{
	return std::abs(x.b - y.b) <= tolerance &&
	       std::abs(x.g - y.g) <= tolerance &&
	       std::abs(x.r - y.r) <= tolerance &&
	       std::abs(x.a - y.a) <= tolerance;
}

bgra image::at(uint32_t x, uint32_t y) const
{
	const uint8_t *p = pixels.data() + size_t(y) * pitch + size_t(x) * 4;
	return {p[0], p[1], p[2], p[3]};
}

// Region borders at a quarter of the width and a third of the height,
// decided on pixel centres: x is left of the border when
// (x + 0.5) / width < 1/4.
static bool is_left(uint32_t x, uint32_t width)
{
	return (2 * uint64_t(x) + 1) * 4 < 2 * uint64_t(width);
}

static bool is_top(uint32_t y, uint32_t height)
{
	return (2 * uint64_t(y) + 1) * 3 < 2 * uint64_t(height);
}

bgra pattern_colour(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
		    const palette &colours)
{
	int region = (is_left(x, width) ? 0 : 1) + (is_top(y, height) ? 0 : 2);
	return colours.colours[region];
}

image make_pattern(uint32_t width, uint32_t height, const palette &colours)
{
	image img;
	img.width = width;
	img.height = height;
	img.pitch = width * 4;
	img.pixels.resize(size_t(img.pitch) * height);
	for (uint32_t y = 0; y < height; y++) {
		uint8_t *row = img.pixels.data() + size_t(y) * img.pitch;
		for (uint32_t x = 0; x < width; x++) {
			bgra c = pattern_colour(x, y, width, height, colours);
			memcpy(row + size_t(x) * 4, &c, 4);
		}
	}
	return img;
}

static bool near_border(uint32_t pos, uint32_t size, uint32_t parts,
			uint32_t margin)
{
	// The border lies at size / parts; compare in units of 1/parts pixel.
	int64_t border = int64_t(size);
	int64_t at = int64_t(pos) * parts;
	return std::abs(at - border) <= int64_t(margin) * parts;
}

std::string pattern_mismatch(const image &img, const palette &colours,
			     uint32_t margin)
{
	if (img.width == 0 || img.height == 0)
		return "empty image";
	for (uint32_t y = 0; y < img.height; y++) {
		if (near_border(y, img.height, 3, margin))
			continue;
		for (uint32_t x = 0; x < img.width; x++) {
			if (near_border(x, img.width, 4, margin))
				continue;
			bgra want = pattern_colour(x, y, img.width, img.height,
						   colours);
			bgra got = img.at(x, y);
			if (!near(got, want))
				return "pixel (" + std::to_string(x) + ", " +
				       std::to_string(y) + ") of " +
				       std::to_string(img.width) + "x" +
				       std::to_string(img.height) + " is " +
				       to_string(got) + ", expected " +
				       to_string(want);
		}
	}
	return "";
}

bool contains_colour(const image &img, const bgra &colour)
{
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++)
			if (near(img.at(x, y), colour))
				return true;
	return false;
}

bool contains_any(const image &img, const palette &colours)
{
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++)
			for (const bgra &c : colours.colours)
				if (near(img.at(x, y), c))
					return true;
	return false;
}

bool is_all(const image &img, const bgra &colour)
{
	if (img.width == 0 || img.height == 0)
		return false;
	for (uint32_t y = 0; y < img.height; y++)
		for (uint32_t x = 0; x < img.width; x++)
			if (img.at(x, y) != colour)
				return false;
	return true;
}

bool is_opaque_black(const image &img)
{
	return is_all(img, OPAQUE_BLACK);
}

// ---------------------------------------------------------------------------
// The moving pattern

namespace {

constexpr uint32_t BAND_HEIGHT = 48; // dark band at the top, holds the stamp
constexpr bgra BAND_COLOUR{40, 40, 40, 255};
constexpr bgra STAMP_START = MAGENTA;
constexpr bgra STAMP_END = WHITE;
// Two bits per block, least significant first.
constexpr bgra STAMP_DIGITS[4] = {RED, GREEN, BLUE, YELLOW};
constexpr uint32_t STAMP_DIGIT_BLOCKS = 12;
constexpr uint32_t STAMP_BLOCKS = STAMP_DIGIT_BLOCKS + 2;
constexpr int STAMP_TOLERANCE = 48;

constexpr bgra BARS[8] = {
	{192, 192, 192, 255}, YELLOW, CYAN, GREEN, MAGENTA, RED, BLUE, GREY};

// Position on a path that runs from 0 to length and back.
uint32_t bounce(uint64_t travelled, uint32_t length)
{
	if (length == 0)
		return 0;
	uint64_t v = travelled % (2 * uint64_t(length));
	return uint32_t(v < length ? v : 2 * uint64_t(length) - v);
}

void put(uint8_t *row, uint32_t x, const bgra &c)
{
	memcpy(row + size_t(x) * 4, &c, 4);
}

void draw_stamp(image &img, uint64_t n)
{
	n %= STAMP_MODULUS;
	for (uint32_t block = 0; block < STAMP_BLOCKS; block++) {
		bgra c = block == 0 ? STAMP_START
			 : block == STAMP_BLOCKS - 1
				 ? STAMP_END
				 : STAMP_DIGITS[(n >> (2 * (block - 1))) & 3];
		for (uint32_t y = 0; y < STAMP_BLOCK; y++) {
			uint8_t *row =
				img.pixels.data() + size_t(y) * img.pitch;
			for (uint32_t x = 0; x < STAMP_BLOCK; x++)
				put(row, block * STAMP_BLOCK + x, c);
		}
	}
}

} // namespace

image make_moving_frame(uint64_t n, uint32_t width, uint32_t height,
			uint32_t fps)
{
	image img;
	img.width = width;
	img.height = height;
	img.pitch = width * 4;
	img.pixels.resize(size_t(img.pitch) * height);
	if (fps == 0)
		fps = 30;

	uint32_t shift = uint32_t((n * 4) % width);
	uint32_t radius = height / 8;
	int64_t ball_x = radius + bounce(n * 6, width - 2 * radius);
	int64_t ball_y = BAND_HEIGHT + radius +
			 bounce(n * 4, height - BAND_HEIGHT - 2 * radius);
	uint32_t clock_r = height / 9;
	int64_t clock_x = width - clock_r - 20, clock_y = height - clock_r - 20;
	// One turn per two seconds, clockwise from twelve o'clock.
	double angle = 2.0 * M_PI * double(n % (2 * fps)) / double(2 * fps);
	double hand_dx = std::sin(angle), hand_dy = -std::cos(angle);

	for (uint32_t y = 0; y < height; y++) {
		uint8_t *row = img.pixels.data() + size_t(y) * img.pitch;
		if (y < BAND_HEIGHT) {
			for (uint32_t x = 0; x < width; x++)
				put(row, x, BAND_COLOUR);
			continue;
		}
		// Darker towards the top, so that no block of the raw
		// picture is of one colour.
		double level = 0.45 + 0.55 * double(y - BAND_HEIGHT) /
					      double(height - BAND_HEIGHT);
		for (uint32_t x = 0; x < width; x++) {
			uint32_t bar =
				uint32_t(uint64_t((x + width - shift) % width) *
					 8 / width);
			const bgra &b = BARS[bar];
			bgra c{uint8_t(b.b * level), uint8_t(b.g * level),
			       uint8_t(b.r * level), 255};
			int64_t dx = int64_t(x) - ball_x,
				dy = int64_t(y) - ball_y;
			if (dx * dx + dy * dy <= int64_t(radius) * radius)
				c = WHITE;
			dx = int64_t(x) - clock_x;
			dy = int64_t(y) - clock_y;
			if (dx * dx + dy * dy <= int64_t(clock_r) * clock_r) {
				double along = double(dx) * hand_dx +
					       double(dy) * hand_dy;
				double across = double(dx) * hand_dy -
						double(dy) * hand_dx;
				bool on_hand = along >= 0 &&
					       along <= clock_r - 6 &&
					       std::fabs(across) <= 3.0;
				c = on_hand ? WHITE : bgra{20, 20, 20, 255};
			}
			put(row, x, c);
		}
	}
	if (width >= STAMP_BLOCKS * STAMP_BLOCK && height >= BAND_HEIGHT)
		draw_stamp(img, n);
	return img;
}

bool read_stamp(const image &img, uint64_t *n)
{
	if (img.width < STAMP_BLOCKS * STAMP_BLOCK || img.height < STAMP_BLOCK)
		return false;
	uint64_t value = 0;
	for (uint32_t block = 0; block < STAMP_BLOCKS; block++) {
		bgra c = img.at(block * STAMP_BLOCK + STAMP_BLOCK / 2,
				STAMP_BLOCK / 2);
		if (block == 0 || block == STAMP_BLOCKS - 1) {
			bgra want = block == 0 ? STAMP_START : STAMP_END;
			if (!near(c, want, STAMP_TOLERANCE))
				return false;
			continue;
		}
		uint64_t digit = 4;
		for (uint64_t d = 0; d < 4; d++)
			if (near(c, STAMP_DIGITS[d], STAMP_TOLERANCE))
				digit = d;
		if (digit == 4)
			return false;
		value |= digit << (2 * (block - 1));
	}
	if (n)
		*n = value;
	return true;
}

void frame_times::record(uint64_t n, uint64_t time_ns)
{
	n %= STAMP_MODULUS;
	std::lock_guard<std::mutex> guard(mutex_);
	frame_[n % SLOTS] = n;
	time_[n % SLOTS] = time_ns;
}

uint64_t frame_times::time_of(uint64_t n) const
{
	n %= STAMP_MODULUS;
	std::lock_guard<std::mutex> guard(mutex_);
	return frame_[n % SLOTS] == n ? time_[n % SLOTS] : 0;
}

} // namespace qm_host
