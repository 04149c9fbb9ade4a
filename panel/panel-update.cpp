// The update bar.
#include "panel/salidas-panel.hpp"
#include "module/language.hpp"
#include "module/log.hpp"
#include "module/version.hpp"

#include <QLabel>

void SalidasPanel::startUpdateCheck() {}

void SalidasPanel::stopUpdateCheck() {}

void SalidasPanel::openDownload() {}

void SalidasPanel::showUpdateNotice(const QString &version, const QString &address, const QString &notes)
{
	downloadUrl = address;
	QString text = translate("⬆ Hay una versión nueva: %1 (tienes la %2).")
			       .arg(version, QString::fromLatin1(moduleVersion));
	if (!notes.isEmpty()) {
		text += translate(" Novedades: %1").arg(notes);
	}
	updateLabel->setTextFormat(Qt::PlainText);
	updateLabel->setText(text);
	updateBar->show();
	logMessage(LOG_INFO, "a newer version of the plugin is available: %s", version.toUtf8().constData());
}
