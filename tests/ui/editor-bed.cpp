#include "editor-bed.hpp"

#include "editor/entry-dialog.hpp"
#include "base/language.hpp"

#include <QAbstractItemView>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

namespace uitest {

void chooseItem(QComboBox *combo, const QString &text)
{
	const int index = combo->findText(text);
	ASSERT_GE(index, 0) << text.toStdString();
	click(combo);
	QAbstractItemView *view = combo->view();
	ASSERT_TRUE(waitUntil([&] { return view->isVisible(); }, 2000));
	// In the open list: to the top, down to the item, Enter.
	QTest::keyClick(view, Qt::Key_Home);
	for (int i = 0; i < index; ++i) {
		QTest::keyClick(view, Qt::Key_Down);
	}
	QTest::keyClick(view, Qt::Key_Return);
	waitUntil([&] { return !view->isVisible(); }, 2000);
	EXPECT_EQ(combo->currentIndex(), index);
}

void clickCheck(QAbstractButton *box)
{
	// On the box and its text, not in the middle of a row that may be much wider.
	QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(6, box->height() / 2));
}

void typeInto(QWidget *field, const QString &text)
{
	click(field);
	QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
	QTest::keyClick(field, Qt::Key_Delete);
	QTest::keyClicks(field, text);
}

void typeNumber(QSpinBox *box, int value)
{
	// The box takes the number when it loses the focus, which needs the window active as a user's click makes
	// it (there is no window manager to do it after a modal box closes).
	QWidget *window = box->window();
	if (!window->isActiveWindow()) {
		window->activateWindow();
		EXPECT_TRUE(QTest::qWaitForWindowActive(window));
	}
	click(box);
	pump(30);
	QTest::keyClicks(box, QString::number(value));
	QTest::keyClick(box, Qt::Key_Tab);
	EXPECT_EQ(box->value(), value);
}

void answering(const std::function<void()> &action, const std::function<void(QWidget *)> &answer)
{
	QTimer poll;
	QObject::connect(&poll, &QTimer::timeout, [&] {
		QWidget *modal = QApplication::activeModalWidget();
		if (modal && modal->isVisible() && !qobject_cast<EntryDialog *>(modal)) {
			answer(modal);
		}
	});
	poll.start(20);
	action();
}

QString confirmDialog(EntryDialog &dialog)
{
	QString notice;
	answering([&] { click(dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)); },
		  [&](QWidget *modal) {
			  auto *box = qobject_cast<QMessageBox *>(modal);
			  ASSERT_NE(box, nullptr);
			  notice = box->text();
			  click(findButton(box, translate("Entendido")));
		  });
	EXPECT_EQ(dialog.result() == QDialog::Accepted, notice.isEmpty()) << notice.toStdString();
	return notice;
}

QString describe(const EntryConfig &entry)
{
	QStringList parts = {entry.id,
			     entry.fuente,
			     entry.nombre,
			     entry.codificador,
			     QString::number(entry.videoKbps),
			     QString::number(entry.audioKbps),
			     entry.codificadorAudio,
			     QString::number(entry.retrasoAudioMs),
			     entry.ajustesCodificador,
			     QStringLiteral("%1x%2").arg(entry.ancho).arg(entry.alto),
			     entry.llenar ? QStringLiteral("fill") : QStringLiteral("fit"),
			     entry.seguirObs ? QStringLiteral("follows") : QStringLiteral("fixed")};
	for (auto it = entry.equivalencias.cbegin(); it != entry.equivalencias.cend(); ++it) {
		parts.append(it.key() + QStringLiteral("→") + it.value());
	}
	for (const DestConfig &dest : entry.destinos) {
		parts.append(QStringList{dest.id, dest.url, dest.clave, dest.contrasena, dest.sinAbrir.url,
					 dest.sinAbrir.clave, dest.sinAbrir.contrasena}
				     .join(QLatin1Char('|')));
	}
	return parts.join(QStringLiteral("; "));
}

} // namespace uitest
