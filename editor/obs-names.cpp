#include "editor/obs-names.hpp"

#include <obs-frontend-api.h>
#include <obs.h>

QStringList sceneNames()
{
	QStringList names;
	obs_frontend_source_list scenes = {};
	obs_frontend_get_scenes(&scenes);
	for (size_t i = 0; i < scenes.sources.num; ++i) {
		if (const char *name = obs_source_get_name(scenes.sources.array[i])) {
			names.append(QString::fromUtf8(name));
		}
	}
	obs_frontend_source_list_free(&scenes);
	return names;
}

QStringList inputSourceNames()
{
	QStringList names;
	obs_enum_sources(
		[](void *param, obs_source_t *source) {
			const char *name = obs_source_get_name(source);
			if (name && obs_source_get_type(source) == OBS_SOURCE_TYPE_INPUT &&
			    !obs_source_is_group(source)) {
				static_cast<QStringList *>(param)->append(QString::fromUtf8(name));
			}
			return true;
		},
		&names);
	return names;
}
