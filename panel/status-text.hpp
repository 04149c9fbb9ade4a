#pragma once

#include "engine/dest-output.hpp"

#include <QString>

struct EntryConfig;

// What a destination's status line shows.
struct StatusLine {
	QString text;
	QString styleSheet;
};
StatusLine statusLine(const DestStatus &status);

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

// A card title for a source name: the scene prefix for a scene, the source prefix for anything else.
QString sourceLabelFor(const QString &name, bool isScene);
// The same, asking OBS whether the name is a scene.
QString sourceLabel(const QString &name);
