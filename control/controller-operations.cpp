// Starting, stopping and switching: what the dock's buttons, the hotkeys, the remote requests and OBS's own stream
// ask of the entries.
#include "control/entry-controller.hpp"
#include "control/obs-names.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"

#include <obs.hpp>

#include <QStringList>

#include <exception>

bool EntryController::refuse(const QString &text, QString *error)
{
	announce(text, true);
	if (error) {
		*error = text;
	}
	return false;
}

void EntryController::toggleDestination(const QString &entryId, const QString &destId)
{
	try {
		if (!findEntry(entryId)) {
			return;
		}
		if (liveEntryFor(entryId).runningDestination(destId)) {
			stopDestination(entryId, destId);
		} else {
			startDestination(entryId, destId);
		}
	} catch (const std::exception &e) {
		announce(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		announce(translate("Error inesperado al cambiar la emisión."), true);
	}
}

bool EntryController::startDestination(const QString &entryId, const QString &destId, QString *error)
{
	try {
		// Nothing may start once the streams are being stopped for good: nothing would be left to stop it.
		if (shuttingDown) {
			return refuse(translate("OBS se está cerrando."), error);
		}
		// OBS is clearing the collection's sources and checks that nobody keeps one.
		if (changingCollection) {
			return refuse(translate("OBS está cambiando de colección de escenas."), error);
		}
		const EntryConfig *entry = findEntry(entryId);
		if (!entry) {
			if (error) {
				*error = translate("No hay ninguna entrada «%1» en esta colección.").arg(entryId);
			}
			return false;
		}
		if (isBeingEdited(entryId)) {
			const QString text = translate("«%1» se está editando. Cierra su ventana de edición y vuelve a "
						       "intentarlo.")
						     .arg(entryTitle(*entry));
			// On its card too: the message line is the next start's.
			liveEntryFor(entryId).keepRefusal(destId, text);
			return refuse(text, error);
		}
		// A copy: starting may announce, which never changes the list, but the engine keeps no pointer.
		const bool ok = startChecked(EntryConfig(*entry), destId, error);
		reportStateChanges();
		emit statusChanged();
		return ok;
	} catch (const std::exception &e) {
		return refuse(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), error);
	} catch (...) {
		return refuse(translate("Error inesperado al cambiar la emisión."), error);
	}
}

bool EntryController::startChecked(const EntryConfig &entry, const QString &destId, QString *error)
{
	LiveEntry &live = liveEntryFor(entry.id);
	if (live.runningDestination(destId)) {
		return true;
	}
	const DestConfig *dest = nullptr;
	for (const DestConfig &candidate : entry.destinos) {
		if (candidate.id == destId) {
			dest = &candidate;
			break;
		}
	}
	if (!dest) {
		if (error) {
			*error = translate("La entrada no tiene ningún destino «%1».").arg(destId);
		}
		return false;
	}
	EntryConfig started = entry;
	if (entry.programaObs) {
		if (started.pistaAudio < 1) {
			started.pistaAudio = obsStreamTrack();
		}
	} else {
		const QString name = resolveSourceName(entry);
		const bool exists = !name.isEmpty() &&
				    OBSSourceAutoRelease(obs_get_source_by_name(name.toUtf8().constData()));
		if (!exists) {
			const QString text =
				translate("«%1» ya no existe en OBS. Cámbiala con «✎ Editar» o bórrala.").arg(name);
			live.keepRefusal(destId, text);
			return refuse(text, error);
		}
		started.fuente = name;
	}
	DestConfig destination = *dest;
	if (destination.grabacion && destination.carpeta.trimmed().isEmpty()) {
		destination.carpeta = obsRecordingFolder();
	}
	QString failure;
	if (!live.startDestination(started, destination, &failure)) {
		return refuse(translate("No se pudo emitir: %1").arg(failure), error);
	}
	announce(QString(), false);
	return true;
}

void EntryController::stopDestination(const QString &entryId, const QString &destId)
{
	LiveEntry *live = liveEntry(entryId);
	DestOutput *running = live ? live->runningDestination(destId) : nullptr;
	if (!running) {
		return;
	}
	running->stop();
	announce(QString(), false);
	reportStateChanges();
	emit statusChanged();
}

bool EntryController::startEntry(const QString &entryId, QString *error)
{
	const EntryConfig *entry = findEntry(entryId);
	if (!entry) {
		if (error) {
			*error = translate("No hay ninguna entrada «%1» en esta colección.").arg(entryId);
		}
		return false;
	}
	if (entry->destinos.isEmpty()) {
		return refuse(translate("Sin destinos. Pulsa «✎ Editar» para añadir uno."), error);
	}
	// Ids first: the list is only read, but every start runs engine code.
	QStringList destIds;
	for (const DestConfig &dest : entry->destinos) {
		destIds.append(dest.id);
	}
	bool all = true;
	for (const QString &destId : destIds) {
		QString failure;
		if (!startDestination(entryId, destId, &failure)) {
			if (all && error) {
				*error = failure;
			}
			all = false;
		}
	}
	return all;
}

void EntryController::stopEntry(const QString &entryId)
{
	if (LiveEntry *live = liveEntry(entryId)) {
		live->requestStop();
		announce(QString(), false);
		reportStateChanges();
		emit statusChanged();
	}
}

void EntryController::startEveryEntry()
{
	QStringList ids;
	// An entry with nowhere to send is not a failure of "start all".
	for (const EntryConfig &entry : currentEntries()) {
		if (!entry.destinos.isEmpty()) {
			ids.append(entry.id);
		}
	}
	for (const QString &id : ids) {
		startEntry(id);
	}
}

void EntryController::stopEveryEntry()
{
	for (auto &item : liveEntries) {
		if (item.second) {
			item.second->requestStop();
		}
	}
	announce(QString(), false);
	reportStateChanges();
	emit statusChanged();
}

bool EntryController::switchEntrySource(const QString &entryId, const QString &name, QString *error)
{
	const QString notStreaming =
		translate("No se pudo cambiar de escena: %1").arg(translate("La entrada no está emitiendo."));
	try {
		LiveEntry *live = changingCollection ? nullptr : liveEntry(entryId);
		if (!live || name.isEmpty()) {
			if (error) {
				*error = notStreaming;
			}
			return false;
		}
		EntryPipeline *pipeline = live->pipelineHandle();
		if (!pipeline) {
			return refuse(notStreaming, error);
		}
		QString reason;
		if (pipeline->switchSource(name, &reason)) {
			return true;
		}
		return refuse(translate("No se pudo cambiar de escena: %1").arg(reason), error);
	} catch (...) {
		return refuse(translate("Error inesperado al cambiar de escena."), error);
	}
}
