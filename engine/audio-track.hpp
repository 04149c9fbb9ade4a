#pragma once

#include <obs.h>
#include <obs.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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
	// The largest sync offset applied: OBS's own settings go up to 20 s.
	static constexpr int64_t maxOffsetMs = 20000;

	// Keeps the given strong reference to source (may be null in tests); reads the entry's delay from
	// delayFrames, which never exceeds one second at sampleRate.
	SourceCapture(obs_source_t *source, const std::atomic<int32_t> &delayFrames, uint32_t sampleRate = 48000);
	~SourceCapture();
	SourceCapture(const SourceCapture &) = delete;
	SourceCapture &operator=(const SourceCapture &) = delete;

	obs_source_t *source() const { return captured.Get(); }

	// One packet of the source's audio (right may equal left for a mono source), scaled by gain, received at
	// nowNs; offsetFrames is the source's own sync offset (negative counts as none).
	void capture(const float *left, const float *right, uint32_t frames, float gain, uint64_t nowNs,
		     int64_t offsetFrames = 0);
	// Adds one block of the oldest buffered audio onto left and right for the block that ends at nowNs; false
	// when it contributed nothing.
	bool mixInto(float *left, float *right, uint64_t nowNs);

	// One packet as OBS delivers it: nothing when muted or empty; plane 0 on both channels for a mono source.
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
	uint64_t requestedDelay() const;
	uint64_t effectiveDelay() const;
	uint64_t ringFramesFor(uint64_t delay, uint64_t packet) const;
	uint32_t largest() const { return std::max(windowLargest, previousLargest); }
	void notePacket(uint32_t frames);
	void followDelay();
	void dropOldest(uint64_t frames);
	void insertSilence(uint64_t frames);

	OBSSourceAutoRelease captured;
	const std::atomic<int32_t> &delay;
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
	int32_t delay() const { return delayFrames.load(); }

	// Replaces the shown source whose audio tree is captured (takes a new reference).
	void setSource(obs_source_t *source);
	// Brings the captures in line with what the shown source currently displays, and gives each the room its
	// packets and sync offset need.
	void refreshSources();
	void reserveCaptures();
	// Output closed, every capture removed, source reference released. Harmless when repeated.
	void close();

	// The mix of the block ending at nowNs, onto left and right (each blockFrames long).
	void mix(float *left, float *right, uint64_t nowNs);
	static bool mixCallback(void *param, uint64_t startTs, uint64_t endTs, uint64_t *newTs, uint32_t activeMixers,
				struct audio_output_data *mixes);

	// What is captured now, for supervision and tests.
	std::vector<obs_source_t *> capturedSources();

private:
	std::atomic<int32_t> delayFrames{0};
	uint32_t rate = 48000;
	audio_t *output = nullptr;
	OBSSourceAutoRelease shown;
	std::mutex lock;
	std::vector<std::unique_ptr<SourceCapture>> captures;
};
