#include "host-platform.h"

// Windows headers before any libobs header, or their intrinsics clash
// with SIMDe's.
#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#endif

#include <obs.h>

#ifndef _WIN32
#include <obs-nix-platform.h>

#include <X11/Xlib.h>
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qm_host::platform {

#ifdef _WIN32

bool open_graphics(std::string *)
{
	return true;
}

void close_graphics() {}

void add_data_paths()
{
	const char *data = getenv("QM_OBS_DATA");
	if (data && *data)
		obs_add_data_path(data);
}

void pin_loaded_libraries() {}

std::string module_file(const std::string &path)
{
	if (path.find_first_of("\\/:") != std::string::npos)
		return path;
	char program[MAX_PATH];
	DWORD n = GetModuleFileNameA(nullptr, program, sizeof(program));
	if (n == 0 || n >= sizeof(program))
		return path;
	std::string dir(program, n);
	return dir.substr(0, dir.find_last_of("\\/") + 1) + path;
}

bool make_temp_dir(const std::string &prefix, std::string *dir)
{
	std::error_code ec;
	std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
	if (ec)
		return false;
	for (unsigned i = 0; i < 1000; i++) {
		std::string name =
			prefix + "-" + std::to_string(GetCurrentProcessId()) +
			"-" + std::to_string(GetTickCount64() % 100000 + i);
		std::string path = (tmp / name).string();
		if (CreateDirectoryA(path.c_str(), nullptr)) {
			*dir = path;
			return true;
		}
		if (GetLastError() != ERROR_ALREADY_EXISTS)
			return false;
	}
	return false;
}

void set_config_home(const std::string &dir)
{
	_putenv_s("APPDATA", dir.c_str());
}

std::string module_config_dir(const std::string &dir)
{
	return dir + "\\obs-studio\\plugin_config\\quilmar-direct";
}

// The Windows build of libobs 31.1.1 keeps two of its own after a bare
// obs_startup and obs_shutdown.
long libobs_own_allocations()
{
	return 2;
}

int thread_count()
{
	HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
	if (snapshot == INVALID_HANDLE_VALUE)
		return -1;
	DWORD self = GetCurrentProcessId();
	int count = 0;
	THREADENTRY32 entry;
	entry.dwSize = sizeof(entry);
	for (BOOL more = Thread32First(snapshot, &entry); more;
	     more = Thread32Next(snapshot, &entry))
		if (entry.th32OwnerProcessID == self)
			count++;
	CloseHandle(snapshot);
	return count;
}

#else

namespace {
Display *x_display = nullptr;
}

bool open_graphics(std::string *error)
{
	x_display = XOpenDisplay(nullptr);
	if (!x_display) {
		if (error)
			*error =
				"cannot open the X display (run under xvfb-run)";
		return false;
	}
	obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
	obs_set_nix_platform_display(x_display);
	return true;
}

void close_graphics()
{
	if (x_display)
		XCloseDisplay(x_display);
	x_display = nullptr;
}

void add_data_paths() {}

// obs_shutdown unloads the graphics module, its drivers and the module
// under test. Leak reports written at exit can name a library only while
// it is mapped, so every library loaded by now stays loaded.
void pin_loaded_libraries()
{
	FILE *maps = fopen("/proc/self/maps", "r");
	if (!maps)
		return;
	char line[4096];
	while (fgets(line, sizeof(line), maps)) {
		const char *path = strchr(line, '/');
		if (!path || !strstr(path, ".so"))
			continue;
		line[strcspn(line, "\n")] = '\0';
		// RTLD_NOLOAD only marks what is already loaded.
		dlopen(path, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
	}
	fclose(maps);
}

std::string module_file(const std::string &path)
{
	return path;
}

bool make_temp_dir(const std::string &prefix, std::string *dir)
{
	std::error_code ec;
	std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
	if (ec)
		tmp = "/tmp";
	std::string pattern = (tmp / (prefix + "-XXXXXX")).string();
	if (!mkdtemp(pattern.data()))
		return false;
	*dir = pattern;
	return true;
}

void set_config_home(const std::string &dir)
{
	setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
}

std::string module_config_dir(const std::string &dir)
{
	return dir + "/obs-studio/plugin_config/quilmar-direct";
}

long libobs_own_allocations()
{
	return 0;
}

int thread_count()
{
	DIR *dir = opendir("/proc/self/task");
	if (!dir)
		return -1;
	int count = 0;
	while (dirent *entry = readdir(dir))
		if (entry->d_name[0] != '.')
			count++;
	closedir(dir);
	return count;
}

#endif

} // namespace qm_host::platform
