#pragma once

#include <QString>

#include <cstdint>

struct obs_data;
typedef struct obs_data obs_data_t;
struct EntryConfig;

// The entry's video encoder settings: the encoder's defaults, then the advanced settings or the engine's
// defaults, then the bitrate. A new object the caller releases.
obs_data_t *buildVideoEncoderSettings(const QString &encoderId, int videoKbps, const QString &advancedJson);

// buildVideoEncoderSettings for an entry, with "repeat_headers" when any destination is SRT (a receiver that
// joins late needs the headers again).
obs_data_t *buildEntryVideoSettings(const EntryConfig &entry);

// The registered OBS audio encoder for an entry's audio codec text ("", "aac", "opus" or an encoder id), or empty.
QString resolveAudioEncoderId(const QString &codec);

// What a failed stream tells about its cause: OBS's stop code and last error, and what the plug-in checked itself.
struct OutputFailure {
	int code = 0;
	bool srt = false;
	QString lastError;
	// Which of OBS's RTMP output texts the last error is ("HostNotFound", "SSLCertVerifyFailed"…); empty if none.
	QString obsTextId;
	// The server's name does not resolve on this computer.
	bool nameUnknown = false;
	// The try failed only after waiting many seconds: the server never answered.
	bool waitedLong = false;
};
enum class FailureCause { Other, KeyRefused, NameNotFound, ConnectionRefused, NoAnswer, Certificate, SrtRefused };
FailureCause failureCause(const OutputFailure &failure);
// The user message for a failure: what went wrong in plain words and what to check; for a cause it cannot name,
// the stop code's text with OBS's last error after it.
QString outputErrorText(const OutputFailure &failure);
QString failureCauseText(FailureCause cause);
// Which of the RTMP output's own texts OBS's last error is, in OBS's language; empty when it is none of them.
QString obsOutputTextId(const QString &lastError);

// The audio delay in sample frames: the delay clamped to 0..1000 ms, at the given sample rate.
int32_t delayFramesFor(int delayMs, uint32_t sampleRate);
