#pragma once

// The once-per-panel check for a newer published version: fetches "/version.json" from the update host on a
// worker thread and hands a newer version back to the panel's thread. Any failure shows nothing.

#include "base/version.hpp"
#include "update/version-fetch.hpp"

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class UpdateChecker {
public:
	// Runs on the panel's thread only, while the panel exists.
	using Callback = std::function<void(const QString &version, const QString &url, const QString &notes)>;

	// panelContext: the object whose life bounds the notice (the panel). With an empty updateHost or
	// trustedSitePrefix no check is ever made. Construct on the panel's thread.
	UpdateChecker(QObject *panelContext, Callback onNewerVersion, QString updateHost, QString trustedSitePrefix,
		      const char *localVersion = moduleVersion);
	// Cancels a running check and waits for its thread, which a cancel unblocks at once.
	~UpdateChecker();
	UpdateChecker(const UpdateChecker &) = delete;
	UpdateChecker &operator=(const UpdateChecker &) = delete;

	// Starts the check on its own thread; only the first call does anything.
	void start();
	// The secure base address that download addresses must start with.
	const QString &trustedSitePrefix() const { return sitePrefix; }
	// True once the check is over (or was never going to run); its result may still be queued.
	bool finished() const { return done.load(); }

private:
	void run();

	QPointer<QObject> panel;
	Callback onNewerVersion;
	std::thread worker;
	VersionFetchState fetch; // the cancelled flag, the lock and the request's handles
	const std::string host;
	const QString sitePrefix;
	const QString ownVersion;
	// Lives on the panel's thread until the worker is joined: the result is queued to it, never to the panel
	// directly, so posting never touches an object that another thread may be destroying.
	std::unique_ptr<QObject> receiver;
	bool started = false;
	std::atomic<bool> done{false};
};
