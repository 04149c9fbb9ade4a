#include "engine/addresses.hpp"
#include "config/address-parts.hpp"
#include "base/language.hpp"

#include <obs-data.h>

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

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

namespace {

// An SRT address's passphrase and stream id, taken out of it: OBS prints the address it dials at every failed try,
// but hands these to SRT on their own. Each one in the address wins over its field, as it would in OBS.
QString takeSrtSecrets(const QString &url, QString *passphrase, QString *streamId)
{
	const int query = url.indexOf(QLatin1Char('?'));
	if (query < 0) {
		return url;
	}
	QStringList kept;
	for (const QString &item : url.mid(query + 1).split(QLatin1Char('&'))) {
		const QString name = item.section(QLatin1Char('='), 0, 0).toLower();
		const QString value = QUrl::fromPercentEncoding(item.section(QLatin1Char('='), 1).toUtf8());
		if (name == QLatin1String("passphrase")) {
			*passphrase = value;
		} else if (name == QLatin1String("streamid")) {
			*streamId = value;
		} else if (!item.isEmpty()) {
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
		values.server = takeSrtSecrets(values.server, &passphrase, &values.key);
		if (!passphrase.isEmpty()) {
			values.useAuth = true;
			values.password = passphrase;
		}
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
