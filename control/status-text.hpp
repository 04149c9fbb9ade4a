#pragma once

#include "engine/dest-output.hpp"

#include <QList>
#include <QString>

struct EntryConfig;

// What a destination's status line shows.
struct StatusLine {
	QString text;
	QString styleSheet;
};
StatusLine statusLine(const DestStatus &status);

// "12:34", or "1:02:03" from an hour on.
QString clockText(int seconds);
// "850 KB", "12.3 MB", "1.2 GB".
QString sizeText(uint64_t bytes);
// The small mark beside a live stream: how long it has been live, coloured as OBS's status bar colours its
// congestion, with the congestion and dropped frames in the tooltip. Empty text when there is nothing to show.
struct LiveMark {
	QString text;
	QString styleSheet;
	QString toolTip;
};
LiveMark liveMark(const DestStatus &status);

// The stream button's text and style for a destination that runs (active) or not.
QString streamButtonText(bool active, DestState state);
QString streamButtonStyle(bool active);

// A message to show when a destination's state changes between two refreshes; empty text when there is none.
struct TransitionMessage {
	QString text;
	bool isError = false;
	bool recovered = false;
};
TransitionMessage transitionMessage(DestState previous, const DestStatus &status, const QString &label);

// An address as cards show it: trimmed, with every part that may carry secrets (query, user name and password,
// path after the first segment) cut to "…".
QString displayAddress(const QString &address);

// "«entry» → host" for messages about one destination.
QString destinationLabel(const EntryConfig &entry, const QString &address);

// "850 kbps", "4.0 Mbps".
QString rateText(int kbps);
// What a card says its entry costs: "1 video encode · x264 1280×720 · 4.0 Mbps".
QString encodeBill(const QString &encoderName, uint32_t width, uint32_t height, int videoKbps);
// The same for an entry, asking OBS for the encoder's name and, for an entry at OBS's size, that size.
QString entryBill(const EntryConfig &entry);
// An entry of OBS's program that sends OBS's own encoded stream or recording: it encodes nothing.
bool sharesObsEncoder(const EntryConfig &entry);
// What the destinations that stream (not the recordings) send now, in kbps.
int uploadKbps(const QList<DestStatus> &statuses);
// The dock's total upload of everything live: "↑ 9.5 Mbps".
QString uploadText(int kbps);

// A card title for a source name: the scene prefix for a scene, the source prefix for anything else.
QString sourceLabelFor(const QString &name, bool isScene);
// The same, asking OBS whether the name is a scene.
QString sourceLabel(const QString &name);
