// The controller's side of a worker: starts it, hands it frames through
// the shared slot, waits for each reply until the deadline, and kills,
// reaps and replaces a worker that dies or hangs.

#include "worker.h"
#include "worker-wire.h"

#include <opencv2/core.hpp>

#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace qmc {
namespace {

using steady = std::chrono::steady_clock;

// The slot holds one 1280x720 BGRA frame, or more when a frame needs it.
constexpr size_t SLOT_BYTES = size_t(1280) * 720 * 4;
// After a death: the wait before the next start, by the deaths in a row.
constexpr double BACKOFF_S[] = {0, 0, 0.25, 0.5, 1, 2};
// Deaths further apart than this no longer count as in a row.
constexpr auto CALM = std::chrono::seconds(30);
// A run's deadline is at least this many times the longest of the last
// RECENT_RUNS runs.
constexpr int RECENT_FACTOR = 4;
constexpr size_t RECENT_RUNS = 16;
// Each deadline missed in a row doubles the next, up to this many times
// the planned one: on a machine so busy that every run misses, a worker
// killed at each deadline would otherwise never finish a run to measure.
constexpr int MAX_STRETCH = 4;
// How long a worker that closed its socket may take to end.
constexpr auto EXIT_GRACE = std::chrono::milliseconds(500);

// Moves fd to 10 or above, close-on-exec: clear of the worker's fixed
// numbers when the spawn puts them in place.
int high_fd(int fd)
{
	if (fd < 0)
		return -1;
	int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
	close(fd);
	return high;
}

struct unique_fd {
	int fd = -1;
	explicit unique_fd(int f = -1) : fd(f) {}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	~unique_fd() { reset(); }
	void reset(int f = -1)
	{
		if (fd >= 0)
			close(fd);
		fd = f;
	}
};

// A memfd mapped into this process.
struct shared_slot {
	unique_fd fd;
	void *data = nullptr;
	size_t bytes = 0;

	shared_slot(const std::string &name, size_t size)
	{
		fd.reset(high_fd(memfd_create(name.c_str(), MFD_CLOEXEC)));
		if (fd.fd < 0 || ftruncate(fd.fd, off_t(size)) != 0)
			throw std::runtime_error("no shared memory for " +
						 name);
		data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
			    fd.fd, 0);
		if (data == MAP_FAILED)
			throw std::runtime_error("cannot map the slot of " +
						 name);
		bytes = size;
	}
	~shared_slot() { munmap(data, bytes); }
	shared_slot(const shared_slot &) = delete;
	shared_slot &operator=(const shared_slot &) = delete;
};

std::string describe_status(int status)
{
	if (WIFSIGNALED(status))
		return std::string("ended by signal ") +
		       std::to_string(WTERMSIG(status)) + " (" +
		       strsignal(WTERMSIG(status)) + ")";
	if (WIFEXITED(status))
		return "exited with status " +
		       std::to_string(WEXITSTATUS(status));
	return "ended";
}

// A started worker process and the controller's end of its socket;
// killed and reaped at destruction when still there.
struct child {
	pid_t pid = -1;
	unique_fd sock;

	~child() { end(true); }
	// Reaps the worker, killing it first when `kill_now` or when it
	// does not end by itself within the grace period; what ended it.
	std::string end(bool kill_now)
	{
		if (pid <= 0)
			return {};
		sock.reset();
		int status = 0;
		auto limit = steady::now() + EXIT_GRACE;
		if (kill_now)
			kill(pid, SIGKILL);
		while (waitpid(pid, &status, WNOHANG) == 0) {
			if (steady::now() > limit)
				kill(pid, SIGKILL);
			usleep(2000);
		}
		pid = -1;
		return describe_status(status);
	}
};

