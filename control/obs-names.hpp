#pragma once

#include "engine/entry-pipeline.hpp"

#include <QList>
#include <QStringList>

// OBS's scenes in the frontend's order, each name once (the frontend may list a scene twice) and none removed.
QStringList sceneNames();

// OBS's input sources in enumeration order, none removed; never scenes, groups, filters or transitions.
QStringList inputSourceNames();

// What an entry can send: every scene, then every input source, each name once.
struct SourceChoice {
	QString name;
	bool isScene = false;
};
QList<SourceChoice> sourceChoices();

// The folder OBS's own recording writes to (the current profile's), or the user's videos folder.
QString obsRecordingFolder();
// The mixer track (1 to 6) whose sound OBS's own stream sends, from its output settings.
int obsStreamTrack();

// The encoders OBS's own stream or recording last started with (none before its first start, nor after OBS made
// new ones for changed output settings): what an entry sharing them sends.
ObsEncoders obsOwnEncoders(ObsEncoderKind kind);
