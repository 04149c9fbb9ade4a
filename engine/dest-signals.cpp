// OBS's output signals, on OBS's output threads: they only record facts in atomics (and the message under its
// lock); the tick on the UI thread acts on them.
#include "engine/dest-output.hpp"
#include "engine/addresses.hpp"
#include "engine/encoder-settings.hpp"
#include "engine/stalled-connections.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <util/platform.h>

#include <QUrl>

#include <algorithm>

namespace {

int64_t nowMs()
{
	return int64_t(os_gettime_ns() / 1000000);
}

bool neverRestarted(long long code)
{
	return code == OBS_OUTPUT_BAD_PATH || code == OBS_OUTPUT_INVALID_STREAM || code == OBS_OUTPUT_UNSUPPORTED ||
	       code == OBS_OUTPUT_ENCODE_ERROR;
}

} // namespace

void DestOutput::onStart(void *data, calldata_t *)
{
	auto *self = static_cast<DestOutput *>(data);
	int recovered = -1;
	{
		std::lock_guard<std::mutex> guard(self->lock);
		Record &r = self->record;
		r.attempting = false;
		// A try that was under way when the destination was stopped: the tick stops the output.
		if (r.stopRequested || !self->apply(DestEvent::Started)) {
			return;
		}
		r.connected = true;
		r.liveSinceMs = nowMs();
		if (r.restarting) {
			recovered = outageSeconds(r);
			r.lastOutageSeconds = recovered;
			r.outageStartMs = 0;
			r.restarting = false;
		}
	}
	if (recovered >= 0) {
		logMessage(LOG_INFO, "stream recovered automatically after %d s", recovered);
	}
}

void DestOutput::onReconnect(void *data, calldata_t *)
{
	auto *self = static_cast<DestOutput *>(data);
	std::lock_guard<std::mutex> guard(self->lock);
	Record &r = self->record;
	if (!self->apply(DestEvent::Reconnecting)) {
		return;
	}
	if (r.outageStartMs == 0) {
		r.outageStartMs = nowMs();
		r.attempts = 0;
		++r.drops;
	}
	++r.attempts;
}

void DestOutput::onReconnectSuccess(void *data, calldata_t *)
{
	auto *self = static_cast<DestOutput *>(data);
	std::lock_guard<std::mutex> guard(self->lock);
	Record &r = self->record;
	if (self->apply(DestEvent::Reconnected)) {
		r.lastOutageSeconds = outageSeconds(r);
		r.outageStartMs = 0;
		r.liveSinceMs = nowMs();
	}
}

void DestOutput::onStop(void *data, calldata_t *cd)
{
	auto *self = static_cast<DestOutput *>(data);
	const long long code = calldata_int(cd, "code");
	const char *lastErrorText = calldata_string(cd, "last_error");
	const QString lastError = lastErrorText ? QString::fromUtf8(lastErrorText) : QString();
	OutputFailure failure;
	failure.code = int(code);
	failure.srt = classifyAddress(self->url) == AddressKind::Srt;
	failure.lastError = lastError;
	failure.obsTextId = obsOutputTextId(lastError);
	// A refused connection fails at once; a server that accepts and never answers holds OBS for 30 s.
	failure.waitedLong = int64_t(os_gettime_ns()) - self->startedNs > int64_t(10) * 1000000000;
	// OBS tells a name that does not resolve from a refused connection only in its log: asked again here, on
	// OBS's output thread, before the record is locked.
	if (!self->recording && (code == OBS_OUTPUT_CONNECT_FAILED || (failure.srt && code != OBS_OUTPUT_SUCCESS))) {
		const QByteArray host = QUrl(self->url.trimmed()).host().toUtf8();
		failure.nameUnknown = !host.isEmpty() && !serverNameResolves(host.constData());
	}

	bool dropped = false;
	{
		std::lock_guard<std::mutex> guard(self->lock);
		Record &r = self->record;
		r.attempting = false;
		// A forced stop after a failure (the start timeout) reports success too; the failure stands.
		if (code == OBS_OUTPUT_SUCCESS) {
			self->apply(DestEvent::StoppedCleanly);
			return;
		}
		// Within an outage every failed try counts as one, whatever its code: an SRT caller reports a listener
		// that is not back yet as an invalid stream. A try under way when the destination was stopped does not
		// turn the stop into a failure (a stopped destination never fails).
		const bool outage = r.restarting;
		// A recording that stops with an error could not write its file (a full disk, a folder gone): trying
		// again would only fail the same way.
		if (self->recording) {
			if (self->apply(DestEvent::GaveUp)) {
				r.message = translate("La grabación se detuvo: no se pudo escribir el archivo. %1")
						    .arg(lastError);
			}
			return;
		}
		if (r.stopRequested || r.attempts >= Supervision::maxRestartAttempts ||
		    (!outage && (neverRestarted(code) || !r.connected))) {
			r.restarting = false;
			if (self->apply(DestEvent::GaveUp)) {
				r.message = outputErrorText(failure);
			}
			return;
		}
		if (!self->apply(DestEvent::Dropped)) {
			return;
		}
		if (!r.restarting) {
			r.restarting = true;
			r.connected = false;
			r.outageStartMs = nowMs();
			r.attempts = 0;
			++r.drops;
			dropped = true;
		}
		const int attempt = ++r.attempts;
		const int64_t now = nowMs();
		// The next try begins a fixed time after the previous one began, however long that one took to fail.
		r.nextRestartMs = attempt <= 1 ? now + Supervision::firstRestartDelayMs
					       : std::max(now, r.lastAttemptMs + Supervision::restartDueMs);
	}
	if (dropped) {
		// OBS's last error can hold the address with its query: it never reaches the log unmasked.
		const QByteArray shown = maskAddressQueries(lastError).toUtf8();
		logMessage(LOG_WARNING, "stream dropped by itself (code %d%s%s): restarting it automatically",
			   int(code), shown.isEmpty() ? "" : ", ", shown.constData());
	}
}
