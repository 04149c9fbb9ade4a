#include "config/secret.hpp"
#include "config/secret-platform.hpp"

#include <QByteArray>

#include <string>

namespace {

const QString prefix = QStringLiteral("dpapi:");

void wipe(std::string &bytes)
{
	volatile char *p = bytes.empty() ? nullptr : &bytes[0];
	for (size_t i = 0; i < bytes.size(); ++i) {
		p[i] = 0;
	}
}

} // namespace

bool isProtectedSecret(const QString &stored)
{
	return stored.startsWith(prefix, Qt::CaseSensitive);
}

QString protectSecret(const QString &text)
{
	if (text.isEmpty()) {
		return QString();
	}
	const QByteArray utf8 = text.toUtf8();
	std::string plain(utf8.constData(), size_t(utf8.size()));
	std::string block;
	const bool protectedOk = platformProtect(plain, block);
	wipe(plain);
	if (!protectedOk) {
		return text;
	}
	const QByteArray encoded = QByteArray(block.data(), int(block.size())).toBase64();
	return prefix + QString::fromLatin1(encoded);
}

QString openSecret(const QString &text, bool *ok)
{
	if (ok) {
		*ok = true;
	}
	if (!isProtectedSecret(text)) {
		return text;
	}
	// Characters outside the Base64 alphabet are skipped, as a lenient reader should.
	const QByteArray decoded = QByteArray::fromBase64(text.mid(prefix.size()).toLatin1());
	std::string plain;
	if (!platformOpen(std::string(decoded.constData(), size_t(decoded.size())), plain)) {
		if (ok) {
			*ok = false;
		}
		return QString();
	}
	QString result = QString::fromUtf8(plain.data(), int(plain.size()));
	wipe(plain);
	return result;
}
