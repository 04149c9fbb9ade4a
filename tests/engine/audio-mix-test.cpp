// An entry's audio is exactly what it shows, heard at the server: tones of different frequencies tell the
// sources apart in what was received.
#include "engine/obs-fixture.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <chrono>

using namespace obstest;

namespace {

std::vector<float> received(const std::string &file, double from, double length)
{
	return testbed::decodeAudio(file, 48000, 1, from, length);
}

} // namespace

TEST(AudioMix, SwitchingScenesSwitchesTheSoundWithoutACut)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease low = makeTone("mix-440", 440);
	OBSSourceAutoRelease high = makeTone("mix-880", 880);
	OBSSourceAutoRelease background = makeColor("mix-bg", 0xFF202020);
	OBSSceneAutoRelease first = makeScene("Mix low", {background, low});
	OBSSceneAutoRelease second = makeScene("Mix high", {background, high});

	EntryConfig entry =
		makeEntry(QStringLiteral("Mix low"), {{QString::fromStdString(server.url()), QStringLiteral("mix")}});
	LiveEntry live;
	QString error;
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	const QString id = entry.destinos[0].id;
	ASSERT_TRUE(tickUntil(
		live, [&] { return live.destinationStatus(id).state == DestState::Live; }, 10000));
	const auto liveAt = std::chrono::steady_clock::now();
	tickFor(live, 3000);

	const double switchedAt = secondsSince(liveAt);
	ASSERT_TRUE(live.pipelineHandle()->switchSource(QStringLiteral("Mix high"), &error)) << error.toStdString();
	EXPECT_EQ(live.currentSourceName(), QStringLiteral("Mix high"));
	EXPECT_EQ(entry.fuente, QStringLiteral("Mix low")) << "the configuration keeps what the user chose";
	bool stayedLive = true;
	tickUntil(
		live,
		[&] {
			stayedLive = stayedLive && live.destinationStatus(id).state == DestState::Live;
			return false;
		},
		3000);
	EXPECT_TRUE(stayedLive);
	EXPECT_EQ(live.destinationStatus(id).drops, 0);
	EXPECT_FALSE(obs_source_active(low)) << "what is no longer shown is no longer active";
	live.stopAndWait();
	EXPECT_FALSE(obs_source_active(high));

	// The recording starts when the stream went live, give or take a packet.
	const std::string file = server.recordingPath("mix");
	const auto before = received(file, 0.5, switchedAt - 1.0);
	const auto after = received(file, switchedAt + 1.0, 1.5);
	EXPECT_NEAR(testbed::dominantFrequency(before, 48000), 440.0, 3.0);
	EXPECT_NEAR(testbed::dominantFrequency(after, 48000), 880.0, 3.0);
	EXPECT_LT(testbed::toneAmplitude(after, 48000, 440.0), 0.02)
		<< "the old scene's source is gone within a second";
	EXPECT_GT(testbed::toneAmplitude(after, 48000, 880.0), 0.3);
}

TEST(AudioMix, MutedHiddenAndHalfVolumeSources)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease muted = makeTone("mute-440", 440);
	OBSSourceAutoRelease hidden = makeTone("hidden-660", 660);
	OBSSourceAutoRelease half = makeTone("half-880", 880);
	OBSSourceAutoRelease full = makeTone("full-1320", 1320);
	OBSSceneAutoRelease scene = makeScene("Mix levels", {muted, hidden, half, full});
	obs_source_set_muted(muted, true);
	obs_source_set_volume(half, 0.5f);
	obs_sceneitem_set_visible(obs_scene_find_source(scene, "hidden-660"), false);

	EntryConfig entry = makeEntry(QStringLiteral("Mix levels"),
				      {{QString::fromStdString(server.url()), QStringLiteral("levels")}});
	LiveEntry live;
	QString error;
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	const QString id = entry.destinos[0].id;
	ASSERT_TRUE(tickUntil(
		live, [&] { return live.destinationStatus(id).state == DestState::Live; }, 10000));
	const auto captured = live.pipelineHandle()->audioTrack().capturedSources();
	EXPECT_EQ(captured.size(), 3u) << "a hidden source is not captured";
	tickFor(live, 4000);
	// Showing and hiding it while streaming: the once-a-second refresh follows.
	EntryAudioTrack &track = live.pipelineHandle()->audioTrack();
	obs_sceneitem_set_visible(obs_scene_find_source(scene, "hidden-660"), true);
	track.refreshSources();
	EXPECT_EQ(track.capturedSources().size(), 4u);
	obs_sceneitem_set_visible(obs_scene_find_source(scene, "hidden-660"), false);
	track.refreshSources();
	EXPECT_EQ(track.capturedSources().size(), 3u);
	live.stopAndWait();

	const auto samples = received(server.recordingPath("levels"), 1.5, 2.0);
	const double reference = testbed::toneAmplitude(samples, 48000, 1320.0);
	EXPECT_GT(reference, 0.3);
	EXPECT_NEAR(testbed::toneAmplitude(samples, 48000, 880.0) / reference, 0.5, 0.08);
	EXPECT_LT(testbed::toneAmplitude(samples, 48000, 440.0), 0.02) << "muted";
	EXPECT_LT(testbed::toneAmplitude(samples, 48000, 660.0), 0.02) << "hidden";
}