// Starts `program --worker NAME GEN ARGS...` with the socket and slot in
// place.
void spawn(child &c, const std::string &program, const std::string &name,
	   uint64_t gen, const std::vector<std::string> &args, int slot_fd)
{
	int ends[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
		throw std::runtime_error("no socket for the worker");
	c.sock.reset(ends[0]);
	unique_fd theirs(high_fd(ends[1]));
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, theirs.fd, WORKER_SOCKET_FD);
	posix_spawn_file_actions_adddup2(&fa, slot_fd, WORKER_SLOT_FD);
	// Its stdout is the controller's stderr: the summary stays clean.
	posix_spawn_file_actions_adddup2(&fa, STDERR_FILENO, STDOUT_FILENO);
	posix_spawn_file_actions_addclosefrom_np(&fa, WORKER_SLOT_FD + 1);
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	sigset_t none, all;
	sigemptyset(&none);
	sigfillset(&all);
	posix_spawnattr_setsigmask(&at, &none);
	posix_spawnattr_setsigdefault(&at, &all);
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK |
					      POSIX_SPAWN_SETSIGDEF);
	std::string g = std::to_string(gen);
	std::vector<const char *> argv = {program.c_str(), WORKER_ARG,
					  name.c_str(), g.c_str()};
	for (const std::string &a : args)
		argv.push_back(a.c_str());
	argv.push_back(nullptr);
	int err = posix_spawn(&c.pid, program.c_str(), &fa, &at,
			      const_cast<char *const *>(argv.data()), environ);
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&at);
	if (err != 0) {
		c.pid = -1;
		throw std::runtime_error("cannot start " + program + ": " +
					 strerror(err));
	}
}

// Waits until `limit` for one message: a reply, the socket closed (the
// worker ended), or nothing in time.
enum class heard { reply, closed, late };
heard receive(int fd, wire_reply &rep, steady::time_point limit)
{
	for (;;) {
		auto left =
			std::chrono::duration_cast<std::chrono::milliseconds>(
				limit - steady::now());
		if (left.count() < 0)
			return heard::late;
		pollfd p{fd, POLLIN, 0};
		int n = poll(&p, 1, int(left.count()) + 1);
		if (n < 0 && errno == EINTR)
			continue;
		if (n == 0)
			continue;
		ssize_t got = recv(fd, &rep, sizeof(rep), MSG_DONTWAIT);
		if (got < 0 && (errno == EAGAIN || errno == EINTR))
			continue;
		return got == ssize_t(sizeof(rep)) ? heard::reply
						   : heard::closed;
	}
}

// A file as it is: its size and modification time.
struct file_version {
	long long size = -1, mtime_ns = -1;
	bool operator==(const file_version &o) const
	{
		return size == o.size && mtime_ns == o.mtime_ns;
	}
};

class worker_client {
public:
	worker_client(std::string name, double deadline_s, worker_options opt,
		      std::shared_ptr<worker_counts> counts)
		: name_(std::move(name)),
		  deadline_(std::chrono::duration_cast<steady::duration>(
			  std::chrono::duration<double>(deadline_s))),
		  opt_(std::move(opt)),
		  counts_(std::move(counts)),
		  slot_(std::make_unique<shared_slot>("qm-" + name_,
						      SLOT_BYTES))
	{
	}

	findings run(const cv::Mat &bgra, const regions &hints,
		     uint64_t arrival, size_t mode);

private:
	const std::string name_;
	// The deadline as planned, and the wall time of recent runs: a busy
	// machine slows every run, and a run is given a few times the
	// longest of them.
	const steady::duration deadline_;
	std::deque<steady::duration> recent_;
	int stretch_ = 1;
	const worker_options opt_;
	std::shared_ptr<worker_counts> counts_;
	std::unique_ptr<shared_slot> slot_;
	child child_;
	uint64_t generation_ = 0, run_ = 0;
	size_t deaths_ = 0;
	steady::time_point last_death_{}, next_start_{};
	// What the running worker was configured with (none: not yet), and
	// the file it is loading now.
	std::optional<std::vector<std::string>> configured_;
	std::string loading_;
	// Files the worker died loading, as they were then.
	std::map<std::string, file_version> left_out_;

	void start();
	void configure();
	std::vector<std::string> wanted_config();
	heard await(const wire_request &req, wire_reply &rep,
		    steady::time_point limit);
	[[noreturn]] void lost(const std::string &what, bool kill_now);
	wire_request request(const cv::Mat &bgra, const regions &hints,
			     uint64_t arrival, size_t mode);
	static findings result(const wire_reply &rep);
};

