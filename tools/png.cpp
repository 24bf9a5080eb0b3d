#include "png.h"

#include <zlib.h>

#include <cstdio>
#include <vector>

namespace {

void put_u32(std::vector<uint8_t> &out, uint32_t v)
{
	out.push_back(uint8_t(v >> 24));
	out.push_back(uint8_t(v >> 16));
	out.push_back(uint8_t(v >> 8));
	out.push_back(uint8_t(v));
}

// Length, type, data and the CRC over type and data.
void put_chunk(std::vector<uint8_t> &out, const char type[4],
	       const std::vector<uint8_t> &data)
{
	put_u32(out, uint32_t(data.size()));
	size_t type_at = out.size();
	out.insert(out.end(), type, type + 4);
	out.insert(out.end(), data.begin(), data.end());
	uLong crc = crc32(0L, Z_NULL, 0);
	crc = crc32(crc, out.data() + type_at, uInt(out.size() - type_at));
	put_u32(out, uint32_t(crc));
}

} // namespace

bool write_png(const std::string &path, const uint8_t *bgra, uint32_t width,
	       uint32_t height, uint32_t pitch)
{
	// Each row: filter type 0 (none), then RGBA.
	std::vector<uint8_t> raw;
	raw.reserve((size_t(width) * 4 + 1) * height);
	for (uint32_t y = 0; y < height; y++) {
		const uint8_t *row = bgra + size_t(y) * pitch;
		raw.push_back(0);
		for (uint32_t x = 0; x < width; x++) {
			const uint8_t *p = row + size_t(x) * 4;
			raw.insert(raw.end(), {p[2], p[1], p[0], p[3]});
		}
	}
	uLongf packed_size = compressBound(uLong(raw.size()));
	std::vector<uint8_t> packed(packed_size);
	if (compress2(packed.data(), &packed_size, raw.data(),
		      uLong(raw.size()), 6) != Z_OK)
		return false;
	packed.resize(packed_size);

	std::vector<uint8_t> header;
	put_u32(header, width);
	put_u32(header, height);
	header.insert(header.end(), {8, 6, 0, 0, 0}); // 8-bit RGBA

	std::vector<uint8_t> file = {0x89, 'P',  'N',  'G',
				     '\r', '\n', 0x1a, '\n'};
	put_chunk(file, "IHDR", header);
	put_chunk(file, "IDAT", packed);
	put_chunk(file, "IEND", {});

	FILE *f = fopen(path.c_str(), "wb");
	if (!f)
		return false;
	bool ok = fwrite(file.data(), 1, file.size(), f) == file.size();
	return fclose(f) == 0 && ok;
}
