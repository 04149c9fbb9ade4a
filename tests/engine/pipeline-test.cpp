// The engine's pieces on a running OBS, without a server: encoder settings, audio codecs, error texts, what a
// pipeline puts on its view, and start failures that must leave nothing behind.
#include "engine/obs-fixture.hpp"
#include "engine/addresses.hpp"
#include "engine/encoder-settings.hpp"
#include "common/qt-print.hpp"

#include <gtest/gtest.h>

using namespace obstest;

TEST(EncoderSettings, FamiliesAdvancedTextAndBitrate)
{
	struct Case {
		const char *id;
		const char *advanced;
		bool keyint, x264opts, nvenc;
	};
	const Case cases[] = {
		{"obs_x264", "", true, true, false},     {"obs_x264", "  ", true, true, false},
		{"jim_nvenc", "", true, false, true},    {"ffmpeg_nvenc", "", true, false, true},
		{"NVENC_H264", "", true, false, false},  {"ffmpeg_aac", "", true, false, false},
		{"obs_x264", "{}", false, false, false}, {"obs_x264", "not json", false, false, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.id) + " / " + c.advanced);
		OBSDataAutoRelease settings =
			buildVideoEncoderSettings(QString::fromUtf8(c.id), 2500, QString::fromUtf8(c.advanced));
		EXPECT_EQ(obs_data_get_int(settings, "bitrate"), 2500);
		EXPECT_EQ(obs_data_has_user_value(settings, "keyint_sec"), c.keyint);
		EXPECT_EQ(obs_data_has_user_value(settings, "x264opts"), c.x264opts);
		EXPECT_EQ(obs_data_has_user_value(settings, "bf"), c.nvenc);
		EXPECT_EQ(obs_data_has_user_value(settings, "lookahead"), c.nvenc);
	}
	// Advanced settings apply over the encoder's defaults; the bitrate always wins.
	OBSDataAutoRelease advanced = buildVideoEncoderSettings(
		QStringLiteral("obs_x264"), 900, QStringLiteral("{\"bitrate\": 6000, \"preset\": \"fast\"}"));
	EXPECT_EQ(obs_data_get_int(advanced, "bitrate"), 900);
	EXPECT_STREQ(obs_data_get_string(advanced, "preset"), "fast");
	EXPECT_STREQ(obs_data_get_string(advanced, "rate_control"), "CBR") << "x264's own default is kept";

	EntryConfig entry = makeEntry(QStringLiteral("x"), {{QStringLiteral("rtmp://h/live"), QString()}});
	OBSDataAutoRelease rtmpOnly = buildEntryVideoSettings(entry);
	EXPECT_FALSE(obs_data_get_bool(rtmpOnly, "repeat_headers"));
	entry.destinos.append(DestConfig{QStringLiteral("d2"), QStringLiteral(" SRT://h:9000"), {}, {}, {}});
	OBSDataAutoRelease withSrt = buildEntryVideoSettings(entry);
	EXPECT_TRUE(obs_data_get_bool(withSrt, "repeat_headers"));
}

TEST(EncoderSettings, AudioCodecsAndOutputErrors)
{
	for (const char *aac : {"", "aac", "AAC", " aac ", "ffmpeg_aac"}) {
		EXPECT_EQ(resolveAudioEncoderId(QString::fromUtf8(aac)), QStringLiteral("ffmpeg_aac")) << aac;
	}
	EXPECT_EQ(resolveAudioEncoderId(QStringLiteral("Opus")), QStringLiteral("ffmpeg_opus"));
	EXPECT_EQ(resolveAudioEncoderId(QStringLiteral("obs_x264")), QString()) << "a video encoder is no audio codec";
	EXPECT_EQ(resolveAudioEncoderId(QStringLiteral("mp3")), QString());

	// This binary runs OBS in English. A failure whose cause cannot be named keeps OBS's own text.
	const auto text = [](int code, const QString &lastError) {
		return outputErrorText({code, false, lastError, obsOutputTextId(lastError)});
	};
	EXPECT_EQ(text(-2, QStringLiteral("something else")),
		  QStringLiteral("Could not connect to the server. something else"));
	EXPECT_EQ(text(-4, QStringLiteral("x")), QStringLiteral("The stream stopped because of an error (code -4). x"));
	EXPECT_EQ(text(-5, QString()), QStringLiteral("The connection to the server was lost."));

	// What OBS 29's outputs carry, as the dialog and every start ask: H.264 alone over RTMP (before enhanced
	// RTMP), AAC alone everywhere, and no AV1 over MPEG-TS (declared, but written as undecodable data).
	EXPECT_EQ(carriedCodecs(AddressKind::Rtmp, true), QStringList{QStringLiteral("h264")});
	EXPECT_EQ(carriedCodecs(AddressKind::Srt, false), QStringList{QStringLiteral("aac")});
	EXPECT_FALSE(carriedCodecs(AddressKind::Rist, true).contains(QStringLiteral("av1")));
	EXPECT_TRUE(carriedCodecs(AddressKind::Whip, true).isEmpty()) << "no WHIP output here";
}

