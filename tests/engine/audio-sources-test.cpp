// The sound of real media sources as the server receives it: packets of every size arrive whole and in sync,
// a source's sync offset delays it, and a source the user only monitors is never sent.
#include "engine/obs-fixture.hpp"
#include "testbed.hpp"

#include <util/platform.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <numeric>

using namespace obstest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double blockSeconds = 1024.0 / 48000.0;

// Records what a source hands to capture callbacks: its longest packet, and when each click in its sound was due
// (the packet's arrival, plus the click's place in it).
struct PacketWatch {
	explicit PacketWatch(obs_source_t *watched) : source(watched)
	{
		obs_source_add_audio_capture_callback(source, &PacketWatch::callback, this);
	}
	~PacketWatch() { obs_source_remove_audio_capture_callback(source, &PacketWatch::callback, this); }
	static void callback(void *param, obs_source_t *, const struct audio_data *audio, bool)
	{
		auto *self = static_cast<PacketWatch *>(param);
		const uint64_t now = os_gettime_ns();
		const auto *samples = reinterpret_cast<const float *>(audio->data[0]);
		std::lock_guard<std::mutex> guard(self->lock);
		self->largest = std::max(self->largest, audio->frames);
		for (uint32_t i = 0; i < audio->frames; ++i) {
			if (std::fabs(samples[i]) > 0.45f) {
				const uint64_t at = now + uint64_t(i) * 1000000000ULL / 48000;
				if (at > self->lastLoud + 300000000ULL) {
					self->clicks.push_back(double(at) / 1e9);
				}
				self->lastLoud = at;
			}
		}
	}
	std::vector<double> clickTimes()
	{
		std::lock_guard<std::mutex> guard(lock);
		return clicks;
	}
	uint32_t largestPacket()
	{
		std::lock_guard<std::mutex> guard(lock);
		return largest;
	}

	obs_source_t *source;
	std::mutex lock;
	uint32_t largest = 0;
	uint64_t lastLoud = 0;
	std::vector<double> clicks;
};

} // namespace

