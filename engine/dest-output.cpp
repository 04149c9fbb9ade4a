#include "engine/dest-output.hpp"
#include "engine/addresses.hpp"
#include "engine/encoder-settings.hpp"
#include "engine/entry-pipeline.hpp"
#include "engine/output-reaper.hpp"
#include "engine/recording-path.hpp"
#include "engine/srt-start.hpp"
#include "engine/stalled-connections.hpp"
#include "config/config-store.hpp"
#include "base/language.hpp"

#include <util/platform.h>

#include <QDir>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

int64_t nowNs()
{
	return int64_t(os_gettime_ns());
}

int64_t nowMs()
{
	return nowNs() / 1000000;
}

// The first codec of the two encoders the output does not declare it carries; empty when it carries both.
QString uncarriedCodec(obs_output_t *output, AddressKind kind, obs_encoder_t *video, obs_encoder_t *audio)
{
	for (const bool isVideo : {true, false}) {
		const char *codec = obs_encoder_get_codec(isVideo ? video : audio);
		const QStringList carried = codecList(isVideo ? obs_output_get_supported_video_codecs(output)
							      : obs_output_get_supported_audio_codecs(output),
						      kind, isVideo);
		// OBS names AAC "AAC" on the encoder and "aac" on the output.
		if (codec && !carried.isEmpty() && !carried.contains(QString::fromUtf8(codec).toLower())) {
			return QString::fromUtf8(codec);
		}
	}
	return QString();
}

} // namespace

std::optional<DestState> nextState(DestState from, DestEvent event)
{
	const bool underWay = from == DestState::Connecting || from == DestState::Live ||
			      from == DestState::Reconnecting;
	switch (event) {
	case DestEvent::Starting:
		return from == DestState::Idle ? std::optional(DestState::Connecting) : std::nullopt;
	case DestEvent::StartFailed:
		return from == DestState::Idle || from == DestState::Connecting ? std::optional(DestState::Failed)
										: std::nullopt;
	case DestEvent::Started:
		return from == DestState::Connecting || from == DestState::Reconnecting ? std::optional(DestState::Live)
											: std::nullopt;
	case DestEvent::Reconnecting:
	case DestEvent::Dropped:
		return underWay ? std::optional(DestState::Reconnecting) : std::nullopt;
	case DestEvent::Reconnected:
		return from == DestState::Reconnecting ? std::optional(DestState::Live) : std::nullopt;
	case DestEvent::StoppedCleanly:
		return underWay ? std::optional(DestState::Idle) : std::nullopt;
	case DestEvent::GaveUp:
		return underWay ? std::optional(DestState::Failed) : std::nullopt;
	case DestEvent::StopRequested:
		return DestState::Idle;
	}
	return std::nullopt;
}

bool DestOutput::apply(DestEvent event)
{
	const std::optional<DestState> next = nextState(record.state, event);
	if (next) {
		record.state = *next;
	}
	return next.has_value();
}

int DestOutput::outageSeconds(const Record &r)
{
	return r.outageStartMs == 0 ? 0 : int((nowMs() - r.outageStartMs) / 1000);
}

CongestionLevel congestionLevel(float congestion)
{
	if (congestion < 0.1f) {
		return CongestionLevel::Green;
	}
	return congestion < 0.6f ? CongestionLevel::Yellow : CongestionLevel::Red;
}

DestOutput::DestOutput(const DestConfig &dest)
	: destId(dest.id),
	  url(dest.url),
	  clave(dest.clave),
	  contrasena(dest.contrasena),
	  recording(dest.grabacion),
	  folder(dest.carpeta),
	  namePattern(dest.patron),
	  format(dest.formato)
{
}

DestOutput::~DestOutput()
{
	retire();
}

bool DestOutput::failStart(const QString &text, QString *error)
{
	QString unused;
	{
		std::lock_guard<std::mutex> guard(lock);
		if (apply(DestEvent::StartFailed)) {
			record.message = text;
		}
		unused = std::exchange(record.file, QString());
	}
	recordingPath::release(unused, true);
	if (error) {
		*error = text;
	}
	return false;
}

