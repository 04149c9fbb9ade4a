// Faults at real servers: a server that dies and comes back, one that refuses, one that never answers, an output
// that stops by itself after being live, and a source deleted under a running entry.
#include "engine/obs-fixture.hpp"
#include "engine/encoder-settings.hpp"
#include "engine/output-reaper.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

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

TEST(Faults, BackLiveWithinSecondsOfEachServersReturn)
{
	// One entry: RTMP servers back after 5 s, 60 s and 3 minutes, an SRT listener back after 60 s, all lost at
	// once, and one server that stays.
	struct Outage {
		int seconds;
		std::unique_ptr<testbed::RtmpServer> rtmp;
		std::unique_ptr<testbed::SrtListener> srt;
		Clock::time_point returned;
		double backAfter = -1;
		int outageAtHalf = -1;
	};
	std::vector<Outage> outages;
	for (int seconds : {5, 60, 180, 60}) {
		outages.push_back({seconds, nullptr, nullptr, {}});
		if (outages.size() == 4) {
			outages.back().srt = std::make_unique<testbed::SrtListener>();
			outages.back().srt->start();
		} else {
			outages.back().rtmp = std::make_unique<testbed::RtmpServer>();
			outages.back().rtmp->start();
		}
	}
	testbed::RtmpServer steady;
	steady.start();
	OBSSourceAutoRelease color = makeColor("outage-color", 0xFFFFFFFF, 160, 90);
	std::vector<std::pair<QString, QString>> urls;
	for (size_t i = 0; i < outages.size(); ++i) {
		urls.emplace_back(q(outages[i].rtmp ? outages[i].rtmp->url() : outages[i].srt->url()),
				  QStringLiteral("o%1").arg(i));
	}
	urls.emplace_back(q(steady.url()), QStringLiteral("steady"));
	EntryConfig entry = makeEntry(QStringLiteral("outage-color"), urls, 160, 90);
	LiveEntry live;
	QString error;
	for (const auto &dest : entry.destinos) {
		ASSERT_TRUE(live.startDestination(entry, dest, &error)) << error.toStdString();
	}
	auto status = [&](size_t i) {
		return live.destinationStatus(entry.destinos[int(i)].id);
	};
	ASSERT_TRUE(superviseUntil(
		{&live}, [&] { return allLive(live, entry); }, 10000));
	tickFor(live, 1500, 500);
	obs_encoder_t *encoder = live.pipelineHandle()->videoEncoder();

	LogCapture log;
	for (auto &outage : outages) {
		outage.rtmp ? outage.rtmp->kill() : outage.srt->stop();
	}
	const auto lost = Clock::now();
	bool steadyLive = true;
	superviseUntil(
		{&live},
		[&] {
			bool done = true;
			for (size_t i = 0; i < outages.size(); ++i) {
				Outage &outage = outages[i];
				const double since = secondsSince(lost);
				if (outage.outageAtHalf < 0 && since >= outage.seconds / 2.0 && outage.seconds > 5) {
					outage.outageAtHalf = status(i).outageSeconds;
				}
				if (outage.returned == Clock::time_point() && since >= outage.seconds) {
					outage.rtmp ? outage.rtmp->restart() : outage.srt->start();
					outage.returned = Clock::now();
				}
				if (outage.returned != Clock::time_point() && outage.backAfter < 0 &&
				    status(i).state == DestState::Live) {
					outage.backAfter = secondsSince(outage.returned);
				}
				done = done && outage.backAfter >= 0;
			}
			steadyLive = steadyLive && status(outages.size()).state == DestState::Live;
			return done;
		},
		(180 + 30) * 1000);

	for (size_t i = 0; i < outages.size(); ++i) {
		const Outage &outage = outages[i];
		const DestStatus back = status(i);
		const std::string what = (outage.srt ? "SRT, " : "RTMP, ") + std::to_string(outage.seconds) + " s";
		std::printf("outage of %s: Live %.1f s after the return, %d attempts, outage reported %d s\n",
			    what.c_str(), outage.backAfter, back.attempts, back.lastOutageSeconds);
		EXPECT_GE(outage.backAfter, 0) << what;
		EXPECT_LT(outage.backAfter, 6.0) << what;
		EXPECT_EQ(back.drops, 1) << what;
		EXPECT_EQ(back.outageSeconds, 0) << what;
		// An SRT sender notices a silent listener a few seconds late.
		EXPECT_GE(back.lastOutageSeconds, outage.seconds - (outage.srt ? 6 : 0)) << what;
		EXPECT_LE(back.lastOutageSeconds, outage.seconds + 7) << what;
		EXPECT_GE(back.attempts, outage.seconds / 6) << what;
		EXPECT_LE(back.attempts, outage.seconds * 2 / 9 + 2) << what;
		if (outage.seconds > 5) {
			EXPECT_NEAR(outage.outageAtHalf, outage.seconds / 2, outage.srt ? 6 : 1) << what;
		}
	}
	EXPECT_EQ(log.count("[tallowmere] stream dropped by itself"), 4) << log.joined();
	EXPECT_EQ(log.count("[tallowmere] stream recovered automatically after "), 4);
	EXPECT_TRUE(steadyLive) << "the other destination kept streaming";
	EXPECT_EQ(status(outages.size()).drops, 0);
	EXPECT_EQ(live.pipelineHandle()->videoEncoder(), encoder);
	EXPECT_EQ(countModuleObjects().videoEncoders, 1);
	live.stopAndWait();

	// What the steady server received has no hole from the others' outages.
	const auto frames = testbed::videoFrameTimes(steady.recordingPath("steady"));
	double longestHole = 0;
	for (size_t i = 1; i < frames.size(); ++i) {
		longestHole = std::max(longestHole, frames[i] - frames[i - 1]);
	}
	EXPECT_GT(frames.size(), size_t(180 * 25));
	EXPECT_LT(longestHole, 0.2);
}

