#include "engine/audio-track.hpp"
#include "engine/encoder-settings.hpp"

#include <algorithm>
#include <cstring>

#include <util/platform.h>

namespace {

uint32_t powerOfTwoAtLeast(uint64_t frames)
{
	uint64_t size = SourceCapture::minRingFrames;
	while (size < frames) {
		size *= 2;
	}
	return uint32_t(size);
}

} // namespace

void TrackTiming::packetArrived()
{
	std::lock_guard<std::mutex> guard(lock);
	++count;
	if (waiters > 0) {
		arrived.notify_all();
	}
}

uint64_t TrackTiming::packets()
{
	std::lock_guard<std::mutex> guard(lock);
	return count;
}

bool TrackTiming::waitForPacket(uint64_t seen, uint64_t deadlineNs)
{
	std::unique_lock<std::mutex> guard(lock);
	++waiters;
	while (count == seen) {
		const uint64_t now = os_gettime_ns();
		if (now >= deadlineNs) {
			break;
		}
		arrived.wait_for(guard, std::chrono::nanoseconds(deadlineNs - now));
	}
	--waiters;
	return count != seen;
}

SourceCapture::SourceCapture(obs_source_t *source, TrackTiming &trackTiming, uint32_t sampleRate)
	: captured(source),
	  timing(trackTiming),
	  rate(sampleRate ? sampleRate : 48000)
{
	// Room for the longest entry delay (one second) with packets up to a block long; reserve() grows it.
	size = powerOfTwoAtLeast(ringFramesFor(rate, blockFrames));
	left.reset(new float[size]());
	right.reset(new float[size]());
	lastDelay = effectiveDelay();
}

SourceCapture::~SourceCapture() = default;

uint64_t SourceCapture::requestedDelay() const
{
	return uint64_t(std::max<int32_t>(timing.delayFrames.load(std::memory_order_relaxed), 0)) + offset;
}

uint32_t SourceCapture::maxLateMarginFrames(uint32_t sampleRate)
{
	return uint32_t((uint64_t(maxLateMarginMs) * sampleRate / 1000 + blockFrames - 1) / blockFrames) * blockFrames;
}

// The most a ring ever holds: the working level (delay, margins and a block), two packets and the overflow margin.
uint64_t SourceCapture::ringFramesFor(uint64_t wantedDelay, uint64_t packet) const
{
	return wantedDelay + safetyFrames + maxLateMarginFrames(rate) + blockFrames +
	       2 * std::max<uint64_t>(packet, blockFrames) + overflowMargin;
}

// The delay the ring can hold now; a larger one waits for reserve() to grow the ring.
uint64_t SourceCapture::effectiveDelay() const
{
	const uint64_t room = ringFramesFor(0, largest());
	return std::min(requestedDelay(), size > room ? size - room : 0);
}

void SourceCapture::notePacket(uint32_t frames)
{
	windowLargest = std::max(windowLargest, frames);
	if (++windowPackets >= 64) {
		previousLargest = windowLargest;
		windowLargest = 0;
		windowPackets = 0;
	}
}

// A longer delay is silence put in front of what is buffered, a shorter one drops the oldest audio: either way
// the audio goes on without a gap beyond the change itself.
void SourceCapture::followDelay()
{
	const uint64_t wanted = effectiveDelay();
	if (wanted == lastDelay) {
		return;
	}
	if (primed) {
		if (wanted > lastDelay) {
			insertSilence(wanted - lastDelay);
		} else {
			dropOldest(std::min(lastDelay - wanted, fill));
		}
	}
	lastDelay = wanted;
}

void SourceCapture::dropOldest(uint64_t frames)
{
	readPos = uint32_t((readPos + frames) & (size - 1));
	fill -= frames;
}

void SourceCapture::insertSilence(uint64_t frames)
{
	if (fill + frames > size) {
		primed = false;
		return;
	}
	readPos = uint32_t((readPos + size - frames) & (size - 1));
	for (uint64_t i = 0; i < frames; ++i) {
		const size_t pos = size_t((readPos + i) & (size - 1));
		left[pos] = 0.0f;
		right[pos] = 0.0f;
	}
	fill += frames;
}

uint64_t SourceCapture::bufferedFrames()
{
	std::lock_guard<std::mutex> guard(lock);
	return fill;
}

uint32_t SourceCapture::ringFrames()
{
	std::lock_guard<std::mutex> guard(lock);
	return size;
}

uint64_t SourceCapture::underruns()
{
	std::lock_guard<std::mutex> guard(lock);
	return underrunCount;
}

uint32_t SourceCapture::largestPacket()
{
	std::lock_guard<std::mutex> guard(lock);
	return largest();
}

