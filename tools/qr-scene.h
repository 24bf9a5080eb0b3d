// QR codes for the tests, the demo and the benchmark: codes rendered with
// ZXing's writer and drawn into BGRA pictures at any size, angle and tilt;
// a moving 1280x720 scene of several codes over a still, detailed
// background, each frame stamped with its number; and ZXing reading back
// what a picture shows. Independent of libobs and of the controller.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace qm_scene {

constexpr int SCENE_WIDTH = 1280;
constexpr int SCENE_HEIGHT = 720;
// The stamp and nothing else lives above this row.
constexpr int SCENE_TOP = 40;
// The scene repeats after this many frames (two seconds at 30 fps).
constexpr uint64_t SCENE_CYCLE = 60;

// A code as dark and light modules with a quiet zone of four modules,
// module_px pixels a module, BGRA.
cv::Mat render_qr(const std::string &text, int module_px, uint8_t dark = 0,
		  uint8_t light = 255);

// Draws a rendered code into frame, centred at centre, turned by angle
// degrees and tilted: 0 is flat, 0.2 makes the top edge 20 % shorter than
// the bottom one, as a code seen at a slant. Returns the corners of the
// drawn code (quiet zone included).
std::vector<cv::Point2f> place(cv::Mat &frame, const cv::Mat &code,
			       cv::Point2f centre, double angle,
			       double tilt = 0);

struct placed_code {
	std::string text;
	std::vector<cv::Point2f> corners;
	// The bounding box of the corners, clipped to the frame.
	cv::Rect box;
};

// Frame n of the moving scene: four codes of 3 to 6 pixels a module, flat,
// turned and tilted, each moving at most 120 pixels a second at 30 fps,
// over a still background of shapes and text, with n stamped into the top
// left corner. Where the codes are goes to *codes.
cv::Mat scene_frame(uint64_t n, std::vector<placed_code> *codes = nullptr);
// The frame number stamped into a picture of the scene; false when there
// is none.
bool read_scene_stamp(const cv::Mat &bgra, uint64_t *n);

// Whether a BGRA picture is one mosaic over the whole of it, as the
// controller writes a frame it wholly obscures: each square cell (an
// eighth of the width) of one colour, within a level or two that a host's
// conversions may move.
bool one_mosaic(const cv::Mat &bgra);

// The texts of the QR codes ZXing reads in a BGRA picture, trying hard.
std::vector<std::string> decode_qr(const cv::Mat &bgra);

// Ends the child process that reads codes for decode_qr (started again
// when next needed), for a check that this process has no children left.
void stop_code_reader();

// The box grown by margin on every side.
cv::Rect with_margin(const cv::Rect &box, int margin);
// A mask of size, 255 within margin of any of boxes, 0 elsewhere.
cv::Mat near_boxes(const cv::Size &size, const std::vector<cv::Rect> &boxes,
		   int margin);

// Pixels of a and b that differ, among those farther than margin from
// every box; 0 when everything away from the boxes is byte-identical.
size_t differences_away_from(const cv::Mat &a, const cv::Mat &b,
			     const std::vector<cv::Rect> &boxes, int margin);
// The boxes of the codes, for differences_away_from.
std::vector<cv::Rect> boxes_of(const std::vector<placed_code> &codes);
// The boxes of the codes in the scene frames n - frames to n + frames:
// everywhere a finding made that many frames away may have seen one.
std::vector<cv::Rect> code_boxes_near(uint64_t n, uint64_t frames);
// Pixels of a picture shown for scene frame n, of a scene running at fps,
// that differ from the frame farther from the codes than a finding made
// reach_s away could have grown: around the codes of the scene frames
// within reach_s (and two more, which a busy link may bunch up), by the
// fastest motion a detector allows for (200 pixels a second) over reach_s
// and a detector's own margin around a code.
size_t changed_beyond_reach(const cv::Mat &shown, uint64_t n, double reach_s,
			    double fps);

} // namespace qm_scene
