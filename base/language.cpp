#include "base/language.hpp"
#include "base/language-table.hpp"

#include <obs.h>

#include <QHash>

#include <memory>
#include <mutex>

bool isSpanishLocale(const char *locale)
{
	if (!locale || !*locale) {
		return true;
	}
	const QString lower = QString::fromUtf8(locale).toLower();
	for (const char *prefix : {"es", "ca", "gl", "eu"}) {
		if (lower.startsWith(QLatin1String(prefix))) {
			return true;
		}
	}
	return false;
}

bool interfaceIsSpanish()
{
	static std::once_flag once;
	static bool spanish = true;
	std::call_once(once, [] {
		// obs_get_locale dereferences OBS's core state, which does not exist before obs_startup.
		spanish = isSpanishLocale(obs_initialized() ? obs_get_locale() : nullptr);
	});
	return spanish;
}

namespace {

const QHash<QString, QString> &englishTable()
{
	static std::once_flag once;
	static std::unique_ptr<QHash<QString, QString>> table;
	std::call_once(once, [] {
		table = std::make_unique<QHash<QString, QString>>();
		table->reserve(int(tallowmere::languageTableSize));
		for (size_t i = 0; i < tallowmere::languageTableSize; ++i) {
			const auto &pair = tallowmere::languageTable[i];
			table->insert(QString::fromUtf8(pair.spanish), QString::fromUtf8(pair.english));
		}
	});
	return *table;
}

} // namespace

QString englishText(const QString &spanish)
{
	return englishTable().value(spanish);
}

QString translate(const QString &text)
{
	if (interfaceIsSpanish()) {
		return text;
	}
	const auto &table = englishTable();
	auto it = table.constFind(text);
	return it == table.constEnd() ? text : it.value();
}

QString translate(const char *text)
{
	return translate(QString::fromUtf8(text));
}