void SourceCapture::capture(const float *leftIn, const float *rightIn, uint32_t frames, float gain, uint64_t nowNs,
			    int64_t offsetFrames)
{
	std::lock_guard<std::mutex> guard(lock);
	uint32_t skip = 0;
	uint32_t n = frames;
	if (n > maxPacketFrames) {
		skip = n - maxPacketFrames;
		n = maxPacketFrames;
	}
	offset = uint64_t(std::clamp<int64_t>(offsetFrames, 0, maxOffsetMs * int64_t(rate) / 1000));
	notePacket(n);
	followDelay();
	if (starved) {
		// The mix ran dry waiting for this packet: when it was only late, grow the margin by what it missed.
		starved = false;
		const uint64_t due = lastWriteNs + uint64_t(lastPacket) * 1000000000ULL / rate;
		const uint64_t coveredNs = EntryAudioTrack::lateWaitNs + uint64_t(safetyFrames) * 1000000000ULL / rate;
		if (nowNs > due + coveredNs && nowNs < due + EntryAudioTrack::stallLimitNs) {
			const uint64_t missed = (nowNs - due - coveredNs) * rate / 1000000000ULL;
			const uint64_t blocks = (missed + blockFrames - 1) / blockFrames;
			const uint32_t wanted = uint32_t(std::max<uint64_t>(blocks, 1) * blockFrames);
			uint32_t asked = timing.growthFrames.load();
			while (asked < wanted && !timing.growthFrames.compare_exchange_weak(asked, wanted)) {
			}
		}
	}
	lastPacket = n;
	lastWriteNs = nowNs;

	// Far above its working level (a stalled mix, a source running fast): back to it, keeping the newest audio;
	// the next mix starts over from there.
	const uint64_t level = lastDelay + safetyFrames + timing.lateMarginFrames.load() + blockFrames;
	if (fill + n > level + 2 * std::max<uint64_t>(largest(), blockFrames) + overflowMargin) {
		dropOldest(fill - std::min(fill, level));
		primed = false;
	}
	// The ring never holds more than it has room for (it is always larger than a packet).
	if (fill + n > size) {
		dropOldest(fill + n - size);
	}
	const uint64_t start = readPos + fill;
	for (uint32_t i = 0; i < n; ++i) {
		const size_t pos = size_t((start + i) & (size - 1));
		left[pos] = leftIn[skip + i] * gain;
		right[pos] = rightIn[skip + i] * gain;
	}
	fill += n;
	timing.packetArrived();
}

// Enough for this block, for the delay and the margins, and to last until the next packet is due: from here on
// each frame goes out exactly the delay and the margins after it was due, whatever the packet length and however
// packets and blocks fall against each other.
bool SourceCapture::primeNow(uint64_t nowNs)
{
	if (primed) {
		return true;
	}
	if (lastPacket == 0) {
		return false;
	}
	const int64_t untilNextNs = int64_t(lastWriteNs + uint64_t(lastPacket) * 1000000000ULL / rate) - int64_t(nowNs);
	const uint64_t untilNext = untilNextNs > 0 ? (uint64_t(untilNextNs) * rate + 999999999ULL) / 1000000000ULL : 0;
	const uint64_t needed = lastDelay + safetyFrames + timing.lateMarginFrames.load() + blockFrames + untilNext;
	if (fill < needed) {
		return false;
	}
	// More than that would only add latency.
	dropOldest(fill - needed);
	primed = true;
	return true;
}

SourceCapture::Readiness SourceCapture::readiness(uint64_t nowNs)
{
	std::lock_guard<std::mutex> guard(lock);
	followDelay();
	if (primed) {
		return fill >= blockFrames ? Readiness::Ready : Readiness::Late;
	}
	return primeNow(nowNs) ? Readiness::Ready : Readiness::Silent;
}

bool SourceCapture::mixInto(float *leftOut, float *rightOut, uint64_t nowNs)
{
	std::lock_guard<std::mutex> guard(lock);
	followDelay();
	if (!primeNow(nowNs)) {
		return false;
	}
	if (fill < blockFrames) {
		primed = false;
		starved = true;
		++underrunCount;
		return false;
	}
	for (uint32_t i = 0; i < blockFrames; ++i) {
		const size_t pos = size_t((readPos + i) & (size - 1));
		leftOut[i] += left[pos];
		rightOut[i] += right[pos];
	}
	dropOldest(blockFrames);
	return true;
}

