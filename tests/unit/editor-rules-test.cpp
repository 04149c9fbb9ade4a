#include "editor/editor-rules.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

TEST(EditorRules, TemplatesAndDetectedKind)
{
	EXPECT_EQ(templateForAddress(QStringLiteral("rtmp://live.twitch.tv/app")), 1);
	EXPECT_EQ(templateForAddress(QStringLiteral("rtmps://live-api-s.facebook.com:443/rtmp/")), 2);
	// Bare schemes never select their template; the match is exact.
	EXPECT_EQ(templateForAddress(QStringLiteral("rtmp://")), -1);
	EXPECT_EQ(templateForAddress(QStringLiteral("srt://")), -1);
	EXPECT_EQ(templateForAddress(QStringLiteral("RTMP://live.twitch.tv/app")), -1);
	for (const DestTemplate &entry : destTemplates) {
		EXPECT_EQ(QString::fromUtf8(entry.address).endsWith(QLatin1String("://")),
			  templateForAddress(QString::fromUtf8(entry.address)) < 0)
			<< entry.name;
	}

	const DetectedType srt = detectedTypeFor(QStringLiteral(" SRT://host:9000 "));
	EXPECT_EQ(srt.typeLine, QStringLiteral("Tipo detectado: SRT"));
	EXPECT_EQ(srt.keyPlaceholder, QStringLiteral("Stream ID (opcional)"));
	EXPECT_TRUE(srt.showPassphrase);
	const DetectedType rtmp = detectedTypeFor(QStringLiteral("rtmps://h/app"));
	EXPECT_EQ(rtmp.keyPlaceholder, QStringLiteral("Clave de emisión"));
	EXPECT_FALSE(rtmp.showPassphrase);
	EXPECT_EQ(detectedTypeFor(QStringLiteral("?")).keyPlaceholder, QStringLiteral("Clave"));
}

TEST(EditorRules, BlankRowsNumberingAndResult)
{
	// Blank rows take no number; the first problem found wins.
	const QList<DestTexts> rows = {
		{QStringLiteral("   "), QString(), QString()},
		{QStringLiteral("rtmp://ok/live"), QStringLiteral("k"), QString()},
		{QString(), QString(), QString()},
		{QStringLiteral("rtmp://host"), QString(), QString()},
		{QStringLiteral("nonsense"), QString(), QString()},
	};
	EXPECT_EQ(firstDestinationProblem(rows),
		  QStringLiteral(
			  "Destino 2: a la dirección RTMP le falta la parte final, por ejemplo rtmp://servidor/live."));
	EXPECT_TRUE(firstDestinationProblem(rows.mid(0, 3)).isEmpty());
	// A key of spaces makes the row count; an address that could not be opened fails until replaced.
	EXPECT_EQ(firstDestinationProblem({{QString(), QStringLiteral("  "), QString()}}),
		  QStringLiteral("Destino 1: la dirección debe empezar por rtmp://, rtmps:// o srt://."));
	EXPECT_FALSE(firstDestinationProblem({{QStringLiteral("?"), QString(), QString()}}).isEmpty());

	DestConfig stored;
	stored.id = QStringLiteral("d1");
	stored.url = QStringLiteral("srt://h:1");
	stored.sinAbrir.clave = QStringLiteral("dpapi:AAAA");
	const DestConfig srt =
		destinationFromRow(stored, {QStringLiteral(" srt://h:2 "), QString(), QStringLiteral(" p ")});
	EXPECT_EQ(srt.id, QStringLiteral("d1"));
	EXPECT_EQ(srt.url, QStringLiteral("srt://h:2"));
	EXPECT_EQ(srt.contrasena, QStringLiteral(" p "));
	EXPECT_EQ(srt.sinAbrir.clave, QStringLiteral("dpapi:AAAA"));
	const DestConfig rtmp = destinationFromRow(DestConfig(), {QStringLiteral("rtmp://h/a"), QStringLiteral(" k "),
								  QStringLiteral("hidden")});
	EXPECT_EQ(rtmp.id.size(), 36);
	EXPECT_EQ(rtmp.clave, QStringLiteral(" k "));
	EXPECT_TRUE(rtmp.contrasena.isEmpty());
}

