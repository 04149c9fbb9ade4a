#include "editor/entry-dialog.hpp"
#include "editor/dest-row.hpp"
#include "editor/encoder-form.hpp"
#include "editor/message-boxes.hpp"
#include "editor/shared-widgets.hpp"
#include "engine/encoder-settings.hpp"
#include "base/language.hpp"

#include <obs.h>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

QLabel *hintLabel(const QString &text, QWidget *parent)
{
	auto *label = new QLabel(text, parent);
	label->setWordWrap(true);
	label->setEnabled(false);
	return label;
}

EntryDialog::EntryDialog(QWidget *parent, const EntryConfig &entryConfig, bool isEdit, bool isStreaming,
			 const QList<ProfileConfig> &profileList)
	: QDialog(parent),
	  profiles(profileList),
	  entry(entryConfig),
	  streaming(isStreaming)
{
	setWindowTitle(isEdit ? translate("Editar entrada") : translate("Añadir entrada"));
	setMinimumWidth(480);
	resize(540, 640);
	if (QScreen *where = screen()) {
		resize(540, std::min(640, where->availableGeometry().height() - 80));
	}

	auto *outer = new QVBoxLayout(this);
	auto *scroll = new QScrollArea(this);
	scroll->setWidgetResizable(true);
	scroll->setFrameShape(QFrame::NoFrame);
	scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	outer->addWidget(scroll, 1);
	auto *content = new QWidget(scroll);
	auto *contentLayout = new QVBoxLayout(content);
	contentLayout->setContentsMargins(0, 0, 6, 0);
	auto *form = new QFormLayout();
	form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
	contentLayout->addLayout(form);

	buildSourceRows(form);
	buildVideoRows(form);
	buildAudioRows(form);
	buildPictureRows(form);
	buildWithObsRows(form);
	form->addRow(translate("Perfil:"), buildProfileRow());
	contentLayout->addWidget(hintLabel(
		translate("Si eliges una escena se emite la escena completa con su audio. Si eliges una fuente, "
			  "se emite sola, ajustada al tamaño del lienzo."),
		content));
	buildDestinationsSection(content, contentLayout);
	scroll->setWidget(content);
	buildButtons(outer);

	selectStartingEncoder(isEdit);
	addStoredDestinations();
	if (streaming) {
		lockForLive();
	}
	updateFollowState();
	updateFramingEnabled();
	connect(sizeCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, &EntryDialog::updateFramingEnabled);
}

void EntryDialog::buildSourceRows(QFormLayout *form)
{
	form->addRow(translate("Qué quieres emitir:"), buildSourceCombo());

	nameField = new QLineEdit(entry.nombre, this);
	nameField->setObjectName(QStringLiteral("nameField"));
	nameField->setMaxLength(80);
	nameField->setPlaceholderText(translate("Si lo dejas vacío, se usa el nombre de la fuente"));
	form->addRow(translate("Nombre (opcional):"), nameField);

	buildFollowRows(form);
}

void EntryDialog::buildVideoRows(QFormLayout *form)
{
	encoderCombo = new NoWheelComboBox(this);
	encoderCombo->setObjectName(QStringLiteral("encoderCombo"));
	for (const EncoderChoice &choice : videoEncoderChoices()) {
		encoderCombo->addItem(choice.label, choice.id);
	}
	form->addRow(translate("Codificador de vídeo:"), encoderCombo);
	buildAdvancedSection(form);

	videoKbpsBox = new NoWheelSpinBox(this);
	videoKbpsBox->setObjectName(QStringLiteral("videoKbpsBox"));
	videoKbpsBox->setRange(ConfigLimits::minVideoKbps, ConfigLimits::maxVideoKbps);
	videoKbpsBox->setSingleStep(500);
	videoKbpsBox->setSuffix(QStringLiteral(" kbps"));
	videoKbpsBox->setValue(entry.videoKbps);
	form->addRow(translate("Calidad de vídeo:"), videoKbpsBox);
}

