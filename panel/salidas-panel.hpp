#pragma once

#include "control/entry-controller.hpp"

#include <obs.hpp>

#include <QHash>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QWidget>

#include <atomic>
#include <memory>
#include <vector>

class ElidedLabel;
class PreviewWidget;
class UpdateChecker;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

// The dock: one card per entry of the controller's collection, showing what each sends and every destination's
// state, and forwarding clicks to the controller.
class SalidasPanel : public QWidget {
	Q_OBJECT

public:
	SalidasPanel(EntryController *controller, const QString &message, QWidget *parent = nullptr);
	~SalidasPanel() override;

	QSize sizeHint() const override;

	// Card actions that need a dialog or a question first.
	void addEntry();
	void editEntry(const QString &entryId);
	void deleteEntry(const QString &entryId);

	// What cards show, refreshed at every tick while the dock is visible.
	void refreshStatus();
	void showMessage(const QString &text, bool isError);
	// OBS's scenes or sources were added, removed or renamed: the "Sending now" lists follow. Any thread.
	void queueSourceListRefresh();
	void showUpdateNotice(const QString &version, const QString &address, const QString &notes);

private:
	// A destination's line on its card.
	struct DestLine {
		ElidedLabel *status = nullptr;
		QPushButton *button = nullptr;
		QLabel *mark = nullptr;
	};
	// A card's "Sending now" row, shown while the entry streams.
	struct SourceRow {
		QWidget *row = nullptr;
		QComboBox *selector = nullptr;
	};

	void buildUpdateBar(QVBoxLayout *layout);
	void buildKeysBar(QVBoxLayout *layout);
	void buildTopRow(QVBoxLayout *layout);
	void buildList(QVBoxLayout *layout);
	void followController();
	void followSourceNames();
	void rebuildCards();
	QWidget *buildCard(const EntryConfig &entry, QWidget *list);
	QLayout *buildCardHeader(const EntryConfig &entry, QWidget *card);
	QWidget *buildSourceRow(const QString &entryId, QWidget *card);
	QWidget *buildDestLine(const QString &entryId, const DestConfig &dest, QWidget *card);
	void afterTick();
	void displayMessage(const QString &text, bool isError);
	void destroyPreviewDisplays();
	// Refreshes one card; returns what its streaming destinations upload now, in kbps.
	int refreshEntry(const EntryConfig &entry);
	void refreshSourceRow(const QString &entryId, LiveEntry *live);
	void refreshDestLine(const DestLine &line, const DestStatus &status, bool active);
	void startUpdateCheck();
	void stopUpdateCheck();
	void openDownload();
	void refreshSourceLists();
	void fillSelector(QComboBox *combo, const QString &sent);
	void showKeyWarning(const QString &text);
	void stopFollowingNames();

	QPointer<EntryController> controller;
	int messageSerial = 0;
	// What loading the settings said: shown until a newer message replaces it.
	QString pinnedMessage;
	QMap<QString, DestLine> destWidgets;
	QPushButton *stopAllButton = nullptr;
	QHash<QString, SourceRow> sourceRows;
	// What each entry costs, and the total upload of everything live.
	QHash<QString, QLabel *> billLabels;
	QLabel *uploadLabel = nullptr;
	QHash<QString, PreviewWidget *> previews;
	QSet<QString> previewIds;
	QScrollArea *scrollArea = nullptr;
	QWidget *listWidget = nullptr;
	QVBoxLayout *listLayout = nullptr;
	QLabel *messageLabel = nullptr;
	QWidget *updateBar = nullptr;
	QLabel *updateLabel = nullptr;
	QString downloadUrl;
	std::unique_ptr<UpdateChecker> updateChecker;
	QWidget *keysBar = nullptr;
	QLabel *keysLabel = nullptr;
	// OBS's global source signals, and whether the frontend's scene-list event is followed.
	std::vector<OBSSignal> nameSignals;
	bool followsSceneList = false;
	std::atomic<bool> sourceListQueued{false};
	int sourceListVersion = 0;
};
