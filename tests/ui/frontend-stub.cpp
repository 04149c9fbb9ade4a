#include "frontend-stub.hpp"

#include <obs.h>
#include <util/bmem.h>
#include <util/darray.h>

#include <QMainWindow>

#include <algorithm>
#include <utility>

namespace {

std::vector<std::string> scenes;
std::string currentScene;
std::string collection = "Sin título";
QMainWindow *mainWindow = nullptr;
bool acceptDocks = true;
std::vector<std::pair<obs_frontend_event_cb, void *>> callbacks;

} // namespace

namespace frontend {

void setScenes(const std::vector<std::string> &names)
{
	scenes = names;
}

void setCurrentScene(const std::string &name)
{
	currentScene = name;
}

void setCollection(const std::string &name)
{
	collection = name;
}

void setMainWindow(QMainWindow *window)
{
	mainWindow = window;
}

void setAcceptDocks(bool accept)
{
	acceptDocks = accept;
}

void emitEvent(obs_frontend_event event)
{
	const auto registered = callbacks;
	for (const auto &callback : registered) {
		callback.first(event, callback.second);
	}
}

void switchScene(const std::string &name)
{
	currentScene = name;
	emitEvent(OBS_FRONTEND_EVENT_SCENE_CHANGED);
	emitEvent(OBS_FRONTEND_EVENT_TRANSITION_STOPPED);
}

void switchCollection(const std::string &name)
{
	emitEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING);
	collection = name;
	emitEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
}

size_t callbackCount()
{
	return callbacks.size();
}

} // namespace frontend

extern "C" {

void obs_frontend_get_scenes(struct obs_frontend_source_list *sources)
{
	for (const std::string &name : scenes) {
		if (obs_source_t *scene = obs_get_source_by_name(name.c_str())) {
			da_push_back(sources->sources, &scene);
		}
	}
}

// No profile: OBS's recording folder falls back to the user's videos folder.
config_t *obs_frontend_get_profile_config(void)
{
	return nullptr;
}

obs_source_t *obs_frontend_get_current_scene(void)
{
	return currentScene.empty() ? nullptr : obs_get_source_by_name(currentScene.c_str());
}

char **obs_frontend_get_scene_collections(void)
{
	// One block, as OBS gives it: the pointers, then the name they point at.
	char **list = static_cast<char **>(bzalloc(2 * sizeof(char *) + collection.size() + 1));
	list[0] = reinterpret_cast<char *>(list + 2);
	std::copy(collection.begin(), collection.end(), list[0]);
	return list;
}

char *obs_frontend_get_current_scene_collection(void)
{
	return bstrdup(collection.c_str());
}

void *obs_frontend_get_main_window(void)
{
	return mainWindow;
}

void *obs_frontend_add_dock(void *dock)
{
	return acceptDocks ? dock : nullptr;
}

config_t *obs_frontend_get_global_config(void)
{
	return nullptr;
}

// OBS's own outputs before its first stream or recording.
obs_output_t *obs_frontend_get_streaming_output(void)
{
	return nullptr;
}

obs_output_t *obs_frontend_get_recording_output(void)
{
	return nullptr;
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *data)
{
	callbacks.emplace_back(callback, data);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *data)
{
	callbacks.erase(std::remove(callbacks.begin(), callbacks.end(), std::make_pair(callback, data)),
			callbacks.end());
}
}
