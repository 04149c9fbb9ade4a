#pragma once

// A link-time stand-in for the OBS application's side of the frontend interface: the scene list, the live scene,
// the scene collection, the main window and docks, and the event callbacks, driven by the test.

#include <obs-frontend-api.h>

#include <string>
#include <vector>

class QMainWindow;

namespace frontend {

// Scenes in the frontend's order (they must exist in libobs); the live scene; the collection's name.
void setScenes(const std::vector<std::string> &names);
void setCurrentScene(const std::string &name);
void setCollection(const std::string &name);
// The window docks go into (null: none).
void setMainWindow(QMainWindow *window);
// Whether obs_frontend_add_dock accepts a dock.
void setAcceptDocks(bool accept);
// Runs the registered event callbacks, as OBS does.
void emitEvent(obs_frontend_event event);
// OBS switching its live scene: the scene-changed event, then the transition-stopped one.
void switchScene(const std::string &name);
// OBS switching scene collection: changing, then changed.
void switchCollection(const std::string &name);
size_t callbackCount();

} // namespace frontend
