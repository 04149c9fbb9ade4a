#include "engine/addresses.hpp"
#include "config/address-parts.hpp"
#include "base/language.hpp"

#include <obs-data.h>

#include <QRegularExpression>

AddressKind classifyAddress(const QString &address)
{
	const QString lower = address.trimmed().toLower();
	if (lower.startsWith(QLatin1String("rtmp://")) || lower.startsWith(QLatin1String("rtmps://"))) {
		return AddressKind::Rtmp;
	}
	if (lower.startsWith(QLatin1String("srt://"))) {
		return AddressKind::Srt;
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
	default:
		return QStringLiteral("?");
	}
}

QString maskAddressQueries(const QString &text)
{
	static const QRegularExpression pattern(QStringLiteral("(?:rtmps?|srt)://[^\\s»\"']*"),
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

ServiceValues serviceValues(const QString &url, const QString &clave, const QString &contrasena)
{
	ServiceValues values;
	values.server = url.trimmed();
	values.key = clave;
	if (classifyAddress(url) == AddressKind::Srt && !contrasena.isEmpty()) {
		values.useAuth = true;
		values.password = contrasena;
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
	return classifyAddress(address) == AddressKind::Invalid &&
	       (lower.startsWith(QLatin1String("http://")) || lower.startsWith(QLatin1String("https://")));
}

QString addressProblem(const QString &address, int number)
{
	const QString prefix = translate("Destino %1: ").arg(number);
	switch (classifyAddress(address)) {
	case AddressKind::Invalid:
		if (isWebAddress(address)) {
			return prefix +
			       translate("WebRTC llegará en una próxima versión. Por ahora se admiten RTMP (rtmp:// o "
					 "rtmps://) y SRT (srt://).");
		}
		return prefix + translate("la dirección debe empezar por rtmp://, rtmps:// o srt://.");
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
