// A minimal PNG writer for snapshots: 8-bit RGBA, no interlacing.
#pragma once

#include <cstdint>
#include <string>

// Writes width x height BGRA pixels (rows top to bottom, pitch bytes apart)
// to path as a PNG file. False when the file cannot be written.
bool write_png(const std::string &path, const uint8_t *bgra, uint32_t width,
	       uint32_t height, uint32_t pitch);
