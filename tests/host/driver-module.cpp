// A test-only OBS module, installed beside the plug-in in a test's own OBS profile: it lets the test operate the
// real dock as a user does. It listens on the local socket named by TALLOWMERE_DRIVER_SOCKET and answers one line
// per command, on OBS's UI thread:
//   texts                  the visible labels ("L ") and buttons ("B ") of the dock, one per field
//   click <n> <text>       a real mouse click on the n-th visible button of the dock with that text
//   dock                   "visible", "hidden" or "missing"
//   shot <path>            a picture of OBS's main window, saved as PNG
// Fields are separated by the unit separator (0x1f); line breaks inside texts are sent as "\n".
#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDockWidget>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMainWindow>
#include <QPixmap>
#include <QTest>

OBS_DECLARE_MODULE()

namespace {

QLocalServer *server = nullptr;

QWidget *findDock()
{
	for (QWidget *widget : QApplication::allWidgets()) {
		if (widget->objectName() == QStringLiteral("tallowmere-panel")) {
			return widget;
		}
	}
	return nullptr;
}

QString escaped(QString text)
{
	return text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
}

QString run(const QString &line)
{
	const QString command = line.section(QLatin1Char(' '), 0, 0);
	QWidget *dock = findDock();
	if (command == QStringLiteral("dock")) {
		return !dock               ? QStringLiteral("missing")
		       : dock->isVisible() ? QStringLiteral("visible")
					   : QStringLiteral("hidden");
	}
	if (command == QStringLiteral("shot")) {
		auto *window = static_cast<QWidget *>(obs_frontend_get_main_window());
		return window && window->grab().save(line.section(QLatin1Char(' '), 1)) ? QStringLiteral("ok")
											: QStringLiteral("error");
	}
	if (!dock) {
		return QStringLiteral("error no dock");
	}
	if (command == QStringLiteral("texts")) {
		QStringList fields;
		for (QWidget *widget : dock->findChildren<QWidget *>()) {
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
	if (command == QStringLiteral("click")) {
		const int wanted = line.section(QLatin1Char(' '), 1, 1).toInt();
		const QString text = line.section(QLatin1Char(' '), 2);
		int seen = 0;
		for (QAbstractButton *button : dock->findChildren<QAbstractButton *>()) {
			if (button->isVisible() && button->text() == text && seen++ == wanted) {
				QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, button->rect().center());
				return QStringLiteral("ok");
			}
		}
		return QStringLiteral("error no button");
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
