// Figures of the detectors' modes, for detector_figures.
#pragma once

#include <functional>

// The parts wanted ("qr-modes", "face-modes", "phone-modes").
void qm_mode_figures(const std::function<bool(const char *)> &wanted);
