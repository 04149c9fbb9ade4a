// Figures for the engine's speed and isolation goals, measured side by side in one run. They are printed, not
// asserted: the machine decides the numbers, the ratios tell the story.
#include "engine/obs-fixture.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numeric>
#include <sys/resource.h>

using namespace obstest;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds()
{
	rusage usage{};
	getrusage(RUSAGE_SELF, &usage);
	return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
	       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds per second of streaming for one entry with `count` RTMP destinations.
double cpuPerSecond(testbed::RtmpServer &server, int count)
{
	std::vector<std::pair<QString, QString>> destinations;
	for (int i = 0; i < count; ++i) {
		destinations.emplace_back(q(server.url()), QStringLiteral("cpu%1-%2").arg(count).arg(i));
	}
	EntryConfig entry = makeEntry(QStringLiteral("bench-noise"), destinations, 320, 180);
	entry.videoKbps = 1000;
	LiveEntry live;
	QString error;
	for (const auto &dest : entry.destinos) {
		EXPECT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
	}
	EXPECT_TRUE(tickUntil(
		live, [&] { return allLive(live, entry); }, 15000, 500));
	tickFor(live, 2000, 500);
	const double cpuStart = cpuSeconds();
	const auto start = Clock::now();
	tickFor(live, 8000, 500);
	const double perSecond = (cpuSeconds() - cpuStart) / secondsSince(start);
	live.stopAndWait();
	return perSecond;
}

} // namespace

TEST(Bench, EncodeOnceForEveryDestination)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease noise = makeMedia("bench-noise", noiseFile());
	const double one = cpuPerSecond(server, 1);
	const double four = cpuPerSecond(server, 4);
	std::printf("encode once: CPU per second of streaming, 1 destination %.3f, 4 destinations %.3f; ratio %.2f "
		    "(each extra destination %.3f)\n",
		    one, four, four / one, (four - one) / 3);
}

TEST(Bench, SlowDestinationDoesNotHurtTheOther)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease noise = makeMedia("bench-noise2", noiseFile());
	// About a tenth of what the entry sends (1000 kbps video + 128 kbps audio).
	testbed::ThrottledRelay slow(server.port(), 14000, 16384);
	slow.start();
	const std::string slowUrl = "rtmp://127.0.0.1:" + std::to_string(slow.port()) + "/live";
	EntryConfig entry = makeEntry(
		QStringLiteral("bench-noise2"),
		{{q(server.url()), QStringLiteral("healthy")}, {q(slowUrl), QStringLiteral("slow")}}, 320, 180);
	entry.videoKbps = 1000;
	LiveEntry live;
	QString error;
	for (const auto &dest : entry.destinos) {
		ASSERT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
	}
	tickUntil(
		live, [&] { return allLive(live, entry); }, 20000, 500);
	const long long forwardedBefore = slow.bytesForwarded();
	const auto measured = Clock::now();
	tickFor(live, 30000, 500);
	const double slowLinkKbps = double(slow.bytesForwarded() - forwardedBefore) * 8 / 1000 / secondsSince(measured);
	const DestStatus healthy = live.destinationStatus(entry.destinos[0].id);
	const DestStatus slowStatus = live.destinationStatus(entry.destinos[1].id);
	std::printf("isolation over 30 s: healthy destination %d kbps, %d frames dropped; slow destination %d kbps "
		    "handed to its socket, %.0f kbps through its link, %d frames dropped, state %d\n",
		    healthy.kbps, healthy.framesDropped, slowStatus.kbps, slowLinkKbps, slowStatus.framesDropped,
		    int(slowStatus.state));
	live.stopAndWait();
}

