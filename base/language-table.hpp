#pragma once

#include <cstddef>

namespace tallowmere {

struct LanguagePair {
	const char *spanish;
	const char *english;
};

extern const LanguagePair languageTable[];
extern const size_t languageTableSize;

} // namespace tallowmere
