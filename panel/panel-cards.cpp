// The panel's widget, its cards and the small lookups every operation shares.
#include "panel/salidas-panel.hpp"
#include "control/status-text.hpp"
#include "update/update-checker.hpp"
#include "editor/editor-rules.hpp"
#include "editor/message-boxes.hpp"
#include "control/obs-names.hpp"
#include "panel/preview.hpp"
#include "editor/shared-widgets.hpp"
#include "engine/addresses.hpp"
#include "engine/live-entry.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

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

SalidasPanel::SalidasPanel(EntryController *entryController, const QString &message, QWidget *)
	: QWidget(nullptr),
	  controller(entryController)
{
	auto *layout = new QVBoxLayout(this);
	layout->setContentsMargins(4, 4, 4, 4);
	layout->setSpacing(4);
	buildUpdateBar(layout);
	buildKeysBar(layout);
	buildTopRow(layout);
	buildList(layout);

	if (!message.isEmpty()) {
		showMessage(message, true);
		pinnedMessage = message;
	}
	showKeyWarning(controller->keyWarningText());
	followController();
	rebuildCards();
	followSourceNames();
	startUpdateCheck();
}

SalidasPanel::~SalidasPanel()
{
	// First, while the panel is whole: a source signal may be calling in from any thread until this returns.
	stopFollowingNames();
	stopUpdateCheck();
	destroyPreviewDisplays();
}

void SalidasPanel::buildUpdateBar(QVBoxLayout *layout)
{
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
}

void SalidasPanel::buildKeysBar(QVBoxLayout *layout)
{
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
}

void SalidasPanel::buildTopRow(QVBoxLayout *layout)
{
	auto *topRow = new QHBoxLayout();
	auto *add = new QPushButton(translate("＋ Añadir entrada"), this);
	add->setToolTip(translate("Elige una fuente o una escena de OBS y los destinos a los que enviarla"));
	connect(add, &QPushButton::clicked, this, [this] { addEntry(); });
	topRow->addWidget(add, 1);
	auto *startAll = new QPushButton(translate("▶ Emitir todo"), this);
	startAll->setObjectName(QStringLiteral("startAllButton"));
	startAll->setToolTip(translate("Empieza todos los destinos de todas las entradas que no están emitiendo"));
	connect(startAll, &QPushButton::clicked, controller, [this] { controller->startEveryEntry(); });
	topRow->addWidget(startAll);
	stopAllButton = new QPushButton(translate("■ Parar todo"), this);
	stopAllButton->setObjectName(QStringLiteral("stopAllButton"));
	connect(stopAllButton, &QPushButton::clicked, this, [this] {
		if (confirmAction(this, translate("Parar todo"),
				  translate("Se detendrán todas las emisiones de esta colección.\n\n¿Pararlas?"),
				  translate("Sí, parar")) &&
		    controller) {
			controller->stopEveryEntry();
		}
	});
	stopAllButton->hide();
	topRow->addWidget(stopAllButton);
	uploadLabel = new QLabel(this);
	uploadLabel->setObjectName(QStringLiteral("uploadLabel"));
	uploadLabel->setToolTip(translate("Lo que suben ahora todos los destinos en emisión"));
	uploadLabel->hide();
	topRow->addWidget(uploadLabel);
	layout->addLayout(topRow);
}

void SalidasPanel::buildList(QVBoxLayout *layout)
{
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
}

void SalidasPanel::followController()
{
	connect(controller, &EntryController::announced, this, &SalidasPanel::displayMessage);
	connect(controller, &EntryController::keyWarning, this, &SalidasPanel::showKeyWarning);
	connect(controller, &EntryController::entriesChanged, this, &SalidasPanel::rebuildCards);
	connect(controller, &EntryController::statusChanged, this, &SalidasPanel::afterTick);
	connect(controller, &EntryController::releasing, this, [this] {
		destroyPreviewDisplays();
		// Closing for good: OBS destroys every source next, and no list needs to follow.
		if (controller->isShuttingDown()) {
			stopFollowingNames();
		}
	});
}

void SalidasPanel::followSourceNames()
{
	for (const char *signal : {"source_create", "source_remove", "source_destroy", "source_rename"}) {
		nameSignals.emplace_back(obs_get_signal_handler(), signal, sourceSignal, this);
	}
	obs_frontend_add_event_callback(sceneListEvent, this);
	followsSceneList = true;
}

QSize SalidasPanel::sizeHint() const
{
	return QSize(340, 360);
}

void SalidasPanel::showKeyWarning(const QString &text)
{
	keysLabel->setText(text);
	keysBar->setVisible(!text.isEmpty());
}

