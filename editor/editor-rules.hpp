#pragma once

// Rules of the entry editor that need no widgets.

#include "config/config-store.hpp"
#include "engine/addresses.hpp"

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <cstdint>
#include <functional>

// Platform templates of a destination row: translated name and fixed ingest address.
struct DestTemplate {
	const char *name;
	const char *address;
};
constexpr int destTemplateCount = 7;
extern const DestTemplate destTemplates[destTemplateCount];

// The template whose address is the stored address exactly (bare scheme templates never match), or -1.
int templateForAddress(const QString &url);

// What a destination row shows for the address and key typed so far; it says when the key will be taken from the
// address.
struct DetectedType {
	QString typeLine;
	QString keyPlaceholder;
	bool showPassphrase = false;
};
DetectedType detectedTypeFor(const QString &address, const QString &key = QString());

// A destination row's three texts as typed.
struct DestTexts {
	QString url;
	QString key;
	QString passphrase;
	// A recording to a file: its folder (empty: OBS's recording folder), file name and format.
	bool recording = false;
	QString folder;
	QString pattern;
	QString format;
};

// Blank rows are neither checked, numbered nor stored. Keys are not trimmed: spaces count as typed.
bool isBlankDestination(const DestTexts &texts);
// The first problem among the rows, numbering only the non-blank ones from 1; empty when all pass.
QString firstDestinationProblem(const QList<DestTexts> &rows);
// The destination stored from a row: the record the row was built from (its id and anything that could not be
// opened on this computer) with the typed texts; a passphrase only for SRT. A stream key pasted at the end of an
// RTMP address, with the key field empty, is taken out of the address into the key.
DestConfig destinationFromRow(const DestConfig &source, const DestTexts &texts);

// Picture size presets, in the order offered.
struct SizePreset {
	const char *label;
	int width;
	int height;
};
constexpr int sizePresetCount = 6;
extern const SizePreset sizePresets[sizePresetCount];
QString customSizeLabel(int width, int height);

constexpr int audioBitrateChoices[] = {96, 128, 160, 192, 256};

// The frame rates an entry can have: OBS's own ("Como OBS (60 fps)") first, then where OBS can encode at a
// fraction of its rate, that rate divided by 2, 3… while it stays at 10 fps or more.
struct FrameRateChoice {
	int divisor = 1;
	QString label;
};
QList<FrameRateChoice> frameRateChoices(uint32_t fpsNum, uint32_t fpsDen, bool fractionsSupported);

// One video encoder as OBS describes it; displayName is null when OBS gives none.
struct EncoderCandidate {
	QString id;
	QString displayName;
	bool video = false;
	QString codec;
	bool deprecated = false;
	bool internal = false;
};
struct EncoderChoice {
	QString id;
	QString label;
};
// Usable hardware H.264 encoders first (the first one recommended), then the CPU's x264, then encoders of other
// codecs (HEVC, AV1), each named with its codec.
QList<EncoderChoice> orderEncoderChoices(const QList<EncoderCandidate> &candidates);

// The first destination row that cannot carry the entry's video or audio codec, said with what it carries; empty
// when every one can. carried(kind, video) lists what that kind's output carries (empty: it does not say).
QString codecProblem(const QList<DestTexts> &rows, const QString &videoCodec, const QString &audioCodec,
		     const std::function<QStringList(AddressKind, bool)> &carried);

// "⚠ name (ya no existe)": a scene or source that OBS no longer has.
QString missingNameText(const QString &name);
// The stored equivalences from the rows in display order: pairs with an empty or unchanged side are dropped,
// and a later row for the same OBS scene replaces an earlier one.
QMap<QString, QString> equivalencesFromRows(const QList<QPair<QString, QString>> &rows);

// Profile names match ignoring case; the first match counts. -1 when none.
int findProfile(const QList<ProfileConfig> &profiles, const QString &name);
QString profileItemText(const ProfileConfig &profile);
// Appends a new name or overwrites the profile of the same name in place; returns its position.
int storeProfile(QList<ProfileConfig> &profiles, const ProfileConfig &profile);
