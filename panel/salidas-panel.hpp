#pragma once

#include "config/config-store.hpp"
#include "engine/dest-output.hpp"

#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

class ConfigStore;
class EntryHotkeys;
class LiveEntry;
class ElidedLabel;
class PreviewWidget;
class UpdateChecker;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

// A destination's state changed, as the 500 ms loop saw it.
struct DestStateChange {
	QString entryId;
	QString destId;
	DestState previous = DestState::Idle;
	DestStatus status;
};

// The dock: one card per entry of OBS's current scene collection, the running entries of the streaming engine,
// and the 500 ms loop that supervises them and shows their state.
class SalidasPanel : public QWidget {
	Q_OBJECT

public:
	SalidasPanel(ConfigStore *store, const QString &message, QWidget *parent = nullptr);
	~SalidasPanel() override;

	QSize sizeHint() const override;

	// Host events.
	void followObsScene();
	void stopAllEntries();
	// OBS is about to clear the current collection: everything stops, and until reloadCollection nothing starts
	// or takes a source.
	void beginCollectionChange();
	void reloadCollection();
	void shutdown();
	bool isShuttingDown() const { return shuttingDown; }

	// Card actions.
	void addEntry();
	void editEntry(const QString &entryId);
	void deleteEntry(const QString &entryId);
	void toggleDestination(const QString &entryId, const QString &destId);
	// False with the reason (also shown) when it could not switch.
	bool switchEntrySource(const QString &entryId, const QString &name, QString *error = nullptr);

	// From outside the dock (hotkeys, OBS's own stream, remote requests): the two halves of a destination's
	// button, and both for a whole entry or every entry. Each shows its result in the message line as a click
	// does; false with that text when it did not start.
	bool startDestination(const QString &entryId, const QString &destId, QString *error = nullptr);
	void stopDestination(const QString &entryId, const QString &destId);
	bool startEntry(const QString &entryId, QString *error = nullptr);
	void stopEntry(const QString &entryId);
	void stopEveryEntry();
	// Starts every destination of every entry that does not run, in card order; each failure shows on its card.
	void startEveryEntry();
	// OBS's own stream started or stopped: the entries that go with it start or stop.
	void followObsStream(bool started);
	void followObsRecording(bool started);
	// While its dialog is open, nothing from outside starts or switches an entry: the dialog may replace its
	// destinations when it closes.
	bool isBeingEdited(const QString &entryId) const { return !editingId.isEmpty() && editingId == entryId; }
	// Told every destination state change the loop sees, whether the dock is visible or not.
	void setStateListener(std::function<void(const DestStateChange &)> listener);
	// An entry's card title without its icon, for hotkey names and messages.
	static QString entryTitle(const EntryConfig &entry);

	// The status loop.
	void timerTick();
	void refreshStatus();

	void showMessage(const QString &text, bool isError);
	// OBS's scenes or sources were added, removed or renamed: the "Sending now" lists follow. Any thread.
	void queueSourceListRefresh();
	void showUpdateNotice(const QString &version, const QString &address, const QString &notes);

	// What the loop and the host events work on, for the host and tests.
	QList<EntryConfig> &currentEntries();
	bool isStreaming(const QString &entryId) const;
	LiveEntry *liveEntry(const QString &entryId) const;
	size_t retiringCount() const { return retiring.size(); }

private:
	void followObsOutput(bool started, bool recording);
	void rebuildCards();
	// The name of OBS's current scene collection, read when the panel is made and at each change.
	void readCollectionName();
	QWidget *buildCard(const EntryConfig &entry, QWidget *list);
	void destroyPreviewDisplays();
	EntryConfig *findEntry(const QString &entryId);
	LiveEntry &liveEntryFor(const QString &entryId);
	void saveConfig();
	QString resolveSourceName(const EntryConfig &entry) const;
	void reportTransition(const EntryConfig &entry, const DestConfig &dest, DestState previous,
			      const DestStatus &status);
	void refreshEntry(const EntryConfig &entry);
	void startUpdateCheck();
	void stopUpdateCheck();
	void openDownload();
	void reportStateChanges();
	void syncHotkeys();
	void refreshSourceLists();
	void fillSelector(QComboBox *combo, const QString &sent);
	void reportKeyProtection();
	void stopFollowingNames();

	ConfigStore *store;
	bool shuttingDown = false;
	bool changingCollection = false;
	QString collectionName;
	int tickCount = 0;
	int messageSerial = 0;
	std::map<QString, std::unique_ptr<LiveEntry>> liveEntries;
	std::list<std::unique_ptr<LiveEntry>> retiring;
	// A destination's line on its card.
	struct DestLine {
		ElidedLabel *status = nullptr;
		QPushButton *button = nullptr;
		QLabel *mark = nullptr;
	};
	QMap<QString, DestLine> destWidgets;
	QPushButton *stopAllButton = nullptr;
	QHash<QString, QPair<QWidget *, QComboBox *>> sourceRows;
	QHash<QString, PreviewWidget *> previews;
	QSet<QString> previewIds;
	QMap<QString, DestState> lastStates;
	QScrollArea *scrollArea = nullptr;
	QWidget *listWidget = nullptr;
	QVBoxLayout *listLayout = nullptr;
	QLabel *messageLabel = nullptr;
	QWidget *updateBar = nullptr;
	QLabel *updateLabel = nullptr;
	QString downloadUrl;
	std::unique_ptr<UpdateChecker> updateChecker;
	QTimer statusTimer;
	QString editingId;
	QMap<QString, DestState> reportedStates;
	std::function<void(const DestStateChange &)> stateListener;
	std::unique_ptr<EntryHotkeys> hotkeys;
	QWidget *keysBar = nullptr;
	QLabel *keysLabel = nullptr;
	bool keysWarned = false;
	// OBS's global source signals, and whether the frontend's scene-list event is followed.
	std::vector<OBSSignal> nameSignals;
	bool followsSceneList = false;
	std::atomic<bool> sourceListQueued{false};
	int sourceListVersion = 0;
};
