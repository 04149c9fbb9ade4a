#pragma once

#include <obs.h>
#include <obs.hpp>

#include <QString>

#include <cstdint>
#include <optional>
#include <memory>
#include <vector>
#include <atomic>
#include <mutex>

class EntryPipeline;
struct DestConfig;

enum class DestState { Idle = 0, Connecting = 1, Live = 2, Reconnecting = 3, Failed = 4 };

// A destination as the panel sees it.
struct DestStatus {
	DestState state = DestState::Idle;
	QString message;
	int attempts = 0;
	int outageSeconds = 0;
	int lastOutageSeconds = -1;
	int drops = 0;
	int kbps = -1;
	int framesDropped = 0;
	// Seconds since it went live this time; -1 when it is not live.
	int liveSeconds = -1;
	// OBS's output congestion, 0 (none) to 1 (the link cannot keep up), smoothed as OBS's status bar does.
	float congestion = 0;
	// Bytes sent, or written to a recording's file.
	uint64_t bytes = 0;
	// Seconds a live stream has sent nothing (the server stopped reading, or nothing is encoded); 0 while it sends.
	int silentSeconds = 0;
	bool recording = false;
	// The file a recording writes.
	QString file;
};

// How a destination's congestion is shown: as OBS's status bar colours it, green, yellow or red.
enum class CongestionLevel { Green, Yellow, Red };
CongestionLevel congestionLevel(float congestion);

// What happens to a destination, from the UI thread or from OBS's output threads.
enum class DestEvent {
	Starting,       // its output is handed to OBS
	StartFailed,    // it could not be started
	Started,        // OBS's "start": it streams
	Reconnecting,   // OBS's own reconnection tries again
	Reconnected,    // OBS's own reconnection succeeded
	StoppedCleanly, // OBS's "stop" with code 0
	Dropped,        // stopped with an error the engine restarts after
	GaveUp,         // stopped with an error it does not restart after, out of tries, or never answered
	StopRequested,  // the user, a hotkey or a remote request stopped it
};
// The state a destination is in after an event, or none when the event does not apply in the state it is in: a
// destination that was stopped never fails or goes live afterwards, and one that failed is only ever stopped.
std::optional<DestState> nextState(DestState from, DestEvent event);

// Limits of the supervision.
namespace Supervision {
constexpr int64_t tickMs = 500;
constexpr int64_t firstRestartDelayMs = 1500;
// While a destination is down, each try begins at most this long after the previous one began: it is due a tick
// early, so that waiting for the panel's tick never stretches the gap.
constexpr int64_t restartDelayMs = 5000;
constexpr int64_t restartDueMs = restartDelayMs - tickMs;
constexpr int64_t activeRetryMs = 500;
// Tries go on for at least this long before the destination fails for good.
constexpr int64_t giveUpAfterMs = 30LL * 60 * 1000;
constexpr int maxRestartAttempts = 1 + int((giveUpAfterMs - firstRestartDelayMs + restartDueMs - 1) / restartDueMs);
constexpr int64_t startTimeoutNs = 40LL * 1000000000LL;
constexpr int64_t inactiveGraceNs = 3LL * 1000000000LL;
// A live stream that has sent nothing this long is shown as such.
constexpr int silentWarningSeconds = 10;
// OBS's own reconnection waits about half as long again after each failed try, whatever it is set to (5 s,
// 7.4 s, 11 s... 79 s by the eighth), so it is off and the engine makes every try itself.
constexpr int obsReconnectRetries = 0;
constexpr int obsReconnectSeconds = 0;
} // namespace Supervision

// One running destination: its own service, output and audio encoder on the entry's shared video encoder.
// OBS's output threads record what happens in its record; the UI thread's tick acts on it.
class DestOutput {
public:
	explicit DestOutput(const DestConfig &dest);
	~DestOutput();
	DestOutput(const DestOutput &) = delete;
	DestOutput &operator=(const DestOutput &) = delete;