void worker_client::start()
{
	if (steady::now() < next_start_)
		throw std::runtime_error(name_ + ": worker restarting soon");
	configured_.reset();
	loading_.clear();
	spawn(child_, opt_.program, name_, ++generation_, opt_.args,
	      slot_->fd.fd);
	wire_reply rep;
	auto limit = steady::now() +
		     std::chrono::duration_cast<steady::duration>(
			     std::chrono::duration<double>(opt_.startup_s));
	heard h = receive(child_.sock.fd, rep, limit);
	if (h == heard::late)
		lost("did not start in time", true);
	if (h == heard::closed || rep.what != WIRE_READY)
		lost(child_.end(false) + " while starting", false);
}

file_version version_of(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) != 0)
		return {};
	return {(long long)st.st_size,
		(long long)st.st_mtim.tv_sec * 1000000000LL +
			st.st_mtim.tv_nsec};
}

// The configuration asked for, less the files left out that have not
// changed since.
std::vector<std::string> worker_client::wanted_config()
{
	std::vector<std::string> lines = opt_.config();
	if (left_out_.empty())
		return lines;
	std::vector<std::string> kept;
	for (std::string &l : lines) {
		auto it = left_out_.find(l);
		if (it != left_out_.end() && it->second == version_of(l))
			continue;
		kept.push_back(std::move(l));
	}
	return kept;
}

// Hands the worker the configuration in the slot when it changed.
void worker_client::configure()
{
	if (!opt_.config)
		return;
	std::vector<std::string> lines = wanted_config();
	if (configured_ && *configured_ == lines)
		return;
	std::string text;
	for (const std::string &l : lines)
		text += l + "\n";
	if (text.size() > slot_->bytes)
		throw std::runtime_error(name_ + ": configuration too long");
	memcpy(slot_->data, text.data(), text.size());
	wire_request req{};
	req.run = ++run_;
	req.kind = WIRE_CONFIGURE;
	req.width = uint32_t(text.size());
	if (send(child_.sock.fd, &req, sizeof(req), MSG_NOSIGNAL) !=
	    ssize_t(sizeof(req)))
		lost(child_.end(false), false);
	wire_reply rep;
	heard h = await(
		req, rep,
		steady::now() +
			std::chrono::duration_cast<steady::duration>(
				std::chrono::duration<double>(opt_.startup_s)));
	if (h == heard::late)
		lost("did not take its configuration in time", true);
	if (h == heard::closed)
		lost(child_.end(false), false);
	configured_ = std::move(lines);
}

// Waits for the reply to req. A file being loaded is noted, and gives the
// run more time.
heard worker_client::await(const wire_request &req, wire_reply &rep,
			   steady::time_point limit)
{
	heard h;
	// A reply to an earlier run (there is none after a restart, as each
	// worker has a socket of its own) is passed over.
	while ((h = receive(child_.sock.fd, rep, limit)) == heard::reply) {
		if (rep.run != req.run)
			continue;
		if (rep.what != WIRE_LOADING)
			break;
		loading_.assign(rep.text, strnlen(rep.text, sizeof(rep.text)));
		limit += std::chrono::duration_cast<steady::duration>(
			std::chrono::duration<double>(opt_.loading_s));
	}
	if (h == heard::reply)
		loading_.clear();
	return h;
}

// Kills and reaps the worker, says so, and fails the run.
void worker_client::lost(const std::string &what, bool kill_now)
{
	child_.end(kill_now);
	std::string text = name_ + ": worker " + what;
	if (kill_now)
		text += "; killed";
	if (!loading_.empty()) {
		left_out_[loading_] = version_of(loading_);
		text += " while loading " + loading_ +
			", which is left out until it changes";
		loading_.clear();
	}
	auto now = steady::now();
	deaths_ = now - last_death_ > CALM ? 1 : deaths_ + 1;
	last_death_ = now;
	size_t step = std::min(deaths_, std::size(BACKOFF_S) - 1);
	next_start_ =
		now + std::chrono::duration_cast<steady::duration>(
			      std::chrono::duration<double>(BACKOFF_S[step]));
	counts_->restarts++;
	if (opt_.note)
		opt_.note(text);
	throw std::runtime_error(text);
}

