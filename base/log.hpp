#pragma once

#include <util/base.h>

#if defined(__GNUC__) || defined(__clang__)
#define TALLOWMERE_PRINTF(f, a) __attribute__((__format__(__printf__, f, a)))
#else
#define TALLOWMERE_PRINTF(f, a)
#endif

// Writes one line to the OBS log, prefixed with "[tallowmere] ". Never pass a stream key, passphrase or
// address query in the arguments.
void logMessage(int level, const char *format, ...) TALLOWMERE_PRINTF(2, 3);
