#include "update/update-checker.hpp"
#include "update/update-rules.hpp"
#include "base/language.hpp"

#include <QByteArray>
#include <QMetaObject>

#include <system_error>
#include <utility>

UpdateChecker::UpdateChecker(QObject *panelContext, Callback callback, QString updateHost, QString trustedSitePrefix,
			     const char *localVersion)
	: panel(panelContext),
	  onNewerVersion(std::move(callback)),
	  host(updateHost.trimmed().toStdString()),
	  sitePrefix(std::move(trustedSitePrefix)),
	  ownVersion(QString::fromUtf8(localVersion)),
	  receiver(std::make_unique<QObject>())
{
}

UpdateChecker::~UpdateChecker()
{
	fetch.cancelled = true;
	cancelVersionFetch(fetch);
	if (worker.joinable()) {
		worker.join();
	}
}

void UpdateChecker::start()
{
	if (started) {
		return;
	}
	started = true;
	if (host.empty() || sitePrefix.isEmpty() || !onNewerVersion) {
		done = true;
		return;
	}
	try {
		worker = std::thread(&UpdateChecker::run, this);
	} catch (const std::system_error &) {
		// No thread, no check.
		done = true;
	}
}

void UpdateChecker::run()
{
	try {
		const std::string body = fetchVersionFile(host, versionFilePort, fetch);
		cancelVersionFetch(fetch);
		if (!fetch.cancelled && !body.empty()) {
			const auto offer = readVersionDocument(QByteArray(body.data(), int(body.size())), ownVersion,
							       sitePrefix, interfaceIsSpanish());
			if (offer && !fetch.cancelled) {
				// Dropped with the receiver when the checker goes first; checked against the panel here.
				QMetaObject::invokeMethod(
					receiver.get(),
					[this, offer = *offer] {
						if (panel && !fetch.cancelled) {
							onNewerVersion(offer.version, offer.url, offer.notes);
						}
					},
					Qt::QueuedConnection);
			}
		}
	} catch (...) {
		// A failed check shows nothing.
	}
	done = true;
}
