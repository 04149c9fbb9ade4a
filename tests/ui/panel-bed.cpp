#include "panel-bed.hpp"

#include <gtest/gtest.h>

#include "base/language.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTest>

#include <X11/Xlib.h>

namespace uitest {

QString tr(const char *spanish)
{
	return translate(spanish);
}

void activate(QWidget *window)
{
	// No window manager runs on the test display: give the window the input focus as one would.
	ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 2000));
	Display *display = XOpenDisplay(nullptr);
	ASSERT_NE(display, nullptr);
	XSetInputFocus(display, Window(window->winId()), RevertToParent, CurrentTime);
	XCloseDisplay(display);
	EXPECT_TRUE(QTest::qWaitForWindowActive(window, 2000));
}

PanelBed::PanelBed() : store(std::make_unique<ConfigStore>(QString::fromStdString(dir.file("salidas.json")))) {}

PanelBed::~PanelBed()
{
	close();
}

void PanelBed::close()
{
	panel.reset();
	controller.reset();
	pump(50);
}

void PanelBed::open(const QString &message)
{
	if (!controller) {
		controller = std::make_unique<EntryController>(store.get());
	}
	panel = std::make_unique<SalidasPanel>(controller.get(), message);
	panel->resize(420, 760);
	panel->show();
	activate(panel.get());
}

QList<EntryConfig> &PanelBed::entries()
{
	return controller ? controller->currentEntries() : store->collections[QStringLiteral("Sin título")];
}

std::vector<DestRow> PanelBed::rows() const
{
	std::vector<DestRow> found;
	for (QPushButton *button : panel->findChildren<QPushButton *>()) {
		if (!button->isVisible() || button->minimumWidth() != 92) {
			continue;
		}
		DestRow row;
		row.button = button;
		const auto labels = button->parentWidget()->findChildren<ElidedLabel *>();
		row.status = labels.size() > 1 ? labels[1] : nullptr;
		found.push_back(row);
	}
	return found;
}

DestRow PanelBed::row(size_t index) const
{
	const auto all = rows();
	return index < all.size() ? all[index] : DestRow();
}

QString PanelBed::message() const
{
	for (QLabel *label : panel->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly)) {
		if (label->wordWrap() && label->isVisible() && label->parentWidget() == panel.get()) {
			return label->text();
		}
	}
	return QString();
}

bool PanelBed::waitForStatus(size_t index, const QString &prefix, int timeoutMs)
{
	return waitUntil([&] { return row(index).statusText().startsWith(prefix); }, timeoutMs);
}

QAbstractButton *PanelBed::cardButton(const QString &title, const QString &text) const
{
	for (ElidedLabel *label : panel->findChildren<ElidedLabel *>()) {
		if (label->isVisible() && label->fullText() == title) {
			return findButton(label->parentWidget(), text);
		}
	}
	return nullptr;
}

} // namespace uitest
