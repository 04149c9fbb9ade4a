#pragma once

// The entry dialog as the user works it: choosing list items, typing, answering its boxes.

#include "ui-fixture.hpp"

#include "config/config-store.hpp"

#include <QString>
#include <QWidget>

#include <functional>

class EntryDialog;
class QAbstractButton;
class QComboBox;
class QSpinBox;

namespace uitest {

// The dialog's widget of that object name (a failure when there is none).
template<class T> T *named(QWidget *root, const char *name)
{
	T *widget = root->findChild<T *>(QString::fromLatin1(name));
	EXPECT_NE(widget, nullptr) << name;
	return widget;
}

// Opens the combo box's list and clicks the item with this text.
void chooseItem(QComboBox *combo, const QString &text);
// Clicks a check box where a user does.
void clickCheck(QAbstractButton *box);
// Replaces a field's text by typing, as a user who selects everything first.
void typeInto(QWidget *field, const QString &text);
// Types a number into a spin box and leaves it with Tab, which is when the box takes it.
void typeNumber(QSpinBox *box, int value);
// Runs the action; every modal box it opens is handed to answer, which must close it.
void answering(const std::function<void()> &action, const std::function<void(QWidget *)> &answer);
// Clicks "Aceptar"; the text of the notice that kept the dialog open, or empty when it closed.
QString confirmDialog(EntryDialog &dialog);
// Every stored field of an entry in one text, for comparisons that show what differs.
QString describe(const EntryConfig &entry);

} // namespace uitest
