// Faults at real servers: a server that dies and comes back, one that refuses, one that never answers, an output
// that stops by itself after being live, and a source deleted under a running entry.
#include "engine/obs-fixture.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <chrono>

using namespace obstest;
using Clock = std::chrono::steady_clock;

namespace {

struct Streaming {
	explicit Streaming(const std::string &url, const char *source = "fault-color")
	{
		color = makeColor(source, 0xFFFFFFFF, 320, 180);
		entry = makeEntry(QString::fromUtf8(source), {{QString::fromStdString(url), QStringLiteral("k")}});
		id = entry.destinos[0].id;
	}
	bool start(QString *error) { return live.startDestination(entry, entry.destinos[0], error); }
	DestStatus status() const { return live.destinationStatus(id); }
	bool waitFor(DestState state, int timeoutMs)
	{
		return tickUntil(
			live, [&] { return status().state == state; }, timeoutMs, 50);
	}
	// OBS 29's RTMP output leaks an allocation when its connection drops in the first half second.
	bool waitForSteadyLive()
	{
		const bool reached = waitFor(DestState::Live, 10000);
		tickFor(live, 1500);
		return reached && status().state == DestState::Live;
	}

	OBSSourceAutoRelease color;
	EntryConfig entry;
	QString id;
	LiveEntry live;
};

} // namespace

TEST(Faults, ServerLostWhileLiveAndBack)
{
	testbed::RtmpServer server;
	server.start();
	Streaming stream(server.url());
	QString error;
	ASSERT_TRUE(stream.start(&error)) << error.toStdString();
	ASSERT_TRUE(stream.waitForSteadyLive());

	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000)) << "OBS's own reconnection takes over";
	tickFor(stream.live, 2500);
	EXPECT_GE(stream.status().attempts, 1);
	EXPECT_EQ(stream.status().drops, 1);
	EXPECT_GE(stream.status().outageSeconds, 2);
	EXPECT_EQ(stream.status().kbps, -1) << "no rate while not live";

	server.restart();
	ASSERT_TRUE(stream.waitFor(DestState::Live, 20000));
	EXPECT_GE(stream.status().lastOutageSeconds, 2);
	EXPECT_EQ(stream.status().drops, 1);
	EXPECT_EQ(stream.status().outageSeconds, 0);
	ASSERT_TRUE(tickUntil(
		stream.live, [&] { return stream.status().kbps > 0; }, 5000));
	stream.live.stopAndWait();
}

TEST(Faults, RefusedFirstConnectionFailsAtOnce)
{
	Streaming stream("rtmp://127.0.0.1:" + std::to_string(testbed::freeTcpPort()) + "/live");
	QString error;
	ASSERT_TRUE(stream.start(&error)) << "the connection is tried in the background";
	ASSERT_TRUE(stream.waitFor(DestState::Failed, 5000));
	EXPECT_EQ(stream.status().message, QStringLiteral("Could not connect to the server."));
	stream.live.tick();
	EXPECT_FALSE(stream.live.isRunning()) << "removed at the next tick, its message kept";
	EXPECT_EQ(stream.status().state, DestState::Failed);
	EXPECT_EQ(stream.status().message, QStringLiteral("Could not connect to the server."));
	EXPECT_EQ(stream.live.pipelineHandle(), nullptr);
	EXPECT_EQ(countModuleObjects().total(), 0);
}

TEST(Faults, ServerThatNeverAnswersEndsFailed)
{
	testbed::SilentTcpListener silent;
	silent.start();
	Streaming stream("rtmp://127.0.0.1:" + std::to_string(silent.port()) + "/live");
	QString error;
	ASSERT_TRUE(stream.start(&error));
	const auto started = Clock::now();
	ASSERT_TRUE(tickUntil(
		stream.live, [&] { return !stream.live.isRunning(); }, 60000, 250));
	const double took = secondsSince(started);
	EXPECT_EQ(stream.status().state, DestState::Failed);
	EXPECT_LT(took, 45.0);
	std::printf("never-answering server: Failed after %.1f s with \"%s\"\n", took,
		    stream.status().message.toUtf8().constData());
	EXPECT_EQ(countModuleObjects().total(), 0);
}

