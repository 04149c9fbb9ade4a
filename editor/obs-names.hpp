#pragma once

#include <QStringList>

// OBS's scenes in the frontend's order.
QStringList sceneNames();

// OBS's input sources in enumeration order; never scenes, groups, filters or transitions.
QStringList inputSourceNames();
