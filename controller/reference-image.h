// Reading a reference photo (BMP, PNG or JPEG) with bounds: the file's size
// and the picture's size, from its header, are checked before anything is
// decoded, since the decoders themselves would allocate whatever a header
// claims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// A face whose eyes lie closer together than this (frame pixels) is too
// small for its descriptor to be trusted.
constexpr float QM_MIN_EYE_DISTANCE = 12.0f;

struct qm_reference_limits {
	long long max_file_bytes = 64ll << 20;
	int max_side = 8192;
	// A 24-megapixel camera's photo; decoded as BGR that is 72 MB.
	long long max_pixels = 24ll << 20;
	// Smaller faces in a photo are left out (and reported).
	float min_eye_distance = QM_MIN_EYE_DISTANCE;
};

// Width and height as the header of a BMP, PNG or JPEG image states them,
// read as the decoders read them. False for anything else.
bool qm_image_header_size(const uint8_t *data, size_t size, long long &width,
			  long long &height);

// Decodes an image held in memory as BGR, after checking its header
// against the limits; empty with a reason otherwise.
cv::Mat qm_decode_reference_image(const std::vector<unsigned char> &data,
				  const qm_reference_limits &limits,
				  std::string &error);

// Reads an image file as BGR, refusing files larger than the limits before
// reading them; empty with a reason otherwise.
cv::Mat qm_read_reference_image(const std::string &path,
				const qm_reference_limits &limits,
				std::string &error);
