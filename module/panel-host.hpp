#pragma once

#include <obs-frontend-api.h>

class ConfigStore;
class EntryController;
class SalidasPanel;

// Makes the settings store and the entry controller, once: the module's entries run from then on, dock or not.
void createController();
// Makes the controller if needed, then the panel, and docks it, once; run at post-load and again at the
// finished-loading event.
void createPanel();

// At OBS's exit or, at the latest, at unload: every entry stops, and nothing starts afterwards.
void shutdownController();
// At unload, once the outputs have ended: the controller goes, with its hotkeys.
void destroyController();

// At unload at the latest: the scenes and sources held while OBS cleared them are let go of.
void releaseHeldScenes();

void registerFrontendEvents();
void unregisterFrontendEvents();
void onFrontendEvent(enum obs_frontend_event event, void *data);

// The module's settings store, or null before createPanel made one.
ConfigStore *moduleStore();
// The controller, or null before createController made one and after the unload.
EntryController *moduleController();
// The docked panel, or null before it was docked and after OBS destroyed it.
SalidasPanel *modulePanel();
