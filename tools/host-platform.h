// What differs between Linux and Windows in the headless host, in one
// place: the graphics platform libobs starts on and where it finds its
// data, the module's file, temporary folders and the environment variable
// that leads the module to its configuration folder, and the process's
// threads.
#pragma once

#include <string>

namespace qm_host::platform {

// Before obs_startup. Linux: opens the X display (run under xvfb-run) and
// selects the X11 EGL platform. Windows: libobs's default platform.
bool open_graphics(std::string *error);
// After obs_shutdown.
void close_graphics();

// After obs_startup, before video starts. Windows: the folder named by
// QM_OBS_DATA (the runtime's effects) becomes a libobs data folder, for a
// runtime that does not keep them where libobs looks by itself.
void add_data_paths();

// Linux: keeps every library loaded by now mapped until the process ends,
// so that leak reports written at exit can name them. Windows: nothing.
void pin_loaded_libraries();

// The module file to load for path: as given, except that on Windows a
// bare file name is looked for beside the program.
std::string module_file(const std::string &path);

// Creates a fresh folder in the system's temporary folder, named after
// prefix. False when it cannot.
bool make_temp_dir(const std::string &prefix, std::string *dir);

// Makes dir the folder the module's configuration folder lies below:
// XDG_CONFIG_HOME on Linux, APPDATA on Windows.
void set_config_home(const std::string &dir);
// The module's configuration folder below dir, joined with the
// platform's separator.
std::string module_config_dir(const std::string &dir);

// Allocations that libobs itself still counts after obs_shutdown, with or
// without any module loaded.
long libobs_own_allocations();

// Threads of this process right now; -1 when they cannot be counted.
int thread_count();

} // namespace qm_host::platform
