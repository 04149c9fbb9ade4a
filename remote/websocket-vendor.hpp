#pragma once

class EntryController;
struct DestStateChange;

// Control from obs-websocket: the vendor "tallowmere", its requests and the event DestinationStateChanged.

// At post-load: registers the vendor and its requests with obs-websocket when it is loaded (one info line when it
// is not).
void openRemoteControl();
// The controller requests act on, kept current in what requests from OBS's graphics thread are answered from.
void attachRemoteControl(EntryController *controller);
// At OBS's exit, while obs-websocket still runs: answers every waiting and later request with an error and, when
// unregister is true, takes the requests back so that obs-websocket never calls this module again. At unload
// (unregister false) obs-websocket may already be gone: the requests are only answered with the error.
void closeRemoteControl(bool unregister);
// The controller's state listener: emits DestinationStateChanged.
void emitStateChange(const DestStateChange &change);
