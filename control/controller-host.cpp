// OBS's events: its scene changes, its own stream and recording, scene-collection changes and its close.
#include "control/entry-controller.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <obs.hpp>
#include <util/platform.h>

void EntryController::followObsScene()
{
	if (shuttingDown || changingCollection) {
		return;
	}
	try {
		const QList<EntryConfig> entries = currentEntries();
		for (const EntryConfig &entry : entries) {
			if (!entry.seguirObs || !isStreaming(entry.id)) {
				continue;
			}
			const QString target = resolveSourceName(entry);
			if (target.isEmpty() || target == liveEntry(entry.id)->currentSourceName()) {
				continue;
			}
			const QByteArray name = target.toUtf8();
			if (OBSSourceAutoRelease(obs_get_source_by_name(name.constData()))) {
				logMessage(LOG_INFO, "an entry follows OBS: switching to \"%s\"", name.constData());
				switchEntrySource(entry.id, target);
			} else {
				announce(translate("La escena «%1» no existe en OBS; la entrada sigue con la anterior.")
						 .arg(target),
					 true);
			}
		}
		emit statusChanged();
	} catch (...) {
		logMessage(LOG_WARNING, "unexpected error while following the OBS scene change");
	}
}

void EntryController::followObsStream(bool started)
{
	followObsOutput(started, false);
}

void EntryController::followObsRecording(bool started)
{
	followObsOutput(started, true);
}

void EntryController::followObsOutput(bool started, bool recording)
{
	if (shuttingDown) {
		return;
	}
	try {
		const QList<EntryConfig> entries = currentEntries();
		for (const EntryConfig &entry : entries) {
			const bool follows = recording ? (started ? entry.iniciarConGrabacion : entry.pararConGrabacion)
						       : (started ? entry.iniciarConStream : entry.pararConStream);
			if (!follows) {
				continue;
			}
			logMessage(LOG_INFO, "OBS %s %s: an entry %s with it", started ? "started" : "stopped",
				   recording ? "recording" : "streaming", started ? "starts" : "stops");
			// Every destination starts again, also one stopped by hand while OBS streamed.
			if (started) {
				startEntry(entry.id);
			} else {
				stopEntry(entry.id);
			}
		}
	} catch (...) {
		logMessage(LOG_WARNING, "unexpected error while following OBS's own stream");
	}
}

void EntryController::releaseAllEntries()
{
	emit releasing();
	try {
		// Every output is asked first, so that they all stop in parallel; only then is each entry waited for.
		for (auto &item : liveEntries) {
			if (item.second) {
				item.second->requestStop();
			}
		}
		for (auto &live : retiring) {
			live->requestStop();
		}
		// One wait for all of them together, however many there are.
		const uint64_t deadline = os_gettime_ns() + 5000000000ULL;
		for (auto &item : liveEntries) {
			if (item.second) {
				item.second->stopAndWait(deadline);
			}
		}
		liveEntries.clear();
		for (auto &live : retiring) {
			live->stopAndWait(deadline);
		}
		retiring.clear();
		reportStateChanges();
	} catch (...) {
		logMessage(LOG_WARNING, "could not stop all streams when changing collection");
	}
}

void EntryController::beginCollectionChange()
{
	changingCollection = true;
	releaseAllEntries();
}

void EntryController::reloadCollection()
{
	if (shuttingDown) {
		return;
	}
	changingCollection = false;
	const QString previous = collectionName;
	readCollectionName();
	if (collectionName != previous) {
		++collectionChanges;
	}
	announce(QString(), false);
	changed();
}

void EntryController::followCollectionRename()
{
	if (shuttingDown || changingCollection) {
		return;
	}
	const QString previous = collectionName;
	readCollectionName();
	if (collectionName == previous || previous.isEmpty()) {
		return;
	}
	renamedCollections.insert(previous, collectionName);
	// A name that holds entries already (left by an earlier run) is not overwritten: those stay where they are.
	auto &collections = configStore->collections;
	if (collections.contains(previous) && collections.value(collectionName).isEmpty()) {
		collections[collectionName] = collections.take(previous);
		save();
	}
	logMessage(LOG_INFO, "scene collection renamed: its entries follow it");
	changed();
}

void EntryController::shutdown()
{
	if (shuttingDown) {
		return;
	}
	shuttingDown = true;
	timer.stop();
	releaseAllEntries();
}
