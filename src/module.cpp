// Module entry points: the only symbols the library exports.
#include "direct-filter.h"

OBS_DECLARE_MODULE()

bool obs_module_load(void)
{
	if (!qm_net_init())
		return false;
	obs_register_source(&filter);
	return true;
}

void obs_module_unload(void)
{
	qm_net_cleanup();
}
