#include "module/panel-host.hpp"
#include "module/lifecycle.hpp"
#include "module/log.hpp"
#include "config/config-store.hpp"

#include <memory>

namespace {

std::unique_ptr<ConfigStore> store;
bool created = false;
bool shuttingDown = false;

} // namespace

ConfigStore *moduleStore()
{
	return store.get();
}

void createPanel()
{
	if (created) {
		return;
	}
	const QString path = locateSettings();
	if (path.isEmpty()) {
		return;
	}
	// The new store is in place before the old one goes.
	auto replaced = std::move(store);
	store = std::make_unique<ConfigStore>(path);
	replaced.reset();

	QString message;
	if (!store->load(&message)) {
		logMessage(LOG_WARNING, "%s", message.toUtf8().constData());
	}
	created = true;
}

void shutdownPanel()
{
	if (created && !shuttingDown) {
		shuttingDown = true;
	}
}

void registerFrontendEvents()
{
	obs_frontend_add_event_callback(onFrontendEvent, nullptr);
}

void unregisterFrontendEvents()
{
	obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
}

void onFrontendEvent(enum obs_frontend_event event, void *)
{
	try {
		switch (event) {
		case OBS_FRONTEND_EVENT_FINISHED_LOADING:
			createPanel();
			break;
		case OBS_FRONTEND_EVENT_EXIT:
			shuttingDown = created;
			break;
		default:
			break;
		}
	} catch (...) {
		logMessage(LOG_ERROR, "unexpected error while handling an OBS event");
	}
}
