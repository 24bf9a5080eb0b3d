#include "scene-feeder.h"

#include "people-scene.h"
#include "qr-scene.h"

#include <cstring>

namespace qm_host {

cv::Mat to_mat(const image &img)
{
	cv::Mat m(int(img.height), int(img.width), CV_8UC4);
	for (uint32_t y = 0; y < img.height; y++)
		memcpy(m.ptr(int(y)), img.pixels.data() + size_t(y) * img.pitch,
		       size_t(img.width) * 4);
	return m;
}

image to_image(const cv::Mat &bgra)
{
	image img;
	img.width = uint32_t(bgra.cols);
	img.height = uint32_t(bgra.rows);
	img.pitch = img.width * 4;
	img.pixels.resize(size_t(img.pitch) * img.height);
	for (uint32_t y = 0; y < img.height; y++)
		memcpy(img.pixels.data() + size_t(y) * img.pitch,
		       bgra.ptr(int(y)), img.pitch);
	return img;
}

std::unique_ptr<webcam_feeder> feed_scene(obs_source_t *source, uint32_t fps)
{
	return std::make_unique<webcam_feeder>(source, fps, [](uint64_t n) {
		return to_image(qm_scene::scene_frame(n));
	});
}

std::unique_ptr<webcam_feeder> feed_people(obs_source_t *source, uint32_t fps)
{
	return std::make_unique<webcam_feeder>(source, fps, [](uint64_t n) {
		return to_image(qm_scene::people_frame(n));
	});
}

} // namespace qm_host
