// The two audio callbacks' logic: what a capture buffers and what the mix takes out, for the packet lengths real
// sources deliver, with and without delay.
#include "engine/audio-track.hpp"
#include "engine/encoder-settings.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr uint32_t block = SourceCapture::blockFrames;
constexpr uint64_t second = 1000000000ULL;

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

// A mix long after the last packet: it only needs the delay, the margin and one block.
Block mixOnce(SourceCapture &capture, bool *contributed = nullptr, uint64_t nowNs = 100 * second)
{
	Block out;
	const bool added = capture.mixInto(out.left.data(), out.right.data(), nowNs);
	if (contributed) {
		*contributed = added;
	}
	return out;
}

void push(SourceCapture &capture, uint32_t frames, float first, float gain = 1.0f, int64_t offset = 0)
{
	const auto samples = ramp(frames, first);
	capture.capture(samples.data(), samples.data(), frames, gain, 0, offset);
}

// A source delivering packets of `packet` frames at sourceRate (resampled to 48 kHz, as OBS hands them over) at
// the start of the audio they hold, up to 3 ms late; OBS's audio thread mixing one block when its end comes and
// stamping it with its start.
class Stream {
public:
	Stream(uint32_t packetFrames, uint32_t sourceRate) : packet(packetFrames), rate(sourceRate) {}

	// Runs until the given time, with the entry's delay set to delayFrames from now on.
	void runUntil(double seconds, int32_t delayFrames)
	{
		timing.delayFrames = delayFrames;
		const uint64_t end = uint64_t(seconds * second);
		for (;;) {
			const uint64_t nextPacket = packetNs(arrivals.size()) + jitterNs(arrivals.size());
			const uint64_t nextMix = 7000000 + (mixes + 1) * block * second / 48000;
			if (std::min(nextPacket, nextMix) >= end) {
				return;
			}
			if (nextPacket <= nextMix) {
				write(nextPacket);
			} else {
				mix(nextMix);
			}
		}
	}

	struct Frame {
		double mixedAt;   // the block's start, in seconds
		float value;      // the frame's number from 1, 0 for silence
		double shift;     // frames between when it was due and its stamp
		double sinceMade; // frames between the latest it can have been made (its packet's arrival less the
				  // rest of the packet) and its stamp
	};

	TrackTiming timing;
	SourceCapture capture{nullptr, timing, 48000};
	uint32_t largestPacket = 0;
	std::vector<Frame> out;
	bool primed = false;
	uint64_t silentBlocksAfterPriming = 0;

private:
	uint64_t packetNs(uint64_t index) const { return index * packet * second / rate; }
	uint64_t jitterNs(uint64_t index) const { return (index * 7919 % 13) * 250000; }
	uint64_t at48k(uint64_t index) const { return index * packet * 48000 / rate; }

	void write(uint64_t nowNs)
	{
		const uint64_t index = arrivals.size();
		const uint32_t frames = uint32_t(at48k(index + 1) - at48k(index));
		const auto samples = ramp(frames, float(at48k(index) + 1));
		capture.capture(samples.data(), samples.data(), frames, 1.0f, nowNs);
		largestPacket = std::max(largestPacket, frames);
		arrivals.push_back(double(nowNs) / second);
	}

	void mix(uint64_t nowNs)
	{
		std::vector<float> left(block, 0.0f), right(block, 0.0f);
		const bool added = capture.mixInto(left.data(), right.data(), nowNs);
		++mixes;
		primed = primed || added;
		if (!primed) {
			return;
		}
		silentBlocksAfterPriming += added ? 0 : 1;
		const double start = double(nowNs) / second - double(block) / 48000;
		for (uint32_t i = 0; i < block; ++i) {
			Frame frame{start, left[i], 0, 0};
			if (left[i] > 0) {
				const uint64_t n = uint64_t(left[i]) - 1;
				const double stamp = start + double(i) / 48000;
				uint64_t index = n * rate / (uint64_t(packet) * 48000);
				while (at48k(index + 1) <= n) {
					++index;
				}
				frame.shift = (stamp - double(n) / 48000) * 48000;
				frame.sinceMade = (stamp - arrivals[index]) * 48000 + double(at48k(index + 1) - n);
			}
			out.push_back(frame);
		}
	}