void EntryDialog::buildAudioRows(QFormLayout *form)
{
	audioKbpsCombo = new NoWheelComboBox(this);
	audioKbpsCombo->setObjectName(QStringLiteral("audioKbpsCombo"));
	for (int kbps : audioBitrateChoices) {
		audioKbpsCombo->addItem(QStringLiteral("%1 kbps").arg(kbps), kbps);
	}
	const int audioIndex = audioKbpsCombo->findData(entry.audioKbps);
	audioKbpsCombo->setCurrentIndex(audioIndex >= 0 ? audioIndex : 1);
	form->addRow(translate("Calidad de audio:"), audioKbpsCombo);

	audioCodecCombo = new NoWheelComboBox(this);
	audioCodecCombo->setObjectName(QStringLiteral("audioCodecCombo"));
	audioCodecCombo->addItem(QStringLiteral("aac"));
	audioCodecCombo->addItem(QStringLiteral("opus"));
	selectAudioCodec(audioCodecCombo, entry.codificadorAudio);
	audioCodecCombo->setToolTip(
		translate("Códec de audio. «aac» = AAC (por defecto). «opus» = Opus (menor latencia "
			  "hacia el navegador, si el servidor lo admite)."));
	form->addRow(translate("Códec de audio:"), audioCodecCombo);

	audioDelayBox = new NoWheelSpinBox(this);
	audioDelayBox->setObjectName(QStringLiteral("audioDelayBox"));
	audioDelayBox->setRange(ConfigLimits::minAudioDelayMs, ConfigLimits::maxAudioDelayMs);
	audioDelayBox->setSingleStep(20);
	audioDelayBox->setSuffix(QStringLiteral(" ms"));
	audioDelayBox->setValue(entry.retrasoAudioMs);
	audioDelayBox->setToolTip(translate(
		"Retrasa el audio de esta entrada. Súbelo si el sonido se oye antes que la imagen (prueba con "
		"100-300 ms). Se puede cambiar con la emisión en marcha."));
	form->addRow(translate("Retraso de audio:"), audioDelayBox);
}

void EntryDialog::buildPictureRows(QFormLayout *form)
{
	sizeCombo = new NoWheelComboBox(this);
	sizeCombo->setObjectName(QStringLiteral("sizeCombo"));
	for (const SizePreset &preset : sizePresets) {
		sizeCombo->addItem(translate(preset.label), QSize(preset.width, preset.height));
	}
	int sizeIndex = sizeCombo->findData(QSize(entry.ancho, entry.alto));
	if (sizeIndex < 0 && entry.ancho > 0) {
		sizeCombo->addItem(customSizeLabel(entry.ancho, entry.alto), QSize(entry.ancho, entry.alto));
		sizeIndex = sizeCombo->count() - 1;
	}
	sizeCombo->setCurrentIndex(std::max(sizeIndex, 0));
	form->addRow(translate("Tamaño de imagen:"), sizeCombo);

	framingCombo = new NoWheelComboBox(this);
	framingCombo->setObjectName(QStringLiteral("framingCombo"));
	framingCombo->addItem(translate("Ajustar, con bandas si no coincide"), 0);
	framingCombo->addItem(translate("Llenar, recortando lo que sobre"), 1);
	framingCombo->setCurrentIndex(entry.llenar ? 1 : 0);
	form->addRow(translate("Encuadre:"), framingCombo);

	frameRateCombo = new NoWheelComboBox(this);
	frameRateCombo->setObjectName(QStringLiteral("frameRateCombo"));
	obs_video_info ovi = {};
	obs_get_video_info(&ovi);
#if LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0)
	const bool fractions = true;
#else
	const bool fractions = false;
#endif
	for (const FrameRateChoice &choice : frameRateChoices(ovi.fps_num, ovi.fps_den, fractions)) {
		frameRateCombo->addItem(choice.label, choice.divisor);
	}
	frameRateCombo->setCurrentIndex(std::max(frameRateCombo->findData(entry.divisorFps), 0));
	// Where OBS cannot encode at a fraction of its rate, the field only says so; a rate chosen elsewhere is kept.
	frameRateCombo->setEnabled(fractions);
	frameRateCombo->setProperty("offered", fractions);
	frameRateCombo->setToolTip(fractions
					   ? translate("Menos fotogramas por segundo gastan menos al codificar; "
						       "OBS sigue a su propia frecuencia.")
					   : translate("Esta versión de OBS codifica siempre a su propia frecuencia."));
	form->addRow(translate("Fotogramas por segundo:"), frameRateCombo);
}

