// One run of the controller program on a labelled sequence through the
// real wire, and what the frames it wrote showed.
#pragma once

#include "quality-set.h"

#include <cstdint>
#include <map>
#include <string>

namespace quality {

// The controller's detectors, in the order the tables give them.
extern const char *const DETECTORS[5];
// The classes whose fallbacks the controller may count
// ("fallback_CLASS=" in its summary).
extern const char *const FALLBACKS[3];

// Pixels changed farther than this from every object count as changed
// outside the objects.
constexpr int OUTSIDE_MARGIN = 40;

struct run_options {
	double delay = 5;
	int fps = 15;
	// Frames sent a second.
	int feed_fps = 30;
	// The window judged, after the first delay and 1.5 s more.
	double seconds = 30;
	std::string reference;
};

// What the frames written for one sequence showed.
struct tally {
	// Per class: object-frames in processed frames, of which obscured;
	// and object-frames in frames written wholly obscured.
	std::map<kind, uint64_t> seen, hidden, in_whole;
	// Per class: object-frames counted obscured of which a part showed
	// (a quarter of the box on one side less than half changed).
	std::map<kind, uint64_t> partly;
	uint64_t small_faces_seen = 0, small_faces_hidden = 0;
	// A face shown after it had been hidden in the frame before.
	uint64_t flickers = 0;
	uint64_t kept_frames = 0, kept_shown = 0, strangers_shown = 0;
	// Processed frames ZXing read (all on the QR sequence, every third
	// elsewhere), and those in which it decoded a code.
	uint64_t decode_tried = 0, decodable = 0;
	double false_area_sum = 0, false_area_max = 0;
	uint64_t processed = 0, whole = 0, whole_late = 0, written_late = 0;
	// Processed frames with a pixel changed farther than OUTSIDE_MARGIN
	// from every object, and the most such pixels in one frame.
	uint64_t outside_frames = 0, outside_max = 0;
	// Processed frames whose stamps regions happened to cover both: not
	// judged, since which frame they came from is unknown.
	uint64_t unidentified = 0;
};

struct run_result {
	// The controller's cores over the window; this process's and the
	// whole machine's (beside the host, this process holds the host).
	double cores = 0, own_cores = 0, machine_cores = 0, out_fps = 0;
	// The controller's exit summary: "faces_ms", "fallback_qr", ...; -1
	// for a key it did not print.
	std::map<std::string, double> summary;
	// The last plan the controller logged.
	std::string plan;
};

// Runs the controller program on seq with these settings, every class on,
// and judges every frame it writes into t.
run_result run_sequence(const sequence &seq, const run_options &o, tally &t);

} // namespace quality
