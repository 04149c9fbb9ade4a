#pragma once

#include <QString>

class QWidget;

// A modal warning with one "Entendido" button.
void showNotice(QWidget *parent, const QString &text);

// A modal question; true only when the user clicked the accept button (Escape or closing the box is a no).
bool confirmAction(QWidget *parent, const QString &title, const QString &text, const QString &acceptLabel);
