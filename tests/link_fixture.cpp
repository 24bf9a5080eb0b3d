// The link tests' shared helpers: frames as the fake controller holds
// them and as the tests compare them (see link_fixture.h).
#include "link_fixture.h"

namespace qm_link {

ms since(fake::clock::time_point from, fake::clock::time_point to)
{
	return std::chrono::duration_cast<ms>(to - from);
}

fake::bytes pixels_of(const image &img)
{
	return fake::bytes(img.pixels.begin(), img.pixels.end());
}

image image_of(const fake::bytes &px)
{
	image img;
	img.width = FRAME_WIDTH;
	img.height = FRAME_HEIGHT;
	img.pitch = FRAME_LINESIZE;
	img.pixels.assign(px.begin(), px.end());
	return img;
}

fake::bytes processed_pixels(const palette &colours)
{
	return pixels_of(make_pattern(FRAME_WIDTH, FRAME_HEIGHT, colours));
}

const fake::input_frame_info *
first_frame_on(const std::vector<fake::input_frame_info> &frames, uint64_t conn)
{
	for (auto &f : frames)
		if (f.connection == conn)
			return &f;
	return nullptr;
}

} // namespace qm_link
