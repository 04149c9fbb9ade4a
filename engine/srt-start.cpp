#include "engine/srt-start.hpp"

#include <atomic>

namespace {

std::atomic<SrtStartHook> srtStartHook{nullptr};

} // namespace

void setSrtStartHook(SrtStartHook hook)
{
	srtStartHook = hook;
}

void notifySrtStart()
{
	if (SrtStartHook hook = srtStartHook.load()) {
		hook();
	}
}
