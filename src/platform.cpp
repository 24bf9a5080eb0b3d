#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/stat.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#define QM_CONFIG_TAIL "obs-studio/plugin_config/quilmar-direct"

static bool format_fits(char *buf, size_t size, int written)
{
	return written >= 0 && static_cast<size_t>(written) < size;
}

#ifdef _WIN32
// A drive path such as C:\ or C:/, or a UNC path such as \\server\share.
static bool is_absolute_windows_path(const char *path)
{
	auto is_sep = [](char c) {
		return c == '\\' || c == '/';
	};
	bool drive = ((path[0] >= 'A' && path[0] <= 'Z') ||
		      (path[0] >= 'a' && path[0] <= 'z')) &&
		     path[1] == ':' && is_sep(path[2]);
	return drive || (is_sep(path[0]) && is_sep(path[1]));
}
#endif

bool qm_config_dir_from(const char *appdata, const char *xdg_config_home,
			const char *home, char *buf, size_t size)
{
#ifdef _WIN32
	(void)xdg_config_home;
	(void)home;
	// A relative or empty APPDATA would put the folder wherever the host
	// happens to run.
	if (!appdata || !is_absolute_windows_path(appdata))
		return false;
	return format_fits(
		buf, size,
		snprintf(buf, size,
			 "%s\\obs-studio\\plugin_config\\quilmar-direct",
			 appdata));
#else
	(void)appdata;
	// A relative XDG_CONFIG_HOME is invalid and must be ignored.
	if (xdg_config_home && xdg_config_home[0] == '/')
		return format_fits(buf, size,
				   snprintf(buf, size, "%s/" QM_CONFIG_TAIL,
					    xdg_config_home));
	if (!home || !home[0])
		return false;
	return format_fits(buf, size,
			   snprintf(buf, size, "%s/.config/" QM_CONFIG_TAIL,
				    home));
#endif
}

#ifdef _WIN32
// APPDATA in UTF-8, the encoding of every path the module hands on; the
// runtime's getenv gives it in the ANSI code page, which cannot hold every
// user name. False when it is unset, empty or does not fit.
static bool appdata_utf8(char *buf, size_t size)
{
	wchar_t wide[4096];
	DWORD n = GetEnvironmentVariableW(L"APPDATA", wide, 4096);
	if (n == 0 || n >= 4096)
		return false;
	return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, buf,
				   static_cast<int>(size), nullptr,
				   nullptr) > 0;
}

bool qm_config_dir(char *buf, size_t size)
{
	char appdata[4096];
	return qm_config_dir_from(
		appdata_utf8(appdata, sizeof(appdata)) ? appdata : nullptr,
		nullptr, nullptr, buf, size);
}
#else
bool qm_config_dir(char *buf, size_t size)
{
	return qm_config_dir_from(getenv("APPDATA"), getenv("XDG_CONFIG_HOME"),
				  getenv("HOME"), buf, size);
}
#endif

qm_test_failures qm_test_injected[QM_TEST_RESOURCE_KINDS];

bool qm_test_fails(qm_test_resource kind)
{
	qm_test_failures &f = qm_test_injected[kind];
	if (f.fail.load() <= 0)
		return false;
	if (f.succeed.load() > 0) {
		f.succeed--;
		return false;
	}
	f.fail--;
	return true;
}

bool qm_start_thread(std::thread &thread, void (*fn)(void *), void *arg)
{
	if (qm_test_fails(QM_TEST_THREAD_START))
		return false;
	try {
		thread = std::thread(fn, arg);
	} catch (...) {
		return false;
	}
	return true;
}

#ifdef _WIN32

bool qm_net_init()
{
	WSADATA wsa;
	return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}

void qm_net_cleanup()
{
	WSACleanup();
}

void qm_socket::reset()
{
	if (s_ != QM_NO_SOCKET)
		closesocket(s_);
	s_ = QM_NO_SOCKET;
}

static bool set_timeout(qm_socket_t s, bool for_sending, unsigned timeout_ms)
{
	DWORD value = timeout_ms;
	return setsockopt(s, SOL_SOCKET,
			  for_sending ? SO_SNDTIMEO : SO_RCVTIMEO,
			  reinterpret_cast<const char *>(&value),
			  sizeof(value)) == 0;
}

// Winsock applies SO_SNDTIMEO and SO_RCVTIMEO only to sockets made with
// WSA_FLAG_OVERLAPPED: without it a stalled controller would block a
// worker, and with it teardown, for ever.
static qm_socket_t open_stream_socket()
{
	return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
			  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

long qm_send_some(const qm_socket &s, const void *data, size_t len)
{
	int n = send(s.get(), static_cast<const char *>(data),
		     static_cast<int>(len), 0);
	return n < 0 ? -1 : n;
}

long qm_recv_some(const qm_socket &s, void *data, size_t len)
{
	int n = recv(s.get(), static_cast<char *>(data), static_cast<int>(len),
		     0);
	return n < 0 ? -1 : n;
}

// Paths come as UTF-8, as libobs takes them; the wide calls take them
// as they are, where the runtime's narrow ones would read them in the
// ANSI code page. Empty when the path is not valid UTF-8.
static std::wstring wide_path(const char *path)
{
	int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1,
				    nullptr, 0);
	if (n <= 0)
		return {};
	try {
		std::wstring wide(size_t(n), L'\0');
		if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1,
					&wide[0], n) != n)
			return {};
		wide.resize(size_t(n) - 1);
		return wide;
	} catch (...) {
		return {};
	}
}

