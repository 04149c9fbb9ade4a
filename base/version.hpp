#pragma once

// The module's own version, as shown in its log lines. The project's version in CMake is the only source: the
// build passes it to every library and test.
#ifndef TALLOWMERE_VERSION
#error "TALLOWMERE_VERSION is defined by the build from the project's version"
#endif
constexpr const char *moduleVersion = TALLOWMERE_VERSION;
