#include "engine/dest-output.hpp"
#include "engine/addresses.hpp"
#include "engine/encoder-settings.hpp"
#include "engine/entry-pipeline.hpp"
#include "engine/output-reaper.hpp"
#include "engine/srt-start.hpp"
#include "config/config-store.hpp"
#include "module/language.hpp"

#include <util/platform.h>

namespace {

int64_t nowNs()
{
	return int64_t(os_gettime_ns());
}

int64_t nowMs()
{
	return nowNs() / 1000000;
}

} // namespace

DestOutput::DestOutput(const DestConfig &dest)
	: destId(dest.id),
	  url(dest.url),
	  clave(dest.clave),
	  contrasena(dest.contrasena)
{
}

DestOutput::~DestOutput()
{
	retire();
}

bool DestOutput::failStart(const QString &text, QString *error)
{
	fail(text);
	if (error) {
		*error = text;
	}
	return false;
}

bool DestOutput::start(const std::shared_ptr<EntryPipeline> &entryPipeline, int audioKbps, const QString &audioCodec,
		       QString *error)
{
	pipeline = entryPipeline;
	const AddressKind kind = classifyAddress(url);
	if (kind == AddressKind::Invalid) {
		return failStart(translate("La dirección debe empezar por rtmp://, rtmps:// o srt://."), error);
	}

	{
		OBSDataAutoRelease settings = createServiceSettings(url, clave, contrasena);
		service = obs_service_create("rtmp_custom", "tallowmere-servicio", settings, nullptr);
	}
	if (!service) {
		return failStart(translate("No se pudo preparar el destino (falta el módulo de servicios de OBS)."),
				 error);
	}

	output = obs_output_create(kind == AddressKind::Rtmp ? "rtmp_output" : "ffmpeg_mpegts_muxer",
				   "tallowmere-salida", nullptr, nullptr);
	if (!output) {
		return failStart(
			translate("Esta versión de OBS no incluye la salida para %1.").arg(protocolLabel(kind)), error);
	}

	const QString encoderId = resolveAudioEncoderId(audioCodec);
	if (encoderId.isEmpty()) {
		return failStart(translate("El codificador de audio «%1» no existe en este OBS. Elige «aac» u «opus».")
					 .arg(audioCodec.trimmed()),
				 error);
	}
	{
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_int(settings, "bitrate", audioKbps);
		audioEncoder = obs_audio_encoder_create(encoderId.toUtf8().constData(), "tallowmere-audio", settings, 0,
							nullptr);
	}
	if (!audioEncoder) {
		return failStart(translate("No se pudo crear el codificador de audio."), error);
	}
	obs_encoder_set_audio(audioEncoder, pipeline->audioTrack().audio());

	// The service may adjust this destination's audio only: the shared video encoder is never handed to it,
	// so one destination's service cannot change another's picture.
	{
		OBSDataAutoRelease audioSettings = obs_encoder_get_settings(audioEncoder);
		OBSDataAutoRelease videoSettings = obs_data_create();
		obs_service_apply_encoder_settings(service, videoSettings, audioSettings);
		obs_encoder_update(audioEncoder, audioSettings);
	}

	obs_output_set_video_encoder(output, pipeline->videoEncoder());
	obs_output_set_audio_encoder(output, audioEncoder, 0);
	obs_output_set_service(output, service);
	obs_output_set_reconnect_settings(output, Supervision::obsReconnectRetries, Supervision::obsReconnectSeconds);

	signal_handler_t *handler = obs_output_get_signal_handler(output);
	startSignal.Connect(handler, "start", &DestOutput::onStart, this);
	stopSignal.Connect(handler, "stop", &DestOutput::onStop, this);
	reconnectSignal.Connect(handler, "reconnect", &DestOutput::onReconnect, this);
	reconnectSuccessSignal.Connect(handler, "reconnect_success", &DestOutput::onReconnectSuccess, this);
	signalsConnected = true;

	if (kind == AddressKind::Srt) {
		notifySrtStart();
	}
	setState(DestState::Connecting);
	startedNs = nowNs();
	if (!obs_output_start(output)) {
		const char *lastError = obs_output_get_last_error(output);
		return failStart(lastError && *lastError ? QString::fromUtf8(lastError)
							 : translate("No se pudo iniciar la emisión."),
				 error);
	}
	return true;
}

void DestOutput::retire()
{
	if (signalsConnected) {
		startSignal.Disconnect();
		stopSignal.Disconnect();
		reconnectSignal.Disconnect();
		reconnectSuccessSignal.Disconnect();
		signalsConnected = false;
	}
	attempting = false;
	if (!output && !audioEncoder && !service) {
		pipeline.reset();
		return;
	}
	outputReaper::Retired retired;
	retired.output = std::move(output);
	retired.audioEncoder = std::move(audioEncoder);
	retired.service = std::move(service);
	retired.keepAlive = std::move(pipeline);
	retired.address = url;
	outputReaper::retire(std::move(retired));
}

