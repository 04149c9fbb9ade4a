// An entry streams to real servers: its own size and framing, one video encoder shared by every destination,
// AAC over RTMP and RTMPS, Opus over SRT.
#include "engine/obs-fixture.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

using namespace obstest;

namespace {

const testbed::StreamInfo *findStream(const std::vector<testbed::StreamInfo> &streams, const std::string &type)
{
	for (const auto &stream : streams) {
		if (stream.type == type) {
			return &stream;
		}
	}
	return nullptr;
}

} // namespace

TEST(Streaming, OwnSizeToFourRtmpServersWithOneEncoderOfEach)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("blue", 0xFFFF0000);
	OBSSourceAutoRelease tone = makeTone("tone-440", 440);
	OBSSceneAutoRelease scene = makeScene("Streaming A", {color, tone});

	EntryConfig entry = makeEntry(QStringLiteral("Streaming A"),
				      {{q(server.url()), QStringLiteral("first")},
				       {q(server.url()), QStringLiteral("second")},
				       {q(server.url()), QStringLiteral("leaves")},
				       {q(server.url()), QStringLiteral("joins")}},
				      320, 240);
	LiveEntry live;
	QString error;
	for (int i = 0; i < 3; ++i) {
		ASSERT_TRUE(live.startDestination(entry, entry.destinos[i], &error)) << error.toStdString();
		EXPECT_EQ(live.destinationStatus(entry.destinos[i].id).state, DestState::Connecting);
	}
	// Starting a destination that runs changes nothing.
	obs_output_t *firstOutput = live.runningDestination(entry.destinos[0].id)->outputHandle();
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error));
	EXPECT_EQ(live.runningDestination(entry.destinos[0].id)->outputHandle(), firstOutput);
	auto isLive = [&](int i) {
		return live.destinationStatus(entry.destinos[i].id).state == DestState::Live;
	};
	ASSERT_TRUE(tickUntil(
		live, [&] { return isLive(0) && isLive(1) && isLive(2); }, 10000));
	// Long enough for the one that leaves to carry two seconds of sound.
	ASSERT_TRUE(tickUntil(
		live, [&] { return live.destinationStatus(entry.destinos[2].id).liveSeconds >= 3; }, 10000));

	// One destination joins and another leaves while the rest stream; each encoder is made once for all.
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[3], &error)) << error.toStdString();
	ASSERT_TRUE(tickUntil(
		live, [&] { return isLive(3); }, 10000));
	ModuleObjects objects = countModuleObjects();
	EXPECT_EQ(objects.videoEncoders, 1);
	EXPECT_EQ(objects.audioEncoders, 1);
	EXPECT_EQ(objects.outputs, 4);
	EXPECT_EQ(objects.services, 4);
	live.runningDestination(entry.destinos[2].id)->stop();
	ASSERT_TRUE(tickUntil(
		live, [&] { return !live.runningDestination(entry.destinos[2].id); }, 10000));
	EXPECT_EQ(countModuleObjects().outputs, 3);
	EXPECT_EQ(live.currentSourceName(), QStringLiteral("Streaming A"));
	tickFor(live, 2500);
	LogCapture log;
	live.stopAndWait();
	EXPECT_TRUE(log.contains("[tallowmere] closing entry: preview "));
	EXPECT_EQ(countModuleObjects().total(), 0);
	EXPECT_FALSE(live.isRunning());

	for (const char *key : {"first", "second", "leaves", "joins"}) {
		SCOPED_TRACE(key);
		const auto streams = testbed::probeStreams(server.recordingPath(key));
		const auto *video = findStream(streams, "video");
		const auto *audio = findStream(streams, "audio");
		ASSERT_NE(video, nullptr) << testbed::lastToolError();
		ASSERT_NE(audio, nullptr);
		EXPECT_EQ(video->codec, "h264");
		EXPECT_EQ(video->width, 320);
		EXPECT_EQ(video->height, 240);
		EXPECT_EQ(audio->codec, "aac");
		EXPECT_EQ(audio->sampleRate, 48000);
		const auto samples = testbed::decodeAudio(server.recordingPath(key), 48000, 1, 1.0, 1.5);
		EXPECT_NEAR(testbed::dominantFrequency(samples, 48000), 440.0, 3.0);
	}
	// The two that streamed throughout did so unbroken: one recording each, no frame missing for long.
	for (const char *key : {"first", "second"}) {
		SCOPED_TRACE(key);
		const auto times = testbed::videoFrameTimes(server.recordingPath(key));
		ASSERT_GT(times.size(), 90u);
		double longest = 0;
		for (size_t i = 1; i < times.size(); ++i) {
			longest = std::max(longest, times[i] - times[i - 1]);
		}
		EXPECT_LT(longest, 0.5);
		EXPECT_GT(times.back() - times.front(), 4.0);
	}
}

