#include "engine/entry-pipeline.hpp"
#include "engine/encoder-settings.hpp"
#include "config/config-store.hpp"
#include "base/language.hpp"

#include <util/platform.h>

#include <algorithm>

namespace {

void setError(QString *error, const QString &text)
{
	if (error) {
		*error = text;
	}
}

double msSince(uint64_t startNs)
{
	return double(os_gettime_ns() - startNs) / 1000000.0;
}

ObsEncoderLookup obsEncoderLookup = nullptr;

} // namespace

QString obsEncoderNotReadyText(ObsEncoderKind kind)
{
	return kind == ObsEncoderKind::Recording
		       ? translate("OBS aún no ha preparado su codificador de grabación: graba una vez con OBS (puedes "
				   "parar enseguida) tras abrirlo o cambiar sus ajustes de salida.")
		       : translate("OBS aún no ha preparado su codificador de emisión: emite una vez con OBS (puedes "
				   "parar enseguida) tras abrirlo o cambiar sus ajustes de salida.");
}

void EntryPipeline::setObsEncoderLookup(ObsEncoderLookup lookup)
{
	obsEncoderLookup = lookup;
}

bool EntryPipeline::openShared(const EntryConfig &entry, QString *error)
{
	const bool recordingKind = entry.codificadorObs == QLatin1String("grabacion");
	ObsEncoders found =
		obsEncoderLookup ? obsEncoderLookup(recordingKind ? ObsEncoderKind::Recording : ObsEncoderKind::Stream)
				 : ObsEncoders();
	// OBS gives its encoders their picture, size and settings at its own first start: one started here before
	// would run on defaults and keep OBS from setting it up.
	if (!found.video || !found.audio || !obs_encoder_video(found.video)) {
		setError(error,
			 obsEncoderNotReadyText(recordingKind ? ObsEncoderKind::Recording : ObsEncoderKind::Stream));
		return false;
	}
	encoder = std::move(found.video);
	sharedAudio = std::move(found.audio);
	sharing = true;
	video = obs_get_video();
	canvasWidth = obs_encoder_get_width(encoder);
	canvasHeight = obs_encoder_get_height(encoder);
	return true;
}

EntryPipeline::~EntryPipeline()
{
	close();
}

bool EntryPipeline::open(const EntryConfig &entry, QString *error)
{
	close();

	program = entry.programaObs;
	sourceName = program ? QByteArray() : entry.fuente.toUtf8();
	// OBS's program is what OBS puts on its first output channel: its transition, which shows the live scene.
	OBSSourceAutoRelease source = program ? obs_get_output_source(0)
					      : obs_get_source_by_name(sourceName.constData());
	if (!source) {
		setError(error, program ? translate("OBS no tiene nada en su programa.")
					: translate("«%1» ya no existe en OBS.").arg(entry.fuente));
		close();
		return false;
	}

	obs_video_info ovi = {};
	if (!obs_get_video_info(&ovi)) {
		setError(error, translate("OBS no tiene el vídeo activo."));
		close();
		return false;
	}
	if (program && !entry.codificadorObs.isEmpty()) {
		if (!openShared(entry, error)) {
			close();
			return false;
		}
		return true;
	}
	const bool ownSize =
		entry.ancho >= 1 && entry.alto >= 1 &&
		(uint32_t(entry.ancho) != ovi.output_width || uint32_t(entry.alto) != ovi.output_height || !program);
	fill = entry.llenar;
	if (program && !ownSize) {
		// At OBS's own output size OBS's program is OBS's own video: nothing is rendered a second time.
		video = obs_get_video();
		canvasWidth = ovi.output_width;
		canvasHeight = ovi.output_height;
	} else {
		if (ownSize) {
			ovi.base_width = ovi.output_width = uint32_t(entry.ancho);
			ovi.base_height = ovi.output_height = uint32_t(entry.alto);
		}
		view = obs_view_create();
		video = view ? obs_view_add2(view, &ovi) : nullptr;
		if (!video) {
			setError(error, translate("No se pudo crear el vídeo propio de la entrada."));
			close();
			return false;
		}
		customSize = ownSize;
		canvasWidth = ovi.base_width;
		canvasHeight = ovi.base_height;
		setViewSource(source);
	}

	if (program) {
		// OBS's mix of that track, with OBS's own sync offsets: there is no mix of the entry's own to delay.
		mixerIndex = size_t(std::clamp(entry.pistaAudio, 1, int(MAX_AUDIO_MIXES)) - 1);
	} else if (!audio.isOpen()) {
		audio_t *obsAudio = obs_get_audio();
		const uint32_t rate = obsAudio ? audio_output_get_sample_rate(obsAudio) : 48000;
		if (!audio.open(rate)) {
			setError(error, translate("No se pudo crear la pista de audio propia de la entrada."));
			close();
			return false;
		}
	}
	if (!program) {
		audio.setDelayMs(entry.retrasoAudioMs);
		audio.setSource(source);
		audio.refreshSources();
	}

	// OBS makes a placeholder for an encoder it does not have; that one would only fail at the first start.
	const QByteArray encoderId = entry.codificador.toUtf8();
	if (obs_get_encoder_type(encoderId.constData()) == OBS_ENCODER_VIDEO) {
		OBSDataAutoRelease settings = buildEntryVideoSettings(entry);
		encoder = obs_video_encoder_create(encoderId.constData(), "tallowmere-video", settings, nullptr);
	}
	if (!encoder) {
		setError(
			error,
			translate(
				"No se pudo crear el codificador de vídeo «%1». Prueba con el codificador por CPU (x264).")
				.arg(entry.codificador));
		close();
		return false;
	}
	obs_encoder_set_video(encoder, video);
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
	// Set before the encoder's first start, which is when OBS takes it.
	if (entry.divisorFps > 1) {
		obs_encoder_set_frame_rate_divisor(encoder, uint32_t(entry.divisorFps));
	}
#endif
	return true;
}

