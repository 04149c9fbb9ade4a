// A running entry takes a new bitrate and a new audio delay without a cut, and every way of stopping leaves
// nothing behind.
#include "engine/obs-fixture.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

using namespace obstest;
using Clock = std::chrono::steady_clock;

namespace {

// The longest run of silence (20 ms windows below -40 dBFS), in seconds.
double longestSilence(const std::vector<float> &samples, int rate)
{
	const size_t window = size_t(rate / 50);
	double longest = 0;
	double current = 0;
	for (size_t start = 0; start + window <= samples.size(); start += window) {
		double sum = 0;
		for (size_t i = start; i < start + window; ++i) {
			sum += double(samples[i]) * samples[i];
		}
		current = std::sqrt(sum / double(window)) < 0.01 ? current + 0.02 : 0;
		longest = std::max(longest, current);
	}
	return longest;
}

int meanKbps(LiveEntry &live, const QString &id, int durationMs)
{
	long long sum = 0;
	int samples = 0;
	tickUntil(
		live,
		[&] {
			sum += std::max(live.destinationStatus(id).kbps, 0);
			++samples;
			return false;
		},
		durationMs, 500);
	return samples ? int(sum / samples) : 0;
}

} // namespace

TEST(LiveChanges, NewBitrateWhileStreaming)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease noise = makeMedia("noise", noiseFile());
	EntryConfig entry = makeEntry(QStringLiteral("noise"),
				      {{QString::fromStdString(server.url()), QStringLiteral("rate")}}, 320, 180);
	entry.videoKbps = 300;
	LiveEntry live;
	QString error;
	const QString id = entry.destinos[0].id;
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(tickUntil(
		live, [&] { return live.destinationStatus(id).kbps > 0; }, 10000, 500));
	tickFor(live, 2000, 500);
	const int low = meanKbps(live, id, 3000);

	entry.videoKbps = 1500;
	live.applyLiveSettings(entry);
	tickFor(live, 3000, 500);
	const int high = meanKbps(live, id, 3000);
	std::printf("send rate at 300 kbps: %d kbps; after the change to 1500 kbps: %d kbps\n", low, high);
	EXPECT_GT(low, 200);
	EXPECT_LT(low, 600);
	EXPECT_GT(high, 1100);
	EXPECT_EQ(live.destinationStatus(id).state, DestState::Live);
	EXPECT_EQ(live.destinationStatus(id).drops, 0);
	live.stopAndWait();
}

TEST(LiveChanges, NewAudioDelayAndAFailedSwitchKeepStreaming)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease tone = makeTone("delay-440", 440);
	OBSSourceAutoRelease color = makeColor("delay-bg", 0xFF404040);
	OBSSceneAutoRelease scene = makeScene("Delay scene", {color, tone});
	EntryConfig entry = makeEntry(QStringLiteral("Delay scene"),
				      {{QString::fromStdString(server.url()), QStringLiteral("delay")}});
	LiveEntry live;
	QString error;
	const QString id = entry.destinos[0].id;
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(tickUntil(
		live, [&] { return live.destinationStatus(id).state == DestState::Live; }, 10000));
	const auto liveAt = Clock::now();
	tickFor(live, 2500);

	const double changedAt = secondsSince(liveAt);
	entry.retrasoAudioMs = 500;
	live.applyLiveSettings(entry);
	EXPECT_EQ(live.pipelineHandle()->audioTrack().delay(), 24000);
	EXPECT_FALSE(live.pipelineHandle()->switchSource(QStringLiteral("No such scene"), &error));
	EXPECT_EQ(error, QStringLiteral("“No such scene” does not exist in OBS."));
	tickFor(live, 3000);
	EXPECT_EQ(live.destinationStatus(id).state, DestState::Live);
	EXPECT_EQ(live.destinationStatus(id).drops, 0);
	EXPECT_EQ(live.currentSourceName(), QStringLiteral("Delay scene"));
	live.stopAndWait();

	// The longer delay is a half-second hole in the sound, then the tone again, later.
	const std::string file = server.recordingPath("delay");
	const auto before = testbed::decodeAudio(file, 48000, 1, 0.5, changedAt - 1.0);
	const auto around = testbed::decodeAudio(file, 48000, 1, changedAt - 0.5, 2.5);
	const auto after = testbed::decodeAudio(file, 48000, 1, changedAt + 2.0, 1.0);
	EXPECT_LT(longestSilence(before, 48000), 0.05);
	const double hole = longestSilence(around, 48000);
	std::printf("silence after raising the delay to 500 ms: %.2f s\n", hole);
	EXPECT_NEAR(hole, 0.5, 0.15);
	EXPECT_GT(testbed::toneAmplitude(after, 48000, 440.0), 0.3);
}

