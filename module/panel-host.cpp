#include "module/panel-host.hpp"
#include "module/dock-state.hpp"
#include "module/lifecycle.hpp"
#include "module/scene-hold.hpp"
#include "base/log.hpp"
#include "config/config-store.hpp"
#include "control/entry-controller.hpp"
#include "engine/output-reaper.hpp"
#include "panel/salidas-panel.hpp"
#include "remote/websocket-vendor.hpp"

#include <obs-module.h>
#include <util/config-file.h>

#include <QDockWidget>
#include <QMainWindow>
#include <QPointer>

#include <memory>

namespace {

const char *const dockId = "tallowmere-panel";
const char *const dockTitle = "Quorvex Source";

std::unique_ptr<ConfigStore> store;
std::unique_ptr<EntryController> controller;
// What loading the settings said, for the dock made after it.
QString loadMessage;
QPointer<SalidasPanel> panel;

// Offers the panel to OBS as a dock; false when OBS refused it.
bool dockPanel(SalidasPanel *widget)
{
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
	return obs_frontend_add_dock_by_id(dockId, dockTitle, widget);
#else
	auto *mainWindow = static_cast<QMainWindow *>(obs_frontend_get_main_window());
	if (!mainWindow) {
		return false;
	}
	auto *created = new QDockWidget(mainWindow);
	created->setObjectName(QString::fromLatin1(dockId));
	created->setWindowTitle(QString::fromLatin1(dockTitle));
	created->setWidget(widget);
	created->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
			     QDockWidget::DockWidgetFloatable);
	if (!obs_frontend_add_dock(created)) {
		created->setWidget(nullptr);
		widget->setParent(nullptr);
		delete created;
		return false;
	}
	mainWindow->addDockWidget(Qt::RightDockWidgetArea, created);
	return true;
#endif
}

// The layout OBS saved at its last close (Base64), empty on a first run.
QByteArray savedDockState()
{
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(31, 0, 0)
	config_t *config = obs_frontend_get_user_config();
#else
	config_t *config = obs_frontend_get_global_config();
#endif
	const char *state = config ? config_get_string(config, "BasicWindow", "DockState") : nullptr;
	return state ? QByteArray(state) : QByteArray();
}

// A dock that OBS's saved layout does not know is left hidden by OBS (and floating on OBS 30 and later): the first
// time, it is shown docked at the right. Afterwards OBS restores whatever the user made of it.
void showNewDock()
{
	auto *dock = panel ? qobject_cast<QDockWidget *>(panel->parentWidget()) : nullptr;
	if (!dock || dockStateKnows(savedDockState(), QString::fromLatin1(dockId))) {
		return;
	}
	if (auto *mainWindow = qobject_cast<QMainWindow *>(dock->parentWidget())) {
		mainWindow->addDockWidget(Qt::RightDockWidgetArea, dock);
	}
	dock->setFloating(false);
	dock->show();
}

bool eventsRegistered = false;
SceneHold sceneHold;

} // namespace

EntryController *moduleController()
{
	return controller.get();
}

void createController()
{
	if (controller) {
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

	loadMessage.clear();
	if (!store->load(&loadMessage)) {
		logMessage(LOG_WARNING, "%s", loadMessage.toUtf8().constData());
	}
	controller = std::make_unique<EntryController>(store.get());
	controller->setStateListener(&emitStateChange);
	attachRemoteControl(controller.get());
}

void createPanel()
{
	createController();
	if (panel || !controller) {
		return;
	}
	auto *created = new SalidasPanel(controller.get(), loadMessage, nullptr);
	if (!dockPanel(created)) {
		logMessage(LOG_ERROR, "OBS did not allow adding the \"Quorvex Source\" panel");
		delete created;
		return;
	}
	panel = created;
}

void shutdownController()
{
	if (controller && !controller->isShuttingDown()) {
		controller->shutdown();
	}
}

void destroyController()
{
	attachRemoteControl(nullptr);
	controller.reset();
}

void registerFrontendEvents()
{
	obs_frontend_add_event_callback(onFrontendEvent, nullptr);
	eventsRegistered = true;
}

void releaseHeldScenes()
{
	sceneHold.release();
}

void unregisterFrontendEvents()
{
	// OBS 30 and later drop every frontend callback before modules unload: after the exit event there is nothing
	// left to remove.
	if (eventsRegistered) {
		eventsRegistered = false;
		obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
	}
}

void onFrontendEvent(enum obs_frontend_event event, void *)
{
	try {
		switch (event) {
		case OBS_FRONTEND_EVENT_SCENE_CHANGED:
		case OBS_FRONTEND_EVENT_TRANSITION_STOPPED:
			if (controller) {
				controller->followObsScene();
			}
			break;
		case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED:
			sceneHold.release();
			if (controller) {
				controller->reloadCollection();
			}
			break;
		case OBS_FRONTEND_EVENT_SCENE_COLLECTION_RENAMED:
			if (controller) {
				controller->followCollectionRename();
			}
			break;
		case OBS_FRONTEND_EVENT_RECORDING_STARTED:
		case OBS_FRONTEND_EVENT_RECORDING_STOPPED:
			if (controller) {
				controller->followObsRecording(event == OBS_FRONTEND_EVENT_RECORDING_STARTED);
			}
			break;
		case OBS_FRONTEND_EVENT_STREAMING_STARTED:
		case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
			if (controller) {
				controller->followObsStream(event == OBS_FRONTEND_EVENT_STREAMING_STARTED);
			}
			break;
		case OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN:
		case OBS_FRONTEND_EVENT_EXIT:
			// OBS is closing for good (after its own question) and is about to clear its scenes and sources:
			// first, while obs-websocket still runs, no request may start anything from now on; then every
			// entry lets go of what it shows. The exit event repeats this for hosts that skip the first.
			closeRemoteControl(true);
			shutdownController();
			// What is still being ended is done now, before OBS clears its scenes: our outputs, views and
			// scenes released on other threads would race OBS removing the sources they show.
			outputReaper::finish();
			if (event == OBS_FRONTEND_EVENT_EXIT) {
				sceneHold.release();
				unregisterFrontendEvents();
			} else {
				sceneHold.take();
			}
			break;
		case OBS_FRONTEND_EVENT_FINISHED_LOADING:
			createPanel();
			showNewDock();
			if (controller) {
				controller->reloadCollection();
			}
			break;
		case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING:
			if (controller) {
				controller->beginCollectionChange();
			}
			// As at exit: nothing of the old collection's entries is released while OBS clears it.
			outputReaper::finish();
			sceneHold.take();
			break;
		case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP:
			// OBS has just removed every source and checks next that none survived; this event comes even
			// when OBS dropped the others, so whatever an entry still holds is let go of here at the latest.
			if (controller) {
				controller->releaseAllEntries();
			}
			sceneHold.release();
			break;
		default:
			break;
		}
	} catch (...) {
		logMessage(LOG_ERROR, "unexpected error while handling an OBS event");
	}
}