TEST(Pipeline, WhatTheViewShows)
{
	OBSSourceAutoRelease color = makeColor("wrap-color", 0xFF00FF00, 320, 240);
	OBSSceneAutoRelease scene = makeScene("Wrap scene", {color});

	EntryPipeline atCanvas;
	QString error;
	ASSERT_TRUE(atCanvas.open(makeEntry(QStringLiteral("Wrap scene"), {}), &error)) << error.toStdString();
	EXPECT_EQ(atCanvas.wrappingScene(), nullptr) << "a scene at OBS's size is shown as it is";
	EXPECT_EQ(atCanvas.width(), canvasWidth);
	EXPECT_TRUE(obs_source_active(obs_scene_get_source(scene))) << "what an entry shows is active";
	ASSERT_TRUE(atCanvas.switchSource(QStringLiteral("wrap-color"), &error));
	EXPECT_NE(atCanvas.wrappingScene(), nullptr) << "a single source is always scaled in a private scene";
	EXPECT_EQ(atCanvas.currentSourceName(), QStringLiteral("wrap-color"));
	EXPECT_FALSE(obs_source_active(obs_scene_get_source(scene)));
	ASSERT_TRUE(atCanvas.switchSource(QStringLiteral("Wrap scene"), &error));
	EXPECT_EQ(atCanvas.wrappingScene(), nullptr);
	EXPECT_FALSE(atCanvas.switchSource(QStringLiteral("nowhere"), &error));
	EXPECT_EQ(error, QStringLiteral("“nowhere” does not exist in OBS."));
	EXPECT_EQ(atCanvas.currentSourceName(), QStringLiteral("Wrap scene"));
	atCanvas.close();
	atCanvas.close();
	EXPECT_FALSE(obs_source_active(color)) << "activity is given back on close";

	EntryPipeline ownSize;
	EntryConfig entry = makeEntry(QStringLiteral("Wrap scene"), {}, 1080, 1920);
	entry.retrasoAudioMs = 250;
	ASSERT_TRUE(ownSize.open(entry, &error));
	EXPECT_NE(ownSize.wrappingScene(), nullptr) << "a scene with a size of its own is scaled too";
	EXPECT_EQ(ownSize.width(), 1080u);
	EXPECT_EQ(ownSize.height(), 1920u);
	EXPECT_EQ(ownSize.audioTrack().sampleRate(), 48000u);
	EXPECT_EQ(ownSize.audioTrack().delay(), 12000);
	ownSize.close();

	// OBS's program: at OBS's size OBS's own video, with no view and no mix of its own; at another size, drawn
	// through the entry's view. It is never switched by hand.
	obs_set_output_source(0, obs_scene_get_source(scene));
	EntryConfig programEntry = makeEntry(QString(), {});
	programEntry.programaObs = true;
	programEntry.pistaAudio = 1;
	EntryPipeline program;
	ASSERT_TRUE(program.open(programEntry, &error)) << error.toStdString();
	EXPECT_TRUE(program.usesObsVideo());
	EXPECT_EQ(obs_encoder_video(program.videoEncoder()), obs_get_video());
	EXPECT_FALSE(program.audioTrack().isOpen());
	EXPECT_FALSE(program.switchSource(QStringLiteral("Wrap scene"), &error));
	program.close();
	programEntry.ancho = 320;
	programEntry.alto = 180;
	ASSERT_TRUE(program.open(programEntry, &error)) << error.toStdString();
	EXPECT_FALSE(program.usesObsVideo());
	EXPECT_NE(program.wrappingScene(), nullptr);
	EXPECT_EQ(program.width(), 320u);
	program.close();
	obs_set_output_source(0, nullptr);

	EntryPipeline closed;
	EXPECT_FALSE(closed.open(programEntry, &error));
	EXPECT_EQ(error, QStringLiteral("OBS has nothing on its program."));
	EXPECT_FALSE(closed.switchSource(QStringLiteral("Wrap scene"), &error));
	EXPECT_EQ(error, QStringLiteral("The input is not streaming."));
	EXPECT_FALSE(closed.open(makeEntry(QStringLiteral("gone"), {}), &error));
	EXPECT_EQ(error, QStringLiteral("“gone” no longer exists in OBS."));
	EXPECT_FALSE(closed.isOpen());
}

TEST(Pipeline, FailedStartsLeaveNothingBehind)
{
	OBSSourceAutoRelease color = makeColor("fail-color", 0xFF0000FF);
	const QString unused = QStringLiteral("rtmp://127.0.0.1:1/live");
	EntryConfig entry = makeEntry(QStringLiteral("fail-color"),
				      {{QStringLiteral("http://h/whip"), QString()}, {unused, QStringLiteral("k")}});
	LiveEntry live;
	QString error;
	EXPECT_FALSE(live.startDestination(entry, entry.destinos[0], &error));
	EXPECT_EQ(error, QStringLiteral("This OBS has no WebRTC (WHIP) output."));
	EXPECT_EQ(live.pipelineHandle(), nullptr);
	EXPECT_EQ(countModuleObjects().total(), 0);
	EXPECT_EQ(live.destinationStatus(entry.destinos[0].id).state, DestState::Failed);
	EXPECT_EQ(live.destinationStatus(entry.destinos[0].id).message, error);
	EXPECT_EQ(live.destinationStatus(QStringLiteral("never")).lastOutageSeconds, -1);
	EXPECT_EQ(live.destinationStatus(QStringLiteral("never")).state, DestState::Idle);

	entry.codificadorAudio = QStringLiteral(" obs_x264 ");
	EXPECT_FALSE(live.startDestination(entry, entry.destinos[1], &error));
	EXPECT_EQ(error, QStringLiteral("The audio encoder \"obs_x264\" does not exist in this OBS. Choose \"aac\" or "
					"\"opus\"."));
	entry.codificadorAudio.clear();
	entry.codificador = QStringLiteral("no_such_encoder");
	EXPECT_FALSE(live.startDestination(entry, entry.destinos[1], &error));
	EXPECT_EQ(error,
		  QStringLiteral("Could not create the video encoder “no_such_encoder”. Try the CPU encoder (x264)."));
	EXPECT_EQ(countModuleObjects().total(), 0);
	EXPECT_EQ(live.pipelineHandle(), nullptr);
}
