// Windows part of the SRT library lookup: no Qt, so it can be syntax-checked with a cross compiler.
#include "module/srt-library.hpp"

#include <windows.h>

SrtEntryPoints findSrtLibrary()
{
	SrtEntryPoints found;
	HMODULE library = GetModuleHandleW(L"srt.dll");
	if (!library) {
		// Deliberately never freed: the references taken on it must outlive every SRT stream.
		library = LoadLibraryW(L"srt.dll");
	}
	if (!library) {
		return found;
	}
	found.libraryFound = true;
	found.startup = reinterpret_cast<int (*)()>(reinterpret_cast<void *>(GetProcAddress(library, "srt_startup")));
	found.cleanup = reinterpret_cast<int (*)()>(reinterpret_cast<void *>(GetProcAddress(library, "srt_cleanup")));
	return found;
}
