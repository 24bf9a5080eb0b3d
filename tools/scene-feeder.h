// The moving QR scene (qr-scene.h, people-scene.h) in the headless host: conversions
// between the host's pictures and OpenCV's, and a webcam-like source fed
// with the scene.
#pragma once

#include "obs-host.h"

#include <opencv2/core.hpp>

#include <memory>

namespace qm_host {

// The picture as a BGRA matrix (a copy) and back.
cv::Mat to_mat(const image &img);
image to_image(const cv::Mat &bgra);

// Pushes scene frames 0, 1, 2, ... into an asynchronous source at fps, as
// a webcam delivers them, until stopped or destroyed.
std::unique_ptr<webcam_feeder> feed_scene(obs_source_t *source, uint32_t fps);
// The same with the people scene (people-scene.h).
std::unique_ptr<webcam_feeder> feed_people(obs_source_t *source, uint32_t fps);

} // namespace qm_host
