#pragma once

// Rules of the update check that need no network and no widgets: the version grammar, the trusted download
// address, the cleaning of release notes and the reading of the version document.

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The numbers of a version such as "1.0.6": one to four numbers of one to four ASCII digits, separated by
// single dots, after trimming. Empty when the text is not a version.
QList<int> parseVersion(const QString &text);

// True when both texts are versions and remote is the higher one (a missing number counts as 0).
bool isNewerVersion(const QString &remote, const QString &local);

// True when address starts with the site prefix (case-sensitive) and holds no white space or control
// character. A prefix that is not an https base address ending in a slash after the host trusts nothing.
bool isTrustedDownloadUrl(const QString &address, const QString &trustedSitePrefix);

// Release notes as one short line of plain text: no control or markup characters, no characters outside the
// Basic Multilingual Plane, white space collapsed, at most 140 UTF-16 units (cut with "…").
QString cleanNotes(const QString &notes);

// What a version document offers.
struct UpdateOffer {
	QString version;
	QString url;
	QString notes;
};

// The offer of a version document when it names a version newer than localVersion with a trusted download
// address; the notes in the interface language (Spanish or English), else the common ones, cleaned.
std::optional<UpdateOffer> readVersionDocument(const QByteArray &body, const QString &localVersion,
					       const QString &trustedSitePrefix, bool spanish);
