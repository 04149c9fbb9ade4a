#pragma once

#include <obs-frontend-api.h>

class ConfigStore;

// Makes the settings store and loads it, once; run at post-load and again at the finished-loading event.
void createPanel();

// At unload: shuts down what createPanel made, unless the exit event already did.
void shutdownPanel();

void registerFrontendEvents();
void unregisterFrontendEvents();
void onFrontendEvent(enum obs_frontend_event event, void *data);

// The module's settings store, or null before createPanel made one.
ConfigStore *moduleStore();
