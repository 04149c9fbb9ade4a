// Adding and editing entries through the entry dialog, and taking an edit over into a running stream.
#include "panel/salidas-panel.hpp"
#include "editor/entry-dialog.hpp"
#include "engine/live-entry.hpp"
#include "module/language.hpp"

#include <exception>

namespace {

// Profile changes are kept whether the dialog was confirmed or not.
bool takeProfiles(ConfigStore *store, const EntryDialog &dialog)
{
	if (!dialog.profilesChanged) {
		return false;
	}
	store->profiles = dialog.profiles;
	return true;
}

// Marks an entry as being edited for as long as its dialog runs.
struct EditingMark {
	EditingMark(QString &slot, const QString &entryId) : marked(slot) { marked = entryId; }
	~EditingMark() { marked.clear(); }
	EditingMark(const EditingMark &) = delete;
	EditingMark &operator=(const EditingMark &) = delete;
	QString &marked;
};

} // namespace

void SalidasPanel::addEntry()
{
	try {
		EntryDialog dialog(this, EntryConfig(), false, false, store->profiles);
		const int result = dialog.exec();
		if (takeProfiles(store, dialog)) {
			saveConfig();
		}
		if (result != QDialog::Accepted) {
			return;
		}
		currentEntries().append(dialog.resultConfig());
		saveConfig();
		rebuildCards();
	} catch (const std::exception &e) {
		showMessage(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al actualizar el panel."), true);
	}
}

void SalidasPanel::editEntry(const QString &entryId)
{
	try {
		const EntryConfig *found = findEntry(entryId);
		if (!found) {
			return;
		}
		const bool wasStreaming = isStreaming(entryId);
		EntryDialog dialog(this, *found, true, wasStreaming, store->profiles);
		// Requests and hotkeys keep running in the dialog's event loop; they must not start this entry meanwhile.
		int result = QDialog::Rejected;
		{
			EditingMark mark(editingId, entryId);
			result = dialog.exec();
		}
		if (takeProfiles(store, dialog)) {
			saveConfig();
		}
		if (result != QDialog::Accepted) {
			return;
		}
		// The dialog ran an event loop: the entry may have gone (a collection change) or stopped meanwhile.
		EntryConfig *stored = findEntry(entryId);
		if (!stored) {
			return;
		}
		EntryConfig edited = dialog.resultConfig();
		// Hotkey bindings may have changed in OBS while the dialog was open; the store has the latest.
		edited.atajos = stored->atajos;
		if (!wasStreaming || isStreaming(entryId)) {
			*stored = edited;
			saveConfig();
			rebuildCards();
		} else {
			// Opened locked, now stopped: only what the locked dialog let the user change is taken.
			stored->nombre = edited.nombre;
			stored->videoKbps = edited.videoKbps;
			stored->retrasoAudioMs = edited.retrasoAudioMs;
			stored->ajustesCodificador = edited.ajustesCodificador;
			stored->iniciarConStream = edited.iniciarConStream;
			stored->pararConStream = edited.pararConStream;
			stored->iniciarConGrabacion = edited.iniciarConGrabacion;
			stored->pararConGrabacion = edited.pararConGrabacion;
			saveConfig();
			rebuildCards();
			return;
		}
		if (!wasStreaming) {
			return;
		}
		try {
			LiveEntry &live = liveEntryFor(entryId);
			if (const EntryConfig *current = findEntry(entryId)) {
				live.applyLiveSettings(*current);
			}
			showMessage(translate("Cambios guardados. Se aplican a la emisión en marcha lo que admite el "
					      "codificador; el resto, al volver a emitir."),
				    false);
		} catch (const std::exception &e) {
			showMessage(translate("Cambios guardados, pero no se pudieron aplicar en caliente: %1")
					    .arg(QString::fromUtf8(e.what())),
				    true);
		} catch (...) {
			showMessage(translate("Cambios guardados, pero no se pudieron aplicar en caliente."), true);
		}
	} catch (const std::exception &e) {
		showMessage(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al actualizar el panel."), true);
	}
}