TEST(Bench, AudioCallbacks)
{
	TrackTiming delay;
	constexpr int rounds = 200000;
	std::vector<float> packet(SourceCapture::blockFrames, 0.25f);
	std::vector<float> left(SourceCapture::blockFrames), right(SourceCapture::blockFrames);

	SourceCapture capture(nullptr, delay);
	const uint64_t blockNs = SourceCapture::blockFrames * 1000000000ULL / 48000;
	auto start = Clock::now();
	for (int i = 0; i < rounds; ++i) {
		capture.capture(packet.data(), packet.data(), SourceCapture::blockFrames, 0.8f, i * blockNs);
		capture.mixInto(left.data(), right.data(), i * blockNs + blockNs / 2);
	}
	const double pairNs = secondsSince(start) * 1e9 / rounds;

	start = Clock::now();
	for (int i = 0; i < rounds; ++i) {
		capture.capture(packet.data(), packet.data(), SourceCapture::blockFrames, 0.8f, i * blockNs);
	}
	const double captureNs = secondsSince(start) * 1e9 / rounds;
	std::printf("audio: capture of 1024 frames %.0f ns; mix of one 1024-frame block per captured source %.0f ns\n",
		    captureNs, pairNs - captureNs);
}

TEST(Bench, AudioGapsAndSyncOnABusyMachine)
{
	// A minute with both cores busy and the process stopped for 30 ms every 0.7 s: the entry beside OBS's own mix
	// of the same three media files (packets of 1,024, 4,608 and 8,192 frames).
	const LoadComparison run = compareUnderLoad(10, 60);
	std::printf("audio under load (60 s):       %12s %12s\n", "entry", "OBS's mix");
	std::printf("audio under load: quiet 10 ms windows idle  %6d %12d\n", run.entry.gapsIdle, run.program.gapsIdle);
	std::printf("audio under load: quiet 10 ms windows busy  %6d %12d   (of %d)\n", run.entry.gapsLoaded,
		    run.program.gapsLoaded, run.entry.windows);
	std::printf("audio under load: longest gap (ms)          %6.0f %12.0f\n", run.entry.longestGapMs,
		    run.program.longestGapMs);
	std::printf("audio under load: click after flash idle (ms) %6.1f %10.1f\n", run.entry.offsetIdleMs,
		    run.program.offsetIdleMs);
	std::printf("audio under load: click after flash busy (ms) %6.1f %10.1f\n", run.entry.offsetLoadedMs,
		    run.program.offsetLoadedMs);
	std::printf("audio under load: entry margin grown by %d ms\n", run.entryLateMarginMs);
}

TEST(Bench, TickOverTenEntriesOfThreeDestinations)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("bench-tick", 0xFF336699, 160, 90);
	std::vector<std::unique_ptr<LiveEntry>> entries;
	std::vector<EntryConfig> configs;
	QString error;
	for (int e = 0; e < 10; ++e) {
		std::vector<std::pair<QString, QString>> destinations;
		for (int d = 0; d < 3; ++d) {
			destinations.emplace_back(q(server.url()), QStringLiteral("tick%1-%2").arg(e).arg(d));
		}
		configs.push_back(makeEntry(QStringLiteral("bench-tick"), destinations, 160, 90));
		configs.back().videoKbps = 100;
		entries.push_back(std::make_unique<LiveEntry>());
		for (const auto &dest : configs.back().destinos) {
			ASSERT_TRUE(entries.back()->startDestination(configs.back(), dest, &error))
				<< error.toStdString();
		}
	}
	tickUntil(
		*entries[0],
		[&] {
			bool live = true;
			for (size_t i = 0; i < entries.size(); ++i) {
				entries[i]->tick();
				live = live && allLive(*entries[i], configs[i]);
			}
			return live;
		},
		30000, 500);
	std::vector<double> passes;
	for (int round = 0; round < 40; ++round) {
		const auto start = Clock::now();
		for (auto &entry : entries) {
			entry->tick();
		}
		passes.push_back(secondsSince(start) * 1e6);
		settle(50);
	}
	std::sort(passes.begin(), passes.end());
	std::printf("tick: one pass over 10 entries x 3 live destinations: median %.0f us, max %.0f us\n",
		    passes[passes.size() / 2], passes.back());
	for (auto &entry : entries) {
		entry->requestStop();
	}
	entries.clear();
}

