#pragma once

// Where secrets sit in a destination address: a user name and password before the host, anything after the first
// path segment (a stream key pasted into the address), and the query. No Qt widgets, no OBS: pure text work.

#include <QString>

// Whether the address holds any of those parts. Blanks around it do not matter.
bool addressHasSecret(const QString &address);

// The address with each of those parts replaced by "…": "rtmp://…@host/app/…?…". Blanks around it are dropped.
// A text without "://" only has its query cut.
QString maskAddress(const QString &address);

// A stream key pasted into an RTMP address: with an empty key and more than one path segment, the last segment
// (with any query after it) is the key. True, with the address and key apart, when the address is of that form.
bool splitPastedKey(const QString &address, QString *server, QString *key);

// The address without its "user:password@" part, and the two apart (percent-decoded); false when it has none.
bool takeUserInfo(const QString &address, QString *rest, QString *user, QString *password);