	// Builds and starts the output on the entry's pipeline (kept until the output is released); false with the
	// message (also stored as Failed) otherwise.
	bool start(const std::shared_ptr<EntryPipeline> &pipeline, int audioKbps, const QString &audioCodec,
		   QString *error);
	// Asks the destination to stop; returns at once. One that is not sending yet (connecting, or waiting to try
	// again) is stopped at once: its output is handed over to be ended and released on another thread.
	void stop();
	// Marks a destination that is under way Failed with the message. Safe from any thread.
	void fail(const QString &text);
	// The automatic restart step of the tick.
	void checkRestart();
	// Sending rate and dropped frames, sampled once per tick.
	void sample();
	// Ends a start that never confirmed.
	void checkStartTimeout();
	// Whether the output has ended for good (the tick removes it then).
	bool hasEnded();
	// Stopped or failed with nothing left sending: what remains only waits for the tick to remove it.
	bool isOver() const;
	DestStatus status() const;
	// The status kept once the destination has been removed: state and message only.
	DestStatus endedStatus() const;

	const QString &id() const { return destId; }
	obs_output_t *outputHandle() const { return output.Get(); }
	DestState state() const;
	QString message() const;

	// OBS's output signals, run on OBS's output threads; data is the DestOutput.
	static void onStart(void *data, calldata_t *cd);
	static void onStop(void *data, calldata_t *cd);
	static void onReconnect(void *data, calldata_t *cd);
	static void onReconnectSuccess(void *data, calldata_t *cd);

private:
	// Everything both threads know of the destination, kept together under one lock so that it never disagrees:
	// each change is one event, checked against the state it finds.
	struct Record {
		DestState state = DestState::Idle;
		QString message;
		int attempts = 0;
		int lastOutageSeconds = -1;
		int drops = 0;
		int64_t outageStartMs = 0;
		int kbps = -1;
		int framesDropped = 0;
		int64_t liveSinceMs = 0;
		float congestion = 0;
		uint64_t bytes = 0;
		int silentSeconds = 0;
		bool stopRequested = false;
		bool connected = false;
		bool restarting = false;
		int64_t nextRestartMs = 0;
		int64_t lastAttemptMs = 0;
		// obs_output_start was accepted and neither "start" nor "stop" has come yet: OBS may be connecting.
		bool attempting = false;
		// The file a recording writes, its name held from before the muxer starts until the output goes.
		QString file;
	};

	bool failStart(const QString &text, QString *error);
	// obs_output_start, noting the threads it made: the attempt's own connection is found through them.
	bool startAttempt();
	// Applies the event under the lock; false (nothing changed) when it does not apply in the current state.
	bool apply(DestEvent event);
	static int outageSeconds(const Record &r);
	// Lets go of the output, its encoder and service (and the pipeline): at once when the output has stopped,
	// otherwise handed over to be ended and released away from this thread.
	void retire();

	bool createOutput(QString *error);
	bool createRecordingOutput(QString *error);

	const QString destId;
	const QString url;
	const QString clave;
	const QString contrasena;
	const bool recording;
	const QString folder;
	const QString namePattern;
	const QString format;

	std::shared_ptr<EntryPipeline> pipeline;
	OBSServiceAutoRelease service;
	OBSOutputAutoRelease output;
	OBSEncoderAutoRelease audioEncoder;
	OBSSignal startSignal;
	OBSSignal stopSignal;
	OBSSignal reconnectSignal;
	OBSSignal reconnectSuccessSignal;
	bool signalsConnected = false;

	uint64_t lastBytes = 0;
	float lastCongestion = 0;
	int64_t lastSampleMs = 0;
	int64_t lastSentMs = 0;            // when the bytes sent last grew while live
	std::atomic<int64_t> startedNs{0}; // also read by the stop signal, on OBS's thread
	std::vector<long> attemptThreads;
	int64_t inactiveSinceNs = 0;

	mutable std::mutex lock;
	Record record;
};
