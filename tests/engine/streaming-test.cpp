// An entry streams to real servers: its own size and framing, one video encoder shared by every destination,
// AAC over RTMP and RTMPS, Opus over SRT.
#include "engine/obs-fixture.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

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

QString q(const std::string &text)
{
	return QString::fromStdString(text);
}

bool allLive(LiveEntry &live, const EntryConfig &entry)
{
	for (const DestConfig &dest : entry.destinos) {
		if (live.destinationStatus(dest.id).state != DestState::Live) {
			return false;
		}
	}
	return true;
}

} // namespace

TEST(Streaming, OwnSizeToTwoRtmpServersWithOneVideoEncoder)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("blue", 0xFFFF0000);
	OBSSourceAutoRelease tone = makeTone("tone-440", 440);
	OBSSceneAutoRelease scene = makeScene("Streaming A", {color, tone});

	EntryConfig entry = makeEntry(
		QStringLiteral("Streaming A"),
		{{q(server.url()), QStringLiteral("first")}, {q(server.url()), QStringLiteral("second")}}, 320, 240);
	LiveEntry live;
	QString error;
	for (const DestConfig &dest : entry.destinos) {
		ASSERT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
		EXPECT_EQ(live.destinationStatus(dest.id).state, DestState::Connecting);
	}
	// Starting a destination that runs changes nothing.
	obs_output_t *firstOutput = live.runningDestination(entry.destinos[0].id)->outputHandle();
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error));
	EXPECT_EQ(live.runningDestination(entry.destinos[0].id)->outputHandle(), firstOutput);

	ASSERT_TRUE(tickUntil(
		live, [&] { return allLive(live, entry); }, 10000));
	const ModuleObjects objects = countModuleObjects();
	EXPECT_EQ(objects.videoEncoders, 1);
	EXPECT_EQ(objects.audioEncoders, 2);
	EXPECT_EQ(objects.outputs, 2);
	EXPECT_EQ(objects.services, 2);
	EXPECT_EQ(live.currentSourceName(), QStringLiteral("Streaming A"));

	ASSERT_TRUE(tickUntil(
		live, [&] { return live.destinationStatus(entry.destinos[1].id).kbps > 0; }, 5000));
	tickFor(live, 2500);
	LogCapture log;
	live.stopAndWait();
	EXPECT_TRUE(log.contains("[tallowmere] closing entry: preview "));
	EXPECT_EQ(countModuleObjects().total(), 0);
	EXPECT_FALSE(live.isRunning());

	for (const char *key : {"first", "second"}) {
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
}