wire_request worker_client::request(const cv::Mat &bgra, const regions &hints,
				    uint64_t arrival, size_t mode)
{
	size_t row = size_t(bgra.cols) * 4;
	for (int y = 0; y < bgra.rows; y++)
		memcpy(static_cast<uint8_t *>(slot_->data) + row * size_t(y),
		       bgra.ptr(y), row);
	wire_request req{};
	req.run = ++run_;
	req.arrival_ns = arrival;
	req.width = uint32_t(bgra.cols);
	req.height = uint32_t(bgra.rows);
	req.step = uint32_t(row);
	req.mode = uint32_t(mode);
	for (const region &h : hints)
		if (req.hints < WIRE_MAX_BOXES)
			req.box[req.hints++] = to_wire(h, false);
	return req;
}

findings worker_client::result(const wire_reply &rep)
{
	std::string text(rep.text, strnlen(rep.text, sizeof(rep.text)));
	if (rep.what != WIRE_FOUND)
		throw std::runtime_error(text);
	findings f;
	for (uint32_t i = 0; i < std::min(rep.boxes, WIRE_MAX_BOXES); i++)
		(rep.box[i].evidence ? f.evidence : f.found)
			.push_back(from_wire(rep.box[i]));
	f.worker_cpu_ns = rep.cpu_ns;
	return f;
}

findings worker_client::run(const cv::Mat &bgra, const regions &hints,
			    uint64_t arrival, size_t mode)
{
	if (bgra.type() != CV_8UC4)
		throw std::runtime_error("not a BGRA frame");
	size_t bytes = size_t(bgra.cols) * 4 * size_t(bgra.rows);
	if (bytes > slot_->bytes) {
		// A new worker maps the larger slot.
		child_.end(true);
		slot_ = std::make_unique<shared_slot>("qm-" + name_, bytes);
	}
	if (child_.pid <= 0)
		start();
	configure();
	auto copy0 = steady::now();
	wire_request req = request(bgra, hints, arrival, mode);
	auto copied = steady::now() - copy0;
	auto sent = steady::now();
	if (send(child_.sock.fd, &req, sizeof(req), MSG_NOSIGNAL) !=
	    ssize_t(sizeof(req)))
		lost(child_.end(false), false);
	wire_reply rep;
	steady::duration deadline = deadline_ * stretch_;
	for (steady::duration d : recent_)
		deadline = std::max(deadline, d * RECENT_FACTOR);
	heard h = await(req, rep, sent + deadline);
	if (h == heard::reply)
		stretch_ = 1;
	if (h == heard::late) {
		stretch_ = std::min(stretch_ * 2, MAX_STRETCH);
		char text[64];
		snprintf(text, sizeof(text), "missed its %.2f s deadline",
			 std::chrono::duration<double>(deadline).count());
		lost(text, true);
	}
	if (h == heard::closed)
		lost(child_.end(false), false);
	auto ns = [](steady::duration d) {
		return uint64_t(
			std::chrono::duration_cast<std::chrono::nanoseconds>(d)
				.count());
	};
	uint64_t round_trip = ns(steady::now() - sent);
	recent_.push_back(steady::now() - sent);
	if (recent_.size() > RECENT_RUNS)
		recent_.pop_front();
	counts_->runs++;
	counts_->cpu_ns += rep.cpu_ns;
	counts_->handoff_ns +=
		ns(copied) +
		(round_trip > rep.wall_ns ? round_trip - rep.wall_ns : 0);
	findings f = result(rep);
	if (opt_.note) {
		std::stringstream notes(std::string(
			rep.text, strnlen(rep.text, WIRE_MAX_TEXT)));
		for (std::string line; std::getline(notes, line);)
			if (!line.empty())
				opt_.note(line);
	}
	return f;
}

} // namespace

detector in_worker(detector d, const worker_options &options,
		   std::shared_ptr<worker_counts> *counts)
{
	auto c = std::make_shared<worker_counts>();
	c->name = d.name;
	if (counts)
		*counts = c;
	double deadline = std::max(options.min_deadline_s,
				   options.deadline_factor * d.expected_cpu_s);
	auto client =
		std::make_shared<worker_client>(d.name, deadline, options, c);
	d.find = nullptr;
	d.find_at = nullptr;
	d.run = [client](const cv::Mat &bgra, const regions &hints,
			 uint64_t arrival, size_t mode) {
		return client->run(bgra, hints, arrival, mode);
	};
	return d;
}

} // namespace qmc