	const uint32_t packet;
	const uint32_t rate;
	std::vector<double> arrivals;
	uint64_t mixes = 0;
};

} // namespace

class PacketLengths : public testing::TestWithParam<std::tuple<uint32_t, uint32_t>> {};

TEST_P(PacketLengths, EveryFrameOnceInOrderWithBoundedLatency)
{
	Stream stream(std::get<0>(GetParam()), std::get<1>(GetParam()));
	stream.runUntil(3.0, 0);
	stream.runUntil(5.0, 12000);
	stream.runUntil(7.0, 2400);
	ASSERT_TRUE(stream.primed);
	EXPECT_EQ(stream.silentBlocksAfterPriming, 0u) << "no underrun after priming";
	EXPECT_EQ(stream.capture.underruns(), 0u);
	EXPECT_EQ(stream.capture.largestPacket(), stream.largestPacket);

	// Each frame goes out the delay plus the margin after it was due (later only by how late the packet that
	// started the mix came), whatever the packet length: so less than a packet and a block beyond the delay
	// even for a source that hands each packet over only once it is complete.
	for (const auto &period :
	     {std::make_tuple(0.2, 2.9, 0), std::make_tuple(3.5, 4.9, 12000), std::make_tuple(5.5, 7.0, 2400)}) {
		double least = 1e9, most = -1e9, longest = 0;
		for (const auto &frame : stream.out) {
			if (frame.mixedAt >= std::get<0>(period) && frame.mixedAt < std::get<1>(period) &&
			    frame.value > 0) {
				least = std::min(least, frame.shift);
				most = std::max(most, frame.shift);
				longest = std::max(longest, frame.sinceMade);
			}
		}
		const double delayed = std::get<2>(period);
		EXPECT_GE(least - delayed, SourceCapture::safetyFrames - 0.5) << std::get<0>(period);
		EXPECT_LE(most - delayed, SourceCapture::safetyFrames + 3 * 48 + 0.5) << std::get<0>(period);
		EXPECT_LT(longest, delayed + stream.largestPacket + block) << std::get<0>(period);
	}

	// From the first block heard: consecutive frames, the raised delay as exactly that much silence, the lowered
	// one as exactly that many frames skipped.
	std::vector<size_t> silences;
	std::vector<float> jumps;
	float previous = 0;
	size_t silent = 0;
	for (const auto &frame : stream.out) {
		if (frame.value == 0) {
			++silent;
			continue;
		}
		if (silent > 0) {
			silences.push_back(silent);
			silent = 0;
		}
		if (previous > 0 && frame.value != previous + 1) {
			jumps.push_back(frame.value - previous);
		}
		previous = frame.value;
	}
	EXPECT_EQ(silences, std::vector<size_t>{12000});
	EXPECT_EQ(jumps, std::vector<float>{float(12000 - 2400 + 1)});
}

INSTANTIATE_TEST_SUITE_P(AudioCapture, PacketLengths,
			 testing::Combine(testing::Values(480u, 1024u, 3072u, 4096u, 4608u, 8192u),
					  testing::Values(48000u, 44100u)),
			 [](const testing::TestParamInfo<std::tuple<uint32_t, uint32_t>> &param) {
				 return std::to_string(std::get<0>(param.param)) + "at" +
					std::to_string(std::get<1>(param.param));
			 });