void EntryDialog::buildWithObsRows(QFormLayout *form)
{
	// Not under the live lock: they only say when the entry starts and stops.
	const auto withObs = [&](QCheckBox *&check, const char *objectName, const char *text, bool checked) {
		check = new QCheckBox(translate(text), this);
		check->setObjectName(QLatin1String(objectName));
		check->setChecked(checked);
		check->setToolTip(translate("Todos los destinos de esta entrada. Se puede cambiar con la emisión en "
					    "marcha."));
		form->addRow(QString(), check);
	};
	withObs(startWithStreamCheck, "startWithStreamCheck", "Empezar cuando OBS empiece a emitir",
		entry.iniciarConStream);
	withObs(stopWithStreamCheck, "stopWithStreamCheck", "Parar cuando OBS deje de emitir", entry.pararConStream);
	withObs(startWithRecordingCheck, "startWithRecordingCheck", "Empezar cuando OBS empiece a grabar",
		entry.iniciarConGrabacion);
	withObs(stopWithRecordingCheck, "stopWithRecordingCheck", "Parar cuando OBS deje de grabar",
		entry.pararConGrabacion);
}

void EntryDialog::buildDestinationsSection(QWidget *content, QVBoxLayout *contentLayout)
{
	contentLayout->addSpacing(4);
	contentLayout->addWidget(new QLabel(translate("<b>Destinos</b>"), content));
	destinationsLayout = new QVBoxLayout();
	destinationsLayout->setSpacing(6);
	contentLayout->addLayout(destinationsLayout);
	addDestButton = new QPushButton(translate("＋ Añadir otro destino"), content);
	addDestButton->setObjectName(QStringLiteral("addDestButton"));
	contentLayout->addWidget(addDestButton);
	showKeysCheck = new QCheckBox(translate("Mostrar claves"), content);
	showKeysCheck->setObjectName(QStringLiteral("showKeysCheck"));
	contentLayout->addWidget(showKeysCheck);
	contentLayout->addWidget(
		hintLabel(translate("Las claves se guardan en tu ordenador, dentro de la configuración de "
				    "OBS. No las compartas ni envíes ese archivo a nadie."),
			  content));
	contentLayout->addStretch();
}

void EntryDialog::buildButtons(QVBoxLayout *outer)
{
	auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
	buttons->button(QDialogButtonBox::Ok)->setText(translate("Aceptar"));
	buttons->button(QDialogButtonBox::Cancel)->setText(translate("Cancelar"));
	outer->addWidget(buttons);
	connect(buttons, &QDialogButtonBox::accepted, this, &EntryDialog::accept);
	connect(buttons, &QDialogButtonBox::rejected, this, &EntryDialog::reject);
}

void EntryDialog::selectStartingEncoder(bool isEdit)
{
	// A new entry starts on the recommended encoder; an edited one keeps its own. One this OBS does not offer
	// (a retired id, a plug-in gone) stays chosen, its settings untouched, until the user picks another.
	int storedEncoder = encoderCombo->findData(entry.codificador);
	if (isEdit && storedEncoder < 0 && !entry.codificador.isEmpty()) {
		unofferedEncoder = entry.codificador;
		encoderCombo->insertItem(0, translate("%1 (no disponible en este OBS)").arg(entry.codificador),
					 entry.codificador);
		storedEncoder = 0;
	}
	encoderCombo->setCurrentIndex(isEdit ? std::max(storedEncoder, 0) : 0);
	rebuildEncoderForm(isEdit && storedEncoder >= 0 ? entry.ajustesCodificador : QString());
	connect(encoderCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] {
		rebuildEncoderForm(QString());
		updateSharingState();
		updateEncoderOffer();
	});
}

void EntryDialog::addStoredDestinations()
{
	for (const DestConfig &destination : entry.destinos) {
		addDestRow(destination);
	}
	if (entry.destinos.isEmpty()) {
		addDestRow(DestConfig());
	}
	connect(addDestButton, &QPushButton::clicked, this, [this] { addDestRow(DestConfig()); });
	connect(showKeysCheck, &QCheckBox::toggled, this, [this](bool checked) {
		for (DestRowWidget *row : destRows) {
			row->keyField()->setEchoMode(checked ? QLineEdit::Normal : QLineEdit::Password);
			row->passphraseField()->setEchoMode(checked ? QLineEdit::Normal : QLineEdit::Password);
		}
	});
}

void EntryDialog::lockForLive()
{
	for (QWidget *locked : std::initializer_list<QWidget *>{
		     sourceCombo, followCheck, trackCombo, equivalencePanel, encoderCombo, audioKbpsCombo,
		     audioCodecCombo, sizeCombo, framingCombo, frameRateCombo, addDestButton}) {
		locked->setEnabled(false);
	}
	for (DestRowWidget *row : destRows) {
		row->setEnabled(false);
	}
}

EntryDialog::~EntryDialog() = default;

