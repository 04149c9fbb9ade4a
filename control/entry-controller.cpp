// The controller's life, its lookups, and the supervision loop with its announcements.
#include "control/entry-controller.hpp"
#include "control/entry-hotkeys.hpp"
#include "control/obs-names.hpp"
#include "control/status-text.hpp"
#include "engine/addresses.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <exception>

EntryController::EntryController(ConfigStore *store, QObject *parent) : QObject(parent), configStore(store)
{
	hotkeys = std::make_unique<EntryHotkeys>(this);
	EntryPipeline::setObsEncoderLookup(obsOwnEncoders);
	// Loading may already have written the file, with keys it could not protect.
	reportKeyProtection();
	readCollectionName();
	hotkeys->sync(currentEntries());
	timer.setInterval(500);
	connect(&timer, &QTimer::timeout, this, &EntryController::tick);
	timer.start();
	renameSignal.Connect(obs_get_signal_handler(), "source_rename", &EntryController::onSourceRename, this);
}

void EntryController::onSourceRename(void *data, calldata_t *cd)
{
	const char *previous = calldata_string(cd, "prev_name");
	const char *renamed = calldata_string(cd, "new_name");
	if (!previous || !renamed) {
		return;
	}
	// Any thread may rename a source (obs-websocket, a script): the entries change on the UI thread.
	auto *self = static_cast<EntryController *>(data);
	QMetaObject::invokeMethod(
		self,
		[self, before = QString::fromUtf8(previous), after = QString::fromUtf8(renamed)] {
			self->followRename(before, after);
		},
		Qt::QueuedConnection);
}

void EntryController::followRename(const QString &previous, const QString &renamed)
{
	if (shuttingDown || previous == renamed) {
		return;
	}
	bool any = false;
	for (EntryConfig &entry : currentEntries()) {
		if (entry.fuente == previous) {
			entry.fuente = renamed;
			any = true;
		}
		QMap<QString, QString> equivalences;
		for (auto it = entry.equivalencias.constBegin(); it != entry.equivalencias.constEnd(); ++it) {
			const QString key = it.key() == previous ? renamed : it.key();
			const QString value = it.value() == previous ? renamed : it.value();
			any = any || key != it.key() || value != it.value();
			equivalences.insert(key, value);
		}
		entry.equivalencias = equivalences;
	}
	if (any) {
		save();
		changed();
	}
}

EntryController::~EntryController()
{
	// First: a hotkey may be calling in from OBS's hotkey thread until this returns, and a rename from any.
	renameSignal.Disconnect();
	hotkeys.reset();
	timer.stop();
	// Every entry stops and waits for its outputs, and closes its preview display with its pipeline.
	liveEntries.clear();
	retiring.clear();
}

void EntryController::readCollectionName()
{
	// On its first run OBS 31 and later have no collection until they have finished loading, and asking for the
	// current one before that logs an error.
	char **names = obs_frontend_get_scene_collections();
	const bool any = names && names[0];
	bfree(names);
	collectionName.clear();
	if (char *name = any ? obs_frontend_get_current_scene_collection() : nullptr) {
		collectionName = QString::fromUtf8(name);
		bfree(name);
	}
}

QList<EntryConfig> &EntryController::currentEntries()
{
	return configStore->collections[collectionName];
}

EntryConfig *EntryController::findEntry(const QString &entryId)
{
	for (EntryConfig &entry : currentEntries()) {
		if (entry.id == entryId) {
			return &entry;
		}
	}
	return nullptr;
}

LiveEntry &EntryController::liveEntryFor(const QString &entryId)
{
	std::unique_ptr<LiveEntry> &live = liveEntries[entryId];
	if (!live) {
		live = std::make_unique<LiveEntry>();
	}
	return *live;
}

LiveEntry *EntryController::liveEntry(const QString &entryId) const
{
	auto it = liveEntries.find(entryId);
	return it == liveEntries.end() ? nullptr : it->second.get();
}

bool EntryController::isStreaming(const QString &entryId) const
{
	const LiveEntry *live = liveEntry(entryId);
	return live && live->isRunning();
}

bool EntryController::anyStreaming() const
{
	for (const auto &item : liveEntries) {
		if (item.second && item.second->isRunning()) {
			return true;
		}
	}
	return false;
}

