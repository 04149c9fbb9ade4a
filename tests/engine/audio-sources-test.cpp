// The sound of real media sources as the server receives it: packets of every size arrive whole and in sync,
// a source's sync offset delays it, and a source the user only monitors is never sent.
#include "engine/obs-fixture.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numeric>

using namespace obstest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double blockSeconds = 1024.0 / 48000.0;

struct Gaps {
	int count = 0;
	double total = 0;
	double longest = 0;
};

// Runs of digital silence of 2 ms or more in a signal that should never be silent.
Gaps silentRuns(const std::vector<float> &samples)
{
	Gaps gaps;
	size_t run = 0;
	for (size_t i = 0; i <= samples.size(); ++i) {
		if (i < samples.size() && std::fabs(samples[i]) < 0.01f) {
			++run;
			continue;
		}
		if (run >= 96) {
			++gaps.count;
			gaps.total += run / 48000.0;
			gaps.longest = std::max(gaps.longest, run / 48000.0);
		}
		run = 0;
	}
	return gaps;
}

// Click time minus flash time, in seconds, for each flash between from and to that has its click.
std::vector<double> offsets(const std::string &file, double from, double to)
{
	const auto flashes = testbed::flashTimes(file);
	const auto clicks = testbed::clickTimes(file, 0.45, 0.5);
	std::vector<double> found;
	for (double flash : flashes) {
		if (flash < from || flash > to) {
			continue;
		}
		for (double click : clicks) {
			if (click >= flash - 0.5 && click < flash + 1.0) {
				found.push_back(click - flash);
				break;
			}
		}
	}
	return found;
}

double mean(const std::vector<double> &values)
{
	return values.empty() ? NAN : std::accumulate(values.begin(), values.end(), 0.0) / double(values.size());
}

// Records the largest packet a source hands to capture callbacks.
struct PacketWatch {
	explicit PacketWatch(obs_source_t *watched) : source(watched)
	{
		obs_source_add_audio_capture_callback(source, &PacketWatch::callback, this);
	}
	~PacketWatch() { obs_source_remove_audio_capture_callback(source, &PacketWatch::callback, this); }
	static void callback(void *param, obs_source_t *, const struct audio_data *audio, bool)
	{
		auto *self = static_cast<PacketWatch *>(param);
		self->largest = std::max(self->largest.load(), audio->frames);
	}
	obs_source_t *source;
	std::atomic<uint32_t> largest{0};
};

} // namespace

