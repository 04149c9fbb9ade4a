#include "config/address-parts.hpp"

#include <QStringList>
#include <QUrl>

namespace {

// The pieces of a trimmed address "scheme://userinfo@host/first/rest?query"; every piece may be empty.
struct Pieces {
	QString scheme; // up to and including "://"
	QString userInfo;
	QString host;
	QString first; // "/first"
	QString rest;  // "/rest…", or "/" alone
	QString query; // from "?" on
};

Pieces piecesOf(const QString &trimmed)
{
	Pieces pieces;
	const qsizetype queryAt = trimmed.indexOf(QLatin1Char('?'));
	const QString head = queryAt < 0 ? trimmed : trimmed.left(queryAt);
	pieces.query = queryAt < 0 ? QString() : trimmed.mid(queryAt);
	const qsizetype schemeEnd = head.indexOf(QLatin1String("://"));
	if (schemeEnd < 0) {
		pieces.host = head;
		return pieces;
	}
	pieces.scheme = head.left(schemeEnd + 3);
	const qsizetype pathAt = head.indexOf(QLatin1Char('/'), schemeEnd + 3);
	const QString authority = head.mid(schemeEnd + 3, pathAt < 0 ? -1 : pathAt - schemeEnd - 3);
	const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
	pieces.userInfo = at < 0 ? QString() : authority.left(at + 1);
	pieces.host = authority.mid(at + 1);
	if (pathAt >= 0) {
		const QString path = head.mid(pathAt);
		const qsizetype second = path.indexOf(QLatin1Char('/'), 1);
		pieces.first = second < 0 ? path : path.left(second);
		pieces.rest = second < 0 ? QString() : path.mid(second);
	}
	return pieces;
}

// A trailing "/" after the first segment is no secret; anything more is.
bool restIsSecret(const Pieces &pieces)
{
	return pieces.rest.size() > 1;
}

} // namespace

bool addressHasSecret(const QString &address)
{
	const Pieces pieces = piecesOf(address.trimmed());
	return !pieces.query.isEmpty() || !pieces.userInfo.isEmpty() || restIsSecret(pieces);
}

QString maskAddress(const QString &address)
{
	const Pieces pieces = piecesOf(address.trimmed());
	QString masked = pieces.scheme;
	if (!pieces.userInfo.isEmpty()) {
		masked += QStringLiteral("…@");
	}
	masked += pieces.host + pieces.first;
	masked += restIsSecret(pieces) ? QStringLiteral("/…") : pieces.rest;
	if (!pieces.query.isEmpty()) {
		masked += QStringLiteral("?…");
	}
	return masked;
}

bool splitPastedKey(const QString &address, QString *server, QString *key)
{
	const QString trimmed = address.trimmed();
	const QString lower = trimmed.toLower();
	if (!lower.startsWith(QLatin1String("rtmp://")) && !lower.startsWith(QLatin1String("rtmps://"))) {
		return false;
	}
	const Pieces pieces = piecesOf(trimmed);
	// The key is the last segment of the path, query and all: some services put parameters in their keys.
	const QString path = pieces.first + pieces.rest;
	qsizetype segments = 0;
	for (const QString &segment : path.split(QLatin1Char('/'))) {
		segments += segment.isEmpty() ? 0 : 1;
	}
	const QString lastSegment = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
	if (segments < 2 || lastSegment.isEmpty()) {
		return false;
	}
	const qsizetype keyAt =
		pieces.scheme.size() + pieces.userInfo.size() + pieces.host.size() + path.size() - lastSegment.size();
	if (server) {
		*server = trimmed.left(keyAt - 1);
	}
	if (key) {
		*key = trimmed.mid(keyAt);
	}
	return true;
}

bool takeUserInfo(const QString &address, QString *rest, QString *user, QString *password)
{
	const QString trimmed = address.trimmed();
	const Pieces pieces = piecesOf(trimmed);
	if (pieces.userInfo.isEmpty()) {
		return false;
	}
	const QString info = pieces.userInfo.chopped(1);
	const qsizetype colon = info.indexOf(QLatin1Char(':'));
	*rest = pieces.scheme + trimmed.mid(pieces.scheme.size() + pieces.userInfo.size());
	*user = QUrl::fromPercentEncoding(info.left(colon < 0 ? info.size() : colon).toUtf8());
	*password = colon < 0 ? QString() : QUrl::fromPercentEncoding(info.mid(colon + 1).toUtf8());
	return true;
}
