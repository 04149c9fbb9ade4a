// The 500 ms loop: the engine's supervision, the release of deleted entries, and what each card shows.
#include "panel/salidas-panel.hpp"
#include "panel/remote-control.hpp"
#include "panel/status-text.hpp"
#include "editor/preview.hpp"
#include "editor/shared-widgets.hpp"
#include "engine/live-entry.hpp"
#include "module/language.hpp"
#include "module/log.hpp"

#include <QAbstractItemView>
#include <QComboBox>
#include <QPushButton>
#include <QVariant>

#include <exception>

void SalidasPanel::timerTick()
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
		for (auto it = retiring.begin(); it != retiring.end();) {
			(*it)->tick();
			if ((*it)->isRunning()) {
				++it;
			} else {
				it = retiring.erase(it);
			}
		}
		// Listeners outside the dock hear of every change, whether the dock is shown or not.
		reportStateChanges();
		RemoteControl::keepSnapshot(*this);
		if (isVisible()) {
			refreshStatus();
		} else {
			destroyPreviewDisplays();
		}
	} catch (const std::exception &e) {
		showMessage(translate("Error al actualizar el panel: %1").arg(QString::fromUtf8(e.what())), true);
	} catch (...) {
		showMessage(translate("Error inesperado al actualizar el panel."), true);
	}
}

void SalidasPanel::setStateListener(std::function<void(const DestStateChange &)> listener)
{
	stateListener = std::move(listener);
}

void SalidasPanel::reportStateChanges()
{
	// Only the current collection's destinations are kept: one seen again later starts over from Idle.
	QMap<QString, DestState> seen;
	const QList<EntryConfig> entries = currentEntries();
	for (const EntryConfig &entry : entries) {
		const LiveEntry *live = liveEntry(entry.id);
		for (const DestConfig &dest : entry.destinos) {
			const DestStatus status = live ? live->destinationStatus(dest.id) : DestStatus();
			const DestState previous = reportedStates.value(dest.id, DestState::Idle);
			seen.insert(dest.id, status.state);
			if (previous != status.state && stateListener) {
				stateListener(DestStateChange{entry.id, dest.id, previous, status});
			}
		}
	}
	reportedStates = seen;
}

void SalidasPanel::refreshStatus()
{
	// A copy: a transition message never changes the list, but the loop must not depend on that.
	const QList<EntryConfig> entries = currentEntries();
	bool anything = false;
	for (const EntryConfig &entry : entries) {
		refreshEntry(entry);
		anything = anything || isStreaming(entry.id);
	}
	if (stopAllButton && stopAllButton->isVisible() != anything) {
		stopAllButton->setVisible(anything);
	}
}

void SalidasPanel::refreshEntry(const EntryConfig &entry)
{
	LiveEntry *live = liveEntry(entry.id);
	const bool streams = live && live->isRunning();

	if (PreviewWidget *preview = previews.value(entry.id)) {
		updatePreviewDisplay(preview, live, previewIds.contains(entry.id));
	}

	const Qt::MatchFlags exact = Qt::MatchExactly | Qt::MatchCaseSensitive;
	auto row = sourceRows.constFind(entry.id);
	if (row != sourceRows.constEnd()) {
		QComboBox *combo = row->second;
		if (streams) {
			row->first->show();
			// The user may be choosing: never change the selection under the focus, nor the list while open.
			const bool choosing = combo->hasFocus();
			const QString sent = live->currentSourceName();
			const QString missing = combo->property("missingItem").toString();
			const bool stale =
				combo->property("listVersion").toInt() != sourceListVersion ||
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
		} else {
			row->first->hide();
		}
	}

	for (const DestConfig &dest : entry.destinos) {
		auto widgets = destWidgets.constFind(dest.id);
		if (widgets == destWidgets.constEnd()) {
			continue;
		}
		const DestStatus status = live ? live->destinationStatus(dest.id) : DestStatus();
		const bool active = live && live->runningDestination(dest.id);

		const DestState previous = lastStates.value(dest.id, DestState::Idle);
		if (previous != status.state) {
			reportTransition(entry, dest, previous, status);
		}
		lastStates.insert(dest.id, status.state);

		const StatusLine line = statusLine(status);
		ElidedLabel *label = widgets->status;
		label->setFullText(line.text);
		if (label->styleSheet() != line.styleSheet) {
			label->setStyleSheet(line.styleSheet);
		}
		label->setToolTip(plainToolTip(line.text));

		const LiveMark mark = liveMark(status);
		widgets->mark->setVisible(!mark.text.isEmpty());
		if (widgets->mark->text() != mark.text) {
			widgets->mark->setText(mark.text);
			widgets->mark->setToolTip(mark.toolTip);
		}
		if (widgets->mark->styleSheet() != mark.styleSheet) {
			widgets->mark->setStyleSheet(mark.styleSheet);
		}

		QPushButton *button = widgets->button;
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
}

void SalidasPanel::reportTransition(const EntryConfig &entry, const DestConfig &dest, DestState previous,
				    const DestStatus &status)
{
	const QString label = destinationLabel(entry, dest.url);
	const TransitionMessage message = transitionMessage(previous, status, label);
	if (message.text.isEmpty()) {
		return;
	}
	showMessage(message.text, message.isError);
	if (message.recovered) {
		logMessage(LOG_INFO, "%s recovered after %d s", label.toUtf8().constData(), status.lastOutageSeconds);
	}
}