TEST(EditorRules, EncoderChoiceOrder)
{
	auto h264 = [](const char *id, const char *name) {
		EncoderCandidate candidate;
		candidate.id = QString::fromUtf8(id);
		candidate.displayName = name ? QString::fromUtf8(name) : QString();
		candidate.video = true;
		candidate.codec = QStringLiteral("h264");
		return candidate;
	};
	EncoderCandidate deprecated = h264("old", "Old");
	deprecated.deprecated = true;
	EncoderCandidate internal = h264("inner", "Inner");
	internal.internal = true;
	EncoderCandidate hevc = h264("hevc_hw", "HEVC");
	hevc.codec = QStringLiteral("hevc");
	EncoderCandidate audio = h264("aac_hw", "AAC");
	audio.video = false;

	const QList<EncoderChoice> none =
		orderEncoderChoices({h264("obs_x264", "x264"), deprecated, internal, hevc, audio});
	ASSERT_EQ(none.size(), 1);
	EXPECT_EQ(none[0].id, QStringLiteral("obs_x264"));
	EXPECT_EQ(none[0].label, QStringLiteral("CPU (x264) · recomendado"));

	const QList<EncoderChoice> two = orderEncoderChoices(
		{h264("obs_x264", "x264"), h264("hw_a", "Card A"), deprecated, h264("hw_b", nullptr)});
	ASSERT_EQ(two.size(), 3);
	EXPECT_EQ(two[0].label, QStringLiteral("Card A · tarjeta gráfica · recomendado"));
	EXPECT_EQ(two[1].label, QStringLiteral("hw_b · tarjeta gráfica"));
	EXPECT_EQ(two[2].label, QStringLiteral("CPU (x264)"));
}

TEST(EditorRules, EquivalencesAndProfiles)
{
	const QMap<QString, QString> map = equivalencesFromRows({{QStringLiteral("A"), QStringLiteral("A")},
								 {QStringLiteral("A"), QStringLiteral("B")},
								 {QStringLiteral("C"), QString()},
								 {QStringLiteral("A"), QStringLiteral("Cam")},
								 {QStringLiteral("a"), QStringLiteral("B")}});
	EXPECT_EQ(map, (QMap<QString, QString>{{QStringLiteral("A"), QStringLiteral("Cam")},
					       {QStringLiteral("a"), QStringLiteral("B")}}));

	QList<ProfileConfig> profiles;
	ProfileConfig fast;
	fast.nombre = QStringLiteral("Rápido");
	fast.videoKbps = 2500;
	EXPECT_EQ(storeProfile(profiles, fast), 0);
	ProfileConfig other;
	other.nombre = QStringLiteral("Otro");
	EXPECT_EQ(storeProfile(profiles, other), 1);
	ProfileConfig replaced = fast;
	replaced.nombre = QStringLiteral("RÁPIDO");
	replaced.videoKbps = 6000;
	EXPECT_EQ(storeProfile(profiles, replaced), 0);
	ASSERT_EQ(profiles.size(), 2);
	EXPECT_EQ(profileItemText(profiles[0]), QStringLiteral("RÁPIDO · 6000 kbps"));
	EXPECT_EQ(findProfile(profiles, QStringLiteral("otro")), 1);
	EXPECT_EQ(findProfile(profiles, QStringLiteral("nada")), -1);
	EXPECT_EQ(customSizeLabel(1000, 500), QStringLiteral("1000×500 (personalizado)"));
	EXPECT_EQ(missingNameText(QStringLiteral("Old")), QStringLiteral("⚠ Old (ya no existe)"));
}