obs_encoder_t *EntryPipeline::audioEncoder(const char *encoderId, obs_data_t *settings)
{
	if (sharing) {
		return sharedAudio;
	}
	const char *json = obs_data_get_json(settings);
	const std::string key = json ? json : "";
	for (const SharedAudioEncoder &shared : audioEncoders) {
		if (shared.id == encoderId && shared.settings == key) {
			return shared.encoder;
		}
	}
	OBSEncoderAutoRelease made =
		obs_audio_encoder_create(encoderId, "tallowmere-audio", settings, program ? mixerIndex : 0, nullptr);
	if (!made) {
		return nullptr;
	}
	obs_encoder_set_audio(made, program ? obs_get_audio() : audio.audio());
	audioEncoders.push_back({encoderId, key, std::move(made)});
	return audioEncoders.back().encoder;
}

void EntryPipeline::setViewSource(obs_source_t *source)
{
	OBSSceneAutoRelease previousScene = std::move(privateScene);
	obs_source_t *shown = source;
	if (obs_source_get_type(source) != OBS_SOURCE_TYPE_SCENE || customSize) {
		privateScene = obs_scene_create_private("tallowmere-escena");
		if (obs_sceneitem_t *item = obs_scene_add(privateScene, source)) {
			obs_sceneitem_set_bounds_type(item, fill ? OBS_BOUNDS_SCALE_OUTER : OBS_BOUNDS_SCALE_INNER);
			obs_sceneitem_set_bounds_alignment(item, 0);
			vec2 bounds;
			vec2_set(&bounds, float(canvasWidth), float(canvasHeight));
			obs_sceneitem_set_bounds(item, &bounds);
			vec2 origin;
			vec2_zero(&origin);
			obs_sceneitem_set_pos(item, &origin);
		}
		shown = obs_scene_get_source(privateScene);
	}
	obs_view_set_source(view, 0, shown);

	// The new source becomes active before the old one is let go, so what both show never restarts.
	obs_source_inc_active(source);
	releaseActive();
	activeSource = obs_source_get_ref(source);
	// Only now, so that the view never shows an empty channel.
	previousScene = nullptr;
}

void EntryPipeline::followProgram()
{
	if (!program || !view) {
		return;
	}
	// OBS puts another transition on its program when the user picks one.
	OBSSourceAutoRelease now = obs_get_output_source(0);
	if (now && now.Get() != activeSource.Get()) {
		setViewSource(now);
	}
}

bool EntryPipeline::switchSource(const QString &name, QString *error)
{
	if (program) {
		setError(error, translate("Esta entrada emite el programa de OBS: envía siempre lo que OBS emite."));
		return false;
	}
	if (!view) {
		setError(error, translate("La entrada no está emitiendo."));
		return false;
	}
	const QByteArray utf8 = name.toUtf8();
	OBSSourceAutoRelease source = obs_get_source_by_name(utf8.constData());
	if (!source) {
		setError(error, translate("«%1» no existe en OBS.").arg(name));
		return false;
	}
	setViewSource(source);
	audio.setSource(source);
	audio.refreshSources();
	sourceName = utf8;
	return true;
}

void EntryPipeline::releaseActive()
{
	if (activeSource) {
		obs_source_dec_active(activeSource);
		activeSource = nullptr;
	}
}

void EntryPipeline::releaseSources()
{
	if (display) {
		obs_display_destroy(display);
		display = nullptr;
	}
	displayWindow = 0;
	if (view) {
		obs_view_set_source(view, 0, nullptr);
	}
	releaseActive();
	privateScene = nullptr;
	audio.releaseSources();
}

void EntryPipeline::close()
{
	const bool held = encoder || view || !audioEncoders.empty() || sharedAudio;
	const uint64_t start = os_gettime_ns();

	if (display) {
		obs_display_destroy(display);
		display = nullptr;
	}
	displayWindow = 0;
	const double previewMs = msSince(start);

	const uint64_t encoderStart = os_gettime_ns();
	encoder = nullptr;
	const double encoderMs = msSince(encoderStart);

	const uint64_t audioStart = os_gettime_ns();
	audioEncoders.clear();
	sharedAudio = nullptr;
	audio.close();
	const double audioMs = msSince(audioStart);

	const uint64_t viewStart = os_gettime_ns();
	if (view) {
		obs_view_set_source(view, 0, nullptr);
		if (video) {
			obs_view_remove(view);
		}
		obs_view_destroy(view);
	}
	view = nullptr;
	video = nullptr;
	program = false;
	sharing = false;
	mixerIndex = 0;
	releaseActive();
	privateScene = nullptr;
	const double viewMs = msSince(viewStart);

	if (held) {
		blog(LOG_INFO,
		     "[tallowmere] closing entry: preview %.1f ms, video encoder %.1f ms, audio %.1f ms, video/view %.1f ms "
		     "(total %.1f ms)",
		     previewMs, encoderMs, audioMs, viewMs, msSince(start));
	}
}