bool DestOutput::createOutput(QString *error)
{
	const AddressKind kind = classifyAddress(url);
	const QString problem = startProblem(url, clave);
	if (!problem.isEmpty()) {
		return failStart(problem, error);
	}
	const bool whip = kind == AddressKind::Whip;
	{
		OBSDataAutoRelease settings = createServiceSettings(url, clave, contrasena);
		service = obs_service_create(whip ? "whip_custom" : "rtmp_custom", "tallowmere-servicio", settings,
					     nullptr);
	}
	if (!service) {
		return failStart(translate("No se pudo preparar el destino (falta el módulo de servicios de OBS)."),
				 error);
	}
	output = obs_output_create(sentAsMpegTs(kind) ? "ffmpeg_mpegts_muxer"
				   : whip             ? "whip_output"
						      : "rtmp_output",
				   "tallowmere-salida", nullptr, nullptr);
	if (!output) {
		return failStart(
			translate("Esta versión de OBS no incluye la salida para %1.").arg(protocolLabel(kind)), error);
	}
	if (kind == AddressKind::Srt) {
		notifySrtStart();
	}
	return true;
}

bool DestOutput::createRecordingOutput(QString *error)
{
	const bool fragmented = format == QLatin1String("fmp4");
	QString refused;
	const QString path =
		recordingPath::reserve(folder, namePattern, QLatin1String(fragmented ? "mp4" : "mkv"), &refused);
	if (path.isEmpty()) {
		return failStart(refused, error);
	}
	{
		std::lock_guard<std::mutex> guard(lock);
		record.file = path;
	}
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "path", QDir::toNativeSeparators(path).toUtf8().constData());
	// A fragmented MP4 stays playable up to its last fragment when the recording is cut short.
	obs_data_set_string(settings, "muxer_settings",
			    fragmented ? "movflags=frag_keyframe+empty_moov+delay_moov" : "");
	output = obs_output_create("ffmpeg_muxer", "tallowmere-salida", settings, nullptr);
	if (!output) {
		return failStart(
			translate("Esta versión de OBS no incluye la salida para %1.").arg(QStringLiteral("REC")),
			error);
	}
	return true;
}

bool DestOutput::start(const std::shared_ptr<EntryPipeline> &entryPipeline, int audioKbps, const QString &audioCodec,
		       QString *error)
{
	pipeline = entryPipeline;
	if (!(recording ? createRecordingOutput(error) : createOutput(error))) {
		return false;
	}

	const QString encoderId = resolveAudioEncoderId(audioCodec);
	if (encoderId.isEmpty()) {
		return failStart(translate("El codificador de audio «%1» no existe en este OBS. Elige «aac» u «opus».")
					 .arg(audioCodec.trimmed()),
				 error);
	}
	{
		// The service may adjust this destination's audio only: the shared video encoder is never handed to it,
		// so one destination's service cannot change another's picture. Destinations whose audio comes out the
		// same share one encoder.
		OBSDataAutoRelease settings = obs_data_create();
		obs_data_set_int(settings, "bitrate", audioKbps);
		if (service) {
			OBSDataAutoRelease videoSettings = obs_data_create();
			obs_service_apply_encoder_settings(service, videoSettings, settings);
		}
		audioEncoder = obs_encoder_get_ref(pipeline->audioEncoder(encoderId.toUtf8().constData(), settings));
	}
	if (!audioEncoder) {
		return failStart(translate("No se pudo crear el codificador de audio."), error);
	}
	// A stream that cannot carry a codec would only fail once connected, with a vague reason. (A recording's muxer
	// writes more than OBS declares for it.)
	if (pipeline->sharesObsEncoders() || !recording) {
		const QString codec =
			uncarriedCodec(output, classifyAddress(url), pipeline->videoEncoder(), audioEncoder);
		if (!codec.isEmpty() && pipeline->sharesObsEncoders()) {
			return failStart(translate(
						 "Este destino no admite el códec %1 del codificador de OBS: elige en "
						 "OBS un codificador H.264 y audio AAC, o da a la entrada uno propio.")
						 .arg(codec),
					 error);
		}
		if (!codec.isEmpty()) {
			return failStart(translate("Este destino no admite el códec %1 en este OBS: elige otro "
						   "codificador o audio AAC en «✎ Editar».")
						 .arg(codec),
					 error);
		}
	}

	obs_output_set_video_encoder(output, pipeline->videoEncoder());
	obs_output_set_audio_encoder(output, audioEncoder, 0);
	if (service) {
		obs_output_set_service(output, service);
		obs_output_set_reconnect_settings(output, Supervision::obsReconnectRetries,
						  Supervision::obsReconnectSeconds);
	}

	signal_handler_t *handler = obs_output_get_signal_handler(output);
	startSignal.Connect(handler, "start", &DestOutput::onStart, this);
	stopSignal.Connect(handler, "stop", &DestOutput::onStop, this);
	reconnectSignal.Connect(handler, "reconnect", &DestOutput::onReconnect, this);
	reconnectSuccessSignal.Connect(handler, "reconnect_success", &DestOutput::onReconnectSuccess, this);
	signalsConnected = true;

	{
		std::lock_guard<std::mutex> guard(lock);
		apply(DestEvent::Starting);
		record.attempting = true;
	}
	startedNs = nowNs();
	if (!startAttempt()) {
		{
			std::lock_guard<std::mutex> guard(lock);
			record.attempting = false;
		}
		const char *lastError = obs_output_get_last_error(output);
		const QString reason = lastError && *lastError ? QString::fromUtf8(lastError) : QString();
		if (recording) {
			return failStart(translate("No se puede grabar en «%1»: la carpeta no existe o no se puede "
						   "escribir en ella.")
						 .arg(QDir::toNativeSeparators(folder)),
					 error);
		}
		return failStart(reason.isEmpty() ? translate("No se pudo iniciar la emisión.") : reason, error);
	}
	return true;
}

