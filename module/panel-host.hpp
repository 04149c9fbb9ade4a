#pragma once

#include <obs-frontend-api.h>

class ConfigStore;
class SalidasPanel;

// Makes the settings store and the panel and docks it, once; run at post-load and again at the finished-loading
// event.
void createPanel();

// At unload: shuts the panel down, unless the exit event already did.
void shutdownPanel();

void registerFrontendEvents();
void unregisterFrontendEvents();
void onFrontendEvent(enum obs_frontend_event event, void *data);

// The module's settings store, or null before createPanel made one.
ConfigStore *moduleStore();
// The docked panel, or null before it was docked and after OBS destroyed it.
SalidasPanel *modulePanel();
