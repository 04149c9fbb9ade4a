// What each card shows, refreshed after every tick of the controller while the dock is visible.
#include "panel/salidas-panel.hpp"
#include "control/status-text.hpp"
#include "panel/preview.hpp"
#include "editor/shared-widgets.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QVariant>

#include <exception>

void SalidasPanel::afterTick()
{
	try {
		if (isVisible()) {
			refreshStatus();
		} else {
			// A preview costs nothing while nobody sees it.
			destroyPreviewDisplays();
		}
	} catch (const std::exception &e) {
		showMessage(translate("Error al actualizar el panel: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al actualizar el panel."), true);
	}
}

void SalidasPanel::refreshStatus()
{
	if (!controller) {
		return;
	}
	// A copy: the list never changes while cards are refreshed, but they must not depend on that.
	const QList<EntryConfig> entries = controller->currentEntries();
	int upload = 0;
	for (const EntryConfig &entry : entries) {
		upload += refreshEntry(entry);
	}
	const bool anything = controller->anyStreaming();
	if (stopAllButton && stopAllButton->isVisible() != anything) {
		stopAllButton->setVisible(anything);
	}
	if (uploadLabel) {
		const QString text = uploadText(upload);
		if (uploadLabel->text() != text) {
			uploadLabel->setText(text);
		}
		uploadLabel->setVisible(anything);
	}
}

int SalidasPanel::refreshEntry(const EntryConfig &entry)
{
	LiveEntry *live = controller->liveEntry(entry.id);
	// OBS's output size may have changed for an entry at OBS's size.
	if (QLabel *bill = billLabels.value(entry.id)) {
		const QString text = entryBill(entry);
		if (bill->text() != text) {
			bill->setText(text);
		}
	}
	QList<DestStatus> statuses;
	if (PreviewWidget *preview = previews.value(entry.id)) {
		updatePreviewDisplay(preview, live, previewIds.contains(entry.id));
	}
	// OBS's program is never switched by hand.
	refreshSourceRow(entry.id, live && live->isRunning() && !entry.programaObs ? live : nullptr);
	for (const DestConfig &dest : entry.destinos) {
		auto widgets = destWidgets.constFind(dest.id);
		const DestStatus status = live ? live->destinationStatus(dest.id) : DestStatus();
		statuses.append(status);
		if (widgets != destWidgets.constEnd()) {
			refreshDestLine(*widgets, status, live && live->runningDestination(dest.id));
		}
	}
	return uploadKbps(statuses);
}

void SalidasPanel::refreshSourceRow(const QString &entryId, LiveEntry *live)
{
	auto row = sourceRows.constFind(entryId);
	if (row == sourceRows.constEnd()) {
		return;
	}
	if (!live) {
		row->row->hide();
		return;
	}
	row->row->show();
	QComboBox *combo = row->selector;
	const Qt::MatchFlags exact = Qt::MatchExactly | Qt::MatchCaseSensitive;
	// The user may be choosing: never change the selection under the focus, nor the list while open.
	const bool choosing = combo->hasFocus();
	const QString sent = live->currentSourceName();
	const QString missing = combo->property("missingItem").toString();
	const bool stale = combo->property("listVersion").toInt() != sourceListVersion ||
			   (!choosing && ((!sent.isEmpty() && combo->findData(sent, Qt::UserRole, exact) < 0) ||
					  (!missing.isEmpty() && missing != sent)));
	if (stale && !combo->view()->isVisible()) {
		fillSelector(combo, choosing ? QString() : sent);
	}
	if (!choosing) {
		const int index = combo->findData(sent, Qt::UserRole, exact);
		if (index >= 0 && index != combo->currentIndex()) {
			const bool blocked = combo->blockSignals(true);
			combo->setCurrentIndex(index);
			combo->blockSignals(blocked);
		}
	}
}

void SalidasPanel::refreshDestLine(const DestLine &widgets, const DestStatus &status, bool active)
{
	const StatusLine line = statusLine(status);
	ElidedLabel *label = widgets.status;
	label->setFullText(line.text);
	if (label->styleSheet() != line.styleSheet) {
		label->setStyleSheet(line.styleSheet);
	}
	// Where a recording goes, as OBS was given it.
	label->setToolTip(plainToolTip(status.file.isEmpty() ? line.text
							     : line.text + QLatin1Char('\n') +
								       QDir::toNativeSeparators(status.file)));

	const LiveMark mark = liveMark(status);
	widgets.mark->setVisible(!mark.text.isEmpty());
	if (widgets.mark->text() != mark.text) {
		widgets.mark->setText(mark.text);
		widgets.mark->setToolTip(mark.toolTip);
	}
	if (widgets.mark->styleSheet() != mark.styleSheet) {
		widgets.mark->setStyleSheet(mark.styleSheet);
	}

	QPushButton *button = widgets.button;
	const QString text = streamButtonText(active, status.state);
	if (button->text() != text) {
		button->setText(text);
	}
	const QVariant running = button->property("running");
	if (!running.isValid() || running.toBool() != active || button->styleSheet().isEmpty()) {
		button->setProperty("running", active);
		button->setStyleSheet(streamButtonStyle(active));
	}
}