TEST(AudioCapture, OverflowRunawayPacketsAndRoom)
{
	TrackTiming delay;
	// Without a mix draining it, the ring stays bounded and keeps the newest audio.
	SourceCapture flooded(nullptr, delay);
	for (int i = 0; i < 40; ++i) {
		push(flooded, 1024, float(i * 1024));
	}
	EXPECT_LE(flooded.bufferedFrames(), SourceCapture::safetyFrames + 2 * 1024 + SourceCapture::overflowMargin);
	bool added = false;
	const Block newest = mixOnce(flooded, &added);
	EXPECT_TRUE(added);
	EXPECT_EQ(newest.left[0], float(40 * 1024 - SourceCapture::safetyFrames - block));

	// Only a runaway source sends more than maxPacketFrames at once: its newest audio is kept.
	SourceCapture runaway(nullptr, delay);
	push(runaway, 100000, 0);
	EXPECT_EQ(runaway.bufferedFrames(), SourceCapture::maxPacketFrames);
	EXPECT_EQ(runaway.largestPacket(), SourceCapture::maxPacketFrames);
	runaway.reserve();
	EXPECT_GE(runaway.ringFrames(), 48000 + 2 * SourceCapture::maxPacketFrames + SourceCapture::overflowMargin);
	EXPECT_EQ(runaway.bufferedFrames(), SourceCapture::maxPacketFrames) << "growing keeps what is buffered";
	EXPECT_EQ(mixOnce(runaway).left[0], float(100000 - SourceCapture::safetyFrames - block)) << "and in order";
}

TEST(AudioCapture, SyncOffsetDelaysOneSource)
{
	TrackTiming delay;
	delay.delayFrames = 4800;
	SourceCapture capture(nullptr, delay);
	push(capture, 8192, 1);
	bool added = false;
	EXPECT_EQ(mixOnce(capture, &added).left[0], float(8192 - 4800 - SourceCapture::safetyFrames - block + 1));
	ASSERT_TRUE(added);

	// +2 s: more than the ring held, so the offset waits for the room that reserve() makes.
	const uint64_t before = capture.bufferedFrames();
	push(capture, 1024, 8193, 1.0f, 96000);
	EXPECT_LT(capture.bufferedFrames(), before + 1024 + 96000);
	capture.reserve();
	EXPECT_GE(capture.ringFrames(), 48000u + 96000u);
	push(capture, 1024, 9217, 1.0f, 96000);
	EXPECT_EQ(capture.bufferedFrames(), before + 2048 + 96000) << "the offset is silence before what was buffered";
	EXPECT_EQ(mixOnce(capture).left[0], 0.0f);

	// A negative offset counts as none: back to the entry's delay alone, dropping the excess at once.
	push(capture, 1024, 10241, 1.0f, -4800);
	EXPECT_EQ(capture.bufferedFrames(), before + 3072 - block);
	EXPECT_EQ(capture.underruns(), 0u);
}

