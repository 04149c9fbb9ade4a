#include "editor/editor-rules.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <obs.h>

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
		  QStringLiteral("Destino 1: la dirección debe empezar por rtmp://, rtmps://, srt:// o rist://."));
	EXPECT_FALSE(firstDestinationProblem({{QStringLiteral("?"), QString(), QString()}}).isEmpty());
	// A recording's name stays in its folder; where a shell starts OBS's muxer (OBS 29), a folder it would expand
	// is refused.
	DestTexts recording;
	recording.recording = true;
	recording.folder = QStringLiteral("/tmp/rec $(touch X)");
	recording.pattern = QStringLiteral("../up %CCYY");
	EXPECT_EQ(firstDestinationProblem({recording}),
		  QStringLiteral("Destino 1: el nombre del archivo no puede llevar «/» ni «\\»: la grabación se guarda "
				 "siempre en su carpeta."));
	recording.pattern = QStringLiteral("%CCYY-%MM-%DD");
	EXPECT_EQ(firstDestinationProblem({recording}).isEmpty(), obs_get_version() >= MAKE_SEMANTIC_VERSION(30, 0, 0))
		<< firstDestinationProblem({recording});

	DestConfig stored;
	stored.id = QStringLiteral("d1");
	stored.url = QStringLiteral("srt://h:1");
	stored.sinAbrir.clave = QStringLiteral("dpapi:AAAA");
	const DestConfig srt =
		destinationFromRow(stored, {QStringLiteral(" srt://h:2 "), QString(), QStringLiteral(" p ")});
	EXPECT_EQ(srt.id, QStringLiteral("d1"));
	EXPECT_EQ(srt.url, QStringLiteral("srt://h:2"));
	EXPECT_EQ(srt.contrasena, QStringLiteral(" p "));
	EXPECT_TRUE(srt.sinAbrir.clave.isEmpty()) << "a key that could not be opened is not sent to a new address";
	EXPECT_EQ(destinationFromRow(stored, {QStringLiteral("srt://h:1"), QString(), QString()}).sinAbrir.clave,
		  QStringLiteral("dpapi:AAAA"))
		<< "kept while the address stays";
	const DestConfig rtmp = destinationFromRow(DestConfig(), {QStringLiteral("rtmp://h/a"), QStringLiteral(" k "),
								  QStringLiteral("hidden")});
	EXPECT_EQ(rtmp.id.size(), 36);
	EXPECT_EQ(rtmp.clave, QStringLiteral(" k "));
	EXPECT_TRUE(rtmp.contrasena.isEmpty());

	// A key pasted at the end of an RTMP address, key field empty: the last segment (query and all) is the key.
	const DestTexts pastedRow{QStringLiteral(" rtmp://u:p@h/live2/ab-cd?x=1/2 "), QString(), QString()};
	const DestConfig pasted = destinationFromRow(DestConfig(), pastedRow);
	EXPECT_EQ(pasted.url, QStringLiteral("rtmp://u:p@h/live2"));
	EXPECT_EQ(pasted.clave, QStringLiteral("ab-cd?x=1/2"));
	EXPECT_TRUE(detectedTypeFor(pastedRow.url).typeLine.contains(QStringLiteral("clave de emisión")));
	for (const char *kept : {"rtmp://h/a/b", "rtmps://h:443/rtmp/", "srt://h:1/a/b", "rtmp://h/live"}) {
		const bool typedKey = QByteArray(kept) == "rtmp://h/a/b";
		const DestConfig same = destinationFromRow(
			DestConfig(), {QString::fromUtf8(kept), typedKey ? QStringLiteral("k") : QString(), QString()});
		EXPECT_EQ(same.url, QString::fromUtf8(kept));
		EXPECT_EQ(detectedTypeFor(same.url, same.clave).typeLine.contains(QStringLiteral("clave")), false)
			<< kept;
	}
	// OBS's own log shows an RTMP address whole: the row says so while the address holds a query.
	EXPECT_TRUE(detectedTypeFor(QStringLiteral("rtmp://h/live?token=t"), QStringLiteral("k"))
			    .typeLine.contains(QStringLiteral("registro")));
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
	EncoderCandidate av1 = h264("ffmpeg_svt_av1", "SVT-AV1");
	av1.codec = QStringLiteral("av1");
	EncoderCandidate audio = h264("aac_hw", "AAC");
	audio.video = false;

	// Encoders of other codecs come after H.264's, named with their codec.
	const QList<EncoderChoice> none =
		orderEncoderChoices({av1, h264("obs_x264", "x264"), deprecated, internal, audio});
	ASSERT_EQ(none.size(), 2);
	EXPECT_EQ(none[0].id, QStringLiteral("obs_x264"));
	EXPECT_EQ(none[0].label, QStringLiteral("CPU (x264) · recomendado"));
	EXPECT_EQ(none[1].label, QStringLiteral("SVT-AV1 · AV1"));

	// A codec is ruled out by the first destination whose output does not carry it here, which is named.
	const auto carried = [](AddressKind kind, bool video) {
		if (!video) {
			return QStringList{QStringLiteral("aac")};
		}
		return kind == AddressKind::Rtmp ? QStringList{QStringLiteral("h264")} : QStringList();
	};
	DestTexts file;
	file.recording = true;
	const QList<DestTexts> rows = {{QStringLiteral("srt://h:1")}, file, {QStringLiteral("rtmp://h/live")}};
	EXPECT_EQ(codecProblem(rows, QStringLiteral("av1"), QStringLiteral("aac"), carried),
		  QStringLiteral("Destino 3 (RTMP) no admite av1 en este OBS; admite h264."));
	EXPECT_EQ(codecProblem(rows, QStringLiteral("h264"), QStringLiteral(" Opus "), carried),
		  QStringLiteral("Destino 1 (SRT) no admite opus en este OBS; admite aac."));
	EXPECT_EQ(codecProblem(rows, QStringLiteral("h264"), QStringLiteral("aac"), carried), QString());

	const QList<EncoderChoice> two = orderEncoderChoices(
		{h264("obs_x264", "x264"), h264("hw_a", "Card A"), deprecated, h264("hw_b", nullptr)});
	ASSERT_EQ(two.size(), 3);
	EXPECT_EQ(two[0].label, QStringLiteral("Card A · tarjeta gráfica · recomendado"));
	EXPECT_EQ(two[1].label, QStringLiteral("hw_b · tarjeta gráfica"));
	EXPECT_EQ(two[2].label, QStringLiteral("CPU (x264)"));
}

TEST(EditorRules, FrameRatesAreFractionsOfOBSsDownToTen)
{
	const auto labels = [](const QList<FrameRateChoice> &choices) {
		QStringList texts;
		for (const FrameRateChoice &choice : choices) {
			texts << QStringLiteral("%1:%2").arg(choice.divisor).arg(choice.label);
		}
		return texts;
	};
	EXPECT_EQ(labels(frameRateChoices(60, 1, true)),
		  (QStringList{"1:Como OBS (60 fps)", "2:30 fps", "3:20 fps", "4:15 fps", "5:12 fps", "6:10 fps"}));
	EXPECT_EQ(labels(frameRateChoices(30000, 1001, true)), (QStringList{"1:Como OBS (29.97 fps)", "2:14.99 fps"}));
	EXPECT_EQ(labels(frameRateChoices(60, 1, false)), QStringList{"1:Como OBS (60 fps)"});
}
