// Changes to the entries: added, edited (also while they stream), deleted; profiles; writing the settings file.
#include "control/entry-controller.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <algorithm>
#include <exception>

bool EntryController::save()
{
	QString message;
	if (!configStore->save(&message)) {
		announce(message + translate(" Los cambios siguen funcionando, pero no se recordarán al cerrar OBS."),
			 true);
		return false;
	}
	reportKeyProtection();
	return true;
}

void EntryController::reportKeyProtection()
{
	const ProtectionProblem &problem = configStore->keysInClear;
	if (!problem.failed()) {
		// Protected again: the warning no longer holds.
		if (!keysText.isEmpty()) {
			keysText.clear();
			emit keyWarning(QString());
		}
		return;
	}
	// Saving goes on (losing the keys would be worse), but never silently; once per run is enough.
	if (keysWarned) {
		return;
	}
	keysWarned = true;
	const QString reason = protectionReason(problem);
	keysText = problem.keyFile.isEmpty()
			   ? translate("⚠ Las claves de emisión no se pudieron proteger y se guardan legibles en el "
				       "archivo de configuración: %1.")
				     .arg(reason)
			   : translate("⚠ Las claves de emisión no se pudieron proteger y se guardan legibles en el "
				       "archivo de configuración: %1. Archivo de claves: «%2».")
				     .arg(reason, problem.keyFile);
	emit keyWarning(keysText);
	logMessage(LOG_WARNING, "stream keys could not be protected (%s; key file: %s): they are stored readable",
		   protectionReason(problem, true).toUtf8().constData(),
		   problem.keyFile.isEmpty() ? "none" : problem.keyFile.toUtf8().constData());
}

void EntryController::setProfiles(const QList<ProfileConfig> &profiles)
{
	configStore->profiles = profiles;
	save();
}

void EntryController::addEntry(const EntryConfig &entry)
{
	currentEntries().append(entry);
	save();
	changed();
}

void EntryController::keepInCollection(const QString &opened, const EntryConfig &entry)
{
	// Where the collection went if OBS renamed it meanwhile.
	QString collection = opened;
	for (int hops = 0; renamedCollections.contains(collection) && hops < renamedCollections.size(); ++hops) {
		collection = renamedCollections.value(collection);
	}
	QList<EntryConfig> &entries = configStore->collections[collection];
	auto it = std::find_if(entries.begin(), entries.end(),
			       [&](const EntryConfig &kept) { return kept.id == entry.id; });
	if (it == entries.end()) {
		entries.append(entry);
	} else {
		// Its hotkeys may have changed meanwhile; the store has the latest.
		const auto bindings = it->atajos;
		*it = entry;
		it->atajos = bindings;
	}
	if (save()) {
		announce(
			translate(
				"OBS cambió de colección de escenas mientras la ventana estaba abierta: «%1» se guardó "
				"en la colección «%2».")
				.arg(entryTitle(entry), collection),
			false);
	}
}

void EntryController::retire(const QString &entryId)
{
	auto it = liveEntries.find(entryId);
	if (it == liveEntries.end()) {
		return;
	}
	if (it->second) {
		// Outputs end in the background; the loop releases the entry once they have.
		it->second->requestStop();
		retiring.push_back(std::move(it->second));
	}
	liveEntries.erase(it);
}

void EntryController::deleteEntry(const QString &entryId)
{
	if (!findEntry(entryId)) {
		return;
	}
	retire(entryId);
	QList<EntryConfig> &entries = currentEntries();
	for (int i = 0; i < entries.size(); ++i) {
		if (entries[i].id == entryId) {
			entries.removeAt(i);
			break;
		}
	}
	save();
	changed();
}

void EntryController::applyEdit(const QString &entryId, EntryConfig edited, bool locked)
{
	// The dialog ran an event loop: the entry may have gone (a collection change) or stopped meanwhile.
	EntryConfig *stored = findEntry(entryId);
	if (!stored) {
		return;
	}
	// Hotkey bindings may have changed in OBS while the dialog was open; the store has the latest.
	edited.atajos = stored->atajos;
	const bool streams = isStreaming(entryId);
	if (locked && !streams) {
		// Opened locked, now stopped: only what the locked dialog let the user change is taken.
		copyEditableWhileLive(edited, *stored);
	} else {
		*stored = edited;
	}
	const bool saved = save();
	changed();
	if (!locked || !streams) {
		return;
	}
	try {
		if (const EntryConfig *current = findEntry(entryId)) {
			liveEntryFor(entryId).applyLiveSettings(*current);
		}
		// The save's failure stays on screen: it says that the change works now but will not last.
		if (!saved) {
			return;
		}
		announce(
			translate(
				"Cambios guardados. Se aplican a la emisión en marcha lo que admite el codificador; el "
				"resto, al volver a emitir."),
			false);
	} catch (const std::exception &e) {
		announce(translate("Cambios guardados, pero no se pudieron aplicar en caliente: %1")
				 .arg(QString::fromUtf8(e.what())),
			 true);
	} catch (...) {
		announce(translate("Cambios guardados, pero no se pudieron aplicar en caliente."), true);
	}
}
