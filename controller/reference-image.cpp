#include "reference-image.h"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <exception>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

namespace {

uint32_t be16(const uint8_t *p)
{
	return (uint32_t)p[0] << 8 | p[1];
}

uint32_t be32(const uint8_t *p)
{
	return be16(p) << 16 | be16(p + 2);
}

uint32_t le16(const uint8_t *p)
{
	return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

int32_t le32(const uint8_t *p)
{
	return (int32_t)(le16(p) | le16(p + 2) << 16);
}

// OpenCV's reader: a 12-byte (OS/2) header holds 16-bit sides, one of 36
// bytes or more 32-bit ones, the height negative for rows top-down.
bool bmp_size(const uint8_t *d, size_t n, long long &w, long long &h)
{
	if (n < 26)
		return false;
	int32_t header = le32(d + 14);
	if (header == 12) {
		w = le16(d + 18);
		h = le16(d + 20);
		return true;
	}
	if (header < 36)
		return false;
	w = le32(d + 18);
	h = std::llabs((long long)le32(d + 22));
	return true;
}

// The IHDR chunk must come first, and holds the sides.
bool png_size(const uint8_t *d, size_t n, long long &w, long long &h)
{
	if (n < 24 || be32(d + 8) != 13 || !std::equal(d + 12, d + 16, "IHDR"))
		return false;
	w = be32(d + 16);
	h = be32(d + 20);
	return true;
}

bool jpeg_frame_marker(uint8_t m)
{
	return m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc;
}

// The sides in the first frame header. Markers are walked as libjpeg walks
// them; anything it would only warn about (stray bytes between markers) is
// refused here, so that both always agree on which frame header counts.
bool jpeg_size(const uint8_t *d, size_t n, long long &w, long long &h)
{
	size_t i = 2;
	while (i + 1 < n) {
		if (d[i] != 0xff)
			return false;
		uint8_t marker = d[i + 1];
		if (marker == 0xff) { // fill byte
			i++;
			continue;
		}
		// Markers without a length.
		if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd7)) {
			i += 2;
			continue;
		}
		// Image data or the end before any frame header.
		if (marker == 0xd8 || marker == 0xd9 || marker == 0xda ||
		    i + 3 >= n)
			return false;
		size_t length = be16(d + i + 2);
		if (jpeg_frame_marker(marker)) {
			if (length < 8 || i + 8 >= n)
				return false;
			h = be16(d + i + 5);
			w = be16(d + i + 7);
			return true;
		}
		if (length < 2)
			return false;
		i += 2 + length;
	}
	return false;
}

} // namespace

bool qm_image_header_size(const uint8_t *d, size_t n, long long &w,
			  long long &h)
{
	static const uint8_t png[] = {0x89, 'P',  'N',  'G',
				      '\r', '\n', 0x1a, '\n'};
	if (n >= 2 && d[0] == 'B' && d[1] == 'M')
		return bmp_size(d, n, w, h);
	if (n >= 8 && std::equal(png, png + 8, d))
		return png_size(d, n, w, h);
	// OpenCV takes FF D8 FF for JPEG.
	if (n >= 3 && d[0] == 0xff && d[1] == 0xd8 && d[2] == 0xff)
		return jpeg_size(d, n, w, h);
	return false;
}

cv::Mat qm_decode_reference_image(const std::vector<unsigned char> &data,
				  const qm_reference_limits &limits,
				  std::string &error)
{
	long long w = 0, h = 0;
	if (!qm_image_header_size(data.data(), data.size(), w, h)) {
		error = "not a BMP, PNG or JPEG image";
		return {};
	}
	if (w <= 0 || h <= 0 || w > limits.max_side || h > limits.max_side ||
	    w * h > limits.max_pixels) {
		error = "image too large (" + std::to_string(w) + "x" +
			std::to_string(h) + ")";
		return {};
	}
	cv::Mat image;
	try {
		image = cv::imdecode(data, cv::IMREAD_COLOR);
	} catch (const std::exception &) {
		image.release();
	}
	// The header was read as the decoders read it; a decoder that
	// disagrees anyway is not trusted with what it made.
	if (image.empty() || (long long)image.total() > w * h) {
		error = "cannot decode the image";
		return {};
	}
	return image;
}

namespace {

// The whole file, when it is a regular file within the limit. Opened
// without blocking, so that a FIFO put in a photo's place cannot hang us.
bool read_bounded(const std::string &path, long long limit,
		  std::vector<unsigned char> &data, std::string &error)
{
	int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		if (fd >= 0)
			close(fd);
		error = "not a readable file";
		return false;
	}
	if ((long long)st.st_size > limit) {
		close(fd);
		error = "file too large";
		return false;
	}
	data.resize((size_t)st.st_size);
	size_t done = 0;
	while (done < data.size()) {
		ssize_t n = read(fd, data.data() + done, data.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += (size_t)n;
	}
	close(fd);
	if (done != data.size()) {
		error = "cannot read the file";
		return false;
	}
	return true;
}

} // namespace

cv::Mat qm_read_reference_image(const std::string &path,
				const qm_reference_limits &limits,
				std::string &error)
{
	std::vector<unsigned char> data;
	if (!read_bounded(path, limits.max_file_bytes, data, error))
		return {};
	return qm_decode_reference_image(data, limits, error);
}
