// What the card buttons do: start and stop a destination, switch what a running entry sends, delete an entry.
#include "panel/salidas-panel.hpp"
#include "editor/message-boxes.hpp"
#include "engine/live-entry.hpp"
#include "module/language.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <exception>

void SalidasPanel::saveConfig()
{
	QString message;
	if (!store->save(&message)) {
		showMessage(message +
				    translate(" Los cambios siguen funcionando, pero no se recordarán al cerrar OBS."),
			    true);
	}
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
		const EntryConfig *entry = findEntry(entryId);
		if (!entry) {
			return;
		}
		LiveEntry &live = liveEntryFor(entryId);
		if (DestOutput *running = live.runningDestination(destId)) {
			running->stop();
			showMessage(QString(), false);
			refreshStatus();
			return;
		}
		const DestConfig *dest = nullptr;
		for (const DestConfig &candidate : entry->destinos) {
			if (candidate.id == destId) {
				dest = &candidate;
				break;
			}
		}
		if (!dest) {
			return;
		}
		const QString name = resolveSourceName(*entry);
		const bool exists = !name.isEmpty() &&
				    OBSSourceAutoRelease(obs_get_source_by_name(name.toUtf8().constData()));
		if (!exists) {
			showMessage(translate("«%1» ya no existe en OBS. Cámbiala con «✎ Editar» o bórrala.").arg(name),
				    true);
			return;
		}
		// Copies: starting may show a message, which never changes the list, but the engine keeps no pointer.
		EntryConfig started = *entry;
		started.fuente = name;
		const DestConfig destination = *dest;
		QString error;
		if (live.startDestination(started, destination, &error)) {
			showMessage(QString(), false);
		} else {
			showMessage(translate("No se pudo emitir: %1").arg(error), true);
		}
		refreshStatus();
	} catch (const std::exception &e) {
		showMessage(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al cambiar la emisión."), true);
	}
}

void SalidasPanel::switchEntrySource(const QString &entryId, const QString &name)
{
	try {
		LiveEntry *live = liveEntry(entryId);
		if (!live || name.isEmpty()) {
			return;
		}
		QString error;
		if (EntryPipeline *pipeline = live->pipelineHandle()) {
			if (pipeline->switchSource(name, &error)) {
				return;
			}
		} else {
			error = translate("La entrada no está emitiendo.");
		}
		showMessage(translate("No se pudo cambiar de escena: %1").arg(error), true);
	} catch (...) {
		showMessage(translate("Error inesperado al cambiar de escena."), true);
	}
}

void SalidasPanel::deleteEntry(const QString &entryId)
{
	if (!findEntry(entryId)) {
		return;
	}
	const QString text =
		isStreaming(entryId)
			? translate("Esta entrada está emitiendo ahora mismo. Si la borras, se detendrán sus "
				    "emisiones.\n\n¿Borrarla?")
			: translate("¿Borrar esta entrada y todos sus destinos?");
	if (!confirmAction(this, translate("Borrar entrada"), text, translate("Sí, borrar"))) {
		return;
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
