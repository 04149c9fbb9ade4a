#pragma once

// The module's own version, as shown in its log lines.
constexpr const char *moduleVersion = "1.0.6";
