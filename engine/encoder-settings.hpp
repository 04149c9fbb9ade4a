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

// The user message for an output's stop code, with OBS's last error text appended when there is one.
QString outputErrorText(int code, const QString &lastError);

// The audio delay in sample frames: the delay clamped to 0..1000 ms, at the given sample rate.
int32_t delayFramesFor(int delayMs, uint32_t sampleRate);
