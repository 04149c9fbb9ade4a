#include "control/obs-names.hpp"

#include <util/config-file.h>

#include <QDir>
#include <QStandardPaths>

#include <obs-frontend-api.h>
#include <obs.h>

#include <QSet>

QStringList sceneNames()
{
	QStringList names;
	QSet<QString> seen;
	obs_frontend_source_list scenes = {};
	obs_frontend_get_scenes(&scenes);
	for (size_t i = 0; i < scenes.sources.num; ++i) {
		obs_source_t *scene = scenes.sources.array[i];
		const char *name = obs_source_get_name(scene);
		if (!name || obs_source_removed(scene)) {
			continue;
		}
		const QString text = QString::fromUtf8(name);
		if (!seen.contains(text)) {
			seen.insert(text);
			names.append(text);
		}
	}
	obs_frontend_source_list_free(&scenes);
	return names;
}

QStringList inputSourceNames()
{
	QStringList names;
	obs_enum_sources(
		[](void *param, obs_source_t *source) {
			const char *name = obs_source_get_name(source);
			// A removed source lingers while something still holds it; it is gone for the user.
			if (name && obs_source_get_type(source) == OBS_SOURCE_TYPE_INPUT &&
			    !obs_source_is_group(source) && !obs_source_removed(source)) {
				static_cast<QStringList *>(param)->append(QString::fromUtf8(name));
			}
			return true;
		},
		&names);
	names.removeDuplicates();
	return names;
}

QList<SourceChoice> sourceChoices()
{
	QList<SourceChoice> choices;
	const QStringList scenes = sceneNames();
	for (const QString &scene : scenes) {
		choices.append({scene, true});
	}
	for (const QString &input : inputSourceNames()) {
		if (!scenes.contains(input)) {
			choices.append({input, false});
		}
	}
	return choices;
}

int obsStreamTrack()
{
	if (config_t *profile = obs_frontend_get_profile_config()) {
		const char *mode = config_get_string(profile, "Output", "Mode");
		if (mode && QString::fromUtf8(mode) == QLatin1String("Advanced")) {
			const int64_t track = config_get_int(profile, "AdvOut", "TrackIndex");
			return track >= 1 && track <= MAX_AUDIO_MIXES ? int(track) : 1;
		}
	}
	return 1;
}

QString obsRecordingFolder()
{
	if (config_t *profile = obs_frontend_get_profile_config()) {
		const char *mode = config_get_string(profile, "Output", "Mode");
		const bool advanced = mode && QString::fromUtf8(mode) == QLatin1String("Advanced");
		const char *path = advanced ? config_get_string(profile, "AdvOut", "RecFilePath")
					    : config_get_string(profile, "SimpleOutput", "FilePath");
		if (path && *path) {
			return QString::fromUtf8(path);
		}
	}
	const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
	return videos.isEmpty() ? QDir::homePath() : videos;
}

ObsEncoders obsOwnEncoders(ObsEncoderKind kind)
{
	OBSOutputAutoRelease output = kind == ObsEncoderKind::Recording ? obs_frontend_get_recording_output()
									: obs_frontend_get_streaming_output();
	ObsEncoders found;
	if (output) {
		found.video = obs_encoder_get_ref(obs_output_get_video_encoder(output));
		found.audio = obs_encoder_get_ref(obs_output_get_audio_encoder(output, 0));
	}
	return found;
}
