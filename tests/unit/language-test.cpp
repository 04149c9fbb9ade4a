#include "base/language-table.hpp"
#include "base/language.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <algorithm>

namespace {

QStringList placeholders(const QString &text)
{
	static const QRegularExpression pattern(QStringLiteral("%[0-9]"));
	QStringList found;
	auto it = pattern.globalMatch(text);
	while (it.hasNext()) {
		found << it.next().captured(0);
	}
	found.sort();
	return found;
}

QString leadingBlanks(const QString &text)
{
	int i = 0;
	while (i < text.size() && text.at(i).isSpace()) {
		++i;
	}
	return text.left(i);
}

QString trailingBlanks(const QString &text)
{
	int i = text.size();
	while (i > 0 && text.at(i - 1).isSpace()) {
		--i;
	}
	return text.mid(i);
}

} // namespace

TEST(LanguageTable, EveryPairIsConsistent)
{
	QSet<QString> keys;
	ASSERT_GT(tallowmere::languageTableSize, 150u);
	for (size_t i = 0; i < tallowmere::languageTableSize; ++i) {
		const QString spanish = QString::fromUtf8(tallowmere::languageTable[i].spanish);
		const QString english = QString::fromUtf8(tallowmere::languageTable[i].english);
		SCOPED_TRACE(spanish.toStdString());
		EXPECT_FALSE(spanish.isEmpty());
		EXPECT_FALSE(english.isEmpty());
		EXPECT_FALSE(keys.contains(spanish)) << "duplicate key";
		keys.insert(spanish);
		EXPECT_EQ(placeholders(spanish), placeholders(english));
		EXPECT_EQ(leadingBlanks(spanish), leadingBlanks(english));
		EXPECT_EQ(trailingBlanks(spanish), trailingBlanks(english));
		EXPECT_EQ(spanish.count(QLatin1Char('\n')), english.count(QLatin1Char('\n')));
	}
}

TEST(LanguageTable, KnownTwins)
{
	EXPECT_EQ(englishText(QStringLiteral("Parado")), QStringLiteral("Stopped"));
	EXPECT_EQ(englishText(QStringLiteral("● EN EMISIÓN")), QStringLiteral("● LIVE"));
	EXPECT_EQ(englishText(QStringLiteral("⚠ Cortado %1 s · intento %2")),
		  QStringLiteral("⚠ Down %1 s · attempt %2"));
	EXPECT_EQ(englishText(QStringLiteral(" Novedades: %1")), QStringLiteral(" What's new: %1"));
	EXPECT_EQ(englishText(QStringLiteral("entrada")), QStringLiteral("input"));
	EXPECT_EQ(englishText(QStringLiteral("Se perdió la conexión y no se pudo recuperar. %1")),
		  QStringLiteral("The connection was lost and could not be recovered. %1"));
	// Keys match whole texts exactly: a missing leading space is another text.
	EXPECT_TRUE(englishText(QStringLiteral("Novedades: %1")).isNull());
	EXPECT_TRUE(englishText(QString()).isNull());
}

TEST(InterfaceLanguage, LocaleRule)
{
	for (const char *spanish :
	     {"es-ES", "es-419", "ca-ES", "gl-ES", "eu-ES", "ES-ES", "", static_cast<const char *>(nullptr)}) {
		EXPECT_TRUE(isSpanishLocale(spanish)) << (spanish ? spanish : "(null)");
	}
	for (const char *english : {"en-US", "pt-BR", "fr-FR", "de-DE"}) {
		EXPECT_FALSE(isSpanishLocale(english)) << english;
	}
	// Without a running OBS there is no locale: Spanish, and texts come back unchanged.
	EXPECT_TRUE(interfaceIsSpanish());
	EXPECT_EQ(translate("Parado"), QStringLiteral("Parado"));
}
