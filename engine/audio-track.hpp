#pragma once

#include <obs.h>
#include <obs.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// What the captures of one track share with its mix: the entry's delay, the margin grown against late packets,
// and word of each packet, for a mix that waits for a late one.
class TrackTiming {
public:
	// The entry's delay in frames: the UI thread writes it, the audio threads read it.
	std::atomic<int32_t> delayFrames{0};
	// Audio held back on top of the delay because a packet came later than the mix could wait for. Only grows
	// while the track is open: shrinking it would cut audio.
	std::atomic<uint32_t> lateMarginFrames{0};
	// How much more the margin should grow, asked by a capture whose packet came too late.
	std::atomic<uint32_t> growthFrames{0};

	void packetArrived();
	uint64_t packets();
	// Waits until a packet after the seen ones arrives or the clock passes deadlineNs; false on the deadline.
	bool waitForPacket(uint64_t seen, uint64_t deadlineNs);

private:
	std::mutex lock;
	std::condition_variable arrived;
	uint64_t count = 0;
	int waiters = 0;
};

// The buffered audio of one captured source: two rings that the source's audio thread fills and the entry's
// mix drains, holding back as much audio as the entry's delay and the source's own sync offset ask for.
//
// Sources hand over packets of very different lengths (1,024 frames for AAC, 4,608 for FLAC, larger for PCM read
// in chunks), so the ring keeps every frame and starts each source at the level its own packets need: when the
// mix begins, enough is buffered to last until the next packet is due, plus a small safety margin, and no more.
// Each frame then goes out the delay plus that margin after it was due, whatever the packet length.
class SourceCapture {
public:
	static constexpr uint32_t blockFrames = AUDIO_OUTPUT_FRAMES;
	// Only a runaway source sends more at once; of such a packet the newest audio is kept.
	static constexpr uint32_t maxPacketFrames = 32768;
	// Kept beyond what the mixes need until the next packet, for packets that come a little late.
	static constexpr uint64_t safetyFrames = 512;
	// How far above its working level a ring may fill (a stalled mix, a source running fast) before the
	// oldest audio is dropped back to that level.
	static constexpr uint64_t overflowMargin = 9600;
	static constexpr uint32_t minRingFrames = 65536;
	// The most a track holds back for late packets.
	static constexpr uint32_t maxLateMarginMs = 200;
	// That margin in frames: whole blocks, since it grows by holding a block back.
	static uint32_t maxLateMarginFrames(uint32_t rate);
	// The largest sync offset applied: OBS's own settings go up to 20 s.
	static constexpr int64_t maxOffsetMs = 20000;

	// What the mix may do with a capture's next block.
	enum class Readiness { Ready, Silent, Late };

	// Keeps the given strong reference to source (may be null in tests); reads the entry's delay and the late
	// margin from timing (a delay never exceeds one second at sampleRate).
	SourceCapture(obs_source_t *source, TrackTiming &timing, uint32_t sampleRate = 48000);
	~SourceCapture();
	SourceCapture(const SourceCapture &) = delete;
	SourceCapture &operator=(const SourceCapture &) = delete;

	obs_source_t *source() const { return captured.Get(); }

	// One packet of the source's audio (right may equal left for a mono source), scaled by gain, received at
	// nowNs; offsetFrames is the source's own sync offset (negative counts as none).
	void capture(const float *left, const float *right, uint32_t frames, float gain, uint64_t nowNs,
		     int64_t offsetFrames = 0);
	// Whether a block is buffered for the mix of the block that ends at nowNs: Late when the source has been
	// playing but its next packet has not come yet.
	Readiness readiness(uint64_t nowNs);
	// Adds one block of the oldest buffered audio onto left and right for the block that ends at nowNs; false
	// when it contributed nothing.
	bool mixInto(float *left, float *right, uint64_t nowNs);

	// One packet as OBS delivers it: silence when muted (the source keeps its pace), nothing when empty; plane 0
	// on both channels for a mono source.
	void captureAudio(const struct audio_data *audio, bool muted, float gain, int64_t syncOffsetNs = 0);
	// OBS's capture callback; param is the SourceCapture.
	static void captureCallback(void *param, obs_source_t *source, const struct audio_data *audio, bool muted);