void DestOutput::fail(const QString &text)
{
	{
		std::lock_guard<std::mutex> guard(lock);
		lastMessage = text;
	}
	setState(DestState::Failed);
}

QString DestOutput::message() const
{
	std::lock_guard<std::mutex> guard(lock);
	return lastMessage;
}

int DestOutput::currentOutageSeconds() const
{
	const int64_t start = outageStartMs.load();
	return start == 0 ? 0 : int((nowMs() - start) / 1000);
}

void DestOutput::stop()
{
	stopRequested = true;
	nextRestartMs = 0;
	// OBS ignores a stop before the output sends (while it connects), and ending such an output joins its
	// connect thread: the destination is stopped now, the output ended elsewhere.
	if (output && !obs_output_active(output)) {
		// Signals are disconnected first: nothing on OBS's threads changes the state after this.
		retire();
		restarting = false;
		{
			std::lock_guard<std::mutex> guard(lock);
			lastMessage.clear();
		}
		setState(DestState::Idle);
		return;
	}
	if (output) {
		obs_output_stop(output);
	}
}

void DestOutput::checkRestart()
{
	if (!output) {
		return;
	}
	if (stopRequested) {
		// A try that was under way when the stop came may connect all the same: stop it once it has.
		if (obs_output_active(output)) {
			obs_output_stop(output);
		}
		return;
	}
	const int64_t due = nextRestartMs.load();
	const int64_t now = nowMs();
	if (due == 0 || now < due) {
		return;
	}
	if (obs_output_active(output)) {
		nextRestartMs = now + Supervision::activeRetryMs;
		return;
	}
	// The state stays Reconnecting through every try of an outage, as the outage shows.
	nextRestartMs = 0;
	lastAttemptMs = now;
	startedNs = nowNs();
	attempting = true;
	if (obs_output_start(output)) {
		return;
	}
	attempting = false;
	if (attempts < Supervision::maxRestartAttempts) {
		++attempts;
		nextRestartMs = now + Supervision::restartDueMs;
		setState(DestState::Reconnecting);
	} else {
		restarting = false;
		const char *lastError = obs_output_get_last_error(output);
		fail(translate("Se perdió la conexión y no se pudo recuperar. %1")
			     .arg(lastError ? QString::fromUtf8(lastError) : QString()));
	}
}

void DestOutput::sample()
{
	if (!output || state() != DestState::Live) {
		kbps = -1;
		lastSampleMs = 0;
		return;
	}
	const uint64_t total = obs_output_get_total_bytes(output);
	const int64_t now = nowMs();
	if (lastSampleMs > 0 && now > lastSampleMs && total >= lastBytes) {
		const double sampled = double(total - lastBytes) * 8.0 / double(now - lastSampleMs);
		const int previous = kbps.load();
		kbps = previous < 0 ? int(sampled) : int(previous * 0.6 + sampled * 0.4);
	}
	lastBytes = total;
	lastSampleMs = now;
	framesDropped = obs_output_get_frames_dropped(output);
}

void DestOutput::checkStartTimeout()
{
	if (output && state() == DestState::Connecting && nowNs() - startedNs > Supervision::startTimeoutNs) {
		fail(translate("El servidor no respondió a tiempo."));
		retire();
	}
}

bool DestOutput::hasEnded()
{
	if (!output) {
		return true;
	}
	if (obs_output_active(output)) {
		inactiveSinceNs = 0;
		return false;
	}
	if (restarting && !stopRequested) {
		return false;
	}
	// A try under way ends first (OBS would wait for it when the output is released).
	if (attempting && nowNs() - startedNs < Supervision::startTimeoutNs) {
		return false;
	}
	switch (state()) {
	case DestState::Idle:
	case DestState::Failed:
		return true;
	case DestState::Connecting:
		return false;
	case DestState::Live:
	case DestState::Reconnecting:
	default:
		// The "stop" signal normally comes first and decides the final state; this only catches one that never came.
		if (inactiveSinceNs == 0) {
			inactiveSinceNs = nowNs();
		}
		return nowNs() - inactiveSinceNs > Supervision::inactiveGraceNs;
	}
}

bool DestOutput::isFinished()
{
	return hasEnded();
}

DestStatus DestOutput::status() const
{
	DestStatus snapshot;
	snapshot.state = state();
	snapshot.message = message();
	snapshot.attempts = attempts;
	snapshot.outageSeconds = currentOutageSeconds();
	snapshot.lastOutageSeconds = lastOutageSeconds;
	snapshot.drops = drops;
	snapshot.kbps = kbps;
	snapshot.framesDropped = framesDropped;
	return snapshot;
}

DestStatus DestOutput::endedStatus() const
{
	DestStatus kept;
	kept.state = state() == DestState::Failed ? DestState::Failed : DestState::Idle;
	kept.message = message();
	return kept;
}
