// OBS's output signals, on OBS's output threads: they only record facts in atomics (and the message under its
// lock); the tick on the UI thread acts on them.
#include "engine/dest-output.hpp"
#include "engine/addresses.hpp"
#include "engine/encoder-settings.hpp"

#include <util/platform.h>

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
	if (self->stopRequested || neverRestarted(code) || (!self->connected && !self->restarting) ||
	    self->attempts >= Supervision::maxRestartAttempts) {
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
	self->nextRestartMs = nowMs() + (attempt <= 1 ? Supervision::firstRestartDelayMs : Supervision::restartDelayMs);
	self->setState(DestState::Reconnecting);
}
