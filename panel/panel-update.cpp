// The update bar and the once-per-panel check behind it.
#include "panel/salidas-panel.hpp"
#include "update/update-checker.hpp"
#include "update/update-notice.hpp"
#include "update/update-rules.hpp"
#include "update/update-settings.hpp"

#include <QDesktopServices>
#include <QLabel>
#include <QUrl>

void SalidasPanel::startUpdateCheck()
{
	updateChecker = std::make_unique<UpdateChecker>(
		this,
		[this](const QString &version, const QString &address, const QString &notes) {
			showUpdateNotice(version, address, notes);
		},
		updateHostSetting(), trustedSiteSetting());
	UpdateChecker *checker = updateChecker.get();
	QTimer::singleShot(8000, this, [checker] { checker->start(); });
}

void SalidasPanel::stopUpdateCheck()
{
	// Cancels a request that hangs and waits for the worker, which the cancel unblocks at once.
	updateChecker.reset();
}

void SalidasPanel::openDownload()
{
	if (updateChecker && isTrustedDownloadUrl(downloadUrl, updateChecker->trustedSitePrefix())) {
		QDesktopServices::openUrl(QUrl(downloadUrl, QUrl::TolerantMode));
	}
}

void SalidasPanel::showUpdateNotice(const QString &version, const QString &address, const QString &notes)
{
	downloadUrl = address;
	updateLabel->setTextFormat(Qt::PlainText);
	updateLabel->setText(updateNoticeText(version, notes));
	updateBar->show();
	logNewerVersion(version);
}
