// OBS's scene changes, scene-collection changes and exit.
#include "panel/salidas-panel.hpp"
#include "engine/live-entry.hpp"
#include "module/language.hpp"
#include "module/log.hpp"

#include <obs.hpp>

#include <exception>

void SalidasPanel::followObsScene()
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
				showMessage(
					translate("La escena «%1» no existe en OBS; la entrada sigue con la anterior.")
						.arg(target),
					true);
			}
		}
		refreshStatus();
	} catch (...) {
		logMessage(LOG_WARNING, "unexpected error while following the OBS scene change");
	}
}

void SalidasPanel::stopAllEntries()
{
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
		for (auto &item : liveEntries) {
			if (item.second) {
				item.second->stopAndWait();
			}
		}
		liveEntries.clear();
		for (auto &live : retiring) {
			live->stopAndWait();
		}
		retiring.clear();
		reportStateChanges();
	} catch (...) {
		logMessage(LOG_WARNING, "could not stop all streams when changing collection");
	}
}

void SalidasPanel::followObsStream(bool started)
{
	followObsOutput(started, false);
}

void SalidasPanel::followObsRecording(bool started)
{
	followObsOutput(started, true);
}

void SalidasPanel::followObsOutput(bool started, bool recording)
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

void SalidasPanel::beginCollectionChange()
{
	changingCollection = true;
	stopAllEntries();
}

void SalidasPanel::reloadCollection()
{
	if (shuttingDown) {
		return;
	}
	changingCollection = false;
	readCollectionName();
	showMessage(QString(), false);
	rebuildCards();
}

void SalidasPanel::shutdown()
{
	if (shuttingDown) {
		return;
	}
	shuttingDown = true;
	stopFollowingNames();
	statusTimer.stop();
	destroyPreviewDisplays();
	stopAllEntries();
}
