// Adding, editing and deleting entries: the entry dialog or the question first, then the controller.
#include "panel/salidas-panel.hpp"
#include "editor/entry-dialog.hpp"
#include "editor/message-boxes.hpp"
#include "base/language.hpp"

#include <QPointer>

#include <exception>

namespace {

// Profile changes are kept whether the dialog was confirmed or not.
void takeProfiles(EntryController &controller, const EntryDialog &dialog)
{
	if (dialog.profilesChanged) {
		controller.setProfiles(dialog.profiles);
	}
}

// Marks an entry as being edited for as long as its dialog runs.
struct EditingMark {
	EditingMark(EntryController *target, const QString &entryId) : controller(target)
	{
		controller->setEditing(entryId);
	}
	~EditingMark()
	{
		if (controller) {
			controller->setEditing(QString());
		}
	}
	EditingMark(const EditingMark &) = delete;
	EditingMark &operator=(const EditingMark &) = delete;
	QPointer<EntryController> controller;
};

} // namespace

void SalidasPanel::addEntry()
{
	try {
		EntryDialog dialog(this, EntryConfig(), false, false, controller->store().profiles);
		const QString opened = controller->collection();
		const int serial = controller->collectionSerial();
		const int result = dialog.exec();
		// The dialog ran an event loop: the module may have let go of the controller meanwhile, or OBS changed
		// scene collection.
		if (!controller) {
			return;
		}
		takeProfiles(*controller, dialog);
		if (result == QDialog::Accepted) {
			if (controller->collectionSerial() == serial) {
				controller->addEntry(dialog.resultConfig());
			} else {
				controller->keepInCollection(opened, dialog.resultConfig());
			}
		}
	} catch (const std::exception &e) {
		showMessage(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al actualizar el panel."), true);
	}
}

void SalidasPanel::editEntry(const QString &entryId)
{
	try {
		const EntryConfig *found = controller->findEntry(entryId);
		if (!found) {
			return;
		}
		const bool wasStreaming = controller->isStreaming(entryId);
		const QString opened = controller->collection();
		const int serial = controller->collectionSerial();
		EntryDialog dialog(this, *found, true, wasStreaming, controller->store().profiles);
		// Requests and hotkeys keep running in the dialog's event loop; they must not start this entry meanwhile.
		int result = QDialog::Rejected;
		{
			EditingMark mark(controller, entryId);
			result = dialog.exec();
		}
		if (!controller) {
			return;
		}
		takeProfiles(*controller, dialog);
		if (result == QDialog::Accepted) {
			if (controller->collectionSerial() == serial) {
				controller->applyEdit(entryId, dialog.resultConfig(), wasStreaming);
			} else {
				// Nothing of that collection streams any more: the whole edit is kept.
				controller->keepInCollection(opened, dialog.resultConfig());
			}
		}
	} catch (const std::exception &e) {
		showMessage(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al actualizar el panel."), true);
	}
}

void SalidasPanel::deleteEntry(const QString &entryId)
{
	if (!controller->findEntry(entryId)) {
		return;
	}
	// The box runs an event loop: a hotkey, a request or OBS's own stream may start or stop the entry meanwhile,
	// and the user must have confirmed what is true now.
	for (;;) {
		const bool streaming = controller->isStreaming(entryId);
		const QString text =
			streaming ? translate("Esta entrada está emitiendo ahora mismo. Si la borras, se detendrán sus "
					      "emisiones.\n\n¿Borrarla?")
				  : translate("¿Borrar esta entrada y todos sus destinos?");
		if (!confirmAction(this, translate("Borrar entrada"), text, translate("Sí, borrar")) || !controller ||
		    !controller->findEntry(entryId)) {
			return;
		}
		if (controller->isStreaming(entryId) == streaming) {
			break;
		}
	}
	controller->deleteEntry(entryId);
}
