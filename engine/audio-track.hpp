#pragma once

#include <obs.h>
#include <obs.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// The buffered audio of one captured source: two rings that the source's audio thread fills and the entry's
// mix drains, holding back as much audio as the entry's delay asks for.
class SourceCapture {
public:
	static constexpr uint32_t ringFrames = 65536;
	static constexpr uint32_t maxPacketFrames = 3072;
	static constexpr uint32_t blockFrames = AUDIO_OUTPUT_FRAMES;
	static constexpr uint64_t primeMargin = 1536;
	static constexpr uint64_t overflowMargin = 9600;

	// Keeps the given strong reference to source (may be null in tests); reads the delay from delayFrames.
	SourceCapture(obs_source_t *source, const std::atomic<int32_t> &delayFrames);
	~SourceCapture();
	SourceCapture(const SourceCapture &) = delete;
	SourceCapture &operator=(const SourceCapture &) = delete;

	obs_source_t *source() const { return captured.Get(); }

	// One packet of the source's audio (right may equal left for a mono source), scaled by gain.
	void capture(const float *left, const float *right, uint32_t frames, float gain);
	// Adds one block of the oldest buffered audio onto left and right; false when it contributed nothing.
	bool mixInto(float *left, float *right);

	// One packet as OBS delivers it: nothing when muted or empty; plane 0 on both channels for a mono source.
	void captureAudio(const struct audio_data *audio, bool muted, float gain);
	// OBS's capture callback; param is the SourceCapture.
	static void captureCallback(void *param, obs_source_t *source, const struct audio_data *audio, bool muted);

	uint64_t bufferedFrames();

private:
	uint64_t currentDelay() const;
	void dropOldest(uint64_t frames);

	OBSSourceAutoRelease captured;
	const std::atomic<int32_t> &delay;
	std::mutex lock;
	std::unique_ptr<float[]> left;
	std::unique_ptr<float[]> right;
	uint32_t readPos = 0;
	uint64_t fill = 0;
	bool primed = false;
	uint64_t lastDelay = 0;
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
	// Brings the captures in line with what the shown source currently displays.
	void refreshSources();
	// Output closed, every capture removed, source reference released. Harmless when repeated.
	void close();

	// The mix of one block, onto left and right (each blockFrames long).
	void mix(float *left, float *right);
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