TEST(AudioSources, EveryPacketSizeArrivesWholeAndInSync)
{
	PacketScene packets("Packets");
	const auto &kinds = packets.kinds;
	std::vector<std::unique_ptr<PacketWatch>> watches;
	for (const auto &source : packets.sources) {
		watches.push_back(std::make_unique<PacketWatch>(source));
	}
	// The AAC file once more on its own, its sync offset raised to +300 ms halfway.
	OBSSourceAutoRelease offsetSource = makeMedia("packets-offset", packets.file(0), false);

	testbed::RtmpServer server;
	server.start();
	std::vector<EntryConfig> entries = {
		makeEntry(QStringLiteral("Packets"), {{q(server.url()), QStringLiteral("codecs")}}, 160, 90),
		makeEntry(QStringLiteral("packets-offset"), {{q(server.url()), QStringLiteral("offset")}}, 160, 90)};
	LiveEntry codecs;
	LiveEntry offset;
	QString error;
	ASSERT_TRUE(codecs.startDestination(entries[0], entries[0].destinos[0], &error)) << error.toStdString();
	ASSERT_TRUE(offset.startDestination(entries[1], entries[1].destinos[0], &error)) << error.toStdString();
	// The recording's time 0 is about when the stream went live.
	double streamStart = 0;
	auto bothLive = [&] {
		if (streamStart == 0 && allLive(codecs, entries[0])) {
			streamStart = double(os_gettime_ns()) / 1e9;
		}
		return allLive(codecs, entries[0]) && allLive(offset, entries[1]);
	};
	ASSERT_TRUE(superviseUntil({&codecs, &offset}, bothLive, 10000));
	const auto liveAt = Clock::now();
	superviseUntil(
		{&codecs, &offset}, [] { return false; }, 14000);
	const double changedAt = secondsSince(liveAt);
	obs_source_set_sync_offset(offsetSource, 300000000);
	superviseUntil(
		{&codecs, &offset}, [] { return false; }, 14000);
	EXPECT_TRUE(bothLive());
	codecs.stopAndWait();
	offset.stopAndWait();
	EXPECT_EQ(watches[0]->largestPacket(), 1024u);
	EXPECT_EQ(watches[1]->largestPacket(), 4608u);
	EXPECT_GT(watches[2]->largestPacket(), 8192u) << "8192 frames at 44.1 kHz, resampled";

	const std::string file = server.recordingPath("codecs");
	const auto samples = testbed::decodeAudio(file, 48000, 1, 1.0, 24.0);
	const auto clicks = testbed::clickTimes(file, 0.45, 0.3);
	const auto flashes = testbed::flashTimes(file, 40);
	const long shown = std::count_if(flashes.begin(), flashes.end(), [](double t) { return t >= 1 && t <= 25; });
	// Each codec's clicks against when they were due: the same for all of them, within one block. (Against the
	// pictures they vary by up to a frame or more from run to run, in OBS's own stream too: each media source
	// starts and shows its frames with its own small lag.)
	std::vector<double> lags;
	for (size_t i = 0; i < kinds.size(); ++i) {
		const double delay = kinds[i].options.clickDelaySec;
		const auto gaps = testbed::toneGaps(samples, clicks, 1.0, kinds[i].options.toneHz);
		const auto found = testbed::clickAfterFlash(file, 1.0, 25.0, delay);
		const auto due = watches[i]->clickTimes();
		std::vector<double> late;
		for (double flash : flashes) {
			for (double click : clicks) {
				if (flash < 1.0 || flash > 25.0 || click - flash - delay <= -0.25 ||
				    click - flash - delay >= 0.5) {
					continue;
				}
				double nearest = 1e9;
				for (double at : due) {
					nearest = std::fabs(click + streamStart - at) < std::fabs(nearest)
							  ? click + streamStart - at
							  : nearest;
				}
				late.push_back(nearest);
				break;
			}
		}
		lags.push_back(testbed::mean(late));
		std::printf(
			"%s (packets of %u frames): tone missing in %d of %d windows (longest %.0f ms); %zu of %ld "
			"clicks; click after flash by %.1f ms; heard %.1f ms later than the AAC clicks against when due\n",
			kinds[i].name, watches[i]->largestPacket(), gaps.quiet, gaps.windows, gaps.longest * 1000,
			found.size(), shown, testbed::mean(found) * 1000, (lags.back() - lags.front()) * 1000);
		EXPECT_GT(gaps.windows, 3000) << kinds[i].name;
		EXPECT_EQ(gaps.quiet, 0) << kinds[i].name << ": no gap";
		EXPECT_GE(shown, 10);
		EXPECT_EQ(long(found.size()), shown) << kinds[i].name << ": every click arrives";
		EXPECT_EQ(late.size(), found.size());
	}
	EXPECT_NEAR(lags[1], lags[0], blockSeconds) << "FLAC in sync with AAC within one block";
	EXPECT_NEAR(lags[2], lags[0], blockSeconds) << "PCM in sync with AAC within one block";

	const std::string delayed = server.recordingPath("offset");
	const auto before = testbed::clickAfterFlash(delayed, 1.0, changedAt - 1.0);
	const auto after = testbed::clickAfterFlash(delayed, changedAt + 1.5, 27.0);
	std::printf("sync offset +300 ms: click after flash by %.1f ms before, %.1f ms after (%zu and %zu pairs)\n",
		    testbed::mean(before) * 1000, testbed::mean(after) * 1000, before.size(), after.size());
	ASSERT_GE(before.size(), size_t(4));
	ASSERT_GE(after.size(), size_t(4));
	EXPECT_NEAR(testbed::mean(after) - testbed::mean(before), 0.3, blockSeconds);
}

TEST(AudioSources, BusyMachineNoMoreGapsThanObsOwnMix)
{
	// Both cores busy and the process stopped for 30 ms now and then: the entry's sound has no more gaps than
	// OBS's own mix of the same sources, and its picture and sound stay within a block and a frame of where they were.
#ifdef TALLOWMERE_SANITIZED
	// Here only the plug-in is instrumented (several times slower) while OBS's mix runs at full speed: under load
	// the two are no longer alike. The idle figures are checked by every other test of this suite.
	GTEST_SKIP() << "compared in the optimised build only";
#endif
	const LoadComparison run = compareUnderLoad(8, 25);
	for (const auto &[name, figures] :
	     {std::make_pair("entry", run.entry), std::make_pair("OBS's mix", run.program)}) {
		std::printf(
			"%s: %d quiet windows idle, %d busy (of %d; longest %.0f ms); click after flash %.1f ms idle, "
			"%.1f ms busy (%zu pairs)\n",
			name, figures.gapsIdle, figures.gapsLoaded, figures.windows, figures.longestGapMs,
			figures.offsetIdleMs, figures.offsetLoadedMs, figures.offsetsLoaded);
	}
	std::printf("entry audio margin grown by %d ms\n", run.entryLateMarginMs);
	EXPECT_GT(run.entry.windows, 10000);
	EXPECT_EQ(run.entry.gapsIdle, 0);
	EXPECT_LE(run.entry.gapsLoaded, run.program.gapsLoaded);
	ASSERT_GE(run.entry.offsetsLoaded, size_t(5));
	// Under load OBS lags frames, so a flash can show frames late while its click is on time: the entry's sound
	// moves against its picture by no more than OBS's own does under the same load, plus a block and a frame.
	const double programMoved = std::max(0.0, run.program.offsetLoadedMs - run.program.offsetIdleMs);
	EXPECT_LE(run.entry.offsetLoadedMs - run.entry.offsetIdleMs, programMoved + blockSeconds * 1000 + 1000.0 / 30);
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
