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
		if (sentAsMpegTs(classifyAddress(dest.url))) {
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

FailureCause failureCause(const OutputFailure &failure)
{
	if (failure.obsTextId == QLatin1String("SSLCertVerifyFailed")) {
		return FailureCause::Certificate;
	}
	if (failure.obsTextId == QLatin1String("HostNotFound") || failure.nameUnknown) {
		return FailureCause::NameNotFound;
	}
	if (failure.obsTextId == QLatin1String("ConnectionTimedOut")) {
		return FailureCause::NoAnswer;
	}
	if (failure.srt) {
		// OBS's SRT output reports a wrong passphrase, a refused stream id and a listener that is not there alike.
		return failure.code == OBS_OUTPUT_INVALID_STREAM || failure.code == OBS_OUTPUT_BAD_PATH ||
				       failure.code == OBS_OUTPUT_CONNECT_FAILED
			       ? FailureCause::SrtRefused
			       : FailureCause::Other;
	}
	if (failure.code == OBS_OUTPUT_INVALID_STREAM) {
		return FailureCause::KeyRefused;
	}
	if (failure.code == OBS_OUTPUT_CONNECT_FAILED && failure.lastError.isEmpty()) {
		return failure.waitedLong ? FailureCause::NoAnswer : FailureCause::ConnectionRefused;
	}
	return FailureCause::Other;
}

QString failureCauseText(FailureCause cause)
{
	switch (cause) {
	case FailureCause::KeyRefused:
		return translate(
			"El servidor rechazó la clave de emisión o la aplicación: revisa la clave y la parte de "
			"la dirección que va tras el nombre del servidor.");
	case FailureCause::NameNotFound:
		return translate("No se encontró el nombre del servidor: revisa cómo está escrito y que este ordenador "
				 "tenga conexión.");
	case FailureCause::ConnectionRefused:
		return translate("El servidor rechazó la conexión: revisa la dirección y el puerto, y que el servidor "
				 "esté en marcha.");
	case FailureCause::NoAnswer:
		return translate("El servidor no respondió a tiempo: revisa la dirección y el puerto, y que ningún "
				 "cortafuegos bloquee la conexión.");
	case FailureCause::Certificate:
		return translate("El certificado del servidor no es de confianza o es de otro nombre: revisa que la "
				 "dirección rtmps:// lleve el nombre del servidor (no su IP).");
	case FailureCause::SrtRefused:
		return translate(
			"El servidor SRT no aceptó la conexión: revisa la dirección y el puerto, que el servidor "
			"esté en marcha, la frase de contraseña y el Stream ID.");
	default:
		return QString();
	}
}

QString outputErrorText(const OutputFailure &failure)
{
	const FailureCause cause = failureCause(failure);
	if (cause != FailureCause::Other) {
		return failureCauseText(cause);
	}
	QString text;
	switch (failure.code) {
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
		text = translate("La emisión se detuvo por un error (código %1).").arg(failure.code);
		break;
	}
	if (!failure.lastError.isEmpty()) {
		text += QLatin1Char(' ') + failure.lastError;
	}
	return text;
}

QString obsOutputTextId(const QString &lastError)
{
	obs_module_t *outputs = lastError.isEmpty() || !obs_initialized() ? nullptr : obs_get_module("obs-outputs");
	if (!outputs) {
		return QString();
	}
	const QByteArray wanted = lastError.trimmed().toUtf8();
	for (const char *id : {"SSLCertVerifyFailed", "HostNotFound", "ConnectionTimedOut"}) {
		const char *text = nullptr;
		if (obs_module_get_locale_string(outputs, id, &text) && text && wanted == QByteArray(text).trimmed()) {
			return QString::fromLatin1(id);
		}
	}
	return QString();
}

int32_t delayFramesFor(int delayMs, uint32_t sampleRate)
{
	const int64_t ms = qBound(0, delayMs, 1000);
	return int32_t(ms * int64_t(sampleRate) / 1000);
}
