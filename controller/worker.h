// Detectors run in a worker process: the controller program started again
// with a hidden argument, one process for each wrapped detector. Third-party
// code that reads frame content (ZXing keeps its asserts in Debian's build)
// can then abort or hang without taking the controller with it. Frames
// reach the worker through a shared-memory slot; a small socket carries the
// request (size, mode, hints) and the reply (what was found). A worker that
// dies or misses its deadline is killed and reaped, the run fails (the
// pipeline treats it as any failed run), and the next run starts a new one,
// after a back-off while it keeps dying.
#pragma once

#include "detector.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qmc {

// The hidden argument: `PROGRAM --worker DETECTOR GENERATION [MODEL_DIR
// [REGION]]`, the last two for the detectors that load models.
constexpr const char *WORKER_ARG = "--worker";

// The worker's side: serves runs of the named detector until the socket
// closes. Its environment may hold QM_WORKER_FAULT, a test hook:
// comma-separated "abort:N[:DETECTOR[:always]]" or "hang:N[...]", which
// aborts or hangs on the Nth run of the first worker started for the
// detector (of every worker with "always"; any detector when none is
// named), or "abort-loading:N[...]", which aborts as it loads its Nth file.
// Returns the exit code.
int worker_main(const std::string &detector_name, const std::string &gen,
		const std::vector<std::string> &args);

struct worker_options {
	// The program to start (the controller itself: /proc/self/exe), and
	// what follows its detector and generation on the command line.
	std::string program;
	std::vector<std::string> args;
	// The configuration a worker has before each run, one item a line
	// (the faces worker: the reference photos' paths); handed over again
	// whenever it changed. A file the worker was loading when it died or
	// hung is left out from then on, until it changes, and told once.
	std::function<std::vector<std::string>()> config;
	// Says what happened to a worker, one line an incident.
	std::function<void(const std::string &)> note;
	// A run's deadline: this many times its expected cost, at least
	// min_deadline_s, doubled after each deadline missed in a row (up to
	// four times), and a few times the wall time of the slowest recent
	// run.
	double deadline_factor = 10;
	double min_deadline_s = 1;
	// How long a new worker may take to start, and to take a new
	// configuration.
	double startup_s = 20;
	// A run that loads a file of the configuration may take this much
	// longer.
	double loading_s = 10;
};

// What the wrapping counted for one detector.
struct worker_counts {
	std::string name;
	// Workers killed or found dead.
	std::atomic<uint64_t> restarts{0};
	// Runs served, and their time outside the worker's run (the frame's
	// copy into the slot and the round trip), in nanoseconds.
	std::atomic<uint64_t> runs{0};
	std::atomic<uint64_t> handoff_ns{0};
	// CPU time the worker spent on its runs.
	std::atomic<uint64_t> cpu_ns{0};
};

// The detector whose runs happen in a worker that runs the detector of
// the same name there; what the pipeline sees stays the same.
detector in_worker(detector d, const worker_options &options,
		   std::shared_ptr<worker_counts> *counts = nullptr);

} // namespace qmc