// A runtime descriptor that owns the handle; the handle is closed when
// none can be made. Handles made without security attributes are never
// inherited.
static int handle_to_fd(HANDLE handle, int flags)
{
	if (handle == INVALID_HANDLE_VALUE)
		return -1;
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
				 flags | _O_BINARY | _O_NOINHERIT);
	if (fd < 0)
		CloseHandle(handle);
	return fd;
}

// Shared for deleting too: a file held open for reading must never make a
// writer's rename over it fail, the settings file being read every half
// second.
int qm_open_for_reading(const char *path)
{
	std::wstring wide = wide_path(path);
	if (wide.empty())
		return -1;
	return handle_to_fd(CreateFileW(wide.c_str(), GENERIC_READ,
					FILE_SHARE_READ | FILE_SHARE_WRITE |
						FILE_SHARE_DELETE,
					nullptr, OPEN_EXISTING,
					FILE_ATTRIBUTE_NORMAL, nullptr),
			    _O_RDONLY);
}

static bool regular_file_size(int fd, size_t *size)
{
	struct _stat64 st;
	if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG ||
	    st.st_size < 0)
		return false;
	*size = static_cast<size_t>(st.st_size);
	return true;
}

static long read_some(int fd, void *data, size_t len)
{
	return _read(fd, data, static_cast<unsigned>(len));
}

