#include "engine/encoder-settings.hpp"
#include "engine/addresses.hpp"
#include "config/config-store.hpp"
#include "base/language.hpp"

#include <obs.h>

obs_data_t *buildVideoEncoderSettings(const QString &encoderId, int videoKbps, const QString &advancedJson)
{
	const QByteArray id = encoderId.toUtf8();
	obs_data_t *settings = obs_encoder_defaults(id.constData());
	if (!settings) {
		settings = obs_data_create();
	}
	if (!advancedJson.trimmed().isEmpty()) {
		// Text that is not valid JSON is ignored: only the bitrate then applies over the defaults.
		if (obs_data_t *advanced = obs_data_create_from_json(advancedJson.toUtf8().constData())) {
			obs_data_apply(settings, advanced);
			obs_data_release(advanced);
		}
	} else if (encoderId == QLatin1String("obs_x264")) {
		obs_data_set_int(settings, "keyint_sec", 2);
		obs_data_set_string(settings, "x264opts", "bframes=0");
	} else if (encoderId.contains(QLatin1String("nvenc"), Qt::CaseSensitive)) {
		obs_data_set_int(settings, "keyint_sec", 2);
		obs_data_set_int(settings, "bf", 0);
		obs_data_set_bool(settings, "lookahead", false);
	} else {
		obs_data_set_int(settings, "keyint_sec", 2);
	}
	obs_data_set_int(settings, "bitrate", videoKbps);
	return settings;
}

obs_data_t *buildEntryVideoSettings(const EntryConfig &entry)
{
	obs_data_t *settings = buildVideoEncoderSettings(entry.codificador, entry.videoKbps, entry.ajustesCodificador);
	for (const DestConfig &dest : entry.destinos) {
		if (classifyAddress(dest.url) == AddressKind::Srt) {
			obs_data_set_bool(settings, "repeat_headers", true);
			break;
		}
	}
	return settings;
}

QString resolveAudioEncoderId(const QString &codec)
{
	const QString trimmed = codec.trimmed();
	QString candidate = trimmed;
	if (trimmed.isEmpty() || trimmed.compare(QLatin1String("aac"), Qt::CaseInsensitive) == 0) {
		candidate = QStringLiteral("ffmpeg_aac");
	} else if (trimmed.compare(QLatin1String("opus"), Qt::CaseInsensitive) == 0) {
		candidate = QStringLiteral("ffmpeg_opus");
	}
	const QByteArray wanted = candidate.toUtf8();
	const char *id = nullptr;
	for (size_t i = 0; obs_enum_encoder_types(i, &id); ++i) {
		if (id && wanted == id && obs_get_encoder_type(id) == OBS_ENCODER_AUDIO) {
			return candidate;
		}
	}
	return QString();
}

QString outputErrorText(int code, const QString &lastError)
{
	QString text;
	switch (code) {
	case OBS_OUTPUT_BAD_PATH:
		text = translate("La dirección no es correcta.");
		break;
	case OBS_OUTPUT_CONNECT_FAILED:
		text = translate("No se pudo conectar con el servidor.");
		break;
	case OBS_OUTPUT_INVALID_STREAM:
		text = translate("La clave o la dirección no son válidas.");
		break;
	case OBS_OUTPUT_DISCONNECTED:
		text = translate("Se perdió la conexión con el servidor.");
		break;
	case OBS_OUTPUT_UNSUPPORTED:
		text = translate("El servidor no admite este formato.");
		break;
	case OBS_OUTPUT_ENCODE_ERROR:
		text = translate("Falló el codificador de vídeo o audio.");
		break;
	default:
		text = translate("La emisión se detuvo por un error (código %1).").arg(code);
		break;
	}
	if (!lastError.isEmpty()) {
		text += QLatin1Char(' ') + lastError;
	}
	return text;
}

int32_t delayFramesFor(int delayMs, uint32_t sampleRate)
{
	const int64_t ms = qBound(0, delayMs, 1000);
	return int32_t(ms * int64_t(sampleRate) / 1000);
}
