#pragma once

#include <obs-frontend-api.h>

class EntryController;

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

// The controller, or null before createController made one and after the unload.
EntryController *moduleController();
