// Any answer of the update host, as the request hands it over: never a crash, and whatever is offered obeys
// the rules (a newer valid version, a trusted address, clean notes). The rules are also fed the raw bytes.
#include "update/update-rules.hpp"
#include "update/version-fetch.hpp"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const QString site = QStringLiteral("https://downloads.test/");
const QString local = QStringLiteral("1.0.6");

void require(bool condition, const char *what)
{
	if (!condition) {
		std::fprintf(stderr, "version document fuzz: %s\n", what);
		std::abort();
	}
}

void checkNotes(const QString &notes)
{
	require(notes.size() <= 140, "notes length");
	require(notes == notes.simplified(), "notes white space");
	for (const QChar c : notes) {
		require(c != QLatin1Char('<') && c != QLatin1Char('>') && !c.isSurrogate(), "notes character");
		require(c.isPrint() && (!c.isSpace() || c == QLatin1Char(' ')), "notes printable");
	}
	require(cleanNotes(notes) == notes, "notes cleaning is stable");
}

void checkVersionPair(const QString &a, const QString &b)
{
	require(!(isNewerVersion(a, b) && isNewerVersion(b, a)), "newer both ways");
	const QList<int> numbers = parseVersion(a);
	require(numbers.size() <= 4, "at most four numbers");
	QStringList parts;
	for (int n : numbers) {
		require(n >= 0 && n <= 9999, "number range");
		parts << QString::number(n);
	}
	if (!numbers.isEmpty()) {
		require(parseVersion(parts.join(QLatin1Char('.'))) == numbers, "version round trip");
		require(!isNewerVersion(a, parts.join(QLatin1Char('.'))), "equal versions");
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QByteArray body(reinterpret_cast<const char *>(data),
			      int(std::min(size, versionFileReadLimit + versionFileReadPiece - 1)));
	for (const bool spanish : {true, false}) {
		if (const auto offer = readVersionDocument(body, local, site, spanish)) {
			require(isNewerVersion(offer->version, local) && offer->version == offer->version.trimmed(),
				"offered version");
			require(isTrustedDownloadUrl(offer->url, site), "offered address");
			checkNotes(offer->notes);
		}
	}

	const QString text = QString::fromUtf8(body);
	const int newline = text.indexOf(QLatin1Char('\n'));
	checkVersionPair(text.left(newline), newline < 0 ? local : text.mid(newline + 1));
	// Every UTF-16 unit, lone surrogates too.
	std::vector<QChar> units(size / 2);
	if (!units.empty()) {
		std::memcpy(units.data(), data, units.size() * sizeof(QChar));
	}
	const QString raw(units.data(), int(units.size()));
	checkNotes(cleanNotes(text));
	checkNotes(cleanNotes(raw));
	for (const QString &address : {text, raw}) {
		if (isTrustedDownloadUrl(address, site)) {
			require(address.startsWith(site) && !address.contains(QLatin1Char(' ')), "trusted address");
		}
	}
	return 0;
}