TEST(Faults, RefusedFirstConnectionsFailAtOnceSayingWhatToCheck)
{
	Streaming stream("rtmp://127.0.0.1:" + std::to_string(testbed::freeTcpPort()) + "/live");
	const QString refused = QStringLiteral("The server refused the connection: check the address and the port, and "
					       "that the server is running.");
	QString error;
	ASSERT_TRUE(stream.start(&error)) << "the connection is tried in the background";
	ASSERT_TRUE(stream.waitFor(DestState::Failed, 5000));
	EXPECT_EQ(stream.status().message, refused);
	EXPECT_TRUE(tickUntil(
		stream.live, [&] { return !stream.live.isRunning(); }, 5000))
		<< "removed by the tick, its message kept";
	EXPECT_EQ(stream.status().state, DestState::Failed);
	EXPECT_EQ(stream.status().message, refused);
	EXPECT_EQ(stream.live.pipelineHandle(), nullptr);
	EXPECT_EQ(countModuleObjects().total(), 0);

	// Each way a server can turn a stream away, named with what to check.
	const auto failureOf = [](const std::string &url, const QString &passphrase = QString()) {
		Streaming s(url, "refused-color");
		s.entry.destinos[0].contrasena = passphrase;
		QString ignored;
		EXPECT_TRUE(s.start(&ignored)) << url;
		EXPECT_TRUE(s.waitFor(DestState::Failed, 20000)) << url << ": " << s.status().message.toStdString();
		s.live.stopAndWait();
		return s.status().message;
	};
	EXPECT_EQ(failureOf("rtmp://no-such-server.invalid/live"), failureCauseText(FailureCause::NameNotFound));
	testbed::RtmpServer::Options refuse;
	refuse.refusePublish = true;
	testbed::RtmpServer refusing(refuse);
	refusing.start();
	EXPECT_EQ(failureOf(refusing.url()), failureCauseText(FailureCause::KeyRefused));
	testbed::RtmpServer::Options tls;
	tls.tls = true;
	testbed::RtmpServer secure(tls);
	secure.start();
	EXPECT_EQ(failureOf(secure.tlsUrl()), failureCauseText(FailureCause::Certificate)) << "a CA it does not know";
	testbed::TempDir certs;
	ASSERT_TRUE(testbed::bindMount(testbed::makeCaBundleWith(secure.caCertPath(), certs.file("bundle.crt")),
				       "/etc/ssl/certs/ca-certificates.crt"));
	EXPECT_EQ(failureOf("rtmps://127.0.0.1:" + std::to_string(secure.tlsPort()) + "/live"),
		  failureCauseText(FailureCause::Certificate))
		<< "a certificate for another name";
	testbed::SrtListener::Options secret;
	secret.passphrase = "frase-de-paso-larga";
	testbed::SrtListener listener(secret);
	listener.start();
	EXPECT_EQ(failureOf(listener.url(), QStringLiteral("otra-frase-distinta")),
		  failureCauseText(FailureCause::SrtRefused));

	// What cannot work is refused before anything is sent.
	Streaming keyless(refusing.url(), "keyless-color");
	keyless.entry.destinos[0].clave.clear();
	EXPECT_FALSE(keyless.start(&error));
	EXPECT_EQ(error, QStringLiteral("The stream key is missing: paste it into its field with “✎ Edit”."));
	EXPECT_EQ(keyless.status().state, DestState::Failed);
	EXPECT_EQ(keyless.status().message, error) << "on its card";

	// An SRT address holding its passphrase and stream id, with no listener: OBS's own log of every failed try
	// shows the address without them.
	LogCapture log;
	Streaming srt("srt://127.0.0.1:" + std::to_string(testbed::freeUdpPort()) +
			      "?streamid=ID-SECRET-52&passphrase=PASS-SECRET-52&pbkeylen=16",
		      "srt-color");
	ASSERT_TRUE(srt.start(&error));
	ASSERT_TRUE(srt.waitFor(DestState::Failed, 15000)) << srt.status().message.toStdString();
	EXPECT_TRUE(tickUntil(
		srt.live, [&] { return !srt.live.isRunning(); }, 5000));
	EXPECT_TRUE(log.contains("srt://127.0.0.1:")) << log.joined();
	EXPECT_FALSE(log.contains("SECRET-52")) << log.joined();
}