// Why the last open failed: nothing under the name.
static bool open_found_nothing()
{
	DWORD error = GetLastError();
	return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

int qm_create_private_file(const char *path)
{
	std::wstring wide = wide_path(path);
	if (wide.empty())
		return -1;
	// CREATE_NEW: never over an existing file. Nobody else writes to it
	// meanwhile.
	return handle_to_fd(CreateFileW(wide.c_str(), GENERIC_WRITE,
					FILE_SHARE_READ, nullptr, CREATE_NEW,
					FILE_ATTRIBUTE_NORMAL, nullptr),
			    _O_WRONLY);
}

long qm_write_some(int fd, const void *data, size_t len)
{
	return _write(fd, data, static_cast<unsigned>(len));
}

bool qm_close_file(int fd)
{
	return _close(fd) == 0;
}

void qm_remove_file(const char *path)
{
	std::wstring wide = wide_path(path);
	if (!wide.empty())
		DeleteFileW(wide.c_str());
}

qm_publish_result qm_publish_file(const char *temp, const char *path)
{
	std::wstring wide_temp = wide_path(temp);
	std::wstring wide = wide_path(path);
	// Without MOVEFILE_REPLACE_EXISTING an existing file is never
	// replaced.
	bool done = !wide_temp.empty() && !wide.empty() &&
		    MoveFileExW(wide_temp.c_str(), wide.c_str(), 0);
	return done ? qm_publish_result::done : qm_publish_result::failed;
}

#else

bool qm_net_init()
{
	return true;
}

void qm_net_cleanup() {}

void qm_socket::reset()
{
	if (s_ != QM_NO_SOCKET)
		close(s_);
	s_ = QM_NO_SOCKET;
}

static bool set_timeout(qm_socket_t s, bool for_sending, unsigned timeout_ms)
{
	timeval value{};
	value.tv_sec = static_cast<time_t>(timeout_ms / 1000);
	value.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
	return setsockopt(s, SOL_SOCKET,
			  for_sending ? SO_SNDTIMEO : SO_RCVTIMEO, &value,
			  sizeof(value)) == 0;
}

static qm_socket_t open_stream_socket()
{
	return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

long qm_send_some(const qm_socket &s, const void *data, size_t len)
{
	for (;;) {
		ssize_t n = send(s.get(), data, len, MSG_NOSIGNAL);
		if (n >= 0)
			return static_cast<long>(n);
		if (errno != EINTR)
			return -1;
	}
}

long qm_recv_some(const qm_socket &s, void *data, size_t len)
{
	for (;;) {
		ssize_t n = recv(s.get(), data, len, 0);
		if (n >= 0)
			return static_cast<long>(n);
		if (errno != EINTR)
			return -1;
	}
}

// Non-blocking, so that a FIFO planted under the name never holds us.
int qm_open_for_reading(const char *path)
{
	for (;;) {
		int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fd >= 0 || errno != EINTR)
			return fd;
	}
}

static bool regular_file_size(int fd, size_t *size)
{
	struct stat st;
	if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
		return false;
	*size = static_cast<size_t>(st.st_size);
	return true;
}

static long read_some(int fd, void *data, size_t len)
{
	for (;;) {
		ssize_t n = read(fd, data, len);
		if (n >= 0)
			return static_cast<long>(n);
		if (errno != EINTR)
			return -1;
	}
}

static bool open_found_nothing()
{
	return errno == ENOENT;
}

int qm_create_private_file(const char *path)
{
	// O_NOFOLLOW: a link planted in the folder is never written through.
	for (;;) {
		int fd = open(path,
			      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC |
				      O_NOFOLLOW,
			      0600);
		if (fd >= 0 || errno != EINTR)
			return fd;
	}
}

long qm_write_some(int fd, const void *data, size_t len)
{
	for (;;) {
		ssize_t n = write(fd, data, len);
		if (n >= 0)
			return static_cast<long>(n);
		if (errno != EINTR)
			return -1;
	}
}

bool qm_close_file(int fd)
{
	// The descriptor is gone after close even when it reports EINTR.
	return close(fd) == 0;
}

void qm_remove_file(const char *path)
{
	unlink(path);
}

// What a file system without the call in question reports.
static bool unsupported(int error)
{
	return error == EINVAL || error == ENOSYS || error == EPERM ||
	       error == ENOTSUP || error == EOPNOTSUPP;
}

qm_publish_result qm_publish_file(const char *temp, const char *path)
{
	if (renameat2(AT_FDCWD, temp, AT_FDCWD, path, RENAME_NOREPLACE) == 0)
		return qm_publish_result::done;
	if (!unsupported(errno))
		return qm_publish_result::failed;
	// A file system without an exclusive rename: a hard link fails as
	// well when the name is taken. vfat and exFAT have neither.
	if (link(temp, path) != 0)
		return unsupported(errno) ? qm_publish_result::unsupported
					  : qm_publish_result::failed;
	unlink(temp);
	return qm_publish_result::done;
}

#endif

qm_socket qm_connect_loopback(uint16_t port, bool for_sending,
			      unsigned timeout_ms)
{
	qm_socket s(open_stream_socket());
	if (!s.valid())
		return {};
	// Without its time-out a stalled peer could hold teardown forever.
	if (!set_timeout(s.get(), for_sending, timeout_ms))
		return {};

	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(port);
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	// An interrupted connect is a failed attempt like any other.
	if (connect(s.get(), reinterpret_cast<const sockaddr *>(&addr),
		    sizeof(addr)) != 0)
		return {};
	return s;
}

std::unique_ptr<char[]> qm_read_regular_file(const char *path, size_t max_size)
{
	int fd = qm_open_for_reading(path);
	if (fd < 0)
		return nullptr;
	std::unique_ptr<char[]> text;
	size_t size = 0;
	if (regular_file_size(fd, &size) && size <= max_size)
		text.reset(new (std::nothrow) char[size + 1]);

	// A file that shrinks while it is read ends where it ends.
	size_t done = 0;
	while (text && done < size) {
		long n = read_some(fd, text.get() + done, size - done);
		if (n < 0)
			text.reset();
		else if (n == 0)
			break;
		else
			done += size_t(n);
	}
	if (text)
		text[done] = '\0';
	qm_close_file(fd);
	return text;
}

// Hands on each whole line in buf[0, end) and moves the unfinished rest
// to the front; returns its length. skipping: the front of buf belongs
// to a line that was too long, which ends at the next line end.
static size_t pass_lines(char *buf, size_t end, size_t size, bool *skipping,
			 const std::function<void(std::string_view)> &line)
{
	size_t start = 0;
	for (size_t i = 0; i < end; i++) {
		if (buf[i] != '\n')
			continue;
		if (!*skipping)
			line(std::string_view(buf + start, i - start));
		*skipping = false;
		start = i + 1;
	}
	if (start == 0 && end == size) {
		*skipping = true;
		return 0;
	}
	memmove(buf, buf + start, end - start);
	return end - start;
}

qm_read_status
qm_for_each_line(const char *path, size_t max_bytes,
		 const std::function<void(std::string_view)> &line)
{
	int fd = qm_open_for_reading(path);
	if (fd < 0)
		return open_found_nothing() ? qm_read_status::missing
					    : qm_read_status::failed;
	char buf[4096];
	size_t kept = 0, total = 0;
	bool skipping = false;
	qm_read_status status = qm_read_status::failed;
	for (;;) {
		long n = read_some(fd, buf + kept, sizeof(buf) - kept);
		if (n < 0 || (total += size_t(n)) > max_bytes)
			break;
		if (n == 0) {
			if (kept > 0 && !skipping)
				line(std::string_view(buf, kept));
			status = qm_read_status::done;
			break;
		}
		kept = pass_lines(buf, kept + size_t(n), sizeof(buf), &skipping,
				  line);
	}
	qm_close_file(fd);
	return status;
}