	// Grows the rings when the source's packets or sync offset need more room. Allocates: UI thread only.
	void reserve();

	uint64_t bufferedFrames();
	uint32_t ringFrames();
	uint64_t underruns();
	// The longest recent packet.
	uint32_t largestPacket();

private:
	bool primeNow(uint64_t nowNs);
	uint64_t requestedDelay() const;
	uint64_t effectiveDelay() const;
	uint64_t ringFramesFor(uint64_t delay, uint64_t packet) const;
	uint32_t largest() const { return std::max(windowLargest, previousLargest); }
	void notePacket(uint32_t frames);
	void followDelay();
	void dropOldest(uint64_t frames);
	void insertSilence(uint64_t frames);

	OBSSourceAutoRelease captured;
	TrackTiming &timing;
	const uint32_t rate;
	std::mutex lock;
	std::unique_ptr<float[]> left;
	std::unique_ptr<float[]> right;
	uint32_t size = 0;
	uint32_t readPos = 0;
	uint64_t fill = 0;
	bool primed = false;
	uint64_t lastDelay = 0;
	uint64_t offset = 0;
	uint64_t underrunCount = 0;
	bool starved = false;
	uint64_t lastWriteNs = 0;
	uint32_t lastPacket = 0;
	uint32_t windowLargest = 0;
	uint32_t previousLargest = 0;
	uint32_t windowPackets = 0;
};

// The entry's own audio: an OBS audio output whose mix holds exactly the sources the entry shows.
class EntryAudioTrack {
public:
	EntryAudioTrack() = default;
	~EntryAudioTrack();
	EntryAudioTrack(const EntryAudioTrack &) = delete;
	EntryAudioTrack &operator=(const EntryAudioTrack &) = delete;

	// Opens the output ("tallowmere", planar float, stereo); false when OBS refuses it.
	bool open(uint32_t rate);
	bool isOpen() const { return output != nullptr; }
	audio_t *audio() const { return output; }
	uint32_t sampleRate() const { return rate; }

	void setDelayMs(int delayMs);
	int32_t delay() const { return timing.delayFrames.load(); }
	// How much audio is held back because packets came late (only grows while open), in frames and ms.
	uint32_t lateMarginFrames() const { return timing.lateMarginFrames.load(); }
	int lateMarginMs() const { return int(uint64_t(lateMarginFrames()) * 1000 / rate); }

	// Replaces the shown source whose audio tree is captured (takes a new reference).
	void setSource(obs_source_t *source);
	// Brings the captures in line with what the shown source currently displays, and gives each the room its
	// packets and sync offset need.
	void refreshSources();
	void reserveCaptures();
	// Every capture removed and the source reference released; the output stays open, silent.
	void releaseSources();
	// Output closed, every capture removed, source reference released. Harmless when repeated.
	void close();

	// The mix of the block ending at nowNs, onto left and right (each blockFrames long); false when nothing goes
	// out this time. A busy machine can hand a source's packet over late: when a source that was playing has no
	// block ready, the mix waits up to lateWaitNs for it, which covers such delays without a gap or any added
	// latency. A source that stays away longer falls silent until it plays again; when its packet then comes
	// within a second of when it was due, it was late rather than stopped, and the margin grows by what that
	// needed (as OBS grows its own audio buffering, up to maxLateMarginMs): the mix holds back as many blocks,
	// so every source keeps that much more, without a gap.
	bool mix(float *left, float *right, uint64_t nowNs);
	static bool mixCallback(void *param, uint64_t startTs, uint64_t endTs, uint64_t *newTs, uint32_t activeMixers,
				struct audio_output_data *mixes);

	// What is captured now, for supervision and tests.
	std::vector<obs_source_t *> capturedSources();
	// For tests: a capture of no source, fed by hand.
	SourceCapture &addCapture();

	static constexpr uint64_t lateWaitNs = 40000000;
	// A packet later than this was not late: its source had stopped.
	static constexpr uint64_t stallLimitNs = 1000000000;

private:
	TrackTiming timing;
	uint32_t rate = 48000;
	audio_t *output = nullptr;
	OBSSourceAutoRelease shown;
	std::mutex lock;
	std::vector<std::unique_ptr<SourceCapture>> captures;
};
