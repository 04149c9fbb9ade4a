// The panel's widget, its cards and the small lookups every operation shares.
#include "panel/salidas-panel.hpp"
#include "panel/panel-hotkeys.hpp"
#include "panel/status-text.hpp"
#include "panel/update-checker.hpp"
#include "editor/editor-rules.hpp"
#include "editor/message-boxes.hpp"
#include "editor/obs-names.hpp"
#include "editor/preview.hpp"
#include "editor/shared-widgets.hpp"
#include "engine/addresses.hpp"
#include "engine/live-entry.hpp"
#include "module/language.hpp"
#include "module/log.hpp"

#include <obs-frontend-api.h>

#include <QDir>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

void sourceSignal(void *panel, calldata_t *)
{
	static_cast<SalidasPanel *>(panel)->queueSourceListRefresh();
}

void sceneListEvent(enum obs_frontend_event event, void *panel)
{
	if (event == OBS_FRONTEND_EVENT_SCENE_LIST_CHANGED) {
		static_cast<SalidasPanel *>(panel)->queueSourceListRefresh();
	}
}

} // namespace

SalidasPanel::SalidasPanel(ConfigStore *configStore, const QString &message, QWidget *) : QWidget(nullptr)
{
	store = configStore;

	auto *layout = new QVBoxLayout(this);
	layout->setContentsMargins(4, 4, 4, 4);
	layout->setSpacing(4);

	updateBar = new QWidget(this);
	auto *barLayout = new QHBoxLayout(updateBar);
	barLayout->setContentsMargins(0, 0, 0, 0);
	updateLabel = new QLabel(updateBar);
	updateLabel->setWordWrap(true);
	barLayout->addWidget(updateLabel, 1);
	auto *download = new QPushButton(translate("Descargar"), updateBar);
	barLayout->addWidget(download);
	auto *hideBar = new QToolButton(updateBar);
	hideBar->setText(QStringLiteral("✕"));
	hideBar->setToolTip(translate("Ocultar este aviso"));
	barLayout->addWidget(hideBar);
	connect(download, &QPushButton::clicked, this, [this] { openDownload(); });
	connect(hideBar, &QToolButton::clicked, updateBar, &QWidget::hide);
	updateBar->hide();
	layout->addWidget(updateBar);

	keysBar = new QWidget(this);
	auto *keysLayout = new QHBoxLayout(keysBar);
	keysLayout->setContentsMargins(0, 0, 0, 0);
	keysLabel = new QLabel(keysBar);
	keysLabel->setTextFormat(Qt::PlainText);
	keysLabel->setWordWrap(true);
	keysLabel->setStyleSheet(QStringLiteral("color: #e0a030;"));
	keysLayout->addWidget(keysLabel, 1);
	auto *hideKeys = new QToolButton(keysBar);
	hideKeys->setText(QStringLiteral("✕"));
	hideKeys->setToolTip(translate("Ocultar este aviso"));
	keysLayout->addWidget(hideKeys);
	connect(hideKeys, &QToolButton::clicked, keysBar, &QWidget::hide);
	keysBar->hide();
	layout->addWidget(keysBar);

	auto *topRow = new QHBoxLayout();
	auto *add = new QPushButton(translate("＋ Añadir entrada"), this);
	add->setToolTip(translate("Elige una fuente o una escena de OBS y los destinos a los que enviarla"));
	connect(add, &QPushButton::clicked, this, [this] { addEntry(); });
	topRow->addWidget(add, 1);
	auto *startAll = new QPushButton(translate("▶ Emitir todo"), this);
	startAll->setObjectName(QStringLiteral("startAllButton"));
	startAll->setToolTip(translate("Empieza todos los destinos de todas las entradas que no están emitiendo"));
	connect(startAll, &QPushButton::clicked, this, [this] { startEveryEntry(); });
	topRow->addWidget(startAll);
	stopAllButton = new QPushButton(translate("■ Parar todo"), this);
	stopAllButton->setObjectName(QStringLiteral("stopAllButton"));
	connect(stopAllButton, &QPushButton::clicked, this, [this] {
		if (confirmAction(this, translate("Parar todo"),
				  translate("Se detendrán todas las emisiones de esta colección.\n\n¿Pararlas?"),
				  translate("Sí, parar"))) {
			stopEveryEntry();
		}
	});
	stopAllButton->hide();
	topRow->addWidget(stopAllButton);
	layout->addLayout(topRow);

	scrollArea = new QScrollArea(this);
	scrollArea->setWidgetResizable(true);
	scrollArea->setFrameShape(QFrame::NoFrame);
	scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	listWidget = new QWidget(scrollArea);
	listLayout = new QVBoxLayout(listWidget);
	listLayout->setContentsMargins(0, 0, 0, 0);
	listLayout->setSpacing(6);
	scrollArea->setWidget(listWidget);
	layout->addWidget(scrollArea, 1);

	messageLabel = new QLabel(this);
	messageLabel->setTextFormat(Qt::PlainText);
	messageLabel->setWordWrap(true);
	messageLabel->hide();
	layout->addWidget(messageLabel);

	if (!message.isEmpty()) {
		showMessage(message, true);
	}
	hotkeys = std::make_unique<EntryHotkeys>(this, store, [this] { saveConfig(); });
	// Loading may already have written the file, with keys it could not protect.
	reportKeyProtection();
	readCollectionName();
	rebuildCards();

	for (const char *signal : {"source_create", "source_remove", "source_destroy", "source_rename"}) {
		nameSignals.emplace_back(obs_get_signal_handler(), signal, sourceSignal, this);
	}
	obs_frontend_add_event_callback(sceneListEvent, this);
	followsSceneList = true;

	statusTimer.setInterval(500);
	connect(&statusTimer, &QTimer::timeout, this, [this] { timerTick(); });
	statusTimer.start();
	startUpdateCheck();
}

