#pragma once

#include <obs-module.h>

#include <QString>

// The module's start-up and shutdown, run by OBS's entry points.
bool moduleLoad(obs_module_t *module);
void modulePostLoad();
void moduleUnload();

// Absolute path of the settings file, with the one-time copy from the legacy folder; empty when OBS gives
// no configuration folder.
QString locateSettings();

// The migration step alone, for the path OBS gave.
QString locateSettingsAt(const QString &path);