TEST(Streaming, FitAndFillFramingAtTheServer)
{
	testbed::RtmpServer server;
	server.start();
	// A 4:3 red picture on 16:9 entries: bars beside it when fitted, the frame full when filled.
	OBSSourceAutoRelease red = makeColor("red-4x3", 0xFF0000FF, 240, 180);
	EntryConfig fit = makeEntry(QStringLiteral("red-4x3"), {{q(server.url()), QStringLiteral("fit")}}, 320, 180);
	EntryConfig fill = makeEntry(QStringLiteral("red-4x3"), {{q(server.url()), QStringLiteral("fill")}}, 320, 180);
	fill.llenar = true;
	// And OBS's program, at OBS's size: its picture and its sound as OBS mixes them.
	OBSSourceAutoRelease tone = makeTone("program-550", 550);
	OBSSceneAutoRelease onProgram = makeScene("On program", {red, tone});
	obs_set_output_source(0, obs_scene_get_source(onProgram));
	EntryConfig program = makeEntry(QString(), {{q(server.url()), QStringLiteral("program")}});
	program.programaObs = true;
	program.pistaAudio = 1;
	// And OBS's program sent as OBS's own stream encoder makes it, which OBS sets up at its first start.
	static OBSEncoderAutoRelease obsVideo;
	static OBSEncoderAutoRelease obsAudio;
	obsVideo = obs_video_encoder_create("obs_x264", "simple_video_stream", nullptr, nullptr);
	obsAudio = obs_audio_encoder_create("ffmpeg_aac", "simple_aac", nullptr, 0, nullptr);
	EntryPipeline::setObsEncoderLookup([](ObsEncoderKind) {
		return ObsEncoders{OBSEncoderAutoRelease(obs_encoder_get_ref(obsVideo)),
				   OBSEncoderAutoRelease(obs_encoder_get_ref(obsAudio))};
	});
	struct LetGo {
		~LetGo()
		{
			EntryPipeline::setObsEncoderLookup(nullptr);
			obsVideo = nullptr;
			obsAudio = nullptr;
		}
	} letGo;
	EntryConfig shared = makeEntry(QString(), {{q(server.url()), QStringLiteral("shared")}});
	shared.programaObs = true;
	shared.codificadorObs = QStringLiteral("emision");
	LiveEntry fitLive;
	LiveEntry fillLive;
	LiveEntry programLive;
	LiveEntry sharedLive;
	QString error;
	EXPECT_FALSE(LiveEntry().startDestination(shared, shared.destinos[0], &error));
	EXPECT_TRUE(error.startsWith(QStringLiteral("OBS has not set up its stream encoder yet"))) << error;
	obs_encoder_set_video(obsVideo, obs_get_video());
	obs_encoder_set_audio(obsAudio, obs_get_audio());
	ASSERT_TRUE(fitLive.startDestination(fit, fit.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(fillLive.startDestination(fill, fill.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(programLive.startDestination(program, program.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(sharedLive.startDestination(shared, shared.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(tickUntil(
		fitLive,
		[&] {
			fillLive.tick();
			programLive.tick();
			sharedLive.tick();
			return allLive(fitLive, fit) && allLive(fillLive, fill) && allLive(programLive, program) &&
			       allLive(sharedLive, shared);
		},
		10000));
	EXPECT_EQ(countModuleObjects().videoEncoders, 3) << "one video encoder per entry, none for sharing OBS's";
	// A live edit of the entry never reaches OBS's own encoder.
	shared.videoKbps = 300;
	sharedLive.applyLiveSettings(shared);
	OBSDataAutoRelease obsSettings = obs_encoder_get_settings(obsVideo);
	EXPECT_NE(obs_data_get_int(obsSettings, "bitrate"), 300);
	tickFor(fitLive, 2500);
	sharedLive.stopAndWait();
	programLive.stopAndWait();
	fillLive.stopAndWait();
	fitLive.stopAndWait();
	obs_set_output_source(0, nullptr);
	const auto programStreams = testbed::probeStreams(server.recordingPath("program"));
	ASSERT_NE(findStream(programStreams, "video"), nullptr) << testbed::lastToolError();
	EXPECT_EQ(findStream(programStreams, "video")->width, 640);
	EXPECT_NEAR(testbed::dominantFrequency(
			    testbed::decodeAudio(server.recordingPath("program"), 48000, 1, 1.0, 1.5), 48000),
		    550.0, 3.0);
	const auto sharedStreams = testbed::probeStreams(server.recordingPath("shared"));
	ASSERT_NE(findStream(sharedStreams, "video"), nullptr) << testbed::lastToolError();
	EXPECT_EQ(findStream(sharedStreams, "video")->width, 640);
	EXPECT_NE(findStream(sharedStreams, "audio"), nullptr);

	const testbed::Image fitted = testbed::grabFrame(server.recordingPath("fit"), 1.5);
	const testbed::Image filled = testbed::grabFrame(server.recordingPath("fill"), 1.5);
	ASSERT_EQ(fitted.width, 320) << testbed::lastToolError();
	ASSERT_EQ(filled.width, 320);
	const auto isRed = [](const uint8_t *p) {
		return p[0] > 180 && p[1] < 70 && p[2] < 70;
	};
	const auto isBlack = [](const uint8_t *p) {
		return p[0] < 40 && p[1] < 40 && p[2] < 40;
	};
	EXPECT_TRUE(isBlack(fitted.at(8, 90))) << "left bar";
	EXPECT_TRUE(isBlack(fitted.at(311, 90))) << "right bar";
	EXPECT_TRUE(isRed(fitted.at(160, 90)));
	EXPECT_TRUE(isRed(fitted.at(48, 5))) << "fitted to the full height";
	EXPECT_TRUE(isRed(filled.at(8, 90)));
	EXPECT_TRUE(isRed(filled.at(311, 5)));
}

TEST(Streaming, AacOverRtmpsAndSrtWithPassphrase)
{
	testbed::RtmpServer::Options tls;
	tls.tls = true;
	testbed::RtmpServer server(tls);
	server.start();
	// OBS's RTMP client trusts only the system bundle: give it one with the test CA, in this process only.
	testbed::TempDir certs;
	const std::string bundle = testbed::makeCaBundleWith(server.caCertPath(), certs.file("bundle.crt"));
	ASSERT_TRUE(testbed::bindMount(bundle, "/etc/ssl/certs/ca-certificates.crt"));

	testbed::SrtListener::Options secret;
	secret.passphrase = "frase-de-paso-larga";
	testbed::SrtListener listener(secret);
	listener.start();

	OBSSourceAutoRelease color = makeColor("green", 0xFF00FF00);
	OBSSourceAutoRelease tone = makeTone("tone-660", 660);
	OBSSceneAutoRelease scene = makeScene("Streaming B", {color, tone});

	EntryConfig rtmps = makeEntry(QStringLiteral("Streaming B"), {{q(server.tlsUrl()), QStringLiteral("secure")}});
	EntryConfig srt = makeEntry(QStringLiteral("Streaming B"), {{q(listener.url()), QString()}}, 320, 180);
	srt.destinos[0].contrasena = QString::fromStdString(secret.passphrase);
	LiveEntry rtmpsLive;
	LiveEntry srtLive;
	QString error;
	ASSERT_TRUE(rtmpsLive.startDestination(rtmps, rtmps.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(srtLive.startDestination(srt, srt.destinos[0], &error)) << error.toStdString();
	const bool live = tickUntil(
		rtmpsLive,
		[&] {
			srtLive.tick();
			return allLive(rtmpsLive, rtmps) && allLive(srtLive, srt);
		},
		15000);
	EXPECT_TRUE(live) << rtmpsLive.destinationStatus(rtmps.destinos[0].id).message.toStdString() << " / "
			  << srtLive.destinationStatus(srt.destinos[0].id).message.toStdString();
	tickFor(rtmpsLive, 3000);
	rtmpsLive.stopAndWait();
	srtLive.stopAndWait();
	testbed::unmount("/etc/ssl/certs/ca-certificates.crt");
	listener.stop();

	const auto secure = testbed::probeStreams(server.recordingPath("secure"));
	ASSERT_NE(findStream(secure, "audio"), nullptr) << testbed::lastToolError();
	EXPECT_EQ(findStream(secure, "audio")->codec, "aac");
	EXPECT_EQ(findStream(secure, "video")->codec, "h264");

	const auto received = testbed::probeStreams(listener.outputPath());
	ASSERT_NE(findStream(received, "audio"), nullptr) << testbed::lastToolError();
	EXPECT_EQ(findStream(received, "audio")->codec, "aac");
	ASSERT_NE(findStream(received, "video"), nullptr);
	EXPECT_EQ(findStream(received, "video")->width, 320);
	const double start = findStream(received, "audio")->startTime;
	EXPECT_NEAR(testbed::dominantFrequency(testbed::decodeAudio(listener.outputPath(), 48000, 1, start + 1.0, 1.0),
					       48000),
		    660.0, 3.0);
}

TEST(Streaming, RistWithAndWithoutASecretAndAReceiverThatComesBack)
{
	testbed::SrtListener::Options rist;
	rist.receiver = testbed::SrtListener::Receiver::Rist;
	testbed::SrtListener plain(rist);
	rist.passphrase = "secreto-rist-de-prueba";
	testbed::SrtListener secret(rist);
	plain.start();
	secret.start();
	OBSSourceAutoRelease color = makeColor("rist-color", 0xFF0000FF, 320, 180);
	OBSSourceAutoRelease tone = makeTone("rist-tone", 440);
	OBSSceneAutoRelease scene = makeScene("Streaming RIST", {color, tone});
	EntryConfig entry = makeEntry(QStringLiteral("Streaming RIST"),
				      {{q(plain.url()), QString()},
				       {q(secret.url() + "?aes-type=128&secret=" + rist.passphrase), QString()}});
	LogCapture log;
	LiveEntry live;
	QString error;
	for (const DestConfig &dest : entry.destinos) {
		ASSERT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
	}
	const auto arrived = [&](const testbed::SrtListener &at) {
		return testbed::fileSize(at.outputPath()) > 64 * 1024;
	};
	ASSERT_TRUE(superviseUntil(
		{&live}, [&] { return allLive(live, entry) && arrived(plain) && arrived(secret); }, 20000));

	// A receiver away for a while: RIST has no connection to lose, so the stream stays live and reaches it again.
	plain.stop();
	const auto first = testbed::probeStreams(plain.outputPath());
	tickFor(live, 2000);
	plain.start();
	EXPECT_TRUE(superviseUntil(
		{&live}, [&] { return arrived(plain); }, 20000));
	EXPECT_TRUE(allLive(live, entry));
	live.stopAndWait();
	plain.stop();
	secret.stop();
	for (const auto &received :
	     {first, testbed::probeStreams(plain.outputPath()), testbed::probeStreams(secret.outputPath())}) {
		ASSERT_NE(findStream(received, "video"), nullptr) << testbed::lastToolError();
		EXPECT_EQ(findStream(received, "video")->codec, "h264");
		EXPECT_EQ(findStream(received, "audio")->codec, "aac");
	}
	EXPECT_FALSE(log.contains(rist.passphrase)) << "the secret never reaches the log";
}

TEST(Streaming, OpusOverSrt)
{
	testbed::SrtListener listener;
	listener.start();
	OBSSourceAutoRelease tone = makeTone("opus-880", 880);
	EntryConfig entry = makeEntry(QStringLiteral("opus-880"), {{q(listener.url()), QString()}}, 320, 180);
	entry.codificadorAudio = QStringLiteral("Opus");
	LiveEntry live;
	QString error;
	const QString id = entry.destinos[0].id;
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(29, 1, 0)
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	EXPECT_EQ(countModuleObjects().audioEncoders, 1);
	tickUntil(
		live, [&] { return live.destinationStatus(id).state == DestState::Live; }, 10000);
	ASSERT_EQ(live.destinationStatus(id).state, DestState::Live)
		<< live.destinationStatus(id).message.toStdString();
	tickFor(live, 3000);
	live.stopAndWait();
	listener.stop();
	const auto received = testbed::probeStreams(listener.outputPath());
	ASSERT_NE(findStream(received, "audio"), nullptr) << testbed::lastToolError();
	EXPECT_EQ(findStream(received, "audio")->codec, "opus");
#else
	// OBS 29.0's MPEG-TS output declares every audio track AAC (it refuses Opus headers at the first packet): the
	// start is refused at once, saying why, and leaves nothing behind.
	EXPECT_FALSE(live.startDestination(entry, entry.destinos[0], &error));
	EXPECT_EQ(live.destinationStatus(id).state, DestState::Failed);
	EXPECT_EQ(error, QStringLiteral("This destination does not accept the opus codec on this OBS: choose another "
					"encoder or AAC audio in “✎ Edit”."));
	EXPECT_EQ(live.destinationStatus(id).message, error);
	// Nor AV1, which OBS 29's MPEG-TS output declares but writes as data no receiver decodes.
	entry.codificadorAudio.clear();
	entry.codificador = QStringLiteral("ffmpeg_svt_av1");
	EXPECT_FALSE(live.startDestination(entry, entry.destinos[0], &error));
	EXPECT_TRUE(error.startsWith(QStringLiteral("This destination does not accept the av1 codec")))
		<< error.toStdString();
	std::printf("note: this OBS (%s) cannot carry Opus over SRT; OBS 29.1 and later can\n",
		    obs_get_version_string());
	live.stopAndWait();
#endif
	EXPECT_EQ(countModuleObjects().total(), 0);
}

TEST(Streaming, RecordingsBesideAStreamAndCongestion)
{
	// A vertical entry streams, records to MKV, and records to a read-only folder. A fourth destination goes
	// through a link a tenth as fast as it sends; small socket buffers (this test's network only) make its backlog
	// show within seconds. Two recordings of one fixed name start together beside an earlier file of that name,
	// and a third's name tries to leave its folder and run a command.
	testbed::RtmpServer server;
	server.start();
	testbed::ThrottledRelay slow(server.port(), 14000, 16384);
	slow.start();
	const std::string wmem = testbed::readFile("/proc/sys/net/ipv4/tcp_wmem");
	testbed::writeFile("/proc/sys/net/ipv4/tcp_wmem", "4096 16384 65536");
	testbed::TempDir folders("tallowmere-rec-");
	for (const char *name : {"kept", "readonly"}) {
		ASSERT_EQ(mkdir(folders.file(name).c_str(), 0755), 0);
	}
	ASSERT_EQ(mount("tmpfs", folders.file("readonly").c_str(), "tmpfs", MS_RDONLY, "size=1m"), 0);
	testbed::writeFile(folders.file("kept/take.mkv"), "earlier");
	ASSERT_EQ(mkdir(folders.file("rec $(touch pwned)").c_str(), 0755), 0);
	OBSSourceAutoRelease noise = makeMedia("rec-noise", noiseFile());
	OBSSourceAutoRelease tone = makeTone("rec-tone", 440);
	OBSSceneAutoRelease scene = makeScene("Recorded", {noise, tone});
	EntryConfig entry =
		makeEntry(QStringLiteral("Recorded"),
			  {{q(server.url()), QStringLiteral("streamed")},
			   {q("rtmp://127.0.0.1:" + std::to_string(slow.port()) + "/live"), QStringLiteral("slow")},
			   {},
			   {},
			   {},
			   {},
			   {}},
			  180, 320);
	entry.videoKbps = 1000;
	for (int i : {2, 3, 4, 5, 6}) {
		entry.destinos[i].grabacion = true;
		entry.destinos[i].carpeta = q(folders.file(i == 3   ? "readonly"
							   : i == 6 ? "rec $(touch pwned)"
								    : "kept"));
		entry.destinos[i].formato = i == 3 ? QStringLiteral("fmp4") : QStringLiteral("mkv");
		entry.destinos[i].patron = i == 5 ? QStringLiteral("../$(touch pwned)`touch pwned`")
						  : QStringLiteral("take");
	}
	LiveEntry live;
	QString error;
	for (const DestConfig &dest : entry.destinos) {
		live.startDestination(entry, dest, &error);
	}
	auto status = [&](int i) {
		return live.destinationStatus(entry.destinos[i].id);
	};
	// Where OBS starts its muxer through a shell, a folder it would expand is refused, saying why; elsewhere it
	// is only a name.
	const bool shell = obs_get_version() < MAKE_SEMANTIC_VERSION(30, 0, 0);
	EXPECT_EQ(status(6).state == DestState::Failed, shell) << status(6).message.toStdString();
	EXPECT_EQ(status(6).message.contains(QLatin1Char('$')), shell) << status(6).message.toStdString();
	EXPECT_EQ(status(3).state, DestState::Failed);
	EXPECT_TRUE(status(3).message.contains(q(folders.file("readonly")))) << status(3).message.toStdString();
	ASSERT_TRUE(tickUntil(
		live, [&] { return status(0).state == DestState::Live && status(2).state == DestState::Live; }, 10000));
	// The backlog grows as fast as the encoder fills it: slower in an instrumented build.
	const bool red = tickUntil(
		live, [&] { return congestionLevel(status(1).congestion) == CongestionLevel::Red; }, 45000, 500);
	tickFor(live, 3000, 500);
	std::printf("congestion healthy %.2f, slow %.2f; live %d s; recorded %llu bytes\n", status(0).congestion,
		    status(1).congestion, status(0).liveSeconds, static_cast<unsigned long long>(status(2).bytes));
	EXPECT_EQ(status(0).state, DestState::Live) << "the stream goes on";
	EXPECT_TRUE(status(2).recording);
	EXPECT_EQ(status(2).file.toStdString(), folders.file("kept/take (2).mkv")) << "the card names the file";
	EXPECT_GT(status(2).bytes, 100000u);
	EXPECT_GE(status(0).liveSeconds, 3);
	// Its backlog rises and falls as frames are dropped: it turned red, and it is not green again. The healthy
	// one's server writes to a disk that a busy machine may hold up for a moment, but never as badly.
	EXPECT_TRUE(red);
	EXPECT_NE(congestionLevel(status(1).congestion), CongestionLevel::Green);
	EXPECT_NE(congestionLevel(status(0).congestion), CongestionLevel::Red);
	EXPECT_LT(status(0).congestion, status(1).congestion);
	// A link that carries nothing any more: to OBS the stream is still live, and it is shown sending nothing.
	slow.setBytesPerSecond(0);
	EXPECT_TRUE(tickUntil(
		live, [&] { return status(1).silentSeconds >= Supervision::silentWarningSeconds; }, 60000, 500))
		<< int(status(1).state) << " " << status(1).silentSeconds;
	EXPECT_EQ(status(1).state, DestState::Live);
	EXPECT_EQ(status(0).silentSeconds, 0);
	live.stopAndWait();
	testbed::writeFile("/proc/sys/net/ipv4/tcp_wmem", wmem);
	umount2(folders.file("readonly").c_str(), MNT_DETACH);

	// The recording plays with the entry's size and codecs, as long as the stream: the one that joined the running
	// encoder began at its next keyframe (a second here), give or take a frame where each stopped.
	// Nothing overwritten, nothing outside its folder, nothing run.
	std::set<std::string> files;
	for (const auto &item : std::filesystem::recursive_directory_iterator(folders.path())) {
		files.insert(item.path().lexically_relative(folders.path()).string());
	}
	std::set<std::string> expected{"kept",
				       "kept/take.mkv",
				       "kept/take (2).mkv",
				       "kept/take (3).mkv",
				       "kept/-(touch pwned)touch pwned.mkv",
				       "readonly",
				       "rec $(touch pwned)"};
	if (!shell) {
		expected.insert("rec $(touch pwned)/take.mkv");
	}
	EXPECT_EQ(files, expected);
	EXPECT_EQ(testbed::readFile(folders.file("kept/take.mkv")), "earlier");
	EXPECT_FALSE(std::filesystem::exists("pwned"));
	EXPECT_EQ(testbed::probeStreams(folders.file("kept/take (3).mkv")).size(), 2u) << testbed::lastToolError();
	const std::string recordedFile = folders.file("kept/take (2).mkv");
	const auto streams = testbed::probeStreams(recordedFile);
	const auto *video = findStream(streams, "video");
	ASSERT_NE(video, nullptr) << testbed::lastToolError();
	EXPECT_EQ(video->codec, "h264");
	EXPECT_EQ(video->width, 180);
	EXPECT_EQ(video->height, 320);
	ASSERT_NE(findStream(streams, "audio"), nullptr);
	EXPECT_EQ(findStream(streams, "audio")->codec, "aac");
	const auto recorded = testbed::videoFrameTimes(recordedFile);
	const auto streamed = testbed::videoFrameTimes(server.recordingPath("streamed"));
	ASSERT_GT(recorded.size(), 100u);
	ASSERT_GT(streamed.size(), 100u);
	EXPECT_NEAR(recorded.back() - recorded.front(), streamed.back() - streamed.front(), 1.0 + 1.0 / 30)
		<< recorded.size() << " frames recorded, " << streamed.size() << " streamed";
}
