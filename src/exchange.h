// The settings file shared with the controller, and reference images.
#pragma once

#include "common.h"

constexpr size_t QM_BMP_HEADER_SIZE = 54;
constexpr size_t QM_BMP_FILE_SIZE = QM_BMP_HEADER_SIZE + FRAME_SIZE;

// Adds seconds to the gathered frame time; true when a poll is due, which
// restarts the count from zero.
bool qm_tick_due(float *accum, float seconds);

// The header of a top-down 32-bit BMP of one frame.
void qm_bmp_header(uint8_t header[QM_BMP_HEADER_SIZE]);

// Writes one frame as a new BMP file that only its owner can read; never
// replaces an existing file and leaves nothing behind on failure.
bool qm_write_bmp(const char *path, const uint8_t *pixels);