TEST(Faults, ServerThatNeverAnswersEndsFailed)
{
	testbed::SilentTcpListener silent;
	silent.start();
	Streaming stream("rtmp://127.0.0.1:" + std::to_string(silent.port()) + "/live");
	// Another entry's stream to the same server, which the cancel must leave alone.
	Streaming sibling("rtmp://127.0.0.1:" + std::to_string(silent.port()) + "/live", "sibling-color");
	QString error;
	ASSERT_TRUE(stream.start(&error));
	ASSERT_TRUE(sibling.start(&error));
	// Cancelled while it connects: stopped at once, ended elsewhere in a moment, and never Failed; the ticks go on
	// on time meanwhile.
	ASSERT_TRUE(stream.waitFor(DestState::Connecting, 2000));
	tickFor(stream.live, 1500);
	const auto cancelled = Clock::now();
	stream.live.runningDestination(stream.id)->stop();
	EXPECT_EQ(stream.status().state, DestState::Idle);
	double slowestTick = 0;
	tickUntil(
		stream.live,
		[&] {
			const auto before = Clock::now();
			stream.live.tick();
			slowestTick = std::max(slowestTick, secondsSince(before));
			sibling.live.tick();
			EXPECT_EQ(stream.status().state, DestState::Idle);
			return outputReaper::pending() == 0 && secondsSince(cancelled) > 1.0;
		},
		5000, 50);
	EXPECT_EQ(sibling.status().state, DestState::Connecting) << sibling.status().message.toStdString();
	sibling.live.stopAndWait();
	EXPECT_TRUE(tickUntil(
		sibling.live, [] { return outputReaper::pending() == 0; }, 5000));
	sibling.color = nullptr;
	std::printf("cancel while connecting: ended after %.2f s, slowest tick %.1f ms\n", secondsSince(cancelled),
		    slowestTick * 1000);
	EXPECT_LT(secondsSince(cancelled), 2.5);
	EXPECT_LT(slowestTick, 0.1);
	EXPECT_FALSE(stream.live.isRunning());
	EXPECT_EQ(countModuleObjects().total(), 0);

	// Left to itself, a try ends Failed when OBS gives up on the server.
	ASSERT_TRUE(stream.start(&error));
	const auto started = Clock::now();
	ASSERT_TRUE(tickUntil(
		stream.live, [&] { return !stream.live.isRunning(); }, 60000, 250));
	const double took = secondsSince(started);
	EXPECT_EQ(stream.status().state, DestState::Failed);
	EXPECT_EQ(stream.status().message, failureCauseText(FailureCause::NoAnswer));
	EXPECT_LT(took, 45.0);
	std::printf("never-answering server: Failed after %.1f s with \"%s\"\n", took,
		    stream.status().message.toUtf8().constData());
	EXPECT_EQ(countModuleObjects().total(), 0);

	// A port whose opening packets are dropped: a cancel, and OBS closing (everything ended and its threads
	// joined), each end the try in a moment, not when the system gives up on it two minutes later.
	testbed::DroppingTcpListener dropping;
	dropping.start();
	for (const bool closing : {false, true}) {
		Streaming dialling("rtmp://127.0.0.1:" + std::to_string(dropping.port()) + "/live", "dialling-color");
		ASSERT_TRUE(dialling.start(&error));
		tickFor(dialling.live, 1500);
		ASSERT_EQ(dialling.status().state, DestState::Connecting);
		const auto stopped = Clock::now();
		dialling.live.runningDestination(dialling.id)->stop();
		EXPECT_EQ(dialling.status().state, DestState::Idle);
		if (closing) {
			outputReaper::finish();
			EXPECT_EQ(outputReaper::pending(), 0);
		} else {
			EXPECT_TRUE(tickUntil(
				dialling.live, [] { return outputReaper::pending() == 0; }, 10000));
		}
		std::printf("unanswered opening, %s: ended after %.2f s\n", closing ? "closing" : "cancelled",
			    secondsSince(stopped));
		EXPECT_LT(secondsSince(stopped), 5.0);
		tickUntil(
			dialling.live, [&] { return !dialling.live.isRunning(); }, 5000);
		dialling.color = nullptr;
		EXPECT_EQ(countModuleObjects().total(), 0);
	}
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
	LogCapture log;
	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000));
	const auto dropped = Clock::now();
	EXPECT_EQ(log.count("[tallowmere] stream dropped by itself (code -5"), 1) << log.joined();

	// A refused try fails at once and counts: the first 1.5 s after the drop, the next at most 5 s after that one.
	std::vector<double> tries;
	tickUntil(
		stream.live,
		[&] {
			if (stream.status().attempts > int(tries.size()) + 1) {
				tries.push_back(secondsSince(dropped));
			}
			EXPECT_EQ(stream.status().state, DestState::Reconnecting);
			return tries.size() >= 2;
		},
		12000, 20);
	ASSERT_EQ(tries.size(), 2u);
	EXPECT_NEAR(tries[0], 1.5, 0.4);
	EXPECT_GE(tries[1] - tries[0], 4.4);
	EXPECT_LE(tries[1] - tries[0], 5.0);

	server.restart();
	ASSERT_TRUE(stream.waitForSteadyLive());
	EXPECT_EQ(stream.status().drops, 1);
	EXPECT_GE(stream.status().lastOutageSeconds, 6);
	EXPECT_EQ(log.count("[tallowmere] stream dropped by itself"), 1);
	EXPECT_EQ(log.count("[tallowmere] stream recovered automatically after "), 1) << log.joined();

	// The limit, just over half an hour of tries: the real output's own "stop" signal, as OBS emits it.
	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000));
	EXPECT_GE((Supervision::maxRestartAttempts - 1) * Supervision::restartDueMs + Supervision::firstRestartDelayMs,
		  Supervision::giveUpAfterMs);
	signal_handler_t *handler = obs_output_get_signal_handler(output);
	calldata_t cd;
	calldata_init(&cd);
	calldata_set_ptr(&cd, "output", output);
	calldata_set_int(&cd, "code", OBS_OUTPUT_CONNECT_FAILED);
	for (int i = stream.status().attempts; i < Supervision::maxRestartAttempts; ++i) {
		signal_handler_signal(handler, "stop", &cd);
	}
	EXPECT_EQ(stream.status().attempts, Supervision::maxRestartAttempts);
	EXPECT_EQ(stream.status().state, DestState::Reconnecting);
	signal_handler_signal(handler, "stop", &cd);
	calldata_free(&cd);
	EXPECT_EQ(stream.status().state, DestState::Failed);
	EXPECT_EQ(stream.status().message, failureCauseText(FailureCause::ConnectionRefused));
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
	server.kill();
	ASSERT_TRUE(stream.waitFor(DestState::Reconnecting, 5000));
	stream.live.runningDestination(stream.id)->stop();
	EXPECT_EQ(stream.status().state, DestState::Idle) << "the card reads Stopped at once";
	// The output itself is ended on the clean-up thread: the entry is gone once that is done.
	EXPECT_TRUE(tickUntil(
		stream.live, [&] { return !stream.live.isRunning() && outputReaper::pending() == 0; }, 10000));
	EXPECT_EQ(stream.status().state, DestState::Idle);
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
