#include "update/update-notice.hpp"
#include "update/update-rules.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <QList>

namespace {

const QString site = QStringLiteral("https://downloads.test/");

QString s(const char *utf8)
{
	return QString::fromUtf8(utf8);
}

} // namespace

TEST(UpdateRules, VersionGrammar)
{
	const struct {
		const char *text;
		QList<int> numbers;
	} cases[] = {
		{"1.0.6", {1, 0, 6}},
		{" 2\n", {2}},
		{"1.0.06", {1, 0, 6}},
		{"9999.0.0.9999", {9999, 0, 0, 9999}},
		{"1.0.6-beta", {}},
		{"1.0.7.1.2", {}},
		{"12345", {}},
		{"1..0", {}},
		{".1", {}},
		{"1.", {}},
		{"", {}},
		{"v1.0", {}},
		{"1 .0", {}},
		{"+1", {}},
		{"１.0", {}}, // full-width digit
		{"١.٠", {}},  // Arabic-Indic digits
	};
	for (const auto &c : cases) {
		EXPECT_EQ(parseVersion(s(c.text)), c.numbers) << c.text;
	}
}

TEST(UpdateRules, VersionComparison)
{
	const struct {
		const char *remote;
		const char *local;
		bool newer;
	} cases[] = {
		{"1.0.7", "1.0.6", true},       {"1.1", "1.0.6", true},        {"2", "1.0.6", true},
		{"1.0.6.1", "1.0.6", true},     {"1.0.6", "1.0.6", false},     {"1.0.6.0", "1.0.6", false},
		{"1.0.06", "1.0.6", false},     {"1.0.5", "1.0.6", false},     {"0.9.9.9", "1.0.6", false},
		{"1.0.6-beta", "1.0.6", false}, {"1.0.7.1.2", "1.0.6", false}, {"1.0.7", "bad", false},
		{"1.10", "1.9", true},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(isNewerVersion(s(c.remote), s(c.local)), c.newer) << c.remote << " vs " << c.local;
	}
}

TEST(UpdateRules, TrustedDownloadUrl)
{
	const struct {
		const char *address;
		const char *prefix;
		bool trusted;
	} cases[] = {
		{"https://downloads.test/", "https://downloads.test/", true},
		{"https://downloads.test/v1.0.7?from=obs#x", "https://downloads.test/", true},
		{"https://downloads.test/a b", "https://downloads.test/", false},
		{"https://downloads.test/a\tb", "https://downloads.test/", false},
		{"https://downloads.test/a\nb", "https://downloads.test/", false},
		{"https://downloads.test/a\x01", "https://downloads.test/", false},
		{"https://downloads.test.evil.example/", "https://downloads.test/", false},
		{"HTTPS://downloads.test/", "https://downloads.test/", false},
		{"http://downloads.test/", "https://downloads.test/", false},
		{"https://downloads.test/x", "", false},
		{"https://downloads.test.evil.example/", "https://downloads.test", false}, // no slash after the host
		{"http://downloads.test/x", "http://downloads.test/", false},
		{"https://downloads.test/files/v2", "https://downloads.test/files/", true},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(isTrustedDownloadUrl(s(c.address), s(c.prefix)), c.trusted) << c.address << " / " << c.prefix;
	}
}

TEST(UpdateRules, CleanNotes)
{
	EXPECT_EQ(cleanNotes(s("  Línea uno\r\n\tdos\u2028tres  ")), s("Línea uno dos tres"));
	EXPECT_EQ(cleanNotes(s("<b>Nuevo</b> <script>x</script>")), s("bNuevo/b scriptx/script"));
	EXPECT_EQ(cleanNotes(s("Emoji 😀 fuera\u202e\u0007!")), s("Emoji fuera!"));
	EXPECT_EQ(cleanNotes(QString()), QString());

	const QString cut = cleanNotes(QString(200, QLatin1Char('a')));
	EXPECT_EQ(cut.size(), 140);
	EXPECT_EQ(cut, QString(139, QLatin1Char('a')) + QChar(0x2026));
	EXPECT_EQ(cleanNotes(QString(140, QLatin1Char('b'))), QString(140, QLatin1Char('b')));
	// The cut counts what is left after cleaning.
	EXPECT_EQ(cleanNotes(QString(150, QLatin1Char('\n')) + QString(140, QLatin1Char('c'))).size(), 140);
}

TEST(UpdateRules, VersionDocument)
{
	const auto read = [](const char *json, bool spanish) {
		return readVersionDocument(QByteArray(json), QStringLiteral("1.0.6"), site, spanish);
	};
	const char *full = R"({"version":" 1.0.7 ","url":" https://downloads.test/v107 ","notes_es":"Español",
		"notes_en":"English","notes":"Common","other":[1,2]})";
	auto offer = read(full, true);
	ASSERT_TRUE(offer);
	EXPECT_EQ(offer->version, s("1.0.7"));
	EXPECT_EQ(offer->url, s("https://downloads.test/v107"));
	EXPECT_EQ(offer->notes, s("Español"));
	EXPECT_EQ(read(full, false)->notes, s("English"));
	EXPECT_EQ(read(R"({"version":"2","url":"https://downloads.test/","notes_en":" \n","notes":"<i>Common</i>"})",
		       false)
			  ->notes,
		  s("iCommon/i"));
	EXPECT_EQ(read(R"({"version":"2","url":"https://downloads.test/","notes_es":7})", true)->notes, QString());

	for (const char *refused : {
		     R"({"version":"1.0.6","url":"https://downloads.test/"})",
		     R"({"version":2,"url":"https://downloads.test/"})",
		     R"({"version":"2","url":"https://elsewhere.test/"})",
		     R"({"version":"2"})",
		     R"([{"version":"2","url":"https://downloads.test/"}])",
		     R"({"version":"2","url":"https://downloads.test/")",
		     "",
		     "\"2\"",
	     }) {
		EXPECT_FALSE(read(refused, true)) << refused;
	}
}

TEST(UpdateRules, NoticeText)
{
	EXPECT_EQ(updateNoticeText(s("1.0.7"), QString()),
		  s("⬆ Hay una versión nueva: 1.0.7 (tienes la " TALLOWMERE_VERSION ")."));
	EXPECT_EQ(updateNoticeText(s("2"), s("Más rápido, con %1 y %2")),
		  s("⬆ Hay una versión nueva: 2 (tienes la " TALLOWMERE_VERSION
		    "). Novedades: Más rápido, con %1 y %2"));
}
