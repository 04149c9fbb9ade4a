#pragma once

#include "engine/audio-track.hpp"

#include <obs.h>
#include <obs.hpp>

#include <QByteArray>
#include <QString>

#include <memory>
#include <string>
#include <vector>

struct EntryConfig;

// OBS's own encoders an entry of OBS's program can send instead of encoding again: those of OBS's stream or of
// its recording, once OBS has set them up (they have a picture).
enum class ObsEncoderKind { Stream, Recording };
struct ObsEncoders {
	OBSEncoderAutoRelease video;
	OBSEncoderAutoRelease audio;
};
// Finds them; set by whoever knows OBS's own outputs. Without one, sharing is refused.
using ObsEncoderLookup = ObsEncoders (*)(ObsEncoderKind kind);
// Why such an encoder cannot be shared yet, and what to do (the card's and the dialog's text).
QString obsEncoderNotReadyText(ObsEncoderKind kind);

// What an entry shares among its destinations: its own view and video output at its own size, the scene or
// source shown on it, one video encoder, and its own audio track.
class EntryPipeline {
public:
	EntryPipeline() = default;
	~EntryPipeline();
	EntryPipeline(const EntryPipeline &) = delete;
	EntryPipeline &operator=(const EntryPipeline &) = delete;

	// Builds everything for the entry's `fuente`; on failure holds nothing and error has the message.
	bool open(const EntryConfig &entry, QString *error);
	// Puts a source on the view: a scene at OBS's size as it is, anything else scaled in a private scene.
	void setViewSource(obs_source_t *source);
	// Shows another scene or source without stopping anything that streams.
	bool switchSource(const QString &name, QString *error);
	// An entry of OBS's program keeps showing it when OBS changes its transition.
	void followProgram();
	// It sends OBS's program; at OBS's size straight from OBS's own video, with no view.
	bool sendsProgram() const { return program; }
	bool usesObsVideo() const { return program && !view; }
	// It sends OBS's own encoded video and sound: nothing of it may be changed from here.
	bool sharesObsEncoders() const { return sharing; }
	static void setObsEncoderLookup(ObsEncoderLookup lookup);
	// Releases everything in order (preview, video encoder, audio, view) and logs how long each step took.
	void close();
	// Lets go of the preview and of every source shown or heard; the encoders, audio output and view stay until
	// close(). UI thread.
	void releaseSources();

	// The shown source's name as OBS has it now: a source renamed while shown keeps being found under its name.
	QString currentSourceName() const
	{
		if (program) {
			return QString();
		}
		const char *name = activeSource ? obs_source_get_name(activeSource) : nullptr;
		return name ? QString::fromUtf8(name) : QString::fromUtf8(sourceName);
	}
	const QByteArray &sourceNameUtf8() const { return sourceName; }
	bool isOpen() const { return video != nullptr; }
	// The source shown, while it is held; none once the sources are let go of.
	obs_source_t *shownSource() const { return activeSource.Get(); }
	obs_encoder_t *videoEncoder() const { return encoder.Get(); }
	// The entry's audio encoder of this kind and these settings, made on first use and shared by every
	// destination and recording asking for the same: one joining or leaving never restarts the others'. Held
	// until close(); none when OBS could not make it.
	obs_encoder_t *audioEncoder(const char *encoderId, obs_data_t *settings);
	size_t audioEncoderCount() const { return audioEncoders.size(); }
	obs_view_t *viewHandle() const { return view; }
	EntryAudioTrack &audioTrack() { return audio; }
	obs_scene_t *wrappingScene() const { return privateScene.Get(); }
	bool fills() const { return fill; }
	uint32_t width() const { return canvasWidth; }
	uint32_t height() const { return canvasHeight; }

	// The preview display attached by the panel; destroyed first when the pipeline closes.
	obs_display_t *display = nullptr;
	uint64_t displayWindow = 0;

private:
	void releaseActive();
	bool openShared(const EntryConfig &entry, QString *error);

	bool customSize = false;
	bool program = false;
	bool sharing = false;
	OBSEncoderAutoRelease sharedAudio;
	size_t mixerIndex = 0;
	uint32_t canvasWidth = 0;
	uint32_t canvasHeight = 0;
	bool fill = false;
	QByteArray sourceName;
	obs_view_t *view = nullptr;
	video_t *video = nullptr;
	OBSSceneAutoRelease privateScene;
	OBSEncoderAutoRelease encoder;
	struct SharedAudioEncoder {
		std::string id;
		std::string settings;
		OBSEncoderAutoRelease encoder;
	};
	std::vector<SharedAudioEncoder> audioEncoders;
	// The shown source, kept active while the view shows it: a view alone only marks it showing, and media
	// set to restart when active would never play in an entry whose scene is not on OBS's program.
	OBSSourceAutoRelease activeSource;
	EntryAudioTrack audio;
};
