#include "engine/addresses.hpp"
#include "config/address-parts.hpp"
#include "base/language.hpp"

#include <obs.hpp>
#include <obs-data.h>

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <initializer_list>

AddressKind classifyAddress(const QString &address)
{
	const QString lower = address.trimmed().toLower();
	if (lower.startsWith(QLatin1String("rtmp://")) || lower.startsWith(QLatin1String("rtmps://"))) {
		return AddressKind::Rtmp;
	}
	if (lower.startsWith(QLatin1String("srt://"))) {
		return AddressKind::Srt;
	}
	if (lower.startsWith(QLatin1String("rist://"))) {
		return AddressKind::Rist;
	}
	if (lower.startsWith(QLatin1String("https://")) || lower.startsWith(QLatin1String("http://"))) {
		return AddressKind::Whip;
	}
	return AddressKind::Invalid;
}

QString protocolLabel(AddressKind kind)
{
	switch (kind) {
	case AddressKind::Rtmp:
		return QStringLiteral("RTMP");
	case AddressKind::Srt:
		return QStringLiteral("SRT");
	case AddressKind::Rist:
		return QStringLiteral("RIST");
	case AddressKind::Whip:
		return QStringLiteral("WHIP");
	default:
		return QStringLiteral("?");
	}
}

QString maskAddressQueries(const QString &text)
{
	static const QRegularExpression pattern(QStringLiteral("(?:rtmps?|srt|rist)://[^\\s»\"']*"),
						QRegularExpression::CaseInsensitiveOption);
	QString result;
	qsizetype last = 0;
	auto matches = pattern.globalMatch(text);
	while (matches.hasNext()) {
		const QRegularExpressionMatch match = matches.next();
		result += text.mid(last, match.capturedStart() - last);
		result += maskAddress(match.captured(0));
		last = match.capturedEnd();
	}
	result += text.mid(last);
	return result;
}

namespace {

// The named secrets of an address's query, taken out of it: OBS prints the SRT or RIST address it dials, but hands
// these to SRT and RIST on their own. Each one in the address wins over its field, as it would in OBS.
struct QuerySecret {
	const char *name;
	QString *value;
};
QString takeQuerySecrets(const QString &url, std::initializer_list<QuerySecret> secrets)
{
	const int query = url.indexOf(QLatin1Char('?'));
	if (query < 0) {
		return url;
	}
	QStringList kept;
	for (const QString &item : url.mid(query + 1).split(QLatin1Char('&'))) {
		const QString name = item.section(QLatin1Char('='), 0, 0).toLower();
		const QString value = QUrl::fromPercentEncoding(item.section(QLatin1Char('='), 1).toUtf8());
		bool taken = false;
		for (const QuerySecret &secret : secrets) {
			if (name == QLatin1String(secret.name)) {
				*secret.value = value;
				taken = true;
			}
		}
		if (!taken && !item.isEmpty()) {
			kept.append(item);
		}
	}
	return kept.isEmpty() ? url.left(query) : url.left(query + 1) + kept.join(QLatin1Char('&'));
}

} // namespace

ServiceValues serviceValues(const QString &url, const QString &clave, const QString &contrasena)
{
	ServiceValues values;
	values.server = url.trimmed();
	values.key = clave;
	if (classifyAddress(url) == AddressKind::Srt) {
		QString passphrase = contrasena;
		values.server =
			takeQuerySecrets(values.server, {{"passphrase", &passphrase}, {"streamid", &values.key}});
		if (!passphrase.isEmpty()) {
			values.useAuth = true;
			values.password = passphrase;
		}
	}
	// OBS hands RIST the key as its encryption secret (when the address has none), and the user name and password
	// to its login. A secret in the address stays there: only with it does the address's "aes-type" encrypt.
	if (classifyAddress(url) == AddressKind::Rist) {
		values.server = takeQuerySecrets(values.server,
						 {{"username", &values.username}, {"password", &values.password}});
		values.useAuth = !values.username.isEmpty() || !values.password.isEmpty();
	}
	QString server;
	if (classifyAddress(url) == AddressKind::Rtmp &&
	    takeUserInfo(url, &server, &values.username, &values.password)) {
		values.server = server;
		values.useAuth = true;
	}
	return values;
}

