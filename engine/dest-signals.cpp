// OBS's output signals, on OBS's output threads: they only record facts in atomics (and the message under its
// lock); the tick on the UI thread acts on them.
#include "engine/dest-output.hpp"
#include "engine/addresses.hpp"
#include "engine/encoder-settings.hpp"

#include <util/platform.h>

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
	self->attempting = false;
	if (self->stopRequested) {
		// A try that was under way when the destination was stopped: the tick stops the output.
		return;
	}
	self->connected = true;
	if (self->restarting.exchange(false)) {
		const int outage = self->currentOutageSeconds();
		self->lastOutageSeconds = outage;
		self->outageStartMs = 0;
		blog(LOG_INFO, "[tallowmere] stream recovered automatically after %d s", outage);
	}
	self->setState(DestState::Live);
}

void DestOutput::onReconnect(void *data, calldata_t *)
{
	auto *self = static_cast<DestOutput *>(data);
	int64_t none = 0;
	if (self->outageStartMs.compare_exchange_strong(none, nowMs())) {
		self->attempts = 0;
		++self->drops;
	}
	++self->attempts;
	self->setState(DestState::Reconnecting);
}

void DestOutput::onReconnectSuccess(void *data, calldata_t *)
{
	auto *self = static_cast<DestOutput *>(data);
	self->lastOutageSeconds = self->currentOutageSeconds();
	self->outageStartMs = 0;
	self->setState(DestState::Live);
}

void DestOutput::onStop(void *data, calldata_t *cd)
{
	auto *self = static_cast<DestOutput *>(data);
	const long long code = calldata_int(cd, "code");
	const char *lastErrorText = calldata_string(cd, "last_error");
	const QString lastError = lastErrorText ? QString::fromUtf8(lastErrorText) : QString();

	if (code == OBS_OUTPUT_SUCCESS) {
		// A forced stop after a failure (the start timeout) reports success too; the failure stands.
		if (self->state() != DestState::Failed) {
			self->setState(DestState::Idle);
		}
		return;
	}
	self->attempting = false;
	// A try under way when the destination was stopped does not turn the stop into a failure.
	if (self->stopRequested && self->state() == DestState::Idle) {
		return;
	}
	// Within an outage every failed try counts as one, whatever its code: an SRT caller reports a listener that
	// is not back yet as an invalid stream.
	const bool outage = self->restarting;
	if (self->stopRequested || self->attempts >= Supervision::maxRestartAttempts ||
	    (!outage && (neverRestarted(code) || !self->connected))) {
		self->restarting = false;
		self->fail(outputErrorText(int(code), lastError));
		return;
	}
	if (!self->restarting.exchange(true)) {
		self->connected = false;
		self->outageStartMs = nowMs();
		self->attempts = 0;
		++self->drops;
		// OBS's last error can hold the address with its query: it never reaches the log unmasked.
		const QByteArray shown = maskAddressQueries(lastError).toUtf8();
		blog(LOG_WARNING, "[tallowmere] stream dropped by itself (code %d%s%s): restarting it automatically",
		     int(code), shown.isEmpty() ? "" : ", ", shown.constData());
	}
	const int attempt = ++self->attempts;
	const int64_t now = nowMs();
	// The next try begins a fixed time after the previous one began, however long that one took to fail.
	self->nextRestartMs = attempt <= 1 ? now + Supervision::firstRestartDelayMs
					   : std::max(now, self->lastAttemptMs.load() + Supervision::restartDueMs);
	self->setState(DestState::Reconnecting);
}