TEST(Bench, RecoveryAfterOutages)
{
	// One entry, one server per outage length, all killed at once and each brought back at its own time.
	const std::vector<int> outages = {5, 60, 180, 600};
	std::vector<std::unique_ptr<testbed::RtmpServer>> servers;
	std::vector<std::pair<QString, QString>> destinations;
	for (size_t i = 0; i < outages.size(); ++i) {
		servers.push_back(std::make_unique<testbed::RtmpServer>());
		servers.back()->start();
		destinations.emplace_back(q(servers.back()->url()), QStringLiteral("rec%1").arg(i));
	}
	OBSSourceAutoRelease color = makeColor("bench-recovery", 0xFF996633, 160, 90);
	EntryConfig entry = makeEntry(QStringLiteral("bench-recovery"), destinations, 160, 90);
	LiveEntry live;
	QString error;
	for (const auto &dest : entry.destinos) {
		ASSERT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
	}
	ASSERT_TRUE(superviseUntil(
		{&live}, [&] { return allLive(live, entry); }, 15000));
	tickFor(live, 2000, 500);

	for (auto &server : servers) {
		server->kill();
	}
	const auto killed = Clock::now();
	std::vector<Clock::time_point> returned(outages.size());
	std::vector<double> back(outages.size(), -1);
	const bool allBack = superviseUntil(
		{&live},
		[&] {
			bool done = true;
			for (size_t i = 0; i < outages.size(); ++i) {
				if (returned[i] == Clock::time_point() && secondsSince(killed) >= outages[i]) {
					servers[i]->restart();
					returned[i] = Clock::now();
				}
				const DestStatus status = live.destinationStatus(entry.destinos[int(i)].id);
				if (returned[i] != Clock::time_point() && back[i] < 0 &&
				    status.state == DestState::Live) {
					back[i] = secondsSince(returned[i]);
					std::printf(
						"recovery: outage of %d s, back to Live %.2f s after the server returned "
						"(attempts %d, outage reported %d s)\n",
						outages[i], back[i], status.attempts, status.lastOutageSeconds);
					std::fflush(stdout);
				}
				done = done && back[i] >= 0;
			}
			return done;
		},
		(600 + 420) * 1000);
	for (size_t i = 0; i < outages.size(); ++i) {
		if (back[i] < 0) {
			std::printf("recovery: outage of %d s, not back to Live %.0f s after the server returned\n",
				    outages[i], secondsSince(returned[i]));
		}
	}
	EXPECT_TRUE(allBack);
	live.stopAndWait();
}

TEST(Bench, AudioVideoTimingAtTheServer)
{
	const std::string media = mediaDir() + "/flash-click.mp4";
	ASSERT_TRUE(testbed::makeFlashClickFile(media, 12.0, 1.0)) << testbed::lastToolError();
	testbed::RtmpServer server;
	server.start();
	for (int delayMs : {0, 300}) {
		const std::string name = "av-" + std::to_string(delayMs);
		OBSSourceAutoRelease clip = makeMedia(name.c_str(), media);
		EntryConfig entry = makeEntry(QString::fromStdString(name),
					      {{q(server.url()), QString::fromStdString(name)}}, 320, 180);
		entry.retrasoAudioMs = delayMs;
		LiveEntry live;
		QString error;
		ASSERT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
		tickUntil(
			live, [&] { return live.destinationStatus(entry.destinos[0].id).state == DestState::Live; },
			10000);
		tickFor(live, 9000, 500);
		live.stopAndWait();

		const auto flashes = testbed::flashTimes(server.recordingPath(name));
		const auto clicks = testbed::clickTimes(server.recordingPath(name));
		std::vector<double> offsets;
		for (double flash : flashes) {
			// The click that follows the flash most closely (within a period).
			for (double click : clicks) {
				if (click >= flash - 0.2 && click < flash + 0.8) {
					offsets.push_back((click - flash) * 1000.0);
					break;
				}
			}
		}
		std::sort(offsets.begin(), offsets.end());
		if (offsets.empty()) {
			std::printf("a/v timing, delay %d ms: no flash/click pairs found (%zu flashes, %zu clicks)\n",
				    delayMs, flashes.size(), clicks.size());
			continue;
		}
		std::printf(
			"a/v timing, delay %d ms: click after flash by median %.0f ms (min %.0f, max %.0f, %zu pairs)\n",
			delayMs, offsets[offsets.size() / 2], offsets.front(), offsets.back(), offsets.size());
	}
}
