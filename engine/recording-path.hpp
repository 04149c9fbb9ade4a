#pragma once

#include <QString>

// The file a recording writes. OBS's muxer truncates whatever is at its path, so a recording never starts on a name
// that exists, that another recording of this process has taken, or that one of OBS's own outputs is writing: it
// takes the first free one of "name.mkv", "name (2).mkv", "name (3).mkv"… and holds it with an empty file until
// the muxer opens it, which OBS's own free-name search sees too.
namespace recordingPath {

// The name a pattern gives, made safe to pass on: no folder separators (it always lands in its folder), no
// characters a shell would expand where OBS starts its muxer through one, and short enough to keep its extension.
QString fileName(const QString &pattern, const QString &extension);

// Why OBS cannot be given this folder safely, or empty when it can.
QString folderProblem(const QString &folder);

// The problem with destination number `number`'s recording folder and file name as typed, translated, or an empty
// text when they are usable: a name always stays in its folder. Whether the folder can be written is seen when
// it starts (it may be on a drive plugged in later).
QString recordingProblem(const QString &folder, const QString &pattern, int number);

// Takes a free name in the folder for the pattern; empty with the reason when the folder cannot be written.
QString reserve(const QString &folder, const QString &pattern, const QString &extension, QString *error);

// Lets go of a name taken by reserve. unused: no muxer was started on it, so the held file goes too while it is
// still empty.
void release(const QString &path, bool unused);

} // namespace recordingPath
