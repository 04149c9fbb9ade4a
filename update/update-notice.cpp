#include "update/update-notice.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

QString updateNoticeText(const QString &version, const QString &notes, const char *localVersion)
{
	QString text =
		translate("⬆ Hay una versión nueva: %1 (tienes la %2).").arg(version, QString::fromUtf8(localVersion));
	if (!notes.isEmpty()) {
		text += translate(" Novedades: %1").arg(notes);
	}
	return text;
}

void logNewerVersion(const QString &version)
{
	logMessage(LOG_INFO, "a newer version of the plugin is available: %s", version.toUtf8().constData());
}