void SourceCapture::reserve()
{
	uint32_t wanted = 0;
	{
		std::lock_guard<std::mutex> guard(lock);
		wanted = powerOfTwoAtLeast(ringFramesFor(rate + offset, largest()));
		if (wanted <= size) {
			return;
		}
	}
	std::unique_ptr<float[]> newLeft(new float[wanted]());
	std::unique_ptr<float[]> newRight(new float[wanted]());
	std::lock_guard<std::mutex> guard(lock);
	if (wanted <= size) {
		return;
	}
	for (uint64_t i = 0; i < fill; ++i) {
		const size_t pos = size_t((readPos + i) & (size - 1));
		newLeft[i] = left[pos];
		newRight[i] = right[pos];
	}
	left.swap(newLeft);
	right.swap(newRight);
	size = wanted;
	readPos = 0;
}

void SourceCapture::captureAudio(const struct audio_data *audio, bool muted, float gain, int64_t syncOffsetNs)
{
	if (!audio || audio->frames == 0 || !audio->data[0]) {
		return;
	}
	// A silenced source still sends its packets: kept as silence, it stays primed and is heard again at once.
	if (muted) {
		gain = 0.0f;
	}
	const auto *leftIn = reinterpret_cast<const float *>(audio->data[0]);
	const auto *rightIn = audio->data[1] ? reinterpret_cast<const float *>(audio->data[1]) : leftIn;
	// OBS applies a source's sync offset to its timestamps only; here it is extra delay. A negative offset
	// cannot make audio arrive earlier.
	const int64_t offsetNs = std::clamp<int64_t>(syncOffsetNs, 0, maxOffsetMs * 1000000);
	capture(leftIn, rightIn, audio->frames, gain, os_gettime_ns(), offsetNs * int64_t(rate) / 1000000000);
}

void SourceCapture::captureCallback(void *param, obs_source_t *source, const struct audio_data *audio, bool muted)
{
	// OBS calls capture callbacks also for audio the user only monitors; its own mix leaves that out.
	const bool silenced = muted || obs_source_get_monitoring_type(source) == OBS_MONITORING_TYPE_MONITOR_ONLY;
	static_cast<SourceCapture *>(param)->captureAudio(audio, silenced, obs_source_get_volume(source),
							  obs_source_get_sync_offset(source));
}

EntryAudioTrack::~EntryAudioTrack()
{
	close();
}

bool EntryAudioTrack::open(uint32_t sampleRateIn)
{
	if (output) {
		return true;
	}
	audio_output_info info = {};
	info.name = "tallowmere";
	info.samples_per_sec = sampleRateIn;
	info.format = AUDIO_FORMAT_FLOAT_PLANAR;
	info.speakers = SPEAKERS_STEREO;
	info.input_callback = &EntryAudioTrack::mixCallback;
	info.input_param = this;
	audio_t *opened = nullptr;
	if (audio_output_open(&opened, &info) != AUDIO_OUTPUT_SUCCESS) {
		return false;
	}
	output = opened;
	rate = sampleRateIn;
	return true;
}

void EntryAudioTrack::setDelayMs(int delayMs)
{
	timing.delayFrames.store(delayFramesFor(delayMs, rate));
}

void EntryAudioTrack::setSource(obs_source_t *source)
{
	shown = obs_source_get_ref(source);
}

namespace {

bool capturesAudio(obs_source_t *source)
{
	return obs_source_get_type(source) == OBS_SOURCE_TYPE_INPUT &&
	       (obs_source_get_output_flags(source) & OBS_SOURCE_AUDIO) != 0;
}

void addUnique(std::vector<obs_source_t *> &list, obs_source_t *source)
{
	if (!capturesAudio(source) || std::find(list.begin(), list.end(), source) != list.end()) {
		return;
	}
	if (obs_source_t *ref = obs_source_get_ref(source)) {
		list.push_back(ref);
	}
}

// The audible inputs under a source. A scene contributes the items it shows: OBS only drops a hidden item
// from a scene's active tree once that scene's own audio is rendered, which never happens for a scene that
// is not on OBS's program, so visibility is read from the items themselves.
void collectAudible(obs_source_t *source, std::vector<obs_source_t *> &list, int depth)
{
	if (!source || depth > 32) {
		return;
	}
	addUnique(list, source);
	struct Walk {
		std::vector<obs_source_t *> &list;
		int depth;
	} walk{list, depth + 1};
	obs_scene_t *scene = obs_scene_from_source(source);
	if (!scene) {
		scene = obs_group_from_source(source);
	}
	if (scene) {
		obs_scene_enum_items(
			scene,
			[](obs_scene_t *, obs_sceneitem_t *item, void *param) {
				auto *w = static_cast<Walk *>(param);
				if (obs_sceneitem_visible(item)) {
					collectAudible(obs_sceneitem_get_source(item), w->list, w->depth);
				}
				return true;
			},
			&walk);
	} else {
		obs_source_enum_active_sources(
			source,
			[](obs_source_t *, obs_source_t *child, void *param) {
				auto *w = static_cast<Walk *>(param);
				collectAudible(child, w->list, w->depth);
			},
			&walk);
	}
}

} // namespace

