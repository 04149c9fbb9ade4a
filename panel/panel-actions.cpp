// What the card buttons do: start and stop a destination, switch what a running entry sends, delete an entry.
#include "panel/salidas-panel.hpp"
#include "editor/obs-names.hpp"
#include "editor/message-boxes.hpp"
#include "engine/live-entry.hpp"
#include "module/language.hpp"
#include "module/log.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <QLabel>

#include <exception>

void SalidasPanel::saveConfig()
{
	QString message;
	if (!store->save(&message)) {
		showMessage(message +
				    translate(" Los cambios siguen funcionando, pero no se recordarán al cerrar OBS."),
			    true);
		return;
	}
	reportKeyProtection();
}

void SalidasPanel::reportKeyProtection()
{
	const ProtectionProblem &problem = store->keysInClear;
	if (!problem.failed()) {
		// Protected again: the warning no longer holds.
		keysBar->hide();
		return;
	}
	// Saving goes on (losing the keys would be worse), but never silently; once per run is enough.
	if (keysWarned) {
		return;
	}
	keysWarned = true;
	const QString reason = protectionReason(problem);
	keysLabel->setText(
		problem.keyFile.isEmpty()
			? translate(
				  "⚠ Las claves de emisión no se pudieron proteger y se guardan legibles en el archivo "
				  "de configuración: %1.")
				  .arg(reason)
			: translate(
				  "⚠ Las claves de emisión no se pudieron proteger y se guardan legibles en el archivo "
				  "de configuración: %1. Archivo de claves: «%2».")
				  .arg(reason, problem.keyFile));
	keysBar->show();
	logMessage(LOG_WARNING, "stream keys could not be protected (%s; key file: %s): they are stored readable",
		   protectionReason(problem, true).toUtf8().constData(),
		   problem.keyFile.isEmpty() ? "none" : problem.keyFile.toUtf8().constData());
}

QString SalidasPanel::resolveSourceName(const EntryConfig &entry) const
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

void SalidasPanel::toggleDestination(const QString &entryId, const QString &destId)
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
		showMessage(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al cambiar la emisión."), true);
	}
}

bool SalidasPanel::startDestination(const QString &entryId, const QString &destId, QString *error)
{
	const auto refuse = [&](const QString &text) {
		showMessage(text, true);
		if (error) {
			*error = text;
		}
		return false;
	};
	try {
		// Nothing may start once the streams are being stopped for good: no card would be left to stop it.
		if (shuttingDown) {
			return refuse(translate("OBS se está cerrando."));
		}
		// OBS is clearing the collection's sources and checks that nobody keeps one.
		if (changingCollection) {
			return refuse(translate("OBS está cambiando de colección de escenas."));
		}
		const EntryConfig *entry = findEntry(entryId);
		if (!entry) {
			if (error) {
				*error = translate("No hay ninguna entrada «%1» en esta colección.").arg(entryId);
			}
			return false;
		}
		if (isBeingEdited(entryId)) {
			return refuse(translate("«%1» se está editando. Cierra su ventana de edición y vuelve a "
						"intentarlo.")
					      .arg(entryTitle(*entry)));
		}
		LiveEntry &live = liveEntryFor(entryId);
		if (live.runningDestination(destId)) {
			return true;
		}
		const DestConfig *dest = nullptr;
		for (const DestConfig &candidate : entry->destinos) {
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
		const QString name = resolveSourceName(*entry);
		const bool exists = !name.isEmpty() &&
				    OBSSourceAutoRelease(obs_get_source_by_name(name.toUtf8().constData()));
		if (!exists) {
			return refuse(
				translate("«%1» ya no existe en OBS. Cámbiala con «✎ Editar» o bórrala.").arg(name));
		}
		// Copies: starting may show a message, which never changes the list, but the engine keeps no pointer.
		EntryConfig started = *entry;
		started.fuente = name;
		DestConfig destination = *dest;
		if (destination.grabacion && destination.carpeta.trimmed().isEmpty()) {
			destination.carpeta = obsRecordingFolder();
		}
		QString failure;
		const bool ok = live.startDestination(started, destination, &failure);
		if (ok) {
			showMessage(QString(), false);
		} else {
			refuse(translate("No se pudo emitir: %1").arg(failure));
		}
		refreshStatus();
		reportStateChanges();
		return ok;
	} catch (const std::exception &e) {
		return refuse(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())));
	} catch (...) {
		return refuse(translate("Error inesperado al cambiar la emisión."));
	}
}