QList<EncoderChoice> EntryDialog::videoEncoderChoices()
{
	QList<EncoderCandidate> candidates;
	const char *id = nullptr;
	for (size_t i = 0; obs_enum_encoder_types(i, &id); ++i) {
		if (!id) {
			continue;
		}
		EncoderCandidate candidate;
		candidate.id = QString::fromUtf8(id);
		candidate.video = obs_get_encoder_type(id) == OBS_ENCODER_VIDEO;
		candidate.codec = QString::fromUtf8(obs_get_encoder_codec(id));
		const uint32_t caps = obs_get_encoder_caps(id);
		candidate.deprecated = (caps & OBS_ENCODER_CAP_DEPRECATED) != 0;
		candidate.internal = (caps & OBS_ENCODER_CAP_INTERNAL) != 0;
		if (const char *name = obs_encoder_get_display_name(id)) {
			candidate.displayName = QString::fromUtf8(name);
		}
		candidates.append(candidate);
	}
	return orderEncoderChoices(candidates);
}

void EntryDialog::selectAudioCodec(QComboBox *combo, const QString &text)
{
	QString codec = text.trimmed();
	if (codec.isEmpty()) {
		codec = QStringLiteral("aac");
	}
	int index = combo->findData(codec, Qt::DisplayRole, Qt::MatchFixedString);
	if (index < 0) {
		// A codec written by hand in the settings file stays selectable and is stored again as written.
		combo->addItem(codec);
		index = combo->count() - 1;
	}
	combo->setCurrentIndex(index);
}

void EntryDialog::buildAdvancedSection(QFormLayout *form)
{
	advancedToggle = new QToolButton(this);
	advancedToggle->setObjectName(QStringLiteral("advancedToggle"));
	advancedToggle->setText(translate(" Ajustes avanzados del codificador"));
	advancedToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
	advancedToggle->setArrowType(Qt::RightArrow);
	advancedToggle->setAutoRaise(true);
	advancedToggle->setCheckable(true);
	form->addRow(QString(), advancedToggle);

	advancedPanel = new QWidget(this);
	auto *layout = new QVBoxLayout(advancedPanel);
	layout->setContentsMargins(0, 0, 0, 0);
	layout->addWidget(hintLabel(
		translate(
			"Son los mismos ajustes que ofrece OBS para este codificador (fotogramas B, preajuste, "
			"perfil...). Si no sabes qué hace uno, déjalo como está. En x264, las opciones extra se escriben "
			"en el campo de opciones personalizadas, por ejemplo: bframes=2 ref=3"),
		advancedPanel));
	encoderForm = new EncoderForm(advancedPanel);
	encoderForm->setObjectName(QStringLiteral("encoderForm"));
	layout->addWidget(encoderForm);
	advancedPanel->hide();
	form->addRow(advancedPanel);
	connect(advancedToggle, &QToolButton::toggled, this, &EntryDialog::showAdvanced);
}

void EntryDialog::showAdvanced(bool checked)
{
	advancedPanel->setVisible(checked);
	advancedToggle->setArrowType(checked ? Qt::DownArrow : Qt::RightArrow);
	if (!checked) {
		return;
	}
	const QRect available = screen() ? screen()->availableGeometry() : QRect(0, 0, 1280, 800);
	const int target = std::min(available.height() - 80, 860);
	resize(width(), std::max(height(), target));
	// The frame geometry is only final once the resize has been handled.
	QTimer::singleShot(0, this, [this, available] {
		const int overlap = frameGeometry().bottom() - available.bottom();
		if (overlap > 0) {
			move(x(), std::max(available.top(), y() - overlap));
		}
	});
}

void EntryDialog::updateFramingEnabled()
{
	framingCombo->setEnabled(!streaming && sharedEncoderChoice().isEmpty() &&
				 sizeCombo->currentData().toSize().width() >= 1);
}

void EntryDialog::rebuildEncoderForm(const QString &settingsText)
{
	const QString shared = sharedEncoderChoice();
	if (!shared.isEmpty()) {
		encoderForm->showHint(sharedEncoderHint(shared));
		return;
	}
	const QByteArray id = encoderCombo->currentData().toString().toUtf8();
	if (!unofferedEncoder.isEmpty() && QString::fromUtf8(id) == unofferedEncoder) {
		encoderForm->showHint(translate("«%1» no está disponible en este OBS: sus ajustes se guardan tal como "
						"están. Elige otro codificador para emitir desde aquí.")
					      .arg(unofferedEncoder));
		return;
	}
	encoderForm->load(id.constData(),
			  buildVideoEncoderSettings(QString::fromUtf8(id), videoKbpsBox->value(), settingsText));
}

