#include "config/secret.hpp"
#include "base/language.hpp"

#include <QByteArray>

#include <cstring>

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

QString protectionReason(const ProtectionProblem &problem, bool english)
{
	const char *reason = nullptr;
	switch (problem.kind) {
	case KeyProblem::None:
		return QString();
	case KeyProblem::NoKeyFolder:
		reason = "no hay carpeta personal (HOME) donde guardar el archivo de claves";
		break;
	case KeyProblem::KeyFileUnreadable:
		reason = "no se puede leer el archivo de claves (%1)";
		break;
	case KeyProblem::KeyFileOtherOwner:
		reason = "el archivo de claves pertenece a otro usuario";
		break;
	case KeyProblem::KeyFileOpenToOthers:
		reason = "otros usuarios de este ordenador pueden leer el archivo de claves";
		break;
	case KeyProblem::KeyFileWrongSize:
		reason = "el archivo de claves no tiene el tamaño correcto";
		break;
	case KeyProblem::KeyFileNotCreated:
		reason = "no se pudo crear el archivo de claves (%1)";
		break;
	case KeyProblem::Failed:
		reason = "el sistema no pudo cifrarlas (error %1)";
		break;
	}
	QString text = english ? englishText(QString::fromUtf8(reason)) : translate(reason);
	if (text.contains(QLatin1String("%1"))) {
		const bool named = problem.kind != KeyProblem::Failed;
		text = text.arg(named ? QString::fromLocal8Bit(std::strerror(problem.systemError))
				      : QString::number(problem.systemError));
	}
	return text;
}

QString protectSecret(const QString &text, ProtectionProblem *problem)
{
	if (text.isEmpty()) {
		return QString();
	}
	const QByteArray utf8 = text.toUtf8();
	std::string plain(utf8.constData(), size_t(utf8.size()));
	std::string block;
	PlatformProblem why;
	const bool protectedOk = platformProtect(plain, block, &why);
	wipe(plain);
	if (!protectedOk) {
		if (problem) {
			problem->kind = why.kind == KeyProblem::None ? KeyProblem::Failed : why.kind;
			problem->systemError = why.systemError;
			problem->keyFile = QString::fromStdString(why.keyFile);
		}
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
