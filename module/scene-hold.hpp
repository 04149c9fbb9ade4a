#pragma once

#include <obs.hpp>

#include <vector>

// OBS removes a scene collection by walking its scenes and sources and, on each step, reads the next one after
// letting go of the current one. When that was the last reference, OBS's destroy thread may already have wiped it,
// and the walk ends early: every later scene stays, with its sources, OBS logs "Not all sources were cleared", keeps
// its saving disabled for the rest of the session and, at exit, crashes. Holding every scene and source while OBS
// clears them keeps each step on a live object; they are let go of once OBS has removed them all.
class SceneHold {
public:
	// Before OBS clears its scenes (its closing, a collection about to change).
	void take();
	// Once OBS has removed them (the collection's clean-up), or at the latest at exit and unload.
	void release();

private:
	std::vector<OBSSourceAutoRelease> held;
};
