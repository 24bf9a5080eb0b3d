// The few operating-system services the module needs, behind one small
// interface: the configuration folder, pauses, worker threads, loopback
// sockets and owner-only files.
#pragma once

#ifdef _WIN32
// Winsock before any libobs header, or its intrinsics clash with SIMDe's.
#include <winsock2.h>
#include <ws2tcpip.h>
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

#ifdef _WIN32
using qm_socket_t = SOCKET;
constexpr qm_socket_t QM_NO_SOCKET = INVALID_SOCKET;
#else
using qm_socket_t = int;
constexpr qm_socket_t QM_NO_SOCKET = -1;
#endif

// Writes the configuration folder into buf. False when it cannot be
// decided (no home folder) or does not fit into size bytes with its
// terminator.
bool qm_config_dir(char *buf, size_t size);

// The same decision from given environment values (null for unset), so
// that it can be checked without touching the process environment.
bool qm_config_dir_from(const char *appdata, const char *xdg_config_home,
			const char *home, char *buf, size_t size);

// Starts fn(arg) on a new thread; false when the system refuses one.
bool qm_start_thread(std::thread &thread, void (*fn)(void *), void *arg);

// Failure injection for tests, one pair of counts for each kind of
// resource that an instance acquires: after `succeed` more acquisitions of
// that kind succeed, the next `fail` fail. Both stay 0 outside tests.
enum qm_test_resource {
	QM_TEST_FRAME_BUFFER,
	QM_TEST_GRAPHICS_OBJECT,
	QM_TEST_THREAD_START,
	QM_TEST_RESOURCE_KINDS
};
struct qm_test_failures {
	std::atomic<int> succeed{0};
	std::atomic<int> fail{0};
};
extern qm_test_failures qm_test_injected[QM_TEST_RESOURCE_KINDS];
// Counts one acquisition of the kind; true when it is to fail.
bool qm_test_fails(qm_test_resource kind);

bool qm_net_init();
void qm_net_cleanup();

// An owned socket, closed when it goes out of scope.
class qm_socket {
public:
	qm_socket() = default;
	explicit qm_socket(qm_socket_t s) : s_(s) {}
	~qm_socket() { reset(); }
	qm_socket(const qm_socket &) = delete;
	qm_socket &operator=(const qm_socket &) = delete;
	qm_socket(qm_socket &&o) noexcept : s_(o.release()) {}
	qm_socket &operator=(qm_socket &&o) noexcept
	{
		if (this != &o) {
			reset();
			s_ = o.release();
		}
		return *this;
	}
	qm_socket_t get() const { return s_; }
	bool valid() const { return s_ != QM_NO_SOCKET; }
	qm_socket_t release()
	{
		qm_socket_t s = s_;
		s_ = QM_NO_SOCKET;
		return s;
	}
	void reset();

private:
	qm_socket_t s_ = QM_NO_SOCKET;
};

// A close-on-exec loopback TCP connection to 127.0.0.1:port whose sends
// (for_sending) or receives (otherwise) time out after timeout_ms. Empty
// on any failure, including a time-out that cannot be set.
qm_socket qm_connect_loopback(uint16_t port, bool for_sending,
			      unsigned timeout_ms);

// One send or receive call, retried on EINTR. Never raises SIGPIPE.
// Returns the byte count moved, 0 for a closed peer, or -1 on an error or
// time-out.
long qm_send_some(const qm_socket &s, const void *data, size_t len);
long qm_recv_some(const qm_socket &s, void *data, size_t len);

// Opens a file for reading, close-on-exec. On Windows others may still
// replace, rename or remove the file while it is open. A descriptor, or -1.
int qm_open_for_reading(const char *path);

// Reads a whole regular file of at most max_size bytes into a buffer with
// a terminating zero. Empty for anything else: a folder, a FIFO or device
// (never waited on), a file that is larger, or a read error.
std::unique_ptr<char[]> qm_read_regular_file(const char *path, size_t max_size);

// How reading a file line by line ended.
enum class qm_read_status {
	done,
	// There is no such file.
	missing,
	// It could not be opened or read, or holds more than allowed.
	failed,
};
// Calls line for each line of the file at path, without its line end,
// reading it in one pass whatever size it claims (as /proc files claim
// none), at most max_bytes. A line longer than 4095 bytes is skipped.
qm_read_status
qm_for_each_line(const char *path, size_t max_bytes,
		 const std::function<void(std::string_view)> &line);

// Owner-only files: created exclusively, close-on-exec, mode 0600.
// Returns a descriptor, or -1 when the file exists or cannot be created.
int qm_create_private_file(const char *path);
// One write call, retried on EINTR; the count written or -1.
long qm_write_some(int fd, const void *data, size_t len);
// False when closing reports an error (the data may not have reached the
// disk).
bool qm_close_file(int fd);
void qm_remove_file(const char *path);
// How giving a finished file its final name ended.
enum class qm_publish_result {
	done,
	// Something exists under the name, or the file system failed.
	failed,
	// The file system has no way to do it without replacing what may
	// exist under the name (no exclusive rename, no hard links).
	unsupported,
};
// Gives the file at temp the name path, unless something exists there
// already; temp is gone afterwards only when done.
qm_publish_result qm_publish_file(const char *temp, const char *path);