TEST(Faults, OutputStoppedByItselfRestartsUntilItsLimit)
{
	testbed::RtmpServer server;
	server.start();
	Streaming stream(server.url());
	QString error;
	ASSERT_TRUE(stream.start(&error));
	ASSERT_TRUE(stream.waitForSteadyLive());
	obs_output_t *output = stream.live.runningDestination(stream.id)->outputHandle();
	// Without OBS's own retries a lost connection stops the output with "disconnected": the engine's turn.
	obs_output_set_reconnect_settings(output, 0, 0);
	LogCapture log;
	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000));
	const auto dropped = Clock::now();
	EXPECT_EQ(log.count("[tallowmere] stream dropped by itself (code -5"), 1) << log.joined();

	// Each attempt shows as Connecting: the first 1.5 s after the drop, the next 5 s after that one failed.
	std::vector<double> attempts;
	DestState previous = DestState::Reconnecting;
	tickUntil(
		stream.live,
		[&] {
			const DestState now = stream.status().state;
			if (now == DestState::Connecting && previous != DestState::Connecting) {
				attempts.push_back(secondsSince(dropped));
			}
			previous = now;
			return attempts.size() >= 2;
		},
		12000, 20);
	ASSERT_EQ(attempts.size(), 2u);
	EXPECT_NEAR(attempts[0], 1.5, 0.4);
	EXPECT_NEAR(attempts[1] - attempts[0], 5.0, 0.6);

	server.restart();
	ASSERT_TRUE(stream.waitForSteadyLive());
	EXPECT_EQ(stream.status().drops, 1);
	EXPECT_GE(stream.status().lastOutageSeconds, 6);
	EXPECT_EQ(log.count("[tallowmere] stream dropped by itself"), 1);
	EXPECT_EQ(log.count("[tallowmere] stream recovered automatically after "), 1) << log.joined();

	// The limit: the real output's own "stop" signal, as OBS emits it, for every attempt after the drop.
	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000));
	signal_handler_t *signals = obs_output_get_signal_handler(output);
	calldata_t cd;
	calldata_init(&cd);
	calldata_set_ptr(&cd, "output", output);
	calldata_set_int(&cd, "code", OBS_OUTPUT_DISCONNECTED);
	for (int i = stream.status().attempts; i < Supervision::maxRestartAttempts; ++i) {
		signal_handler_signal(signals, "stop", &cd);
	}
	EXPECT_EQ(stream.status().attempts, Supervision::maxRestartAttempts);
	EXPECT_EQ(stream.status().state, DestState::Reconnecting);
	signal_handler_signal(signals, "stop", &cd);
	calldata_free(&cd);
	EXPECT_EQ(stream.status().state, DestState::Failed);
	EXPECT_EQ(stream.status().message, QStringLiteral("The connection to the server was lost."));
	ASSERT_TRUE(tickUntil(
		stream.live, [&] { return !stream.live.isRunning(); }, 5000));
	EXPECT_EQ(log.count("[tallowmere] stream dropped by itself"), 2) << "one line per outage";
}

TEST(Faults, StoppingWhileARestartWaits)
{
	testbed::RtmpServer server;
	server.start();
	Streaming stream(server.url());
	QString error;
	ASSERT_TRUE(stream.start(&error));
	ASSERT_TRUE(stream.waitForSteadyLive());
	obs_output_set_reconnect_settings(stream.live.runningDestination(stream.id)->outputHandle(), 0, 0);
	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000));
	stream.live.runningDestination(stream.id)->stop();
	EXPECT_EQ(stream.status().state, DestState::Idle);
	stream.live.tick();
	EXPECT_FALSE(stream.live.isRunning());
	EXPECT_EQ(countModuleObjects().total(), 0);
}

TEST(Faults, SourceDeletedWhileLive)
{
	testbed::RtmpServer server;
	server.start();
	Streaming stream(server.url(), "doomed-color");
	QString error;
	ASSERT_TRUE(stream.start(&error));
	ASSERT_TRUE(stream.waitFor(DestState::Live, 10000));
	LogCapture log;
	obs_source_remove(stream.color);
	ASSERT_TRUE(tickUntil(
		stream.live, [&] { return !stream.live.isRunning(); }, 3000));
	EXPECT_EQ(stream.status().state, DestState::Idle) << "an orderly stop, not a failure";
	EXPECT_TRUE(log.contains("[tallowmere] closing entry: preview "));
	EXPECT_EQ(countModuleObjects().total(), 0);
}
