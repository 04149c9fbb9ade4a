// The two audio callbacks' logic: what a capture buffers and what the mix takes out, with and without delay.
#include "engine/audio-track.hpp"
#include "engine/encoder-settings.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

constexpr uint32_t block = SourceCapture::blockFrames;

// A packet whose samples count up from first, so what comes out tells where it came from.
std::vector<float> ramp(uint32_t frames, float first)
{
	std::vector<float> samples(frames);
	std::iota(samples.begin(), samples.end(), first);
	return samples;
}

struct Block {
	std::vector<float> left = std::vector<float>(block, 0.0f);
	std::vector<float> right = std::vector<float>(block, 0.0f);
};

Block mixOnce(SourceCapture &capture, bool *contributed = nullptr)
{
	Block out;
	const bool added = capture.mixInto(out.left.data(), out.right.data());
	if (contributed) {
		*contributed = added;
	}
	return out;
}

void push(SourceCapture &capture, uint32_t frames, float first, float gain = 1.0f)
{
	const auto samples = ramp(frames, first);
	capture.capture(samples.data(), samples.data(), frames, gain);
}

} // namespace

TEST(AudioCapture, PrimesThenStreamsThenUnderruns)
{
	std::atomic<int32_t> delay{0};
	SourceCapture capture(nullptr, delay);
	bool added = true;

	push(capture, 1024, 0);
	mixOnce(capture, &added);
	EXPECT_FALSE(added) << "silent until delay + 1536 frames are buffered";
	push(capture, 1024, 1024);
	Block first = mixOnce(capture, &added);
	ASSERT_TRUE(added);
	EXPECT_EQ(first.left[0], 0.0f);
	EXPECT_EQ(first.right[1023], 1023.0f);
	Block second = mixOnce(capture, &added);
	ASSERT_TRUE(added) << "once primed, one block is enough";
	EXPECT_EQ(second.left[0], 1024.0f);
	mixOnce(capture, &added);
	EXPECT_FALSE(added) << "an underrun";

	// After an underrun the capture primes again before it is heard.
	push(capture, 1024, 5000);
	mixOnce(capture, &added);
	EXPECT_FALSE(added);
	EXPECT_EQ(capture.bufferedFrames(), 1024u);
}

TEST(AudioCapture, LongPacketsAndOverflow)
{
	std::atomic<int32_t> delay{0};
	SourceCapture capture(nullptr, delay);
	push(capture, 4096, 0);
	EXPECT_EQ(capture.bufferedFrames(), 3072u) << "a 4096-frame packet keeps its last 3072 frames";
	bool added = false;
	EXPECT_EQ(mixOnce(capture, &added).left[0], 1024.0f);

	// Without a mix draining it, the ring stays near delay + 3072 frames, keeping the newest audio.
	SourceCapture flooded(nullptr, delay);
	for (int i = 0; i < 4; ++i) {
		push(flooded, 3072, float(i * 3072));
	}
	EXPECT_EQ(flooded.bufferedFrames(), 3072u);
	EXPECT_EQ(mixOnce(flooded, &added).left[0], float(3 * 3072));
	EXPECT_TRUE(added);

	// The same bound holds on top of a delay.
	delay = 4800;
	SourceCapture delayed(nullptr, delay);
	for (int i = 0; i < 10; ++i) {
		push(delayed, 2048, 0);
	}
	EXPECT_LE(delayed.bufferedFrames(), 4800u + SourceCapture::overflowMargin);
	EXPECT_GE(delayed.bufferedFrames(), 4800u + 3072u);
}