QString EntryDialog::currentEncoderSettingsJson() const
{
	obs_data_t *settings = encoderForm->settingsObject();
	if (!settings) {
		return QString();
	}
	obs_data_set_int(settings, "bitrate", videoKbpsBox->value());
	const char *json = obs_data_get_json(settings);
	return json ? QString::fromUtf8(json) : QString();
}

void EntryDialog::addDestRow(const DestConfig &destination)
{
	QWidget *holder = destinationsLayout->parentWidget();
	auto *row = new DestRowWidget(destination, holder, [this](DestRowWidget *which) { removeDestRow(which); });
	if (showKeysCheck && showKeysCheck->isChecked()) {
		row->keyField()->setEchoMode(QLineEdit::Normal);
		row->passphraseField()->setEchoMode(QLineEdit::Normal);
	}
	destRows.append(row);
	destinationsLayout->addWidget(row);
	connect(row, &DestRowWidget::kindChanged, this, &EntryDialog::updateEncoderOffer);
	updateEncoderOffer();
}

void EntryDialog::removeDestRow(DestRowWidget *row)
{
	destRows.removeOne(row);
	row->hide();
	row->deleteLater();
	updateEncoderOffer();
}

void EntryDialog::accept()
{
	const QString sourceProblem = followProblem();
	if (!sourceProblem.isEmpty()) {
		showNotice(this, sourceProblem);
		return;
	}
	// Locked rows come back exactly as they were passed in, so they are not checked: an address that could not
	// be opened here must not keep the user from changing the bitrate of a running entry.
	if (!streaming) {
		QList<DestTexts> rows;
		for (const DestRowWidget *row : destRows) {
			rows.append(row->texts());
		}
		QString problem = firstDestinationProblem(rows);
		// OBS's own encoder is checked when the entry starts: it may change until then.
		if (problem.isEmpty() && sharedEncoderChoice().isEmpty()) {
			const QByteArray encoder = encoderCombo->currentData().toString().toUtf8();
			problem = codecProblem(rows, QString::fromUtf8(obs_get_encoder_codec(encoder.constData())),
					       audioCodecCombo->currentText(), carriedCodecs);
		}
		if (!problem.isEmpty()) {
			showNotice(this, problem);
			return;
		}
	}
	QDialog::accept();
}

EncodingConfig EntryDialog::shownEncoding(const QString &settingsWithoutForm) const
{
	EncodingConfig encoding;
	// While OBS's encoder is shared, the entry's own stays stored for when it encodes again.
	encoding.codificador = sharedEncoderChoice().isEmpty() ? encoderCombo->currentData().toString()
							       : entry.codificador;
	encoding.videoKbps = videoKbpsBox->value();
	encoding.audioKbps = audioKbpsCombo->currentData().toInt();
	encoding.codificadorAudio = audioCodecCombo->currentText();
	encoding.ajustesCodificador = encoderForm->settingsObject() ? currentEncoderSettingsJson()
								    : settingsWithoutForm;
	return encoding;
}

EntryConfig EntryDialog::resultConfig() const
{
	EntryConfig shown = entry;
	static_cast<EncodingConfig &>(shown) = shownEncoding(entry.ajustesCodificador);
	shown.nombre = nameField->text().trimmed();
	writeFollowResult(shown);
	const QSize size = sizeCombo->currentData().toSize();
	shown.ancho = size.width();
	shown.alto = size.height();
	shown.llenar = framingCombo->currentData().toInt() == 1;
	if (frameRateCombo->isEnabled()) {
		shown.divisorFps = frameRateCombo->currentData().toInt();
	}
	shown.retrasoAudioMs = audioDelayBox->value();
	shown.iniciarConStream = startWithStreamCheck->isChecked();
	shown.pararConStream = stopWithStreamCheck->isChecked();
	shown.iniciarConGrabacion = startWithRecordingCheck->isChecked();
	shown.pararConGrabacion = stopWithRecordingCheck->isChecked();
	shown.destinos.clear();
	for (const DestRowWidget *row : destRows) {
		const DestTexts texts = row->texts();
		if (!isBlankDestination(texts)) {
			shown.destinos.append(destinationFromRow(row->sourceRecord(), texts));
		}
	}

	// Locked widgets may not show the stored values exactly (an encoder OBS no longer offers): a locked dialog
	// takes only what may change live, and everything else comes back as it was passed in.
	EntryConfig result = entry;
	if (streaming) {
		copyEditableWhileLive(shown, result);
	} else {
		result = shown;
	}
	if (result.id.isEmpty()) {
		result.id = newIdentifier();
	}
	return result;
}