SalidasPanel::~SalidasPanel()
{
	// First, while the panel is whole: a hotkey may be calling in from OBS's hotkey thread until this returns, and
	// a source signal from any thread.
	hotkeys.reset();
	stopFollowingNames();
	statusTimer.stop();
	stopUpdateCheck();
	// The members go next: every LiveEntry stops and waits for its outputs, and closes its preview display
	// before the card widgets holding the preview windows are deleted.
}

QSize SalidasPanel::sizeHint() const
{
	return QSize(340, 360);
}

void SalidasPanel::readCollectionName()
{
	// On its first run OBS 31 and later have no collection until they have finished loading, and asking for the
	// current one before that logs an error.
	char **names = obs_frontend_get_scene_collections();
	const bool any = names && names[0];
	bfree(names);
	collectionName.clear();
	if (char *name = any ? obs_frontend_get_current_scene_collection() : nullptr) {
		collectionName = QString::fromUtf8(name);
		bfree(name);
	}
}

QList<EntryConfig> &SalidasPanel::currentEntries()
{
	return store->collections[collectionName];
}

EntryConfig *SalidasPanel::findEntry(const QString &entryId)
{
	for (EntryConfig &entry : currentEntries()) {
		if (entry.id == entryId) {
			return &entry;
		}
	}
	return nullptr;
}

LiveEntry &SalidasPanel::liveEntryFor(const QString &entryId)
{
	std::unique_ptr<LiveEntry> &live = liveEntries[entryId];
	if (!live) {
		live = std::make_unique<LiveEntry>();
	}
	return *live;
}

LiveEntry *SalidasPanel::liveEntry(const QString &entryId) const
{
	auto it = liveEntries.find(entryId);
	return it == liveEntries.end() ? nullptr : it->second.get();
}

bool SalidasPanel::isStreaming(const QString &entryId) const
{
	const LiveEntry *live = liveEntry(entryId);
	return live && live->isRunning();
}

void SalidasPanel::showMessage(const QString &text, bool isError)
{
	if (text.isEmpty()) {
		messageLabel->hide();
		return;
	}
	// Keys pasted into an address, user names, passwords and queries are never shown or logged.
	const QString masked = maskAddressQueries(text);
	messageLabel->setText(masked);
	messageLabel->setStyleSheet(isError ? QStringLiteral("color: #e0524d;") : QString());
	messageLabel->show();
	const int serial = ++messageSerial;
	if (isError) {
		logMessage(LOG_WARNING, "%s", masked.toUtf8().constData());
	} else {
		QTimer::singleShot(8000, this, [this, serial] {
			if (messageSerial == serial) {
				messageLabel->hide();
			}
		});
	}
}

void SalidasPanel::destroyPreviewDisplays()
{
	for (auto &item : liveEntries) {
		if (item.second) {
			destroyPreviewDisplay(item.second->pipelineHandle());
		}
	}
	for (auto &live : retiring) {
		destroyPreviewDisplay(live->pipelineHandle());
	}
}

void SalidasPanel::rebuildCards()
{
	destroyPreviewDisplays();
	previews.clear();
	destWidgets.clear();
	sourceRows.clear();
	while (QLayoutItem *item = listLayout->takeAt(0)) {
		if (QWidget *widget = item->widget()) {
			widget->hide();
			widget->deleteLater();
		}
		delete item;
	}

	const QList<EntryConfig> entries = currentEntries();
	if (entries.isEmpty()) {
		auto *empty = new QLabel(
			translate("Aún no hay entradas.\n\nPulsa «＋ Añadir entrada», elige una escena o una "
				  "fuente y escribe los destinos a los que quieres enviarla (RTMP o SRT)."),
			listWidget);
		empty->setWordWrap(true);
		empty->setEnabled(false);
		listLayout->addWidget(empty);
	}
	for (const EntryConfig &entry : entries) {
		listLayout->addWidget(buildCard(entry, listWidget));
	}
	listLayout->addStretch();
	syncHotkeys();
	refreshStatus();
}