TEST(AudioCapture, DelayRaisedAndLowered)
{
	std::atomic<int32_t> delay{0};
	SourceCapture capture(nullptr, delay);
	push(capture, 2048, 0);
	bool added = false;
	mixOnce(capture, &added);
	ASSERT_TRUE(added);

	// Raised: silent until the longer delay is buffered, then the audio goes on where it was.
	delay = 2400;
	push(capture, 1024, 2048);
	mixOnce(capture, &added);
	EXPECT_FALSE(added);
	push(capture, 2048, 3072);
	push(capture, 1024, 5120);
	EXPECT_GE(capture.bufferedFrames(), 2400u + 1536u);
	Block resumed = mixOnce(capture, &added);
	ASSERT_TRUE(added);
	EXPECT_EQ(resumed.left[0], 1024.0f);

	// Lowered: the excess is dropped at once, the newest audio kept.
	const uint64_t before = capture.bufferedFrames();
	delay = 0;
	Block lowered = mixOnce(capture, &added);
	ASSERT_TRUE(added);
	EXPECT_EQ(capture.bufferedFrames(), 1536u - block);
	EXPECT_EQ(lowered.left[0], float(2048 + before - 1536));

	// A negative delay counts as none.
	delay = -50;
	push(capture, 2048, 0);
	mixOnce(capture, &added);
	EXPECT_TRUE(added);
}

TEST(AudioCapture, PacketsAsObsDeliversThem)
{
	std::atomic<int32_t> delay{0};
	SourceCapture capture(nullptr, delay);
	const auto left = ramp(2048, 1);
	const auto right = ramp(2048, -3000);
	audio_data stereo = {};
	stereo.data[0] = reinterpret_cast<uint8_t *>(const_cast<float *>(left.data()));
	stereo.data[1] = reinterpret_cast<uint8_t *>(const_cast<float *>(right.data()));
	stereo.frames = 2048;

	capture.captureAudio(&stereo, true, 1.0f);
	EXPECT_EQ(capture.bufferedFrames(), 0u) << "a muted source adds nothing";
	audio_data empty = stereo;
	empty.frames = 0;
	capture.captureAudio(&empty, false, 1.0f);
	capture.captureAudio(nullptr, false, 1.0f);
	EXPECT_EQ(capture.bufferedFrames(), 0u);

	capture.captureAudio(&stereo, false, 0.5f);
	Block half = mixOnce(capture);
	EXPECT_FLOAT_EQ(half.left[10], 11.0f * 0.5f) << "the source's own volume applies";
	EXPECT_FLOAT_EQ(half.right[10], -2990.0f * 0.5f);

	SourceCapture monoCapture(nullptr, delay);
	audio_data mono = stereo;
	mono.data[1] = nullptr;
	monoCapture.captureAudio(&mono, false, 1.0f);
	Block both = mixOnce(monoCapture);
	EXPECT_EQ(both.left[100], 101.0f);
	EXPECT_EQ(both.right[100], 101.0f) << "a mono source is heard on both channels";

	// Two captures mixed into one block add up.
	Block sum;
	SourceCapture a(nullptr, delay);
	SourceCapture b(nullptr, delay);
	push(a, 2048, 1);
	push(b, 2048, 1, 2.0f);
	a.mixInto(sum.left.data(), sum.right.data());
	b.mixInto(sum.left.data(), sum.right.data());
	EXPECT_EQ(sum.left[0], 3.0f);
}

TEST(AudioTrack, MixCallbackAndDelayFrames)
{
	EntryAudioTrack track;
	std::vector<float> left(block, 7.0f);
	std::vector<float> right(block, 7.0f);
	audio_output_data mixes[MAX_AUDIO_MIXES] = {};
	mixes[0].data[0] = left.data();
	uint64_t newTs = 0;
	EXPECT_TRUE(EntryAudioTrack::mixCallback(&track, 1234, 5678, &newTs, 1, mixes));
	EXPECT_EQ(newTs, 1234u) << "the block's timestamp is kept";
	mixes[0].data[1] = right.data();
	EXPECT_TRUE(EntryAudioTrack::mixCallback(&track, 99, 100, &newTs, 1, mixes));
	EXPECT_EQ(left[0], 7.0f) << "with nothing captured the block is untouched";

	EXPECT_EQ(delayFramesFor(250, 48000), 12000);
	EXPECT_EQ(delayFramesFor(-50, 48000), 0);
	EXPECT_EQ(delayFramesFor(2500, 48000), 48000);
	EXPECT_EQ(delayFramesFor(1000, 44100), 44100);
	track.setDelayMs(250);
	EXPECT_EQ(track.delay(), 12000) << "48 kHz until opened";
	track.close();
	track.close();
	EXPECT_FALSE(track.isOpen());
}
