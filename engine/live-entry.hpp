#pragma once

#include "engine/dest-output.hpp"
#include "engine/entry-pipeline.hpp"

#include <QHash>
#include <QString>

#include <map>
#include <memory>

struct EntryConfig;
struct DestConfig;

// A started entry: its pipeline and one output per destination that streams, connects, reconnects or is ending.
class LiveEntry {
public:
	LiveEntry() = default;
	~LiveEntry();
	LiveEntry(const LiveEntry &) = delete;
	LiveEntry &operator=(const LiveEntry &) = delete;

	// Starts one destination (true also when it already runs); false with the reason, kept as its status.
	bool startDestination(const EntryConfig &entry, const DestConfig &dest, QString *error);
	// A start refused before it reached the engine, kept as the status of a destination that is not running.
	void keepRefusal(const QString &destId, const QString &text);
	// The supervision step, every 500 ms: restarts, rates, timeouts, removal of what has ended.
	void tick();
	DestStatus destinationStatus(const QString &destId) const;
	QString currentSourceName() const;

	// New delay and video encoder settings for a running entry; the rest waits for the next start.
	void applyLiveSettings(const EntryConfig &entry);
	// Asks every destination to stop; returns at once.
	void requestStop();
	// Stops everything, waits until the outputs have ended or until the deadline (os_gettime_ns; 0: 5 s from now)
	// and releases it all.
	void stopAndWait(uint64_t deadlineNs = 0);

	bool isRunning() const { return !running.empty(); }
	EntryPipeline *pipelineHandle() const { return pipeline.get(); }
	// The destination while it streams, connects, reconnects or is ending; none once it is over.
	DestOutput *runningDestination(const QString &destId) const;
	size_t runningCount() const { return running.size(); }

private:
	bool reportStartFailure(const QString &destId, const QString &text, QString *error);
	void closePipeline();

	// Shared with outputs still being ended elsewhere: the last one to let go closes it.
	std::shared_ptr<EntryPipeline> pipeline;
	int loggedLateMarginMs = 0;
	std::map<QString, std::unique_ptr<DestOutput>> running;
	QHash<QString, DestStatus> ended;
};