TEST(Stopping, OneDestinationEntriesAndEverything)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("stop-color", 0xFF00FFFF, 320, 180);
	const QString url = QString::fromStdString(server.url());

	// One destination stops; the entry's other one goes on.
	EntryConfig entry =
		makeEntry(QStringLiteral("stop-color"), {{url, QStringLiteral("a")}, {url, QStringLiteral("b")}});
	LiveEntry live;
	QString error;
	for (const auto &dest : entry.destinos) {
		ASSERT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
	}
	const QString a = entry.destinos[0].id;
	const QString b = entry.destinos[1].id;
	ASSERT_TRUE(tickUntil(
		live,
		[&] {
			return live.destinationStatus(a).state == DestState::Live &&
			       live.destinationStatus(b).state == DestState::Live;
		},
		10000));
	live.runningDestination(a)->stop();
	ASSERT_TRUE(tickUntil(
		live, [&] { return live.runningCount() == 1; }, 5000));
	EXPECT_EQ(live.destinationStatus(a).state, DestState::Idle);
	EXPECT_EQ(countModuleObjects().outputs, 1);
	EXPECT_EQ(countModuleObjects().audioEncoders, 1);
	const long long sizeThen = testbed::fileSize(server.recordingPath("b"));
	tickFor(live, 1500);
	EXPECT_EQ(live.destinationStatus(b).state, DestState::Live);
	EXPECT_GT(testbed::fileSize(server.recordingPath("b")), sizeThen);

	// Deleting a running entry: the request returns at once, the outputs end in the background.
	LogCapture log;
	auto asked = Clock::now();
	live.requestStop();
	EXPECT_LT(secondsSince(asked), 0.2);
	ASSERT_TRUE(tickUntil(
		live, [&] { return !live.isRunning(); }, 5000));
	EXPECT_EQ(live.pipelineHandle(), nullptr);
	EXPECT_EQ(log.count("[tallowmere] closing entry: "), 1);

	// Stopping everything: every output is asked first, then each entry is waited for.
	std::vector<std::unique_ptr<LiveEntry>> entries;
	std::vector<EntryConfig> configs;
	for (int i = 0; i < 3; ++i) {
		configs.push_back(makeEntry(QStringLiteral("stop-color"), {{url, QStringLiteral("all%1").arg(i)}}));
		entries.push_back(std::make_unique<LiveEntry>());
		ASSERT_TRUE(entries.back()->startDestination(configs.back(), configs.back().destinos[0], &error));
	}
	ASSERT_TRUE(tickUntil(
		*entries[0],
		[&] {
			bool allLive = true;
			for (size_t i = 0; i < entries.size(); ++i) {
				entries[i]->tick();
				allLive = allLive && entries[i]->destinationStatus(configs[i].destinos[0].id).state ==
							     DestState::Live;
			}
			return allLive;
		},
		15000));
	asked = Clock::now();
	for (auto &running : entries) {
		running->requestStop();
	}
	for (auto &running : entries) {
		running->stopAndWait();
	}
	const double took = secondsSince(asked);
	std::printf("stopping three live entries took %.2f s\n", took);
	EXPECT_LT(took, 5.0);
	EXPECT_EQ(countModuleObjects().total(), 0);
	entries.clear();
}
