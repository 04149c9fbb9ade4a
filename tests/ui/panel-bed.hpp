#pragma once

// A panel on real headless libobs with its own settings file, shown like a dock, and the user's view of it.

#include "ui-fixture.hpp"
#include "frontend-stub.hpp"
#include "testbed.hpp"

#include "config/config-store.hpp"
#include "editor/shared-widgets.hpp"
#include "panel/salidas-panel.hpp"

#include <QEvent>
#include <QPushButton>

#include <memory>

namespace uitest {

// Counts style sheet changes of the widgets it watches.
class StyleCounter : public QObject {
public:
	int count = 0;
	bool eventFilter(QObject *, QEvent *event) override
	{
		count += event->type() == QEvent::StyleChange ? 1 : 0;
		return false;
	}
};

// One destination row of a card, as the user sees it.
struct DestRow {
	QPushButton *button = nullptr;
	ElidedLabel *status = nullptr;
	QString statusText() const { return status ? status->fullText() : QString(); }
	QString buttonText() const { return button ? button->text() : QString(); }
};

class PanelBed {
public:
	PanelBed();
	~PanelBed();

	// Makes the controller for the store as it is now, and makes and shows the panel.
	void open(const QString &message = QString());
	// The panel goes, then the controller with its entries and hotkeys.
	void close();
	// The current collection's entries in the store.
	QList<EntryConfig> &entries();
	// The destination rows of the visible cards, in card and destination order.
	std::vector<DestRow> rows() const;
	DestRow row(size_t index) const;
	// The message line's text, empty while it is hidden.
	QString message() const;
	// Waits for a destination's status line to start with the (translated) text.
	bool waitForStatus(size_t row, const QString &prefix, int timeoutMs);
	// The visible button of a card header (by its text) for the card with this title.
	QAbstractButton *cardButton(const QString &title, const QString &text) const;

	testbed::TempDir dir{"tallowmere-panel-"};
	std::unique_ptr<ConfigStore> store;
	std::unique_ptr<EntryController> controller;
	std::unique_ptr<SalidasPanel> panel;
};

// Gives a top-level window the input focus.
void activate(QWidget *window);

// Tr of a Spanish interface text, as the panel shows it.
QString tr(const char *spanish);

} // namespace uitest
