#pragma once

#include <QString>

struct obs_data;
typedef struct obs_data obs_data_t;

enum class AddressKind { Rtmp = 0, Srt = 1, Invalid = 2 };

// The kind of a destination address; blanks around it and the letter case of the scheme do not matter.
AddressKind classifyAddress(const QString &address);

// "RTMP", "SRT" or "?"; never translated.
QString protocolLabel(AddressKind kind);

// The text with every secret part of each address in it (query, user name and password, path after the first
// segment) replaced by "…", so that keys, stream ids and passphrases never reach the log or the screen.
QString maskAddressQueries(const QString &text);

// What a destination's three texts become in OBS's "rtmp_custom" service settings.
// An RTMP address's "user:password@" goes to OBS's RTMP authentication: OBS cannot connect with it in the server.
struct ServiceValues {
	QString server;
	QString key;
	bool useAuth = false;
	QString username;
	QString password;
};
ServiceValues serviceValues(const QString &url, const QString &clave, const QString &contrasena);
// A new settings object (the caller releases it) holding those values.
obs_data_t *createServiceSettings(const QString &url, const QString &clave, const QString &contrasena);

// Dialog-side rules on top of the kind.
bool hasApplicationPart(const QString &address);
bool isWebAddress(const QString &address);
// The problem with destination number `number`'s address, translated, or an empty text when it is usable.
QString addressProblem(const QString &address, int number);