void SalidasPanel::syncHotkeys()
{
	if (hotkeys) {
		hotkeys->sync(currentEntries());
	}
}

QString SalidasPanel::entryTitle(const EntryConfig &entry)
{
	if (!entry.nombre.isEmpty()) {
		return entry.nombre;
	}
	return entry.seguirObs ? translate("↪ Sigue la escena de OBS") : entry.fuente;
}

namespace {

void setIgnoredWidth(QWidget *widget)
{
	widget->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
	widget->setMinimumWidth(16);
}

} // namespace

QWidget *SalidasPanel::buildCard(const EntryConfig &entry, QWidget *list)
{
	const QString entryId = entry.id;
	auto *card = new QFrame(list);
	card->setFrameShape(QFrame::StyledPanel);
	auto *cardLayout = new QVBoxLayout(card);
	cardLayout->setContentsMargins(6, 6, 6, 6);
	cardLayout->setSpacing(6);

	auto *header = new QHBoxLayout();
	header->setSpacing(4);
	auto *title = new ElidedLabel(card);
	QFont bold = title->font();
	bold.setBold(true);
	title->setFont(bold);
	setIgnoredWidth(title);
	const QString follows = translate("↪ Sigue la escena de OBS");
	if (!entry.nombre.isEmpty()) {
		title->setFullText(entry.nombre);
		title->setToolTip(entry.seguirObs ? follows : plainToolTip(entry.fuente));
	} else if (entry.seguirObs) {
		title->setFullText(follows);
		title->setToolTip(translate(
			"Emite la escena que OBS tenga en directo, con las equivalencias que hayas definido"));
	} else {
		title->setFullText(sourceLabel(entry.fuente));
		title->setToolTip(plainToolTip(entry.fuente));
	}
	header->addWidget(title, 1);

	auto *previewButton = new QToolButton(card);
	previewButton->setText(QStringLiteral("👁"));
	previewButton->setAutoRaise(true);
	previewButton->setCheckable(true);
	previewButton->setChecked(previewIds.contains(entryId));
	previewButton->setToolTip(
		translate("Ver lo que se está emitiendo (solo mientras emite). Gasta un poco de tarjeta gráfica."));
	connect(previewButton, &QToolButton::toggled, this, [this, entryId](bool on) {
		if (on) {
			previewIds.insert(entryId);
		} else {
			previewIds.remove(entryId);
		}
		refreshStatus();
	});
	header->addWidget(previewButton);

	auto *edit = new QToolButton(card);
	edit->setText(translate("✎ Editar"));
	edit->setAutoRaise(true);
	edit->setToolTip(translate("Cambiar la fuente, los destinos y los ajustes del codificador. Si está emitiendo, "
				   "solo se puede cambiar la calidad y los ajustes avanzados del codificador."));
	connect(edit, &QToolButton::clicked, this, [this, entryId] { editEntry(entryId); });
	header->addWidget(edit);

	auto *remove = new QToolButton(card);
	remove->setText(QStringLiteral("🗑"));
	remove->setAutoRaise(true);
	remove->setToolTip(translate("Borrar esta entrada y todos sus destinos"));
	connect(remove, &QToolButton::clicked, this, [this, entryId] { deleteEntry(entryId); });
	header->addWidget(remove);
	cardLayout->addLayout(header);

	auto *selectorRow = new QWidget(card);
	selectorRow->hide();
	auto *selectorLayout = new QHBoxLayout(selectorRow);
	selectorLayout->setContentsMargins(0, 0, 0, 0);
	selectorLayout->setSpacing(4);
	selectorLayout->addWidget(new QLabel(translate("Emite ahora:"), selectorRow));
	auto *selector = new QComboBox(selectorRow);
	selector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
	selector->setMinimumContentsLength(6);
	selector->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
	selector->setFocusPolicy(Qt::StrongFocus);
	selector->setToolTip(translate("Cambia lo que emite esta entrada sin cortar la emisión"));
	fillSelector(selector, QString());
	connect(selector, QOverload<int>::of(&QComboBox::activated), this,
		[this, entryId, selector](int) { switchEntrySource(entryId, selector->currentData().toString()); });
	selectorLayout->addWidget(selector, 1);
	sourceRows.insert(entryId, qMakePair(selectorRow, static_cast<QComboBox *>(selector)));
	cardLayout->addWidget(selectorRow);

	auto *preview = new PreviewWidget(card);
	previews.insert(entryId, preview);
	cardLayout->addWidget(preview);

	if (entry.destinos.isEmpty()) {
		auto *none = new QLabel(translate("Sin destinos. Pulsa «✎ Editar» para añadir uno."), card);
		none->setWordWrap(true);
		none->setEnabled(false);
		cardLayout->addWidget(none);
	}
	for (const DestConfig &dest : entry.destinos) {
		const QString destId = dest.id;
		auto *row = new QWidget(card);
		auto *grid = new QGridLayout(row);
		grid->setContentsMargins(0, 0, 0, 0);
		grid->setHorizontalSpacing(6);
		grid->setVerticalSpacing(2);
		grid->setColumnStretch(1, 1);

		auto *kind = new QLabel(
			dest.grabacion ? QStringLiteral("REC") : protocolLabel(classifyAddress(dest.url)), row);
		kind->setFont(bold);
		grid->addWidget(kind, 0, 0);
		const QString shown = !dest.grabacion          ? displayAddress(dest.url)
				      : dest.carpeta.isEmpty() ? translate("Carpeta de grabación de OBS")
							       : QDir::toNativeSeparators(dest.carpeta);
		auto *address = new ElidedLabel(row);
		address->setFullText(shown);
		address->setToolTip(plainToolTip(shown));
		setIgnoredWidth(address);
		grid->addWidget(address, 0, 1);
		auto *line = new QWidget(row);
		auto *lineLayout = new QHBoxLayout(line);
		lineLayout->setContentsMargins(0, 0, 0, 0);
		auto *status = new ElidedLabel(line);
		setIgnoredWidth(status);
		lineLayout->addWidget(status, 1);
		auto *mark = new QLabel(line);
		mark->setObjectName(QStringLiteral("liveMark"));
		mark->setTextFormat(Qt::PlainText);
		mark->hide();
		lineLayout->addWidget(mark);
		grid->addWidget(line, 1, 0, 1, 2);

		auto *button = new QPushButton(translate("▶ Emitir"), row);
		button->setMinimumSize(92, 36);
		button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
		button->setFont(bold);
		connect(button, &QPushButton::clicked, this,
			[this, entryId, destId] { toggleDestination(entryId, destId); });
		grid->addWidget(button, 0, 2, 2, 1);
		destWidgets.insert(destId, DestLine{status, button, mark});
		cardLayout->addWidget(row);
	}
	return card;
}

