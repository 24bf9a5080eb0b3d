#include "crash-cleanup.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace qmc {

namespace {

constexpr size_t MAX_TEXT = 512;
const int FATAL_SIGNALS[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

// Filled before ready is set, read by the handler only once it is.
struct armed_file {
	char path[PATH_MAX];
	char text[MAX_TEXT];
	size_t text_len;
	// Lock-free, so safe to read in a handler on any thread.
	std::atomic<bool> ready{false};
};

armed_file files[CRASH_CLEANUP_FILES];
std::atomic<pid_t> owner_pid{0};
static_assert(std::atomic<bool>::is_always_lock_free &&
		      std::atomic<pid_t>::is_always_lock_free,
	      "read in a signal handler");

// Whether the file holds exactly the text: open, read and close only, all
// safe in a signal handler.
bool holds(const armed_file &f)
{
	int fd = open(f.path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return false;
	char buf[MAX_TEXT + 1];
	size_t have = 0;
	for (;;) {
		ssize_t n = read(fd, buf + have, sizeof(buf) - have);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		have += size_t(n);
		if (have == sizeof(buf))
			break;
	}
	close(fd);
	if (have != f.text_len)
		return false;
	for (size_t i = 0; i < have; i++)
		if (buf[i] != f.text[i])
			return false;
	return true;
}

void on_fatal_signal(int sig)
{
	int saved = errno;
	// A forked child shares these files' names but does not own them.
	if (getpid() == owner_pid.load())
		for (const armed_file &f : files)
			if (f.ready.load(std::memory_order_acquire) && holds(f))
				unlink(f.path);
	// The default action back (SA_RESETHAND did it already, unless a
	// sanitizer's runtime stands between): the signal, raised again,
	// ends the process as soon as the handler returns.
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	sigemptyset(&dfl.sa_mask);
	sigaction(sig, &dfl, nullptr);
	errno = saved;
	raise(sig);
}

} // namespace

void install_crash_cleanup()
{
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_fatal_signal;
	sigemptyset(&sa.sa_mask);
	// Other fatal signals wait until this one has been dealt with.
	for (int sig : FATAL_SIGNALS)
		sigaddset(&sa.sa_mask, sig);
	// A stack of its own on the main thread, where a stack overflow
	// leaves none to run on.
	static char alt_stack[64 * 1024];
	stack_t ss = {};
	ss.ss_sp = alt_stack;
	ss.ss_size = sizeof(alt_stack);
	sigaltstack(&ss, nullptr);
	sa.sa_flags = SA_RESETHAND | SA_ONSTACK;
	for (int sig : FATAL_SIGNALS)
		sigaction(sig, &sa, nullptr);
}

bool crash_cleanup_add(const std::string &path, const std::string &text)
{
	if (path.size() >= PATH_MAX || text.size() > MAX_TEXT)
		return false;
	for (armed_file &f : files) {
		if (f.ready.load())
			continue;
		memcpy(f.path, path.c_str(), path.size() + 1);
		memcpy(f.text, text.data(), text.size());
		f.text_len = text.size();
		owner_pid = getpid();
		f.ready.store(true, std::memory_order_release);
		return true;
	}
	return false;
}

void crash_cleanup_clear()
{
	for (armed_file &f : files)
		f.ready = false;
}

} // namespace qmc
