#pragma once

// The panel's side of a newer version: the text of the update bar and the log line.

#include "base/version.hpp"

#include <QString>

// "⬆ Hay una versión nueva: %1 (tienes la %2)." plus " Novedades: %1" when there are notes, translated.
QString updateNoticeText(const QString &version, const QString &notes, const char *localVersion = moduleVersion);

// Logs at info level that a newer version is available.
void logNewerVersion(const QString &version);