TEST(AudioSources, EveryPacketSizeArrivesWholeAndInSync)
{
	// A flash every 51 frames of 25 fps: its phase against OBS's 30 fps moves on each time, so the mean offset
	// does not depend on where one flash happens to fall between two of OBS's frames.
	struct Kind {
		const char *name;
		testbed::FlashClickOptions options;
	};
	std::vector<Kind> kinds = {{"aac", {}}, {"flac", {}}, {"pcm", {}}};
	kinds[1].options.audioCodec = "flac";
	kinds[2].options.audioCodec = "pcm_s16le";
	kinds[2].options.sampleRate = 44100;
	kinds[2].options.packetFrames = 8192;
	testbed::RtmpServer server;
	server.start();
	std::vector<OBSSourceAutoRelease> sources;
	std::vector<std::unique_ptr<PacketWatch>> watches;
	std::vector<EntryConfig> entries;
	for (auto &kind : kinds) {
		kind.options.fps = 25;
		kind.options.toneHz = 300;
		const std::string file = mediaDir() + "/tone-click-" + kind.name + ".mkv";
		ASSERT_TRUE(testbed::makeFlashClickFile(file, 60, 2.04, kind.options)) << testbed::lastToolError();
		const std::string name = std::string("packets-") + kind.name;
		sources.push_back(makeMedia(name.c_str(), file, false));
		watches.push_back(std::make_unique<PacketWatch>(sources.back()));
		entries.push_back(makeEntry(q(name), {{q(server.url()), q(kind.name)}}, 160, 90));
	}
	// The AAC file once more, its sync offset raised to +300 ms halfway.
	sources.push_back(makeMedia("packets-offset", mediaDir() + "/tone-click-aac.mkv", false));
	entries.push_back(
		makeEntry(QStringLiteral("packets-offset"), {{q(server.url()), QStringLiteral("offset")}}, 160, 90));

	std::vector<std::unique_ptr<LiveEntry>> lives;
	std::vector<LiveEntry *> supervised;
	QString error;
	for (const auto &entry : entries) {
		lives.push_back(std::make_unique<LiveEntry>());
		supervised.push_back(lives.back().get());
		ASSERT_TRUE(lives.back()->startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	}
	auto allStreaming = [&] {
		for (size_t i = 0; i < entries.size(); ++i) {
			if (!allLive(*lives[i], entries[i])) {
				return false;
			}
		}
		return true;
	};
	ASSERT_TRUE(superviseUntil(supervised, allStreaming, 10000));
	const auto liveAt = Clock::now();
	superviseUntil(
		supervised, [] { return false; }, 14000);
	const double changedAt = secondsSince(liveAt);
	obs_source_set_sync_offset(sources.back(), 300000000);
	superviseUntil(
		supervised, [] { return false; }, 14000);
	const bool stayedLive = allStreaming();
	for (auto &live : lives) {
		live->stopAndWait();
	}
	EXPECT_TRUE(stayedLive);
	EXPECT_EQ(watches[0]->largest.load(), 1024u);
	EXPECT_EQ(watches[1]->largest.load(), 4608u);
	EXPECT_GT(watches[2]->largest.load(), 8192u) << "8192 frames at 44.1 kHz, resampled";

	std::vector<double> means;
	for (size_t i = 0; i < kinds.size(); ++i) {
		const std::string file = server.recordingPath(kinds[i].name);
		const Gaps gaps = silentRuns(testbed::decodeAudio(file, 48000, 1, 1.0, 24.0));
		const auto found = offsets(file, 1.0, 25.0);
		const auto flashes = testbed::flashTimes(file);
		const auto shown =
			std::count_if(flashes.begin(), flashes.end(), [](double t) { return t >= 1.0 && t <= 25.0; });
		means.push_back(mean(found));
		std::printf("%s (packets of %u frames): %d silent runs, %.1f %% of 24 s silent, longest %.0f ms; "
			    "%zu clicks with their flash, click after flash by %.1f ms\n",
			    kinds[i].name, watches[i]->largest.load(), gaps.count, gaps.total / 24.0 * 100,
			    gaps.longest * 1000, found.size(), means.back() * 1000);
		EXPECT_EQ(gaps.count, 0) << kinds[i].name;
		EXPECT_GE(shown, 10) << kinds[i].name;
		EXPECT_EQ(long(found.size()), shown) << kinds[i].name << ": every flash has its click";
	}
	EXPECT_NEAR(means[1], means[0], blockSeconds) << "FLAC in sync with AAC within one block";
	EXPECT_NEAR(means[2], means[0], blockSeconds) << "PCM in sync with AAC within one block";

	const std::string file = server.recordingPath("offset");
	const auto before = offsets(file, 1.0, changedAt - 1.0);
	const auto after = offsets(file, changedAt + 1.5, 27.0);
	std::printf("sync offset +300 ms: click after flash by %.1f ms before, %.1f ms after (%zu and %zu pairs)\n",
		    mean(before) * 1000, mean(after) * 1000, before.size(), after.size());
	ASSERT_GE(before.size(), size_t(4));
	ASSERT_GE(after.size(), size_t(4));
	EXPECT_NEAR(mean(after) - mean(before), 0.3, blockSeconds);
	EXPECT_NEAR(mean(before), means[0], blockSeconds);
}

TEST(AudioSources, MonitorOnlyIsNeverSent)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease tone = makeTone("monitored-440", 440);
	obs_source_set_monitoring_type(tone, OBS_MONITORING_TYPE_MONITOR_ONLY);
	EntryConfig entry =
		makeEntry(QStringLiteral("monitored-440"), {{q(server.url()), QStringLiteral("monitor")}}, 160, 90);
	LiveEntry live;
	QString error;
	ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(superviseUntil(
		{&live}, [&] { return allLive(live, entry); }, 10000));
	const auto liveAt = Clock::now();
	superviseUntil(
		{&live}, [] { return false; }, 3000);
	const double sentAt = secondsSince(liveAt);
	obs_source_set_monitoring_type(tone, OBS_MONITORING_TYPE_MONITOR_AND_OUTPUT);
	superviseUntil(
		{&live}, [] { return false; }, 4000);
	const double privateAt = secondsSince(liveAt);
	obs_source_set_monitoring_type(tone, OBS_MONITORING_TYPE_MONITOR_ONLY);
	superviseUntil(
		{&live}, [] { return false; }, 3000);
	const double end = secondsSince(liveAt);
	live.stopAndWait();
	obs_source_set_monitoring_type(tone, OBS_MONITORING_TYPE_NONE);

	const std::string file = server.recordingPath("monitor");
	auto level = [&](double from, double to) {
		return testbed::toneAmplitude(testbed::decodeAudio(file, 48000, 1, from, to - from), 48000, 440.0);
	};
	const double first = level(0.3, sentAt);
	const double sent = level(sentAt + 1.0, privateAt);
	const double last = level(privateAt + 1.0, end - 0.3);
	std::printf("monitor only: tone level %.3f, then %.3f once sent, then %.3f\n", first, sent, last);
	EXPECT_LT(first, 0.01);
	EXPECT_GT(sent, 0.3);
	EXPECT_LT(last, 0.01);
}