std::vector<EntryPipeline *> EntryController::pipelines() const
{
	std::vector<EntryPipeline *> found;
	for (const auto &item : liveEntries) {
		if (item.second && item.second->pipelineHandle()) {
			found.push_back(item.second->pipelineHandle());
		}
	}
	for (const auto &live : retiring) {
		if (live->pipelineHandle()) {
			found.push_back(live->pipelineHandle());
		}
	}
	return found;
}

QString EntryController::resolveSourceName(const EntryConfig &entry) const
{
	if (!entry.seguirObs) {
		return entry.fuente;
	}
	QString live;
	{
		OBSSourceAutoRelease scene = obs_frontend_get_current_scene();
		const char *name = scene ? obs_source_get_name(scene) : nullptr;
		live = name ? QString::fromUtf8(name) : QString();
	}
	if (live.isEmpty()) {
		return QString();
	}
	auto match = entry.equivalencias.constFind(live);
	return match != entry.equivalencias.constEnd() ? match.value() : live;
}

QString EntryController::entryTitle(const EntryConfig &entry)
{
	if (!entry.nombre.isEmpty()) {
		return entry.nombre;
	}
	if (entry.programaObs) {
		return translate("📺 Programa de OBS");
	}
	return entry.seguirObs ? translate("↪ Sigue la escena de OBS") : entry.fuente;
}

void EntryController::setStateListener(std::function<void(const DestStateChange &)> listener)
{
	stateListener = std::move(listener);
}

void EntryController::announce(const QString &text, bool isError)
{
	// Keys pasted into an address, user names, passwords and queries are never shown or logged.
	const QString masked = maskAddressQueries(text);
	if (isError && !masked.isEmpty()) {
		logMessage(LOG_WARNING, "%s", masked.toUtf8().constData());
	}
	emit announced(masked, isError);
}

void EntryController::changed()
{
	if (hotkeys) {
		hotkeys->sync(currentEntries());
	}
	emit entriesChanged();
}

void EntryController::tick()
{
	if (shuttingDown) {
		return;
	}
	try {
		++tickCount;
		for (auto &item : liveEntries) {
			if (item.second) {
				item.second->tick();
			}
		}
		if (tickCount % 2 == 0) {
			for (auto &item : liveEntries) {
				if (item.second && item.second->pipelineHandle()) {
					item.second->pipelineHandle()->audioTrack().refreshSources();
				}
			}
		}
		// Deleted entries are released once their outputs have ended in the background.
		for (auto it = retiring.begin(); it != retiring.end();) {
			(*it)->tick();
			if ((*it)->isRunning()) {
				++it;
			} else {
				it = retiring.erase(it);
			}
		}
		reportStateChanges();
		emit statusChanged();
	} catch (const std::exception &e) {
		announce(translate("Error al actualizar el panel: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		announce(translate("Error inesperado al actualizar el panel."), true);
	}
}

void EntryController::reportStateChanges()
{
	// Only the current collection's destinations are kept: one seen again later starts over from Idle. A copy of
	// the list: a listener never changes it, but the loop must not depend on that.
	QMap<QString, DestState> seen;
	const QList<EntryConfig> entries = currentEntries();
	for (const EntryConfig &entry : entries) {
		const LiveEntry *live = liveEntry(entry.id);
		for (const DestConfig &dest : entry.destinos) {
			const DestStatus status = live ? live->destinationStatus(dest.id) : DestStatus();
			const DestState previous = reportedStates.value(dest.id, DestState::Idle);
			seen.insert(dest.id, status.state);
			if (previous == status.state) {
				continue;
			}
			const QString label = destinationLabel(entry, dest.url);
			const TransitionMessage message = transitionMessage(previous, status, label);
			if (!message.text.isEmpty()) {
				announce(message.text, message.isError);
			}
			if (message.recovered) {
				logMessage(LOG_INFO, "%s recovered after %d s",
					   maskAddressQueries(label).toUtf8().constData(), status.lastOutageSeconds);
			}
			if (stateListener) {
				stateListener(DestStateChange{entry.id, dest.id, previous, status});
			}
		}
	}
	reportedStates = seen;
}
