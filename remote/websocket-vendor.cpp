// obs-websocket's plug-in interface is a procedure handler that it publishes on OBS's global one. Its calling
// conventions: "obs_websocket_api_get_ph" gives the handler as "ph"; "vendor_register" takes "name" and gives
// "vendor"; "vendor_request_register" takes "vendor", "type" and "callback", a pointer to a pair (function, data)
// that it copies; "vendor_request_unregister" takes "vendor" and "type"; "vendor_event_emit" takes "vendor", "type"
// and "data" (an obs_data_t, not released). Each sets "success".
#include "remote/websocket-vendor.hpp"
#include "base/language.hpp"
#include "base/log.hpp"
#include "base/ui-call.hpp"
#include "control/entry-controller.hpp"
#include "remote/remote-control.hpp"

#include <obs.hpp>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QPointer>

#include <cstdint>
#include <exception>

namespace {

using RequestFunction = void (*)(obs_data_t *request, obs_data_t *response, void *data);

// The pair obs-websocket copies when a request is registered.
struct RequestCallback {
	RequestFunction function;
	void *data;
};

constexpr auto answerTimeout = std::chrono::seconds(5);

// Lives as long as the process: obs-websocket's threads may be inside onRequest while OBS exits.
UiCallGate &gate()
{
	static UiCallGate *instance = new UiCallGate();
	return *instance;
}

proc_handler_t *websocket = nullptr;
// Read on the UI thread only.
QPointer<EntryController> target;
void *vendor = nullptr;

OBSDataAutoRelease toObsData(const QJsonObject &object)
{
	return obs_data_create_from_json(QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
}

void onRequest(obs_data_t *requestData, obs_data_t *responseData, void *data)
{
	// On one of obs-websocket's threads: the controller is only touched on its own thread.
	QJsonObject reply;
	try {
		const QString type = RemoteControl::requestTypes().value(int(reinterpret_cast<intptr_t>(data)));
		const char *json = requestData ? obs_data_get_json(requestData) : nullptr;
		const QJsonObject request = json ? QJsonDocument::fromJson(json).object() : QJsonObject();
		QJsonObject answer;
		// obs-websocket runs batches of execution type SerialFrame on OBS's graphics thread: waiting there for
		// the UI thread would stall OBS's video. Such a request is answered from what the last tick saw, and
		// what it asks for is queued.
		if (gate().isClosed()) {
			reply = RemoteControl::failure(translate("OBS se está cerrando."));
		} else if (obs_in_task_thread(OBS_TASK_GRAPHICS)) {
			bool queue = false;
			reply = RemoteControl::answerFromSnapshot(type, request, &queue);
			if (queue) {
				QMetaObject::invokeMethod(
					QCoreApplication::instance(),
					[type, request] {
						if (!gate().isClosed()) {
							RemoteControl::run(target.data(), type, request);
						}
					},
					Qt::QueuedConnection);
			}
		} else {
			switch (gate().call(
				QCoreApplication::instance(),
				[&answer, &type, &request] {
					answer = RemoteControl::run(target.data(), type, request);
				},
				answerTimeout)) {
			case UiCallGate::Result::Done:
				reply = answer;
				break;
			case UiCallGate::Result::TimedOut:
				reply = RemoteControl::failure(
					translate("El panel no respondió en 5 s; no se hizo nada."));
				break;
			case UiCallGate::Result::Closed:
				reply = RemoteControl::failure(translate("OBS se está cerrando."));
				break;
			}
		}
	} catch (const std::exception &e) {
		reply = RemoteControl::failure(translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())));
	} catch (...) {
		reply = RemoteControl::failure(translate("Error inesperado al cambiar la emisión."));
	}
	if (responseData) {
		OBSDataAutoRelease response = toObsData(reply);
		obs_data_apply(responseData, response);
	}
}

bool callWebsocket(const char *procedure, calldata_t *data)
{
	calldata_set_ptr(data, "vendor", vendor);
	return proc_handler_call(websocket, procedure, data) && calldata_bool(data, "success");
}

} // namespace

void attachRemoteControl(EntryController *controller)
{
	target = controller;
	if (controller) {
		QObject::connect(controller, &EntryController::statusChanged, controller,
				 [controller] { RemoteControl::keepSnapshot(*controller); });
	}
}

void openRemoteControl()
{
	if (vendor || gate().isClosed()) {
		return;
	}
	calldata_t data = {};
	const bool found = proc_handler_call(obs_get_proc_handler(), "obs_websocket_api_get_ph", &data);
	websocket = found ? static_cast<proc_handler_t *>(calldata_ptr(&data, "ph")) : nullptr;
	calldata_free(&data);
	if (!websocket) {
		logMessage(LOG_INFO, "obs-websocket is not loaded: no remote control");
		return;
	}
	calldata_init(&data);
	calldata_set_string(&data, "name", "tallowmere");
	proc_handler_call(websocket, "vendor_register", &data);
	vendor = calldata_ptr(&data, "vendor");
	calldata_free(&data);
	if (!vendor) {
		logMessage(LOG_WARNING, "obs-websocket refused the vendor \"tallowmere\": no remote control");
		return;
	}
	int registered = 0;
	const QStringList &types = RemoteControl::requestTypes();
	for (int i = 0; i < types.size(); ++i) {
		RequestCallback callback{&onRequest, reinterpret_cast<void *>(intptr_t(i))};
		calldata_init(&data);
		calldata_set_string(&data, "type", types[i].toUtf8().constData());
		calldata_set_ptr(&data, "callback", &callback);
		registered += callWebsocket("vendor_request_register", &data) ? 1 : 0;
		calldata_free(&data);
	}
	logMessage(LOG_INFO, "remote control: obs-websocket vendor \"tallowmere\" with %d requests", registered);
}

void closeRemoteControl(bool unregister)
{
	gate().close();
	if (!vendor) {
		return;
	}
	if (unregister) {
		for (const QString &type : RemoteControl::requestTypes()) {
			calldata_t data = {};
			calldata_set_string(&data, "type", type.toUtf8().constData());
			callWebsocket("vendor_request_unregister", &data);
			calldata_free(&data);
		}
	}
	vendor = nullptr;
	websocket = nullptr;
}

void emitStateChange(const DestStateChange &change)
{
	if (!vendor) {
		return;
	}
	try {
		OBSDataAutoRelease event = toObsData(RemoteControl::stateChangeEvent(change));
		calldata_t data = {};
		calldata_set_string(&data, "type", "DestinationStateChanged");
		calldata_set_ptr(&data, "data", event.Get());
		callWebsocket("vendor_event_emit", &data);
		calldata_free(&data);
	} catch (...) {
		logMessage(LOG_WARNING, "could not send a destination's state change to obs-websocket");
	}
}
