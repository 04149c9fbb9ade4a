#pragma once

#include <QByteArray>
#include <QString>

// Whether a main window layout saved by OBS (QMainWindow::saveState, Base64 as OBS stores it) holds the dock
// with this object name.
bool dockStateKnows(const QByteArray &savedStateBase64, const QString &objectName);
