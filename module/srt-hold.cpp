#include "module/srt-library.hpp"
#include "base/log.hpp"

void SrtHold::acquire(const SrtEntryPoints &entryPoints)
{
	if (!entryPoints.libraryFound) {
		logMessage(LOG_WARNING, "SRT library not found; streams to SRT servers may cut each other");
		return;
	}
	if (!entryPoints.startup || !entryPoints.cleanup) {
		return;
	}
	cleanupFunction = entryPoints.cleanup;
	for (int i = 0; i < maxReferences; ++i) {
		if (entryPoints.startup() < 0) {
			break;
		}
		++srtReferences;
	}
	logMessage(LOG_INFO, "SRT protection active (%d references)", srtReferences);
}

void SrtHold::release()
{
	if (cleanupFunction) {
		for (int i = 0; i < srtReferences; ++i) {
			cleanupFunction();
		}
	}
	srtReferences = 0;
	cleanupFunction = nullptr;
}
