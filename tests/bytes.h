// Reading what the module writes byte by byte: little-endian fields and
// the header of its reference images. Header-only, for the unit tests as
// well as the tests in the host.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qm_bytes {

inline uint16_t u16_le(const uint8_t *p)
{
	return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t u32_le(const uint8_t *p)
{
	return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
	       uint32_t(p[3]) << 24;
}

// The whole file; empty when it cannot be read.
inline std::vector<uint8_t> read_bytes(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Empty when h is the 54-byte header of a top-down 32-bit 1280x720 BMP
// with its pixels right behind it; otherwise the first field that is not.
inline std::string bmp_header_mismatch(const uint8_t *h)
{
	struct field {
		const char *name;
		size_t offset, size;
		uint32_t value;
	};
	const field fields[] = {
		{"signature", 0, 2, 'B' | 'M' << 8},
		{"file size", 2, 4, 3686454},
		{"reserved", 6, 2, 0},
		{"reserved", 8, 2, 0},
		{"pixel offset", 10, 4, 54},
		{"info header size", 14, 4, 40},
		{"width", 18, 4, 1280},
		{"height", 22, 4, uint32_t(-720)},
		{"planes", 26, 2, 1},
		{"bits per pixel", 28, 2, 32},
		{"compression", 30, 4, 0},
		{"image size", 34, 4, 3686400},
		{"horizontal resolution", 38, 4, 0},
		{"vertical resolution", 42, 4, 0},
		{"colours used", 46, 4, 0},
		{"important colours", 50, 4, 0},
	};
	for (const field &f : fields) {
		uint32_t v = f.size == 2 ? u16_le(h + f.offset)
					 : u32_le(h + f.offset);
		if (v != f.value)
			return std::string(f.name) + " at offset " +
			       std::to_string(f.offset) + " is " +
			       std::to_string(v) + ", expected " +
			       std::to_string(f.value);
	}
	return "";
}

} // namespace qm_bytes
