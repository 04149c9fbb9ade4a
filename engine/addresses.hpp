#pragma once

#include <QString>
#include <QStringList>

struct obs_data;
typedef struct obs_data obs_data_t;

enum class AddressKind { Rtmp = 0, Srt = 1, Invalid = 2, Rist = 3, Whip = 4 };

// The kind of a destination address; blanks around it and the letter case of the scheme do not matter.
AddressKind classifyAddress(const QString &address);

// "RTMP", "SRT", "RIST", "WHIP" or "?"; never translated.
QString protocolLabel(AddressKind kind);
// SRT and RIST go through OBS's MPEG-TS output, RTMP through its RTMP output.
inline bool sentAsMpegTs(AddressKind kind)
{
	return kind == AddressKind::Srt || kind == AddressKind::Rist;
}

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

// Whether the running OBS has a WebRTC (WHIP) output: OBS 30 and later, where it was built with it.
bool obsHasWhip();
// A template address offered on this OBS: WebRTC's only where OBS can send it.
bool templateOffered(const char *address, bool whipOutput);

// Dialog-side rules on top of the kind.
bool hasApplicationPart(const QString &address);
bool isWebAddress(const QString &address);
// The problem with destination number `number`'s address, translated, or an empty text when it is usable.
QString addressProblem(const QString &address, int number);
// The codecs (lower case) OBS's output for this kind of address carries on the running OBS; empty when it does not
// say.
QStringList carriedCodecs(AddressKind kind, bool video);
// An output's codec list ("h264;hevc"), as carriedCodecs gives it for that kind of address.
QStringList codecList(const char *list, AddressKind kind, bool video);

// Why a destination cannot start with this address and key, translated; empty when it can. Checked at every
// start, as the settings file may have been edited by hand.
QString startProblem(const QString &address, const QString &key);
