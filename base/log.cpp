#include "base/log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

void logMessage(int level, const char *format, ...)
{
	static const char prefix[] = "[tallowmere] ";
	std::vector<char> line(sizeof(prefix) + std::strlen(format));
	std::snprintf(line.data(), line.size(), "[%s] %s", "tallowmere", format);

	va_list args;
	va_start(args, format);
	blogva(level, line.data(), args);
	va_end(args);
}