TEST(AudioCapture, PacketsAsObsDeliversThem)
{
	TrackTiming delay;
	SourceCapture capture(nullptr, delay);
	const auto left = ramp(2048, 1);
	const auto right = ramp(2048, -3000);
	audio_data stereo = {};
	stereo.data[0] = reinterpret_cast<uint8_t *>(const_cast<float *>(left.data()));
	stereo.data[1] = reinterpret_cast<uint8_t *>(const_cast<float *>(right.data()));
	stereo.frames = 2048;

	audio_data empty = stereo;
	empty.frames = 0;
	capture.captureAudio(&empty, false, 1.0f);
	capture.captureAudio(nullptr, false, 1.0f);
	EXPECT_EQ(capture.bufferedFrames(), 0u);
	SourceCapture muted(nullptr, delay);
	muted.captureAudio(&stereo, true, 1.0f);
	EXPECT_EQ(muted.bufferedFrames(), 2048u) << "a muted source keeps its pace";
	EXPECT_EQ(mixOnce(muted, nullptr, UINT64_MAX / 2).left[10], 0.0f) << "in silence";

	// Starting a source skips what would only add latency: 2048 - (512 + 1024) frames here.
	const float skipped = float(2048 - SourceCapture::safetyFrames - block);
	capture.captureAudio(&stereo, false, 0.5f);
	Block half = mixOnce(capture, nullptr, UINT64_MAX / 2);
	EXPECT_FLOAT_EQ(half.left[10], (11.0f + skipped) * 0.5f) << "the source's own volume applies";
	EXPECT_FLOAT_EQ(half.right[10], (-2990.0f + skipped) * 0.5f);

	SourceCapture monoCapture(nullptr, delay);
	audio_data mono = stereo;
	mono.data[1] = nullptr;
	monoCapture.captureAudio(&mono, false, 1.0f);
	Block both = mixOnce(monoCapture, nullptr, UINT64_MAX / 2);
	EXPECT_EQ(both.left[100], 101.0f + skipped);
	EXPECT_EQ(both.right[100], 101.0f + skipped) << "a mono source is heard on both channels";

	// Two captures mixed into one block add up.
	Block sum;
	SourceCapture a(nullptr, delay);
	SourceCapture b(nullptr, delay);
	push(a, 2048, 1);
	push(b, 2048, 1, 2.0f);
	a.mixInto(sum.left.data(), sum.right.data(), second);
	b.mixInto(sum.left.data(), sum.right.data(), second);
	EXPECT_EQ(sum.left[0], 3.0f * (1 + skipped));
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

TEST(AudioTrack, LatePacketsAreWaitedForAndGrowTheMarginWithoutGaps)
{
	// Two sources of 1,024-frame packets: one counting up, one a constant far above it whose packets come late
	// now and then; what is heard tells both apart.
	constexpr float mark = 1000000.0f;
	EntryAudioTrack track;
	SourceCapture &steady = track.addCapture();
	SourceCapture &late = track.addCapture();
	const uint64_t blockNs = block * second / 48000;
	std::vector<float> heard;
	auto deliver = [&](uint64_t index, uint64_t atNs, bool both = true) {
		const auto samples = ramp(block, float(index * block + 1));
		const std::vector<float> marks(block, mark);
		if (both) {
			steady.capture(samples.data(), samples.data(), block, 1.0f, index * blockNs);
		}
		late.capture(marks.data(), marks.data(), block, 1.0f, atNs);
	};
	auto mix = [&](uint64_t index) {
		Block out;
		const bool sent = track.mix(out.left.data(), out.right.data(), (index + 1) * blockNs + blockNs / 2);
		if (sent) {
			heard.insert(heard.end(), out.left.begin(), out.left.end());
		}
		return sent;
	};
	uint64_t next = 0;
	for (; next < 20; ++next) {
		deliver(next, next * blockNs);
		EXPECT_TRUE(mix(next));
	}
	// A little late: the mix waits for it, and nothing changes.
	const auto samples = ramp(block, float(next * block + 1));
	steady.capture(samples.data(), samples.data(), block, 1.0f, next * blockNs);
	std::thread source([&] {
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
		deliver(next, next * blockNs + 5000000, false);
	});
	EXPECT_TRUE(mix(next));
	source.join();
	EXPECT_EQ(track.lateMarginFrames(), 0u);
	// 100 ms late: that source is silent until it comes, then the margin grows by the 3 blocks it needed beyond
	// the wait and the safety margin, held back from the mix.
	++next;
	const auto more = ramp(block, float(next * block + 1));
	steady.capture(more.data(), more.data(), block, 1.0f, next * blockNs);
	EXPECT_TRUE(mix(next));
	deliver(next, next * blockNs + 100000000, false);
	for (int held = 0; held < 3; ++held) {
		EXPECT_FALSE(mix(next + 1));
	}
	EXPECT_EQ(track.lateMarginFrames(), 3 * block);
	EXPECT_EQ(track.lateMarginMs(), 64);
	for (++next; next < 60; ++next) {
		deliver(next, next * blockNs);
		EXPECT_TRUE(mix(next));
	}
	EXPECT_EQ(late.underruns(), 1u);
	EXPECT_EQ(steady.underruns(), 0u);
	// The counting source goes on frame after frame, nothing cut or repeated; the other one is missing once.
	std::vector<size_t> gaps;
	float previous = 0;
	bool wasHeard = true;
	for (size_t i = 0; i < heard.size(); ++i) {
		const bool marked = heard[i] >= mark;
		const float value = marked ? heard[i] - mark : heard[i];
		if (value == 0.0f) {
			continue;
		}
		EXPECT_TRUE(previous == 0.0f || value == previous + 1.0f) << "at " << i;
		if (previous != 0.0f && !marked && wasHeard) {
			gaps.push_back(i);
		}
		previous = value;
		wasHeard = marked;
	}
	EXPECT_EQ(gaps.size(), 1u);
}
