#include "engine/audio-track.hpp"
#include "engine/encoder-settings.hpp"

#include <algorithm>
#include <cstring>

SourceCapture::SourceCapture(obs_source_t *source, const std::atomic<int32_t> &delayFrames)
	: captured(source),
	  delay(delayFrames),
	  left(new float[ringFrames]()),
	  right(new float[ringFrames]())
{
	lastDelay = currentDelay();
}

SourceCapture::~SourceCapture() = default;

uint64_t SourceCapture::currentDelay() const
{
	return uint64_t(std::max<int32_t>(delay.load(std::memory_order_relaxed), 0));
}

void SourceCapture::dropOldest(uint64_t frames)
{
	readPos = uint32_t((readPos + frames) % ringFrames);
	fill -= frames;
}

uint64_t SourceCapture::bufferedFrames()
{
	std::lock_guard<std::mutex> guard(lock);
	return fill;
}

void SourceCapture::capture(const float *leftIn, const float *rightIn, uint32_t frames, float gain)
{
	std::lock_guard<std::mutex> guard(lock);
	const uint64_t wanted = currentDelay();
	// A longer packet loses its beginning: only its most recent audio is worth keeping.
	uint32_t skip = 0;
	uint32_t n = frames;
	if (n > maxPacketFrames) {
		skip = n - maxPacketFrames;
		n = maxPacketFrames;
	}
	if (fill + n > wanted + overflowMargin) {
		dropOldest(std::min<uint64_t>(fill + n - wanted - maxPacketFrames, fill));
	}
	// The ring never holds more than it has room for, whatever the sample rate.
	if (fill + n > ringFrames) {
		dropOldest(fill + n - ringFrames);
	}
	const uint64_t start = readPos + fill;
	for (uint32_t i = 0; i < n; ++i) {
		const size_t pos = size_t((start + i) % ringFrames);
		left[pos] = leftIn[skip + i] * gain;
		right[pos] = rightIn[skip + i] * gain;
	}
	fill += n;
}

bool SourceCapture::mixInto(float *leftOut, float *rightOut)
{
	std::lock_guard<std::mutex> guard(lock);
	const uint64_t wanted = currentDelay();
	const uint64_t threshold = wanted + primeMargin;
	if (wanted != lastDelay) {
		if (wanted > lastDelay) {
			primed = false;
		} else if (fill > threshold) {
			dropOldest(fill - threshold);
		}
		lastDelay = wanted;
	}
	if (!primed) {
		if (fill < threshold) {
			return false;
		}
		primed = true;
	}
	if (fill < blockFrames) {
		primed = false;
		return false;
	}
	for (uint32_t i = 0; i < blockFrames; ++i) {
		const size_t pos = (size_t(readPos) + i) % ringFrames;
		leftOut[i] += left[pos];
		rightOut[i] += right[pos];
	}
	dropOldest(blockFrames);
	return true;
}

void SourceCapture::captureAudio(const struct audio_data *audio, bool muted, float gain)
{
	if (!audio || audio->frames == 0 || muted || !audio->data[0]) {
		return;
	}
	const auto *leftIn = reinterpret_cast<const float *>(audio->data[0]);
	const auto *rightIn = audio->data[1] ? reinterpret_cast<const float *>(audio->data[1]) : leftIn;
	capture(leftIn, rightIn, audio->frames, gain);
}

void SourceCapture::captureCallback(void *param, obs_source_t *source, const struct audio_data *audio, bool muted)
{
	if (!audio || audio->frames == 0 || muted) {
		return;
	}
	static_cast<SourceCapture *>(param)->captureAudio(audio, muted, obs_source_get_volume(source));
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
	delayFrames.store(delayFramesFor(delayMs, rate));
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

	std::lock_guard<std::mutex> guard(lock);
	for (auto it = captures.begin(); it != captures.end();) {
		if (std::find(wanted.begin(), wanted.end(), (*it)->source()) == wanted.end()) {
			obs_source_remove_audio_capture_callback((*it)->source(), &SourceCapture::captureCallback,
								 it->get());
			it = captures.erase(it);
		} else {
			++it;
		}
	}
	for (obs_source_t *source : wanted) {
		const bool known = std::any_of(captures.begin(), captures.end(),
					       [source](const auto &capture) { return capture->source() == source; });
		if (known) {
			obs_source_release(source);
			continue;
		}
		captures.push_back(std::make_unique<SourceCapture>(source, delayFrames));
		obs_source_add_audio_capture_callback(source, &SourceCapture::captureCallback, captures.back().get());
	}
}

void EntryAudioTrack::close()
{
	// The output's thread may be waiting for the lock inside the mix: close it before taking the lock.
	if (output) {
		audio_output_close(output);
		output = nullptr;
	}
	{
		std::lock_guard<std::mutex> guard(lock);
		for (auto &capture : captures) {
			obs_source_remove_audio_capture_callback(capture->source(), &SourceCapture::captureCallback,
								 capture.get());
		}
		captures.clear();
	}
	shown = nullptr;
}

void EntryAudioTrack::mix(float *left, float *right)
{
	std::lock_guard<std::mutex> guard(lock);
	for (auto &capture : captures) {
		capture->mixInto(left, right);
	}
}

bool EntryAudioTrack::mixCallback(void *param, uint64_t startTs, uint64_t, uint64_t *newTs, uint32_t,
				  struct audio_output_data *mixes)
{
	*newTs = startTs;
	float *left = mixes[0].data[0];
	float *right = mixes[0].data[1];
	if (left && right) {
		static_cast<EntryAudioTrack *>(param)->mix(left, right);
	}
	return true;
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