bool DestOutput::startAttempt()
{
	const std::vector<long> before = processThreads();
	const bool started = obs_output_start(output);
	const std::vector<long> after = processThreads();
	attemptThreads.clear();
	std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
			    std::back_inserter(attemptThreads));
	return started;
}

void DestOutput::retire()
{
	// The muxer has the file open (or has written it) by now: the name is only let go of.
	{
		std::lock_guard<std::mutex> guard(lock);
		recordingPath::release(record.file, false);
	}
	if (signalsConnected) {
		startSignal.Disconnect();
		stopSignal.Disconnect();
		reconnectSignal.Disconnect();
		reconnectSuccessSignal.Disconnect();
		signalsConnected = false;
	}
	bool pending = false;
	{
		std::lock_guard<std::mutex> guard(lock);
		pending = record.attempting;
		record.attempting = false;
	}
	// An output that has stopped is released here at once, in order; one that may still be connecting (or
	// sending) is ended elsewhere.
	if (!output || (!pending && !obs_output_active(output))) {
		output = nullptr;
		audioEncoder = nullptr;
		service = nullptr;
		pipeline.reset();
		return;
	}
	outputReaper::Retired retired;
	retired.output = std::move(output);
	retired.audioEncoder = std::move(audioEncoder);
	retired.service = std::move(service);
	retired.keepAlive = std::move(pipeline);
	if (pending) {
		retired.address = url;
		retired.threads = attemptThreads;
	}
	outputReaper::retire(std::move(retired));
}

void DestOutput::fail(const QString &text)
{
	std::lock_guard<std::mutex> guard(lock);
	record.restarting = false;
	if (apply(DestEvent::GaveUp)) {
		record.message = text;
	}
}

DestState DestOutput::state() const
{
	std::lock_guard<std::mutex> guard(lock);
	return record.state;
}

QString DestOutput::message() const
{
	std::lock_guard<std::mutex> guard(lock);
	return record.message;
}

void DestOutput::stop()
{
	const bool sending = output && obs_output_active(output);
	// OBS ignores a stop before the output sends (while it connects), and ending such an output joins its
	// connect thread: the destination is stopped now, the output ended elsewhere. Signals are disconnected
	// first, so nothing on OBS's threads changes the state after this.
	if (!sending) {
		retire();
	}
	{
		std::lock_guard<std::mutex> guard(lock);
		record.stopRequested = true;
		record.nextRestartMs = 0;
		if (!sending) {
			record.restarting = false;
			record.message.clear();
			apply(DestEvent::StopRequested);
		}
	}
	if (sending) {
		obs_output_stop(output);
	}
}