void SalidasPanel::queueSourceListRefresh()
{
	// Signals come from any thread and in bursts (a whole collection loading): one refresh on the UI thread.
	if (!sourceListQueued.exchange(true)) {
		QMetaObject::invokeMethod(
			this,
			[this] {
				sourceListQueued = false;
				refreshSourceLists();
			},
			Qt::QueuedConnection);
	}
}

void SalidasPanel::stopFollowingNames()
{
	nameSignals.clear();
	if (followsSceneList) {
		followsSceneList = false;
		obs_frontend_remove_event_callback(sceneListEvent, this);
	}
}

void SalidasPanel::refreshSourceLists()
{
	// A hidden dock catches up at its next visible refresh.
	++sourceListVersion;
	if (!shuttingDown && isVisible()) {
		refreshStatus();
	}
}

void SalidasPanel::fillSelector(QComboBox *combo, const QString &sent)
{
	QList<QPair<QString, QString>> items;
	bool sentListed = sent.isEmpty();
	for (const SourceChoice &choice : sourceChoices()) {
		items.append(
			{(choice.isScene ? QStringLiteral("🎬 ") : QStringLiteral("🎥 ")) + choice.name, choice.name});
		sentListed = sentListed || choice.name == sent;
	}
	// What the entry sends is always shown, also a source OBS no longer has (the view still holds it).
	if (!sentListed) {
		items.append({missingNameText(sent), sent});
	}
	combo->setProperty("listVersion", sourceListVersion);
	combo->setProperty("missingItem", sentListed ? QString() : sent);
	bool same = combo->count() == items.size();
	for (int i = 0; same && i < items.size(); ++i) {
		same = combo->itemText(i) == items[i].first && combo->itemData(i).toString() == items[i].second;
	}
	if (same) {
		return;
	}
	const QString selected = sent.isEmpty() ? combo->currentData().toString() : sent;
	const QSignalBlocker blocker(combo);
	combo->clear();
	for (const auto &item : items) {
		combo->addItem(item.first, item.second);
	}
	combo->setCurrentIndex(
		std::max(0, combo->findData(selected, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive)));
}
