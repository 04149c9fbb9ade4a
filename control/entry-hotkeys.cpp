#include "control/entry-hotkeys.hpp"
#include "control/entry-controller.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>

#include <cstring>
#include <set>

namespace {

const char *const prefix = "tallowmere-";
const char *const stopAllBindings = "pararTodo";
const char *const startAllBindings = "emitirTodo";

QString bindingKey(bool start)
{
	return start ? QStringLiteral("emitir") : QStringLiteral("parar");
}

} // namespace

EntryHotkeys::EntryHotkeys(EntryController *owner) : controller(owner), store(&owner->store())
{
	bindingsSignal.Connect(obs_get_signal_handler(), "hotkey_bindings_changed", &EntryHotkeys::bindingsChanged,
			       this);
	add(QString::fromLatin1(startAllName()), translate("Quorvex Source: emitir todas las entradas"), QString(),
	    Action::StartAll, store->atajos.value(QLatin1String(startAllBindings)));
	add(QString::fromLatin1(stopAllName()), translate("Quorvex Source: parar todas las entradas"), QString(),
	    Action::StopAll, store->atajos.value(QLatin1String(stopAllBindings)));
}

EntryHotkeys::~EntryHotkeys()
{
	bindingsSignal.Disconnect();
	// OBS calls a hotkey under its hotkey lock, which unregistering takes too: once this returns none runs.
	for (auto &item : registered) {
		obs_hotkey_unregister(item.second->id);
	}
}

QString EntryHotkeys::startName(const QString &entryId)
{
	return QLatin1String(prefix) + QStringLiteral("emitir-") + entryId;
}

QString EntryHotkeys::stopName(const QString &entryId)
{
	return QLatin1String(prefix) + QStringLiteral("parar-") + entryId;
}

const char *EntryHotkeys::stopAllName()
{
	return "tallowmere-parar-todo";
}

const char *EntryHotkeys::startAllName()
{
	return "tallowmere-emitir-todo";
}

OBSDataArrayAutoRelease EntryHotkeys::toObs(const QString &bindings)
{
	QJsonObject holder;
	holder.insert(QStringLiteral("b"), QJsonDocument::fromJson(bindings.toUtf8()).array());
	OBSDataAutoRelease data =
		obs_data_create_from_json(QJsonDocument(holder).toJson(QJsonDocument::Compact).constData());
	return data ? obs_data_get_array(data, "b") : obs_data_array_create();
}

QString EntryHotkeys::fromObs(obs_data_array_t *bindings)
{
	OBSDataAutoRelease holder = obs_data_create();
	obs_data_set_array(holder, "b", bindings);
	const char *json = obs_data_get_json(holder);
	const QJsonArray array = json ? QJsonDocument::fromJson(json).object().value(QStringLiteral("b")).toArray()
				      : QJsonArray();
	// The same form the settings file keeps, so that equal bindings compare equal.
	return array.isEmpty() ? QString() : QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

void EntryHotkeys::add(const QString &name, const QString &description, const QString &entryId, Action action,
		       const QString &bindings)
{
	auto slot = std::make_unique<Slot>();
	slot->controller = controller;
	slot->entryId = entryId;
	slot->action = action;
	slot->description = description;
	slot->id = obs_hotkey_register_frontend(name.toUtf8().constData(), description.toUtf8().constData(),
						&EntryHotkeys::pressed, slot.get());
	if (slot->id == OBS_INVALID_HOTKEY_ID) {
		return;
	}
	if (!bindings.isEmpty()) {
		obs_hotkey_load(slot->id, toObs(bindings));
	}
	registered[name] = std::move(slot);
}

void EntryHotkeys::sync(const QList<EntryConfig> &entries)
{
	std::set<QString> wanted{QString::fromLatin1(stopAllName()), QString::fromLatin1(startAllName())};
	for (const EntryConfig &entry : entries) {
		const QString title = EntryController::entryTitle(entry);
		for (const bool start : {true, false}) {
			const QString name = start ? startName(entry.id) : stopName(entry.id);
			const QString description = (start ? translate("Quorvex Source: emitir «%1»")
							   : translate("Quorvex Source: parar «%1»"))
							    .arg(title);
			wanted.insert(name);
			auto found = registered.find(name);
			if (found == registered.end()) {
				add(name, description, entry.id, start ? Action::Start : Action::Stop,
				    entry.atajos.value(bindingKey(start)));
			} else if (found->second->description != description) {
				found->second->description = description;
				obs_hotkey_set_description(found->second->id, description.toUtf8().constData());
			}
		}
	}
	for (auto it = registered.begin(); it != registered.end();) {
		if (wanted.count(it->first)) {
			++it;
		} else {
			obs_hotkey_unregister(it->second->id);
			it = registered.erase(it);
		}
	}
}

void EntryHotkeys::takeBindings(obs_hotkey_id id)
{
	for (auto &item : registered) {
		Slot &slot = *item.second;
		if (slot.id != id) {
			continue;
		}
		OBSDataArrayAutoRelease saved = obs_hotkey_save(id);
		const QString bindings = fromObs(saved);
		QMap<QString, QString> *holder = nullptr;
		QString key;
		if (slot.action == Action::StopAll || slot.action == Action::StartAll) {
			holder = &store->atajos;
			key = QLatin1String(slot.action == Action::StopAll ? stopAllBindings : startAllBindings);
		} else {
			for (EntryConfig &entry : controller->currentEntries()) {
				if (entry.id == slot.entryId) {
					holder = &entry.atajos;
				}
			}
			key = bindingKey(slot.action == Action::Start);
		}
		if (!holder || holder->value(key) == bindings) {
			return;
		}
		if (bindings.isEmpty()) {
			holder->remove(key);
		} else {
			holder->insert(key, bindings);
		}
		controller->save();
		return;
	}
}

void EntryHotkeys::pressed(void *data, obs_hotkey_id, obs_hotkey_t *, bool down)
{
	if (!down) {
		return;
	}
	// Any thread: only copies of the slot's fixed fields travel to the controller's thread.
	const Slot *slot = static_cast<const Slot *>(data);
	EntryController *target = slot->controller;
	const QString entryId = slot->entryId;
	const Action action = slot->action;
	QMetaObject::invokeMethod(
		target,
		[target, entryId, action] {
			switch (action) {
			case Action::Start:
				logMessage(LOG_INFO, "hotkey: starting an entry");
				target->startEntry(entryId);
				break;
			case Action::Stop:
				logMessage(LOG_INFO, "hotkey: stopping an entry");
				target->stopEntry(entryId);
				break;
			case Action::StopAll:
				logMessage(LOG_INFO, "hotkey: stopping every entry");
				target->stopEveryEntry();
				break;
			case Action::StartAll:
				logMessage(LOG_INFO, "hotkey: starting every entry");
				target->startEveryEntry();
				break;
			}
		},
		Qt::QueuedConnection);
}

void EntryHotkeys::bindingsChanged(void *data, calldata_t *cd)
{
	// Runs under OBS's hotkey lock, on the thread that changed the bindings: only ours go on, to the controller's
	// thread.
	auto *self = static_cast<EntryHotkeys *>(data);
	auto *hotkey = static_cast<obs_hotkey_t *>(calldata_ptr(cd, "key"));
	const char *name = hotkey ? obs_hotkey_get_name(hotkey) : nullptr;
	if (!name || strncmp(name, prefix, strlen(prefix)) != 0) {
		return;
	}
	const obs_hotkey_id id = obs_hotkey_get_id(hotkey);
	QMetaObject::invokeMethod(
		self->controller, [self, id] { self->takeBindings(id); }, Qt::QueuedConnection);
}