void DestOutput::checkRestart()
{
	if (!output) {
		return;
	}
	const int64_t now = nowMs();
	bool stopping = false;
	int64_t due = 0;
	{
		std::lock_guard<std::mutex> guard(lock);
		stopping = record.stopRequested;
		due = record.nextRestartMs;
	}
	// OBS is never called under the lock: its signals take it.
	if (stopping) {
		// A try that was under way when the stop came may connect all the same: stop it once it has.
		if (obs_output_active(output)) {
			obs_output_stop(output);
		}
		return;
	}
	if (due == 0 || now < due) {
		return;
	}
	const bool active = obs_output_active(output);
	{
		std::lock_guard<std::mutex> guard(lock);
		if (record.stopRequested || record.nextRestartMs != due) {
			return;
		}
		if (active) {
			record.nextRestartMs = now + Supervision::activeRetryMs;
			return;
		}
		// The state stays Reconnecting through every try of an outage, as the outage shows.
		record.nextRestartMs = 0;
		record.lastAttemptMs = now;
		record.attempting = true;
	}
	startedNs = nowNs();
	if (startAttempt()) {
		return;
	}
	const char *lastError = obs_output_get_last_error(output);
	const QString reason = lastError ? QString::fromUtf8(lastError) : QString();
	std::lock_guard<std::mutex> guard(lock);
	record.attempting = false;
	if (record.attempts < Supervision::maxRestartAttempts) {
		if (apply(DestEvent::Dropped)) {
			++record.attempts;
			record.nextRestartMs = now + Supervision::restartDueMs;
		}
	} else {
		record.restarting = false;
		if (apply(DestEvent::GaveUp)) {
			record.message = translate("Se perdió la conexión y no se pudo recuperar. %1").arg(reason);
		}
	}
}

void DestOutput::sample()
{
	const bool live = output && state() == DestState::Live;
	const uint64_t total = live ? obs_output_get_total_bytes(output) : 0;
	const int dropped = live ? obs_output_get_frames_dropped(output) : 0;
	const float congestion = live ? std::clamp(obs_output_get_congestion(output), 0.0f, 1.0f) : 0.0f;
	const int64_t now = nowMs();
	std::lock_guard<std::mutex> guard(lock);
	if (!live) {
		record.kbps = -1;
		record.congestion = 0;
		lastCongestion = 0;
		lastSampleMs = 0;
		lastSentMs = 0;
		record.silentSeconds = 0;
		return;
	}
	if (lastSentMs == 0 || total != lastBytes) {
		lastSentMs = now;
	}
	record.silentSeconds = int((now - lastSentMs) / 1000);
	// As OBS's status bar: the mean of this and the last reading, but never below this one.
	record.congestion = std::max((congestion + lastCongestion) / 2, congestion);
	lastCongestion = congestion;
	record.bytes = total;
	if (lastSampleMs > 0 && now > lastSampleMs && total >= lastBytes) {
		const double sampled = double(total - lastBytes) * 8.0 / double(now - lastSampleMs);
		record.kbps = record.kbps < 0 ? int(sampled) : int(record.kbps * 0.6 + sampled * 0.4);
	}
	lastBytes = total;
	lastSampleMs = now;
	record.framesDropped = dropped;
}

void DestOutput::checkStartTimeout()
{
	if (output && state() == DestState::Connecting && nowNs() - startedNs > Supervision::startTimeoutNs) {
		fail(failureCauseText(FailureCause::NoAnswer));
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
	Record now;
	{
		std::lock_guard<std::mutex> guard(lock);
		now = record;
	}
	if (now.restarting && !now.stopRequested) {
		return false;
	}
	// A try under way ends first (OBS would wait for it when the output is released).
	if (now.attempting && nowNs() - startedNs < Supervision::startTimeoutNs) {
		return false;
	}
	switch (now.state) {
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

bool DestOutput::isOver() const
{
	if (!output) {
		return true;
	}
	const DestState now = state();
	return (now == DestState::Idle || now == DestState::Failed) && !obs_output_active(output);
}

DestStatus DestOutput::status() const
{
	std::lock_guard<std::mutex> guard(lock);
	DestStatus snapshot;
	snapshot.state = record.state;
	snapshot.message = record.message;
	snapshot.attempts = record.attempts;
	snapshot.outageSeconds = outageSeconds(record);
	snapshot.lastOutageSeconds = record.lastOutageSeconds;
	snapshot.drops = record.drops;
	snapshot.kbps = record.kbps;
	snapshot.framesDropped = record.framesDropped;
	snapshot.liveSeconds = record.state == DestState::Live && record.liveSinceMs > 0
				       ? int((nowMs() - record.liveSinceMs) / 1000)
				       : -1;
	snapshot.congestion = record.congestion;
	snapshot.bytes = record.bytes;
	snapshot.silentSeconds = record.state == DestState::Live ? record.silentSeconds : 0;
	snapshot.recording = recording;
	snapshot.file = record.file;
	return snapshot;
}

DestStatus DestOutput::endedStatus() const
{
	std::lock_guard<std::mutex> guard(lock);
	DestStatus kept;
	kept.state = record.state == DestState::Failed ? DestState::Failed : DestState::Idle;
	kept.message = record.message;
	kept.recording = recording;
	kept.file = record.file;
	return kept;
}
