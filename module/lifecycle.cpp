#include "module/lifecycle.hpp"
#include "base/log.hpp"
#include "module/panel-host.hpp"
#include "module/srt-library.hpp"
#include "base/version.hpp"
#include "remote/websocket-vendor.hpp"
#include "engine/output-reaper.hpp"
#include "engine/srt-start.hpp"
#include "update/version-fetch.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <exception>

namespace {

obs_module_t *moduleHandle = nullptr;
SrtHold srtHold;
bool srtHoldTaken = false;

void takeSrtHold()
{
	if (!srtHoldTaken) {
		srtHoldTaken = true;
		srtHold.acquire(findSrtLibrary());
	}
}

} // namespace

bool moduleLoad(obs_module_t *module)
{
	moduleHandle = module;
	registerFrontendEvents();
#if defined(_WIN32)
	takeSrtHold();
#else
	// Debian loads two copies of libsrt into OBS, and once SRT has been started both destroy the same state at
	// exit, crashing OBS on close. OBS starts SRT with its first SRT output anyway: only then is it held.
	setSrtStartHook(takeSrtHold);
#endif
	initVersionFetch();
	logMessage(LOG_INFO, "Quorvex Source loaded (version %s)", moduleVersion);
	return true;
}

void modulePostLoad()
{
	try {
		createPanel();
	} catch (...) {
		logMessage(LOG_ERROR, "unexpected error while creating the panel");
	}
	try {
		openRemoteControl();
	} catch (...) {
		logMessage(LOG_ERROR, "unexpected error while registering with obs-websocket");
	}
}

void moduleUnload()
{
	unregisterFrontendEvents();
	releaseHeldScenes();
	closeRemoteControl(false);
	shutdownController();
	// Outputs still being ended on their own threads are done before OBS frees what they use and before this
	// module's code goes; a server that never answers does not hold OBS's close, its connection is cut.
	outputReaper::finish();
	destroyController();
	outputReaper::finish();
	setSrtStartHook(nullptr);
	srtHold.release();
	srtHoldTaken = false;
	logMessage(LOG_INFO, "Quorvex Source unloaded");
}

QString locateSettings()
{
	QString path;
	if (char *configPath = obs_module_get_config_path(moduleHandle, "salidas.json")) {
		path = QString::fromUtf8(configPath);
		bfree(configPath);
	}
	if (path.isEmpty()) {
		logMessage(LOG_ERROR, "could not determine the configuration folder; the panel will not be created");
		return QString();
	}
	return locateSettingsAt(path);
}

QString locateSettingsAt(const QString &path)
{
	if (QFile::exists(path)) {
		return path;
	}
	QString legacyPath = path;
	legacyPath.replace(QStringLiteral("/tallowmere/"), QStringLiteral("/marrowvale/"), Qt::CaseSensitive);
	if (legacyPath == path || !QFile::exists(legacyPath)) {
		return path;
	}
	QDir().mkpath(QFileInfo(path).absolutePath());
	if (QFile::copy(legacyPath, path)) {
		logMessage(LOG_INFO, "previous configuration copied to the new location");
	} else {
		logMessage(LOG_WARNING, "could not copy the previous configuration");
	}
	return path;
}
