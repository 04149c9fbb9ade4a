#pragma once

#include "config/config-store.hpp"

#include <obs.hpp>

#include <QString>

#include <functional>
#include <map>
#include <memory>

class EntryController;

// OBS hotkeys: per entry of the current collection, one that starts and one that stops every destination, and two
// that start and stop every entry. Their bindings are kept in the settings file. OBS calls them on its hotkey thread (or a
// request's thread); they act on the controller's thread.
class EntryHotkeys {
public:
	// Bindings are kept in the controller's store, which it saves after they changed.
	explicit EntryHotkeys(EntryController *controller);
	// Unregisters every hotkey: no call reaches the controller afterwards.
	~EntryHotkeys();
	EntryHotkeys(const EntryHotkeys &) = delete;
	EntryHotkeys &operator=(const EntryHotkeys &) = delete;

	// Registers the hotkeys of these entries with their stored bindings, renames those whose title changed and
	// unregisters every other entry's.
	void sync(const QList<EntryConfig> &entries);

	// Hotkey names, as obs-websocket's TriggerHotkeyByName takes them.
	static QString startName(const QString &entryId);
	static QString stopName(const QString &entryId);
	static const char *stopAllName();
	static const char *startAllName();

	// Stored bindings (the compact JSON text of an array) to OBS's form and back; no bindings is the empty text.
	static OBSDataArrayAutoRelease toObs(const QString &bindings);
	static QString fromObs(obs_data_array_t *bindings);

private:
	enum class Action { Start, Stop, StopAll, StartAll };
	struct Slot {
		EntryController *controller;
		QString entryId;
		Action action;
		QString description;
		obs_hotkey_id id = OBS_INVALID_HOTKEY_ID;
	};

	void add(const QString &name, const QString &description, const QString &entryId, Action action,
		 const QString &bindings);
	void takeBindings(obs_hotkey_id id);
	static void pressed(void *data, obs_hotkey_id id, obs_hotkey_t *hotkey, bool pressed);
	static void bindingsChanged(void *data, calldata_t *cd);

	EntryController *controller;
	ConfigStore *store;
	std::map<QString, std::unique_ptr<Slot>> registered;
	OBSSignal bindingsSignal;
};
