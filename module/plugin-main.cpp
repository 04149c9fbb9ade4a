// OBS's entry points; the module's logic lives in its libraries.
#include "module/lifecycle.hpp"

#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("tallowmere", "en-US")

bool obs_module_load(void)
{
	return moduleLoad(obs_current_module());
}

void obs_module_post_load(void)
{
	modulePostLoad();
}

void obs_module_unload(void)
{
	moduleUnload();
}