void EntryAudioTrack::refreshSources()
{
	if (!shown) {
		return;
	}
	std::vector<obs_source_t *> wanted;
	collectAudible(shown, wanted, 0);

	{
		std::lock_guard<std::mutex> guard(lock);
		for (auto it = captures.begin(); it != captures.end();) {
			if (std::find(wanted.begin(), wanted.end(), (*it)->source()) == wanted.end()) {
				obs_source_remove_audio_capture_callback((*it)->source(),
									 &SourceCapture::captureCallback, it->get());
				it = captures.erase(it);
			} else {
				++it;
			}
		}
		for (obs_source_t *source : wanted) {
			const bool known = std::any_of(captures.begin(), captures.end(), [source](const auto &capture) {
				return capture->source() == source;
			});
			if (known) {
				obs_source_release(source);
				continue;
			}
			captures.push_back(std::make_unique<SourceCapture>(source, timing, rate));
			obs_source_add_audio_capture_callback(source, &SourceCapture::captureCallback,
							      captures.back().get());
		}
	}
	reserveCaptures();
}

void EntryAudioTrack::reserveCaptures()
{
	// Only this thread changes the list, so it is read without the lock, and the mix never waits for an
	// allocation.
	for (auto &capture : captures) {
		capture->reserve();
	}
}

void EntryAudioTrack::close()
{
	// The output's thread may be waiting for the lock inside the mix: close it before taking the lock.
	if (output) {
		audio_output_close(output);
		output = nullptr;
	}
	releaseSources();
}

void EntryAudioTrack::releaseSources()
{
	{
		std::lock_guard<std::mutex> guard(lock);
		for (auto &capture : captures) {
			if (capture->source()) {
				obs_source_remove_audio_capture_callback(
					capture->source(), &SourceCapture::captureCallback, capture.get());
			}
		}
		captures.clear();
	}
	shown = nullptr;
}

bool EntryAudioTrack::mix(float *left, float *right, uint64_t nowNs)
{
	const uint64_t deadline = os_gettime_ns() + lateWaitNs;
	const uint32_t maxMargin = SourceCapture::maxLateMarginFrames(rate);
	// Growing by a block is holding this one back: every source keeps it, and nothing is cut.
	const uint32_t margin = timing.lateMarginFrames.load();
	const uint32_t growth = timing.growthFrames.load();
	if (growth > 0) {
		timing.growthFrames.store(growth > SourceCapture::blockFrames ? growth - SourceCapture::blockFrames
									      : 0);
		if (margin < maxMargin) {
			timing.lateMarginFrames.store(margin + SourceCapture::blockFrames);
			return false;
		}
	}
	bool waitedOut = false;
	for (;;) {
		// The wait is made without the lock: the UI thread adds and removes captures meanwhile.
		const uint64_t seen = timing.packets();
		{
			std::lock_guard<std::mutex> guard(lock);
			bool late = false;
			for (auto &capture : captures) {
				late = capture->readiness(nowNs) == SourceCapture::Readiness::Late || late;
			}
			if (!late || waitedOut) {
				for (auto &capture : captures) {
					capture->mixInto(left, right, nowNs);
				}
				return true;
			}
		}
		waitedOut = !timing.waitForPacket(seen, deadline);
	}
}

bool EntryAudioTrack::mixCallback(void *param, uint64_t startTs, uint64_t endTs, uint64_t *newTs, uint32_t,
				  struct audio_output_data *mixes)
{
	*newTs = startTs;
	float *left = mixes[0].data[0];
	float *right = mixes[0].data[1];
	if (left && right) {
		// OBS's audio thread runs each block when the clock reaches its end.
		return static_cast<EntryAudioTrack *>(param)->mix(left, right, endTs);
	}
	return true;
}

SourceCapture &EntryAudioTrack::addCapture()
{
	std::lock_guard<std::mutex> guard(lock);
	captures.push_back(std::make_unique<SourceCapture>(nullptr, timing, rate));
	return *captures.back();
}

std::vector<obs_source_t *> EntryAudioTrack::capturedSources()
{
	std::lock_guard<std::mutex> guard(lock);
	std::vector<obs_source_t *> sources;
	for (const auto &capture : captures) {
		sources.push_back(capture->source());
	}
	return sources;
}
