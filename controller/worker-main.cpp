// The worker process's side: the controller program started with
// `--worker DETECTOR GENERATION [MODEL_DIR [REGION]]`. It builds only the
// named detector, maps the shared slot, and answers one request at a time
// until the socket closes or the controller goes away.

#include "face-stage.h"
#include "phone-stage.h"
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
		if ((what == "abort" || what == "hang" ||
		     what == "abort-loading") &&
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

// What the worker serves: its detector, and what takes a new
// configuration.
struct served {
	detector d;
	std::function<void(std::vector<std::string>)> configure;
};

// Lines a run has to tell the controller, sent with its reply.
std::vector<std::string> pending_notes;
// The injected fault, and the files loaded so far.
fault injected;
uint64_t loads = 0;
// The request being served, for the WIRE_LOADING message.
uint64_t current_run = 0;

void put_text(char (&to)[WIRE_MAX_TEXT], const std::string &text)
{
	snprintf(to, sizeof(to), "%s", text.c_str());
}

// Says which file the run is about to load, before it does.
void tell_loading(const std::string &path)
{
	wire_reply msg{};
	msg.run = current_run;
	msg.what = WIRE_LOADING;
	put_text(msg.text, path);
	send(WORKER_SOCKET_FD, &msg, sizeof(msg), MSG_NOSIGNAL);
	if (++loads == injected.run && injected.what == "abort-loading")
		abort();
}

// The named detector, with its models from args (folder, region).
bool find_detector(const std::string &name,
		   const std::vector<std::string> &args, served *out)
{
	std::string dir = args.empty() ? std::string() : args[0];
	std::string problem;
	if (name == "faces") {
		auto note = [](const std::string &s) {
			pending_notes.push_back(s);
		};
		auto stage = load_face_stage(dir, note, &problem, tell_loading);
		if (!stage)
			return false;
		out->d = as_kernel(make_face_detector(stage));
		out->configure = [stage](std::vector<std::string> paths) {
			stage->set_references(std::move(paths));
		};
		return true;
	}
	if (name == "phones") {
		bool bad_region = false;
		auto models = load_phone_models(
			dir, args.size() > 1 ? args[1] : std::string(),
			&problem, &bad_region);
		if (!models)
			return false;
		out->d = as_kernel(make_phone_detector(models));
		return true;
	}
	for (detector &d : make_qr_detectors())
		if (d.name == name) {
			out->d = as_kernel(std::move(d));
			return true;
		}
	return false;
}

// Puts a list's regions into the reply, at most `room` boxes: past that,
// one box covers the rest, so that nothing found is dropped.
void put(wire_reply &rep, const regions &list, bool evidence, uint32_t room)
{
	for (size_t i = 0; i < list.size() && room > 0; i++, room--) {
		if (room > 1 || i + 1 == list.size()) {
			rep.box[rep.boxes++] = to_wire(list[i], evidence);
			continue;
		}
		region rest;
		for (size_t j = i; j < list.size(); j++)
			rest.box |= list[j].box;
		rep.box[rep.boxes++] = to_wire(rest, evidence);
	}
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
		fill_reply(rep, d.run(frame, hints, req.arrival_ns, req.mode));
		rep.what = WIRE_FOUND;
		std::string notes;
		for (const std::string &n : pending_notes)
			notes += n + "\n";
		put_text(rep.text, notes);
	} catch (const std::exception &e) {
		put_text(rep.text, e.what());
	}
	pending_notes.clear();
	rep.cpu_ns = ns_of(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
	rep.wall_ns = ns_of(CLOCK_MONOTONIC) - wall0;
	return rep;
}

// Takes the configuration in the slot: lines, `width` bytes.
wire_reply configure(const served &s, const wire_request &req,
		     const uint8_t *slot, size_t slot_bytes)
{
	wire_reply rep{};
	rep.run = req.run;
	rep.what = WIRE_FOUND;
	std::vector<std::string> lines;
	std::stringstream text(
		std::string(reinterpret_cast<const char *>(slot),
			    std::min(size_t(req.width), slot_bytes)));
	for (std::string line; std::getline(text, line);)
		lines.push_back(line);
	if (s.configure)
		s.configure(std::move(lines));
	return rep;
}

} // namespace

void fill_reply(wire_reply &rep, const findings &f)
{
	// Evidence keeps room for up to half the boxes.
	uint32_t room = WIRE_MAX_BOXES;
	size_t for_evidence = std::min<size_t>(f.evidence.size(), room / 2);
	put(rep, f.found, false, room - uint32_t(for_evidence));
	put(rep, f.evidence, true, room - rep.boxes);
}

int worker_main(const std::string &name, const std::string &gen,
		const std::vector<std::string> &args)
{
	// Ends with the controller, even one killed outright.
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() == 1)
		return 1;
	cv::setNumThreads(1);
	served s;
	struct stat st;
	if (!find_detector(name, args, &s) || fstat(WORKER_SLOT_FD, &st) != 0)
		return 1;
	size_t slot_bytes = size_t(st.st_size);
	void *slot = mmap(nullptr, slot_bytes, PROT_READ | PROT_WRITE,
			  MAP_SHARED, WORKER_SLOT_FD, 0);
	if (slot == MAP_FAILED)
		return 1;
	injected = fault_for(name, gen);
	const fault &f = injected;
	wire_reply ready{};
	ready.what = WIRE_READY;
	if (send(WORKER_SOCKET_FD, &ready, sizeof(ready), MSG_NOSIGNAL) < 0)
		return 1;
	wire_request req;
	for (uint64_t runs = 0;;) {
		ssize_t n = recv(WORKER_SOCKET_FD, &req, sizeof(req), 0);
		if (n != ssize_t(sizeof(req)))
			return n == 0 ? 0 : 1;
		current_run = req.run;
		const uint8_t *data = static_cast<uint8_t *>(slot);
		if (req.kind == WIRE_CONFIGURE) {
			wire_reply rep = configure(s, req, data, slot_bytes);
			if (send(WORKER_SOCKET_FD, &rep, sizeof(rep),
				 MSG_NOSIGNAL) < 0)
				return 1;
			continue;
		}
		if (++runs == f.run && f.what == "abort")
			abort();
		while (runs == f.run && f.what == "hang")
			pause();
		wire_reply rep = serve(s.d, req, static_cast<uint8_t *>(slot),
				       slot_bytes);
		if (send(WORKER_SOCKET_FD, &rep, sizeof(rep), MSG_NOSIGNAL) < 0)
			return 1;
	}
}

} // namespace qmc
