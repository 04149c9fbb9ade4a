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

#include <list>
#include <map>
#include <memory>

class ConfigStore;
class LiveEntry;
class ElidedLabel;
class PreviewWidget;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

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
	void reloadCollection();
	void shutdown();
	bool isShuttingDown() const { return shuttingDown; }

	// Card actions.
	void addEntry();
	void editEntry(const QString &entryId);
	void deleteEntry(const QString &entryId);
	void toggleDestination(const QString &entryId, const QString &destId);
	void switchEntrySource(const QString &entryId, const QString &name);

	// The status loop.
	void timerTick();
	void refreshStatus();

	void showMessage(const QString &text, bool isError);
	void showUpdateNotice(const QString &version, const QString &address, const QString &notes);

	// What the loop and the host events work on, for the host and tests.
	QList<EntryConfig> &currentEntries();
	bool isStreaming(const QString &entryId) const;
	LiveEntry *liveEntry(const QString &entryId) const;
	size_t retiringCount() const { return retiring.size(); }

private:
	void rebuildCards();
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

	ConfigStore *store;
	bool shuttingDown = false;
	int tickCount = 0;
	int messageSerial = 0;
	std::map<QString, std::unique_ptr<LiveEntry>> liveEntries;
	std::list<std::unique_ptr<LiveEntry>> retiring;
	QMap<QString, QPair<ElidedLabel *, QPushButton *>> destWidgets;
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
	QTimer statusTimer;
};
