#include "module/srt-library.hpp"

#include <dlfcn.h>

#include <initializer_list>

// OBS's own SRT output calls srt_* in whichever libsrt the process loaded first (on Debian two copies load,
// and the calls resolve to the first), so the references must be taken in that same copy.
SrtEntryPoints findSrtLibrary()
{
	SrtEntryPoints found;
	void *startup = dlsym(RTLD_DEFAULT, "srt_startup");
	void *cleanup = dlsym(RTLD_DEFAULT, "srt_cleanup");
	if (startup || cleanup) {
		found.libraryFound = true;
	} else {
		for (const char *name :
		     {"libsrt-gnutls.so.1.5", "libsrt.so.1.5", "libsrt-openssl.so.1.5", "libsrt.so.1", "libsrt.so"}) {
			// Deliberately never closed: the references taken below must outlive every SRT stream.
			void *library = dlopen(name, RTLD_NOW | RTLD_GLOBAL);
			if (library) {
				found.libraryFound = true;
				startup = dlsym(library, "srt_startup");
				cleanup = dlsym(library, "srt_cleanup");
				break;
			}
		}
	}
	found.startup = reinterpret_cast<int (*)()>(startup);
	found.cleanup = reinterpret_cast<int (*)()>(cleanup);
	return found;
}