void SalidasPanel::stopDestination(const QString &entryId, const QString &destId)
{
	LiveEntry *live = liveEntry(entryId);
	DestOutput *running = live ? live->runningDestination(destId) : nullptr;
	if (!running) {
		return;
	}
	running->stop();
	showMessage(QString(), false);
	refreshStatus();
	reportStateChanges();
}

bool SalidasPanel::startEntry(const QString &entryId, QString *error)
{
	const EntryConfig *entry = findEntry(entryId);
	if (!entry) {
		if (error) {
			*error = translate("No hay ninguna entrada «%1» en esta colección.").arg(entryId);
		}
		return false;
	}
	if (entry->destinos.isEmpty()) {
		const QString text = translate("Sin destinos. Pulsa «✎ Editar» para añadir uno.");
		showMessage(text, true);
		if (error) {
			*error = text;
		}
		return false;
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

void SalidasPanel::stopEntry(const QString &entryId)
{
	if (LiveEntry *live = liveEntry(entryId)) {
		live->requestStop();
		showMessage(QString(), false);
		refreshStatus();
		reportStateChanges();
	}
}

void SalidasPanel::startEveryEntry()
{
	QStringList ids;
	for (const EntryConfig &entry : currentEntries()) {
		ids.append(entry.id);
	}
	for (const QString &id : ids) {
		startEntry(id);
	}
}

void SalidasPanel::stopEveryEntry()
{
	for (auto &item : liveEntries) {
		if (item.second) {
			item.second->requestStop();
		}
	}
	showMessage(QString(), false);
	refreshStatus();
	reportStateChanges();
}

bool SalidasPanel::switchEntrySource(const QString &entryId, const QString &name, QString *error)
{
	QString failure;
	try {
		LiveEntry *live = changingCollection ? nullptr : liveEntry(entryId);
		if (!live || name.isEmpty()) {
			if (error) {
				*error = translate("No se pudo cambiar de escena: %1")
						 .arg(translate("La entrada no está emitiendo."));
			}
			return false;
		}
		if (EntryPipeline *pipeline = live->pipelineHandle()) {
			QString reason;
			if (pipeline->switchSource(name, &reason)) {
				return true;
			}
			failure = translate("No se pudo cambiar de escena: %1").arg(reason);
			showMessage(failure, true);
		} else {
			failure = translate("No se pudo cambiar de escena: %1")
					  .arg(translate("La entrada no está emitiendo."));
			showMessage(failure, true);
		}
	} catch (...) {
		failure = translate("Error inesperado al cambiar de escena.");
		showMessage(failure, true);
	}
	if (error) {
		*error = failure;
	}
	return false;
}

void SalidasPanel::deleteEntry(const QString &entryId)
{
	if (!findEntry(entryId)) {
		return;
	}
	// The box runs an event loop: a hotkey, a request or OBS's own stream may start or stop the entry meanwhile,
	// and the user must have confirmed what is true now.
	for (;;) {
		const bool streaming = isStreaming(entryId);
		const QString text =
			streaming ? translate("Esta entrada está emitiendo ahora mismo. Si la borras, se detendrán sus "
					      "emisiones.\n\n¿Borrarla?")
				  : translate("¿Borrar esta entrada y todos sus destinos?");
		if (!confirmAction(this, translate("Borrar entrada"), text, translate("Sí, borrar")) ||
		    !findEntry(entryId)) {
			return;
		}
		if (isStreaming(entryId) == streaming) {
			break;
		}
	}
	auto it = liveEntries.find(entryId);
	if (it != liveEntries.end()) {
		if (it->second) {
			// Outputs end in the background; the loop releases the entry once they have.
			it->second->requestStop();
			retiring.push_back(std::move(it->second));
		}
		liveEntries.erase(it);
	}
	QList<EntryConfig> &entries = currentEntries();
	for (int i = 0; i < entries.size(); ++i) {
		if (entries[i].id == entryId) {
			entries.removeAt(i);
			break;
		}
	}
	saveConfig();
	rebuildCards();
}