void SalidasPanel::showMessage(const QString &text, bool isError)
{
	// Keys pasted into an address, user names, passwords and queries are never shown or logged.
	const QString masked = maskAddressQueries(text);
	if (isError && !masked.isEmpty()) {
		logMessage(LOG_WARNING, "%s", masked.toUtf8().constData());
	}
	displayMessage(masked, isError);
}

void SalidasPanel::displayMessage(const QString &text, bool isError)
{
	if (text.isEmpty()) {
		// OBS's own clearing (a finished load, a collection read again) does not take the load's problem away.
		if (pinnedMessage.isEmpty()) {
			messageLabel->hide();
		}
		return;
	}
	pinnedMessage.clear();
	messageLabel->setText(text);
	messageLabel->setStyleSheet(isError ? QStringLiteral("color: #e0524d;") : QString());
	messageLabel->show();
	const int serial = ++messageSerial;
	if (!isError) {
		QTimer::singleShot(8000, this, [this, serial] {
			if (messageSerial == serial) {
				messageLabel->hide();
			}
		});
	}
}

void SalidasPanel::destroyPreviewDisplays()
{
	if (!controller) {
		return;
	}
	for (EntryPipeline *pipeline : controller->pipelines()) {
		destroyPreviewDisplay(pipeline);
	}
}

void SalidasPanel::rebuildCards()
{
	destroyPreviewDisplays();
	previews.clear();
	destWidgets.clear();
	sourceRows.clear();
	billLabels.clear();
	while (QLayoutItem *item = listLayout->takeAt(0)) {
		if (QWidget *widget = item->widget()) {
			widget->hide();
			widget->deleteLater();
		}
		delete item;
	}

	const QList<EntryConfig> entries = controller->currentEntries();
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
	refreshStatus();
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
	auto *card = new QFrame(list);
	card->setFrameShape(QFrame::StyledPanel);
	auto *cardLayout = new QVBoxLayout(card);
	cardLayout->setContentsMargins(6, 6, 6, 6);
	cardLayout->setSpacing(6);
	cardLayout->addLayout(buildCardHeader(entry, card));
	auto *bill = new QLabel(card);
	bill->setObjectName(QStringLiteral("billLabel"));
	bill->setEnabled(false);
	setIgnoredWidth(bill);
	billLabels.insert(entry.id, bill);
	cardLayout->addWidget(bill);
	cardLayout->addWidget(buildSourceRow(entry.id, card));

	auto *preview = new PreviewWidget(card);
	previews.insert(entry.id, preview);
	cardLayout->addWidget(preview);

	if (entry.destinos.isEmpty()) {
		auto *none = new QLabel(translate("Sin destinos. Pulsa «✎ Editar» para añadir uno."), card);
		none->setWordWrap(true);
		none->setEnabled(false);
		cardLayout->addWidget(none);
	}
	for (const DestConfig &dest : entry.destinos) {
		cardLayout->addWidget(buildDestLine(entry.id, dest, card));
	}
	return card;
}

QLayout *SalidasPanel::buildCardHeader(const EntryConfig &entry, QWidget *card)
{
	const QString entryId = entry.id;
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
		title->setToolTip(entry.programaObs ? translate("Lo que OBS emite, con sus transiciones")
				  : entry.seguirObs ? follows
						    : plainToolTip(entry.fuente));
	} else if (entry.programaObs) {
		title->setFullText(translate("📺 Programa de OBS"));
		title->setToolTip(translate("Lo que OBS emite, con sus transiciones"));
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
	return header;
}

QWidget *SalidasPanel::buildSourceRow(const QString &entryId, QWidget *card)
{
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
	connect(selector, QOverload<int>::of(&QComboBox::activated), controller, [this, entryId, selector](int) {
		controller->switchEntrySource(entryId, selector->currentData().toString());
	});
	selectorLayout->addWidget(selector, 1);
	sourceRows.insert(entryId, SourceRow{selectorRow, selector});
	return selectorRow;
}

QWidget *SalidasPanel::buildDestLine(const QString &entryId, const DestConfig &dest, QWidget *card)
{
	const QString destId = dest.id;
	auto *row = new QWidget(card);
	auto *grid = new QGridLayout(row);
	grid->setContentsMargins(0, 0, 0, 0);
	grid->setHorizontalSpacing(6);
	grid->setVerticalSpacing(2);
	grid->setColumnStretch(1, 1);
	QFont bold = row->font();
	bold.setBold(true);

	auto *kind = new QLabel(dest.grabacion ? QStringLiteral("REC") : protocolLabel(classifyAddress(dest.url)), row);
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
	connect(button, &QPushButton::clicked, controller,
		[this, entryId, destId] { controller->toggleDestination(entryId, destId); });
	grid->addWidget(button, 0, 2, 2, 1);
	destWidgets.insert(destId, DestLine{status, button, mark});
	return row;
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
	if (controller && !controller->isShuttingDown() && isVisible()) {
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
