// The worker process's side: the controller program started with
// `--worker DETECTOR GENERATION`. It builds only the named detector, maps
// the shared slot, and answers one request at a time until the socket
// closes or the controller goes away.

#include "pipeline.h"
#include "qr-detector.h"
#include "worker-wire.h"
#include "worker.h"

#include <opencv2/core/utility.hpp>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace qmc {
namespace {

// The injected fault for this worker: what to do on which run (0: none).
struct fault {
	std::string what;
	uint64_t run = 0;
};

// From QM_WORKER_FAULT; only the first worker of a detector has one, so
// that the worker started after it runs clean, unless the item ends in
// ":always".
fault fault_for(const std::string &name, const std::string &gen)
{
	const char *env = getenv("QM_WORKER_FAULT");
	if (!env)
		return {};
	std::stringstream list(env);
	std::string item;
	while (std::getline(list, item, ',')) {
		std::stringstream parts(item);
		std::string what, n, who, when;
		std::getline(parts, what, ':');
		std::getline(parts, n, ':');
		std::getline(parts, who, ':');
		std::getline(parts, when);
		if ((what == "abort" || what == "hang") &&
		    (who.empty() || who == name) && !n.empty() &&
		    (gen == "1" || when == "always"))
			return {what, std::strtoull(n.c_str(), nullptr, 10)};
	}
	return {};
}

uint64_t ns_of(clockid_t id)
{
	timespec ts;
	clock_gettime(id, &ts);
	return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

bool find_detector(const std::string &name, detector *out)
{
	for (detector &d : make_qr_detectors())
		if (d.name == name) {
			*out = as_kernel(std::move(d));
			return true;
		}
	return false;
}

void fill(wire_reply &rep, const findings &f)
{
	for (const regions *list : {&f.found, &f.evidence})
		for (const region &r : *list)
			if (rep.boxes < WIRE_MAX_BOXES)
				rep.box[rep.boxes++] =
					to_wire(r, list == &f.evidence);
}

// One run on the frame in the slot.
wire_reply serve(const detector &d, const wire_request &req, uint8_t *slot,
		 size_t slot_bytes)
{
	wire_reply rep{};
	rep.run = req.run;
	rep.what = WIRE_FAILED;
	uint64_t cpu0 = ns_of(CLOCK_PROCESS_CPUTIME_ID);
	uint64_t wall0 = ns_of(CLOCK_MONOTONIC);
	try {
		if (size_t(req.step) * req.height > slot_bytes ||
		    size_t(req.width) * 4 > req.step)
			throw std::runtime_error("frame larger than the slot");
		cv::Mat frame(int(req.height), int(req.width), CV_8UC4, slot,
			      req.step);
		regions hints;
		for (uint32_t i = 0; i < std::min(req.hints, WIRE_MAX_BOXES);
		     i++)
			hints.push_back(from_wire(req.box[i]));
		fill(rep, d.run(frame, hints, req.arrival_ns, req.mode));
		rep.what = WIRE_FOUND;
	} catch (const std::exception &e) {
		snprintf(rep.error, sizeof(rep.error), "%s", e.what());
	}
	rep.cpu_ns = ns_of(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
	rep.wall_ns = ns_of(CLOCK_MONOTONIC) - wall0;
	return rep;
}

} // namespace

int worker_main(const std::string &name, const std::string &gen)
{
	// Ends with the controller, even one killed outright.
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() == 1)
		return 1;
	cv::setNumThreads(1);
	detector d;
	struct stat st;
	if (!find_detector(name, &d) || fstat(WORKER_SLOT_FD, &st) != 0)
		return 1;
	size_t slot_bytes = size_t(st.st_size);
	void *slot = mmap(nullptr, slot_bytes, PROT_READ | PROT_WRITE,
			  MAP_SHARED, WORKER_SLOT_FD, 0);
	if (slot == MAP_FAILED)
		return 1;
	const fault f = fault_for(name, gen);
	wire_reply ready{};
	ready.what = WIRE_READY;
	if (send(WORKER_SOCKET_FD, &ready, sizeof(ready), MSG_NOSIGNAL) < 0)
		return 1;
	wire_request req;
	for (uint64_t runs = 1;; runs++) {
		ssize_t n = recv(WORKER_SOCKET_FD, &req, sizeof(req), 0);
		if (n != ssize_t(sizeof(req)))
			return n == 0 ? 0 : 1;
		if (runs == f.run && f.what == "abort")
			abort();
		while (runs == f.run && f.what == "hang")
			pause();
		wire_reply rep =
			serve(d, req, static_cast<uint8_t *>(slot), slot_bytes);
		if (send(WORKER_SOCKET_FD, &rep, sizeof(rep), MSG_NOSIGNAL) < 0)
			return 1;
	}
}

} // namespace qmc
