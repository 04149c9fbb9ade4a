#pragma once

// Run on the UI thread just before an SRT destination starts its output, so that the host can take what SRT
// needs at that moment (and only if SRT is used at all).
using SrtStartHook = void (*)();
void setSrtStartHook(SrtStartHook hook);
void notifySrtStart();
