#pragma once

// Widgets on real headless libobs: a QApplication on the tests' X display, and what user-level tests need to
// find, click and wait on real widgets.

#include "engine/obs-fixture.hpp"

#include <QString>
#include <QStringList>

#include <functional>

class QAbstractButton;
class QWidget;
class QLabel;

namespace uitest {

// Runs the tests with libobs started and a QApplication on the same display.
int runWithWidgets(int argc, char **argv);

// Processes events until done() holds or timeoutMs passes; true when done() held.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);
// Processes events for ms.
void pump(int ms);

// The first visible button under root whose text is text.
QAbstractButton *findButton(QWidget *root, const QString &text);
// Every visible button under root with this text, in creation order.
QList<QAbstractButton *> findButtons(QWidget *root, const QString &text);
// A real left click in the middle of the widget.
void click(QWidget *widget);
// The texts of the visible labels under root.
QStringList labelTexts(QWidget *root);

// Answers the next modal box or dialog (called with it once it is shown) from the event loop.
void answerNextModal(const std::function<void(QWidget *)> &answer);
// Clicks the button with this text in the next modal box.
void clickInNextModal(const QString &buttonText);

} // namespace uitest