obs_data_t *createServiceSettings(const QString &url, const QString &clave, const QString &contrasena)
{
	const ServiceValues values = serviceValues(url, clave, contrasena);
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "server", values.server.toUtf8().constData());
	obs_data_set_string(settings, "key", values.key.toUtf8().constData());
	// OBS's WHIP service takes the key as its bearer token.
	if (classifyAddress(url) == AddressKind::Whip) {
		obs_data_set_string(settings, "bearer_token", values.key.toUtf8().constData());
	}
	if (values.useAuth) {
		obs_data_set_bool(settings, "use_auth", true);
		obs_data_set_string(settings, "password", values.password.toUtf8().constData());
		if (!values.username.isEmpty()) {
			obs_data_set_string(settings, "username", values.username.toUtf8().constData());
		}
	}
	return settings;
}

bool hasApplicationPart(const QString &address)
{
	const QString trimmed = address.trimmed();
	const auto scheme = trimmed.indexOf(QLatin1String("://"));
	return scheme >= 0 && trimmed.indexOf(QLatin1Char('/'), scheme + 3) >= 0;
}

bool isWebAddress(const QString &address)
{
	const QString lower = address.trimmed().toLower();
	return lower.startsWith(QLatin1String("http://")) || lower.startsWith(QLatin1String("https://"));
}

bool obsHasWhip()
{
	return obs_initialized() && obs_get_output_flags("whip_output") != 0;
}

bool templateOffered(const char *address, bool whipOutput)
{
	return whipOutput || classifyAddress(QString::fromUtf8(address)) != AddressKind::Whip;
}

QString addressProblem(const QString &address, int number)
{
	const QString prefix = translate("Destino %1: ").arg(number);
	switch (classifyAddress(address)) {
	case AddressKind::Whip:
		if (!obsHasWhip()) {
			return prefix + translate("este OBS no tiene salida WebRTC (WHIP). Se admiten RTMP (rtmp:// o "
						  "rtmps://), SRT (srt://) y RIST (rist://).");
		}
		return QString();
	case AddressKind::Invalid:
		return prefix + translate("la dirección debe empezar por rtmp://, rtmps://, srt:// o rist://.");
	case AddressKind::Rtmp:
		if (!hasApplicationPart(address)) {
			return prefix +
			       translate(
				       "a la dirección RTMP le falta la parte final, por ejemplo rtmp://servidor/live.");
		}
		return QString();
	default:
		return QString();
	}
}

QString startProblem(const QString &address, const QString &key)
{
	const AddressKind kind = classifyAddress(address);
	if (kind == AddressKind::Invalid) {
		return translate("La dirección debe empezar por rtmp://, rtmps://, srt:// o rist://.");
	}
	if (kind == AddressKind::Whip && !obsHasWhip()) {
		return translate("Este OBS no tiene salida WebRTC (WHIP).");
	}
	if (QUrl(address.trimmed()).host().isEmpty()) {
		return translate("A la dirección le falta el nombre del servidor.");
	}
	if (kind == AddressKind::Rtmp && !hasApplicationPart(address)) {
		return translate("A la dirección RTMP le falta la parte final, por ejemplo rtmp://servidor/live.");
	}
	// OBS would publish a stream without a name, which every server refuses.
	if (kind == AddressKind::Rtmp && key.isEmpty() && !splitPastedKey(address.trimmed(), nullptr, nullptr)) {
		return translate("Falta la clave de emisión: pégala en su campo con «✎ Editar».");
	}
	return QString();
}

QStringList carriedCodecs(AddressKind kind, bool video)
{
	const char *id = sentAsMpegTs(kind)          ? "ffmpeg_mpegts_muxer"
			 : kind == AddressKind::Whip ? "whip_output"
						     : "rtmp_output";
	if (kind == AddressKind::Whip && !obsHasWhip()) {
		return QStringList();
	}
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
	const char *list = video ? obs_get_output_supported_video_codecs(id)
				 : obs_get_output_supported_audio_codecs(id);
#else
	// OBS 29.0 tells only an output it has made; one that is never started connects nowhere.
	OBSOutputAutoRelease output = obs_output_create(id, "tallowmere-codecs", nullptr, nullptr);
	const char *list = !output ? nullptr
			   : video ? obs_output_get_supported_video_codecs(output)
				   : obs_output_get_supported_audio_codecs(output);
#endif
	return codecList(list, kind, video);
}

QStringList codecList(const char *list, AddressKind kind, bool video)
{
	QStringList codecs = list ? QString::fromUtf8(list).toLower().split(QLatin1Char(';'), Qt::SkipEmptyParts)
				  : QStringList();
	// OBS 29 declares AV1 over MPEG-TS, but its muxer then writes the video as data no receiver decodes; later
	// OBS no longer declares it.
	if (video && sentAsMpegTs(kind)) {
		codecs.removeAll(QStringLiteral("av1"));
	}
	return codecs;
}
