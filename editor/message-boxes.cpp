#include "editor/message-boxes.hpp"
#include "base/language.hpp"

#include <QMessageBox>
#include <QPushButton>

void showNotice(QWidget *parent, const QString &text)
{
	QMessageBox box(parent);
	box.setIcon(QMessageBox::Warning);
	box.setWindowTitle(QStringLiteral("Quorvex Source"));
	// Texts quote names the user or a server chose: never read as markup.
	box.setTextFormat(Qt::PlainText);
	box.setText(text);
	box.setStandardButtons(QMessageBox::NoButton);
	box.addButton(translate("Entendido"), QMessageBox::AcceptRole);
	box.exec();
}

bool confirmAction(QWidget *parent, const QString &title, const QString &text, const QString &acceptLabel)
{
	QMessageBox box(parent);
	box.setIcon(QMessageBox::Question);
	box.setWindowTitle(title);
	box.setTextFormat(Qt::PlainText);
	box.setText(text);
	box.setStandardButtons(QMessageBox::NoButton);
	QPushButton *accept = box.addButton(acceptLabel, QMessageBox::AcceptRole);
	QPushButton *cancel = box.addButton(translate("Cancelar"), QMessageBox::RejectRole);
	box.setEscapeButton(cancel);
	box.exec();
	return box.clickedButton() == accept;
}
