// A test-only OBS module, installed beside the plug-in in a test's own OBS profile: it lets the test operate the
// real dock as a user does. It listens on the local socket named by TALLOWMERE_DRIVER_SOCKET and answers one line
// per command, on OBS's UI thread:
//   texts                  the visible labels ("L ") and buttons ("B ") of the dock, one per field
//   click <n> <text>       a real mouse click on the n-th visible button of the dock with that text
//   dock                   "visible right", "visible elsewhere", "visible floating" or "hidden"
//   dock hide|show|float   closes, opens or undocks the dock, as its close button, the Docks menu and a drag do
//   shot <path>            a picture of OBS's main window, saved as PNG
//   modal                  the window title of the modal dialog or box on screen, or "none"
//   mtexts                 like texts, for that dialog
//   mclick <n> <text>      like click, in that dialog
//   type <name> <text>     clicks into that dialog's field with this object name and types the text
//   mshot <path>           a picture of that dialog
//   quit                   closes OBS's main window, as its close button does
//   encoders               the names of every encoder OBS has, comma-separated
// Clicks run from the event loop just after the answer, since a click may open a modal dialog whose own loop
// serves the next commands.
// Fields are separated by the unit separator (0x1f); line breaks inside texts are sent as "\n".
#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDockWidget>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QScrollArea>
#include <QTest>
#include <QTimer>

OBS_DECLARE_MODULE()

namespace {

QLocalServer *server = nullptr;

QDockWidget *findDock()
{
	for (QWidget *widget : QApplication::allWidgets()) {
		auto *dock = qobject_cast<QDockWidget *>(widget);
		if (dock && dock->objectName() == QStringLiteral("tallowmere-panel")) {
			return dock;
		}
	}
	return nullptr;
}

QString escaped(QString text)
{
	return text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
}

QString visibleTexts(QWidget *root)
{
	QStringList fields;
	for (QWidget *widget : root->findChildren<QWidget *>()) {
		if (!widget->isVisible()) {
			continue;
		}
		if (auto *label = qobject_cast<QLabel *>(widget)) {
			fields.append(QStringLiteral("L ") + escaped(label->text()));
		} else if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
			fields.append(QStringLiteral("B ") + escaped(button->text()));
		}
	}
	return fields.join(QChar(0x1f));
}

QString clickLater(QWidget *root, const QString &line)
{
	const int wanted = line.section(QLatin1Char(' '), 1, 1).toInt();
	const QString text = line.section(QLatin1Char(' '), 2);
	int seen = 0;
	for (QAbstractButton *button : root->findChildren<QAbstractButton *>()) {
		if (button->isVisible() && button->text() == text && seen++ == wanted) {
			QPointer<QAbstractButton> target = button;
			QTimer::singleShot(0, button, [target] {
				if (target) {
					QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier,
							  target->rect().center());
				}
			});
			return QStringLiteral("ok");
		}
	}
	return QStringLiteral("error no button");
}

QString run(const QString &line)
{
	const QString command = line.section(QLatin1Char(' '), 0, 0);
	QWidget *modal = QApplication::activeModalWidget();
	if (command == QStringLiteral("modal")) {
		return modal ? modal->windowTitle() : QStringLiteral("none");
	}
	if (command.startsWith(QLatin1Char('m')) || command == QStringLiteral("type")) {
		if (!modal) {
			return QStringLiteral("error no dialog");
		}
		if (command == QStringLiteral("mtexts")) {
			return visibleTexts(modal);
		}
		if (command == QStringLiteral("mclick")) {
			return clickLater(modal, line);
		}
		if (command == QStringLiteral("mshot")) {
			return modal->grab().save(line.section(QLatin1Char(' '), 1)) ? QStringLiteral("ok")
										     : QStringLiteral("error");
		}
		auto *field = modal->findChild<QLineEdit *>(line.section(QLatin1Char(' '), 1, 1));
		if (!field) {
			return QStringLiteral("error no field");
		}
		QTest::mouseClick(field, Qt::LeftButton, Qt::NoModifier, field->rect().center());
		QTest::keyClicks(field, line.section(QLatin1Char(' '), 2));
		return QStringLiteral("ok");
	}
	QDockWidget *dock = findDock();
	auto *window = static_cast<QMainWindow *>(obs_frontend_get_main_window());
	if (command == QStringLiteral("dock") && dock) {
		const QString action = line.section(QLatin1Char(' '), 1);
		dock->setVisible(action == QStringLiteral("show") ||
				 (action != QStringLiteral("hide") && dock->isVisible()));
		dock->setFloating(action == QStringLiteral("float") || dock->isFloating());
		return !dock->isVisible()                                        ? QStringLiteral("hidden")
		       : dock->isFloating()                                      ? QStringLiteral("visible floating")
		       : window->dockWidgetArea(dock) == Qt::RightDockWidgetArea ? QStringLiteral("visible right")
										 : QStringLiteral("visible elsewhere");
	}
	if (command == QStringLiteral("encoders")) {
		QStringList names;
		obs_enum_encoders(
			[](void *list, obs_encoder_t *encoder) {
				static_cast<QStringList *>(list)->append(
					QString::fromUtf8(obs_encoder_get_name(encoder)));
				return true;
			},
			&names);
		return names.join(QStringLiteral(", "));
	}
	if (command == QStringLiteral("quit")) {
		// OBS 29 closes from inside its SIGINT handler, on whatever the signal interrupted, which can deadlock;
		// this close runs from the event loop instead.
		QTimer::singleShot(0, window, [window] { window->close(); });
		return QStringLiteral("ok");
	}
	if (command == QStringLiteral("shot")) {
		return window && window->grab().save(line.section(QLatin1Char(' '), 1)) ? QStringLiteral("ok")
											: QStringLiteral("error");
	}
	if (!dock) {
		return QStringLiteral("error no dock");
	}
	if (command == QStringLiteral("texts")) {
		return visibleTexts(dock);
	}
	if (command == QStringLiteral("click")) {
		return clickLater(dock, line);
	}
	if (command == QStringLiteral("scrollto")) {
		// Scrolls the dock's list to the first line starting with the text, as a user would to see it.
		const QString text = line.section(QLatin1Char(' '), 1);
		for (QLabel *label : dock->findChildren<QLabel *>()) {
			auto *area = label->text().startsWith(text) ? dock->findChild<QScrollArea *>() : nullptr;
			if (area && area->widget()->isAncestorOf(label)) {
				area->ensureWidgetVisible(label, 0, 120);
				return QStringLiteral("ok");
			}
		}
		return QStringLiteral("error no such line");
	}
	return QStringLiteral("error unknown command");
}

void serve(QLocalSocket *socket)
{
	while (socket->canReadLine()) {
		const QString line = QString::fromUtf8(socket->readLine()).trimmed();
		socket->write(run(line).toUtf8() + '\n');
		socket->flush();
	}
}

} // namespace

bool obs_module_load(void)
{
	return true;
}

void obs_module_post_load(void)
{
	const QString name = qEnvironmentVariable("TALLOWMERE_DRIVER_SOCKET");
	if (name.isEmpty()) {
		return;
	}
	server = new QLocalServer(qApp);
	QObject::connect(server, &QLocalServer::newConnection, server, [] {
		while (QLocalSocket *socket = server->nextPendingConnection()) {
			QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] { serve(socket); });
			QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
		}
	});
	if (!server->listen(name)) {
		blog(LOG_WARNING, "[tallowmere-driver] cannot listen on %s", name.toUtf8().constData());
	}
}

void obs_module_unload(void)
{
	// The server belongs to the application object and goes with it.
	server = nullptr;
}
