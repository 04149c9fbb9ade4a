#include "update/update-rules.hpp"

#include <QJsonDocument>
#include <QJsonObject>

QList<int> parseVersion(const QString &text)
{
	const QString trimmed = text.trimmed();
	QList<int> numbers;
	int value = 0;
	int digits = 0;
	for (int i = 0; i <= trimmed.size(); ++i) {
		const QChar c = i < trimmed.size() ? trimmed.at(i) : QLatin1Char('.');
		// Only ASCII digits: other scripts' digits are not part of the grammar.
		if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
			if (++digits > 4) {
				return {};
			}
			value = value * 10 + (c.unicode() - '0');
		} else if (c == QLatin1Char('.') && digits > 0 && numbers.size() < 4) {
			numbers.append(value);
			value = 0;
			digits = 0;
		} else {
			return {};
		}
	}
	return numbers;
}

bool isNewerVersion(const QString &remote, const QString &local)
{
	const QList<int> a = parseVersion(remote);
	const QList<int> b = parseVersion(local);
	if (a.isEmpty() || b.isEmpty()) {
		return false;
	}
	for (int i = 0; i < qMax(a.size(), b.size()); ++i) {
		const int x = a.value(i, 0);
		const int y = b.value(i, 0);
		if (x != y) {
			return x > y;
		}
	}
	return false;
}

namespace {

bool isUsableSitePrefix(const QString &prefix)
{
	const QString scheme = QStringLiteral("https://");
	const int slash = prefix.indexOf(QLatin1Char('/'), scheme.size());
	return prefix.startsWith(scheme) && slash > scheme.size();
}

} // namespace

bool isTrustedDownloadUrl(const QString &address, const QString &trustedSitePrefix)
{
	if (!isUsableSitePrefix(trustedSitePrefix) || !address.startsWith(trustedSitePrefix, Qt::CaseSensitive)) {
		return false;
	}
	// A tab or line break inside would be taken apart by the browser's address parser like a space.
	for (const QChar c : address) {
		if (c.isSpace() || c.category() == QChar::Other_Control) {
			return false;
		}
	}
	return true;
}

QString cleanNotes(const QString &notes)
{
	QString kept;
	kept.reserve(notes.size());
	for (const QChar c : notes) {
		// Each half of a surrogate pair is not printable: characters outside the BMP go.
		if (c.isPrint() && c != QLatin1Char('<') && c != QLatin1Char('>')) {
			kept.append(c);
		} else if (c.isSpace()) {
			kept.append(QLatin1Char(' '));
		}
	}
	kept = kept.simplified();
	if (kept.size() > 140) {
		kept = kept.left(139) + QChar(0x2026);
	}
	return kept;
}

std::optional<UpdateOffer> readVersionDocument(const QByteArray &body, const QString &localVersion,
					       const QString &trustedSitePrefix, bool spanish)
{
	QJsonParseError error;
	const QJsonDocument document = QJsonDocument::fromJson(body, &error);
	if (error.error != QJsonParseError::NoError || !document.isObject()) {
		return std::nullopt;
	}
	const QJsonObject object = document.object();
	const auto text = [&object](const char *key) {
		return object.value(QLatin1String(key)).toString();
	};
	UpdateOffer offer;
	offer.version = text("version").trimmed();
	offer.url = text("url").trimmed();
	if (!isNewerVersion(offer.version, localVersion) || !isTrustedDownloadUrl(offer.url, trustedSitePrefix)) {
		return std::nullopt;
	}
	QString notes = text(spanish ? "notes_es" : "notes_en");
	if (notes.trimmed().isEmpty()) {
		notes = text("notes");
	}
	offer.notes = cleanNotes(notes);
	return offer;
}
