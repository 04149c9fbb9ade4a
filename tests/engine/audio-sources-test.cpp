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

struct Gaps {
	int windows = 0;
	int quiet = 0;
	double longest = 0;
};

// Where a steady tone of amplitude 0.1 drops to half or less, in 10 ms windows every 5 ms (each holds whole
// cycles of a tone at a multiple of 100 Hz, so tones 200 Hz apart do not leak into each other); windows near a
// click are left out.
Gaps quietWindows(const std::vector<float> &samples, const std::vector<double> &clicks, double start, double freq)
{
	Gaps gaps;
	double run = 0;
	for (size_t at = 0; at + 480 <= samples.size(); at += 240) {
		const double t = start + double(at) / 48000;
		if (std::any_of(clicks.begin(), clicks.end(), [t](double c) { return c > t - 0.03 && c < t + 0.04; })) {
			continue;
		}
		++gaps.windows;
		const std::vector<float> window(samples.begin() + long(at), samples.begin() + long(at + 480));
		if (testbed::toneAmplitude(window, 48000, freq) < 0.05) {
			++gaps.quiet;
			run += 0.005;
			gaps.longest = std::max(gaps.longest, run + 0.005);
		} else {
			run = 0;
		}
	}
	return gaps;
}

// Click time minus flash time (less the click's own delay in the file), in seconds, for each flash between from
// and to whose click arrived.
std::vector<double> offsets(const std::string &file, double from, double to, double clickDelay = 0)
{
	// A source in a scene fills a quarter of OBS's canvas: its flash is a quarter as bright.
	const auto flashes = testbed::flashTimes(file, 40);
	const auto clicks = testbed::clickTimes(file, 0.45, 0.3);
	std::vector<double> found;
	for (double flash : flashes) {
		if (flash < from || flash > to) {
			continue;
		}
		for (double click : clicks) {
			if (click - flash - clickDelay > -0.25 && click - flash - clickDelay < 0.5) {
				found.push_back(click - flash - clickDelay);
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
	// Three files in one scene, started together: AAC (1,024-frame packets), FLAC (4,608) and PCM read in
	// 8,192-frame chunks at 44.1 kHz. Each has its own tone under its own clicks, which come at their own delay
	// after a flash every 51 frames of 25 fps (its phase against OBS's 30 fps moves on each time, so a mean offset
	// does not depend on where one flash falls between two of OBS's frames). One stream then tells whether each
	// codec's sound is whole and how it lines up with the others' against the same pictures.
	struct Kind {
		const char *name;
		testbed::FlashClickOptions options;
	};
	std::vector<Kind> kinds = {{"aac", {}}, {"flac", {}}, {"pcm", {}}};
	kinds[1].options.audioCodec = "flac";
	kinds[2].options.audioCodec = "pcm_s16le";
	kinds[2].options.sampleRate = 44100;
	kinds[2].options.packetFrames = 8192;
	std::vector<OBSSourceAutoRelease> sources;
	std::vector<std::unique_ptr<PacketWatch>> watches;
	for (size_t i = 0; i < kinds.size(); ++i) {
		Kind &kind = kinds[i];
		kind.options.fps = 25;
		kind.options.toneHz = 300.0 + 200.0 * double(i);
		kind.options.clickDelaySec = 0.68 * double(i);
		const std::string file = mediaDir() + "/tone-click-" + kind.name + ".mkv";
		ASSERT_TRUE(testbed::makeFlashClickFile(file, 40, 2.04, kind.options)) << testbed::lastToolError();
		sources.push_back(makeMedia((std::string("packets-") + kind.name).c_str(), file, false));
		watches.push_back(std::make_unique<PacketWatch>(sources.back()));
	}
	OBSSceneAutoRelease scene = makeScene("Packets", {sources[2], sources[1], sources[0]});
	// The AAC file once more on its own, its sync offset raised to +300 ms halfway.
	OBSSourceAutoRelease offsetSource = makeMedia("packets-offset", mediaDir() + "/tone-click-aac.mkv", false);

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
		const Gaps gaps = quietWindows(samples, clicks, 1.0, kinds[i].options.toneHz);
		const auto found = offsets(file, 1.0, 25.0, delay);
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
		lags.push_back(mean(late));
		std::printf(
			"%s (packets of %u frames): tone missing in %d of %d windows (longest %.0f ms); %zu of %ld "
			"clicks; click after flash by %.1f ms; heard %.1f ms later than the AAC clicks against when due\n",
			kinds[i].name, watches[i]->largestPacket(), gaps.quiet, gaps.windows, gaps.longest * 1000,
			found.size(), shown, mean(found) * 1000, (lags.back() - lags.front()) * 1000);
		EXPECT_GT(gaps.windows, 3000) << kinds[i].name;
		EXPECT_EQ(gaps.quiet, 0) << kinds[i].name << ": no gap";
		EXPECT_GE(shown, 10);
		EXPECT_EQ(long(found.size()), shown) << kinds[i].name << ": every click arrives";
		EXPECT_EQ(late.size(), found.size());
	}
	EXPECT_NEAR(lags[1], lags[0], blockSeconds) << "FLAC in sync with AAC within one block";
	EXPECT_NEAR(lags[2], lags[0], blockSeconds) << "PCM in sync with AAC within one block";

	const std::string delayed = server.recordingPath("offset");
	const auto before = offsets(delayed, 1.0, changedAt - 1.0);
	const auto after = offsets(delayed, changedAt + 1.5, 27.0);
	std::printf("sync offset +300 ms: click after flash by %.1f ms before, %.1f ms after (%zu and %zu pairs)\n",
		    mean(before) * 1000, mean(after) * 1000, before.size(), after.size());
	ASSERT_GE(before.size(), size_t(4));
	ASSERT_GE(after.size(), size_t(4));
	EXPECT_NEAR(mean(after) - mean(before), 0.3, blockSeconds);
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
