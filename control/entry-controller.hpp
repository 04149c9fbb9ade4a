#pragma once

#include "config/config-store.hpp"
#include "engine/dest-output.hpp"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <obs.hpp>

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

class EntryHotkeys;
class EntryPipeline;
class LiveEntry;

// A destination's state changed, as the supervision saw it.
struct DestStateChange {
	QString entryId;
	QString destId;
	DestState previous = DestState::Idle;
	DestStatus status;
};

// The running entries of OBS's current scene collection and everything that acts on them: the supervision loop,
// OBS's events, and the operations the dock, the hotkeys, the remote requests and OBS's own stream call. Lives on
// the UI thread; needs no widget, so streaming, logging and announcements are the same whether a dock is shown,
// hidden or absent.
class EntryController : public QObject {
	Q_OBJECT

public:
	explicit EntryController(ConfigStore *store, QObject *parent = nullptr);
	// Unregisters the hotkeys, then stops every entry and waits for its outputs.
	~EntryController() override;
	EntryController(const EntryController &) = delete;
	EntryController &operator=(const EntryController &) = delete;

	ConfigStore &store() const { return *configStore; }

	// Host events.
	void followObsScene();
	// OBS's own stream or recording started or stopped: the entries that go with it start or stop.
	void followObsStream(bool started);
	void followObsRecording(bool started);
	// Stops every entry, retiring ones too, and waits for their outputs.
	void releaseAllEntries();
	// OBS is about to clear the current collection: everything stops, and until reloadCollection nothing starts or
	// takes a source.
	void beginCollectionChange();
	void reloadCollection();
	// OBS renamed the current collection: its entries move to the new name and go on as they were.
	void followCollectionRename();
	// For good: nothing starts afterwards.
	void shutdown();
	bool isShuttingDown() const { return shuttingDown; }

	// The two halves of a destination's button, and both for a whole entry or every entry. Each announces its
	// result; false with that text when it did not start.
	bool startDestination(const QString &entryId, const QString &destId, QString *error = nullptr);
	void stopDestination(const QString &entryId, const QString &destId);
	void toggleDestination(const QString &entryId, const QString &destId);
	bool startEntry(const QString &entryId, QString *error = nullptr);
	void stopEntry(const QString &entryId);
	// Starts every destination of every entry that does not run, in card order; each failure is announced.
	void startEveryEntry();
	void stopEveryEntry();
	// False with the reason (also announced) when it could not switch.
	bool switchEntrySource(const QString &entryId, const QString &name, QString *error = nullptr);

	// Changes to the entries.
	void addEntry(const EntryConfig &entry);
	void deleteEntry(const QString &entryId);
	// Takes over an entry from its dialog; locked: the dialog was opened while the entry streamed.
	void applyEdit(const QString &entryId, EntryConfig edited, bool locked);
	// The scene collection whose entries are current, and a number that changes only when OBS changes to another
	// one (not when it renames it).
	const QString &collection() const { return collectionName; }
	int collectionSerial() const { return collectionChanges; }
	// A dialog's result when OBS changed scene collection while it was open: it lands in the collection it was
	// opened for (added, or replacing the entry of that id), and the user is told where.
	void keepInCollection(const QString &collection, const EntryConfig &entry);
	void setProfiles(const QList<ProfileConfig> &profiles);
	// Writes the settings file; a failure or keys stored readable are announced.
	bool save();
	// The warning about keys stored readable, while it holds (for a dock made after it was announced).
	QString keyWarningText() const { return keysText; }
	// While its dialog is open, nothing from outside starts or switches an entry: the dialog may replace its
	// destinations when it closes. Empty: none.
	void setEditing(const QString &entryId) { editingId = entryId; }
	bool isBeingEdited(const QString &entryId) const { return !editingId.isEmpty() && editingId == entryId; }

	// What the loop works on.
	QList<EntryConfig> &currentEntries();
	EntryConfig *findEntry(const QString &entryId);
	LiveEntry *liveEntry(const QString &entryId) const;
	bool isStreaming(const QString &entryId) const;
	bool anyStreaming() const;
	size_t retiringCount() const { return retiring.size(); }
	// Every pipeline of a running or retiring entry, for the dock's previews.
	std::vector<EntryPipeline *> pipelines() const;
	// The source an entry sends now: its own, or the equivalent of OBS's live scene when it follows OBS.
	QString resolveSourceName(const EntryConfig &entry) const;
	// An entry's card title without its icon, for hotkey names and messages.
	static QString entryTitle(const EntryConfig &entry);

	// Told every destination state change, wherever it comes from.
	void setStateListener(std::function<void(const DestStateChange &)> listener);
	// The supervision, every 500 ms on its own timer; tests may call it directly.
	void tick();

signals:
	// A message for the user (masked; errors are already logged). Empty text: the last one no longer holds.
	void announced(const QString &text, bool isError);
	// The warning about keys stored readable; empty text: they are protected again.
	void keyWarning(const QString &text);
	// The collection or its entries changed: cards are made again.
	void entriesChanged();
	// A tick or an operation ran: what cards show may have changed.
	void statusChanged();
	// Every entry is about to stop for good (shutdown) or for a collection change: views of them go first.
	void releasing();

private:
	void announce(const QString &text, bool isError);
	void readCollectionName();
	LiveEntry &liveEntryFor(const QString &entryId);
	bool startChecked(const EntryConfig &entry, const QString &destId, QString *error);
	bool refuse(const QString &text, QString *error);
	void followObsOutput(bool started, bool recording);
	void reportStateChanges();
	void reportKeyProtection();
	void retire(const QString &entryId);
	void changed();
	// OBS renamed a source: entries that name it, as what they send or in their equivalences, follow.
	void followRename(const QString &previous, const QString &renamed);
	static void onSourceRename(void *data, calldata_t *cd);

	ConfigStore *configStore;
	bool shuttingDown = false;
	bool changingCollection = false;
	QString collectionName;
	int collectionChanges = 0;
	// Collections renamed while this ran: old name to new.
	QHash<QString, QString> renamedCollections;
	QString editingId;
	int tickCount = 0;
	std::map<QString, std::unique_ptr<LiveEntry>> liveEntries;
	std::list<std::unique_ptr<LiveEntry>> retiring;
	QMap<QString, DestState> reportedStates;
	std::function<void(const DestStateChange &)> stateListener;
	std::unique_ptr<EntryHotkeys> hotkeys;
	bool keysWarned = false;
	QString keysText;
	QTimer timer;
	// Last, so that it is disconnected first.
	OBSSignal renameSignal;
};
