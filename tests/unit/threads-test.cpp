// What OBS's threads touch, touched from several threads at once: a capture filled by a source's audio thread
// while the mix drains it and the UI thread changes the delay, and a destination's signal fields written by
// output threads while the UI thread reads its status and stops it. Meant to run under ThreadSanitizer.
#include "base/ui-call.hpp"
#include "engine/audio-track.hpp"
#include "engine/dest-output.hpp"
#include "config/config-store.hpp"

#include <gtest/gtest.h>

#include <callback/calldata.h>
#include <util/base.h>
#include <util/platform.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

void quiet(int, const char *, va_list, void *) {}

} // namespace

TEST(Threads, CaptureMixAndDelayTogether)
{
	EntryAudioTrack track;
	SourceCapture &capture = track.addCapture();
	std::atomic<bool> done{false};
	std::atomic<int> blocks{0};

	std::thread source([&] {
		std::vector<float> packet(4608, 0.25f);
		// Goes on until the mix has really run alongside, however the threads happen to be scheduled.
		const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
		for (int i = 0; i < 5000 || (blocks < 50 && std::chrono::steady_clock::now() < until); ++i) {
			const uint32_t frames = i % 3 == 0 ? 4608 : 480;
			capture.capture(packet.data(), packet.data(), frames, 1.0f, os_gettime_ns(), (i % 7) * 960);
		}
		done = true;
	});
	std::thread mixer([&] {
		std::vector<float> left(SourceCapture::blockFrames), right(SourceCapture::blockFrames);
		while (!done) {
			std::fill(left.begin(), left.end(), 0.0f);
			if (track.mix(left.data(), right.data(), os_gettime_ns()) &&
			    std::any_of(left.begin(), left.end(), [](float v) { return v != 0.0f; })) {
				++blocks;
			}
		}
	});
	// The UI thread changes the delay and grows the rings meanwhile.
	for (int i = 0; !done; ++i) {
		track.setDelayMs((i % 5) * 100);
		if (i % 100 == 0) {
			track.reserveCaptures();
		}
		std::this_thread::yield();
	}
	source.join();
	mixer.join();
	EXPECT_LE(capture.bufferedFrames(), uint64_t(4 * 4800 + 6 * 960) + SourceCapture::safetyFrames +
						    SourceCapture::maxLateMarginFrames(48000) +
						    SourceCapture::blockFrames + 2 * 4608 +
						    SourceCapture::overflowMargin);
	EXPECT_GT(blocks.load(), 0);
}

TEST(Threads, SignalFieldsAndStatus)
{
	base_set_log_handler(quiet, nullptr);
	DestConfig config;
	config.id = QStringLiteral("d1");
	config.url = QStringLiteral("rtmp://127.0.0.1/live");
	DestOutput dest(config);

	std::atomic<bool> done{false};
	std::vector<std::thread> outputThreads;
	outputThreads.emplace_back([&] {
		for (int i = 0; i < 2000; ++i) {
			DestOutput::onStart(&dest, nullptr);
			DestOutput::onReconnect(&dest, nullptr);
			DestOutput::onReconnectSuccess(&dest, nullptr);
		}
	});
	outputThreads.emplace_back([&] {
		calldata_t cd;
		calldata_init(&cd);
		for (int i = 0; i < 2000; ++i) {
			calldata_set_int(&cd, "code", i % 3 == 0 ? 0 : -5);
			calldata_set_string(&cd, "last_error", "srt://h:1?passphrase=x");
			DestOutput::onStop(&dest, &cd);
		}
		calldata_free(&cd);
	});
	std::thread reader([&] {
		while (!done) {
			const DestStatus status = dest.status();
			EXPECT_GE(status.drops, 0);
			dest.checkRestart();
			dest.hasEnded();
		}
	});
	for (auto &thread : outputThreads) {
		thread.join();
	}
	// The reader is the UI thread: stopping is its work too.
	done = true;
	reader.join();
	dest.stop();
	dest.fail(QStringLiteral("fin"));
	EXPECT_EQ(dest.status().state, DestState::Idle) << "never started, then stopped: nothing made it fail";
	EXPECT_TRUE(dest.status().message.isEmpty());
	base_set_log_handler(nullptr, nullptr);
}

// obs-websocket's threads reaching the UI thread: the work runs there, a busy UI thread gives a timely refusal and
// the work then never runs, and closing at exit wakes a waiting caller at once.
TEST(Threads, UiCallsAreBoundedAndNeverOutliveTheGate)
{
	int argc = 1;
	char name[] = "thread_tests";
	char *argv[] = {name, nullptr};
	QCoreApplication app(argc, argv);
	UiCallGate gate;
	using namespace std::chrono_literals;
	const auto pumpUntil = [&](std::atomic<bool> &flag) {
		while (!flag) {
			QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
		}
	};

	std::atomic<bool> returned{false};
	std::thread::id ranOn;
	UiCallGate::Result result = UiCallGate::Result::Closed;
	std::thread caller([&] {
		result = gate.call(
			&app, [&] { ranOn = std::this_thread::get_id(); }, 5000ms);
		returned = true;
	});
	pumpUntil(returned);
	caller.join();
	EXPECT_EQ(result, UiCallGate::Result::Done);
	EXPECT_EQ(ranOn, std::this_thread::get_id());

	// The UI thread is busy (no events processed) for longer than the caller waits.
	std::atomic<int> late{0};
	std::thread busy([&] {
		result = gate.call(
			&app, [&] { ++late; }, 200ms);
	});
	busy.join();
	EXPECT_EQ(result, UiCallGate::Result::TimedOut);
	QCoreApplication::processEvents();
	EXPECT_EQ(late, 0) << "refused work must not run afterwards";

	returned = false;
	QElapsedTimer waited;
	waited.start();
	std::thread closing([&] {
		result = gate.call(
			&app, [&] { ++late; }, 60000ms);
		returned = true;
	});
	std::this_thread::sleep_for(100ms);
	gate.close();
	closing.join();
	EXPECT_EQ(result, UiCallGate::Result::Closed);
	EXPECT_LT(waited.elapsed(), 5000);
	EXPECT_EQ(gate.call(
			  &app, [&] { ++late; }, 60000ms),
		  UiCallGate::Result::Closed);
	QCoreApplication::processEvents();
	EXPECT_EQ(late, 0);
}
