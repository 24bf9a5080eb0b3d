// Pictures for the headless host and its tests: BGRA colours and images,
// the still test pattern with its checks, and the moving pattern with its
// frame-number stamp.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The Windows headers define near and far as nothing.
#undef near
#undef far

namespace qm_host {

struct bgra {
	uint8_t b, g, r, a;
	bool operator==(const bgra &o) const
	{
		return b == o.b && g == o.g && r == o.r && a == o.a;
	}
	bool operator!=(const bgra &o) const { return !(*this == o); }
};

std::string to_string(const bgra &c);
bool near(const bgra &x, const bgra &y, int tolerance = 2);

constexpr bgra RED{0, 0, 255, 255};
constexpr bgra GREEN{0, 255, 0, 255};
constexpr bgra BLUE{255, 0, 0, 255};
constexpr bgra YELLOW{0, 255, 255, 255};
constexpr bgra CYAN{255, 255, 0, 255};
constexpr bgra MAGENTA{255, 0, 255, 255};
constexpr bgra WHITE{255, 255, 255, 255};
constexpr bgra GREY{128, 128, 128, 255};
constexpr bgra OPAQUE_BLACK{0, 0, 0, 255};

// Four regions split at a quarter of the width and a third of the height,
// so that a shift, a crop or an aspect-keeping fit moves the borders:
// colours[0] top left, [1] top right, [2] bottom left, [3] bottom right.
struct palette {
	bgra colours[4];
};
// What the still test-pattern sources show.
constexpr palette SOURCE_PALETTE{{RED, GREEN, BLUE, YELLOW}};
// For frames that stand in for the controller's processed pictures.
constexpr palette PROCESSED_PALETTE{{CYAN, MAGENTA, WHITE, GREY}};

struct image {
	uint32_t width = 0;
	uint32_t height = 0;
	uint32_t pitch = 0;
	std::vector<uint8_t> pixels;

	bgra at(uint32_t x, uint32_t y) const;
};

// The still pattern at width x height, tightly packed.
image make_pattern(uint32_t width, uint32_t height,
		   const palette &colours = SOURCE_PALETTE);
// The colour the still pattern has at pixel (x, y) when stretched over a
// box of width x height.
bgra pattern_colour(uint32_t x, uint32_t y, uint32_t width, uint32_t height,
		    const palette &colours = SOURCE_PALETTE);
// Empty when img shows the still pattern stretched over its whole size
// (pixels within margin of a region border are not compared, as filtering
// blends them); otherwise a description of the first difference.
std::string pattern_mismatch(const image &img,
			     const palette &colours = SOURCE_PALETTE,
			     uint32_t margin = 6);

bool contains_colour(const image &img, const bgra &colour);
// Whether any pixel shows one of the palette's colours.
bool contains_any(const image &img, const palette &colours = SOURCE_PALETTE);
// Whether every pixel is exactly colour.
bool is_all(const image &img, const bgra &colour);
bool is_opaque_black(const image &img);

// ---------------------------------------------------------------------------
// The moving pattern: scrolling colour bars that darken towards the top, a
// bouncing ball and a clock hand, with the frame number stamped into the
// top left corner as a row of STAMP_BLOCK-sized coloured blocks. The
// blocks sit on a STAMP_BLOCK grid from (0, 0), so pixelation with that
// block size (or a divisor of it) keeps the stamp readable and what a
// filter shows can be traced back to the frame it was made from.

constexpr uint32_t STAMP_BLOCK = 32;
// Frame numbers are stamped modulo this.
constexpr uint64_t STAMP_MODULUS = uint64_t(1) << 24;

// Frame n of the moving pattern at width x height (at least 512 x 128).
// fps sets the speed of the clock hand: one turn per two seconds.
image make_moving_frame(uint64_t n, uint32_t width, uint32_t height,
			uint32_t fps = 30);
// The frame number stamped into img; false when img carries no stamp.
bool read_stamp(const image &img, uint64_t *n);

// When each frame of a moving source was made, for the most recent
// frames. Thread-safe.
struct frame_times {
	static constexpr size_t SLOTS = 4096;
	void record(uint64_t n, uint64_t time_ns);
	// 0 when frame n (taken modulo STAMP_MODULUS) is not among the recent
	// ones.
	uint64_t time_of(uint64_t n) const;

private:
	mutable std::mutex mutex_;
	uint64_t frame_[SLOTS] = {};
	uint64_t time_[SLOTS] = {};
};

} // namespace qm_host
