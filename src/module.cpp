// Module entry points: the only symbols the library exports.
#include "direct-filter.h"

#include <cstring>

OBS_DECLARE_MODULE()

namespace {

// Set once the network layer has started, so that unloading a copy that
// never started it leaves the other copy's alone.
bool net_started = false;

struct other_copy {
	obs_module_t *self;
	const char *path;
};

bool same_text(const char *a, const char *b)
{
	return a && b && strcmp(a, b) == 0;
}

// Another module of our file name from another file: a copy of ours.
void find_other_copy(void *param, obs_module_t *module) noexcept
{
	auto *copy = static_cast<other_copy *>(param);
	const char *path = obs_get_module_binary_path(module);
	if (module != copy->self &&
	    same_text(obs_get_module_file_name(module),
		      obs_get_module_file_name(copy->self)) &&
	    path && !same_text(path, obs_get_module_binary_path(copy->self)))
		copy->path = path;
}

// OBS Studio loads every copy it finds, the package's and one installed
// by the user alike, and the first keeps the filter. A later copy says
// so and registers nothing, so that the first one is never shadowed.
bool is_second_copy()
{
	other_copy copy{obs_current_module(), nullptr};
	obs_enum_modules(find_other_copy, &copy);
	if (!copy.path)
		return false;
	const char *own = obs_get_module_binary_path(copy.self);
	blog(LOG_WARNING,
	     "Quilmar: two copies of the module are loaded: %s is in use, "
	     "%s is ignored; remove one of them",
	     copy.path, own ? own : "?");
	return true;
}

} // namespace

bool obs_module_load(void)
{
	if (is_second_copy())
		return true;
	if (!qm_net_init())
		return false;
	net_started = true;
	obs_register_source(&filter);
	return true;
}

void obs_module_unload(void)
{
	if (net_started)
		qm_net_cleanup();
	net_started = false;
}
