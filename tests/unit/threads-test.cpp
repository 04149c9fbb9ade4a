// What OBS's threads touch, touched from several threads at once: a capture filled by a source's audio thread
// while the mix drains it and the UI thread changes the delay, and a destination's signal fields written by
// output threads while the UI thread reads its status and stops it. Meant to run under ThreadSanitizer.
#include "engine/audio-track.hpp"
#include "engine/dest-output.hpp"
#include "config/config-store.hpp"

#include <gtest/gtest.h>

#include <callback/calldata.h>
#include <util/base.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

void quiet(int, const char *, va_list, void *) {}

} // namespace

TEST(Threads, CaptureMixAndDelayTogether)
{
	std::atomic<int32_t> delay{0};
	SourceCapture capture(nullptr, delay);
	std::atomic<bool> done{false};
	std::atomic<int> blocks{0};

	std::thread source([&] {
		std::vector<float> packet(4608, 0.25f);
		for (int i = 0; i < 5000; ++i) {
			const uint32_t frames = i % 3 == 0 ? 4608 : 480;
			capture.capture(packet.data(), packet.data(), frames, 1.0f, uint64_t(i) * 10000000,
					(i % 7) * 960);
		}
		done = true;
	});
	std::thread mixer([&] {
		std::vector<float> left(SourceCapture::blockFrames), right(SourceCapture::blockFrames);
		for (uint64_t i = 0; !done; ++i) {
			if (capture.mixInto(left.data(), right.data(), i * 21333333)) {
				++blocks;
			}
		}
	});
	// The UI thread changes the delay and grows the rings meanwhile.
	for (int i = 0; !done; ++i) {
		delay = (i % 5) * 4800;
		if (i % 100 == 0) {
			capture.reserve();
		}
		std::this_thread::yield();
	}
	source.join();
	mixer.join();
	EXPECT_LE(capture.bufferedFrames(), uint64_t(4 * 4800 + 6 * 960) + SourceCapture::safetyFrames +
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
	dest.stop();
	dest.fail(QStringLiteral("fin"));
	done = true;
	reader.join();
	EXPECT_EQ(dest.status().state, DestState::Failed);
	EXPECT_EQ(dest.status().message, QStringLiteral("fin"));
	EXPECT_GT(dest.status().drops, 0);
	base_set_log_handler(nullptr, nullptr);
}
