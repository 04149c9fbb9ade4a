#pragma once

// The two global entry points of the SRT library, found at run time in whatever copy the process uses.
struct SrtEntryPoints {
	bool libraryFound = false;
	int (*startup)() = nullptr;
	int (*cleanup)() = nullptr;
};

// Platform part: finds the SRT library already loaded in the process, else loads it; never unloads it.
SrtEntryPoints findSrtLibrary();

// Holds references on the SRT library's global state for the module's whole life, so that one SRT stream
// that closes does not tear the library down under the others.
class SrtHold {
public:
	static constexpr int maxReferences = 1000;

	void acquire(const SrtEntryPoints &entryPoints);
	void release();
	int references() const { return srtReferences; }

private:
	int srtReferences = 0;
	int (*cleanupFunction)() = nullptr;
};
