#include "editor/dest-row.hpp"
#include "editor/shared-widgets.hpp"
#include "engine/addresses.hpp"
#include "engine/recording-path.hpp"
#include "base/language.hpp"

#include "control/obs-names.hpp"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

DestRowWidget::DestRowWidget(const DestConfig &destination, QWidget *parent,
			     std::function<void(DestRowWidget *)> removeRequested)
	: QFrame(parent),
	  source(destination)
{
	setFrameShape(QFrame::StyledPanel);

	templates = new NoWheelComboBox(this);
	templates->setObjectName(QStringLiteral("destTemplate"));
	templates->setFocusPolicy(Qt::StrongFocus);
	templates->addItem(translate("Plantilla de destino…"));
	const bool whip = obsHasWhip();
	for (const DestTemplate &entry : destTemplates) {
		if (templateOffered(entry.address, whip)) {
			templates->addItem(translate(entry.name), QString::fromUtf8(entry.address));
		}
	}
	templates->addItem(translate("Grabación en un archivo"), QStringLiteral("grabacion"));
	templates->setToolTip(
		translate("Rellena la dirección de la plataforma; después solo tienes que pegar tu clave de emisión"));
	templates->setCurrentIndex(source.grabacion ? templates->count() - 1 : templateForAddress(source.url) + 1);

	address = new QLineEdit(source.url, this);
	address->setObjectName(QStringLiteral("destAddress"));
	address->setPlaceholderText(translate("rtmp://servidor/aplicacion   o   srt://servidor:puerto"));

	auto *remove = new QToolButton(this);
	remove->setObjectName(QStringLiteral("destRemove"));
	remove->setText(QStringLiteral("✖"));
	remove->setAutoRaise(true);
	remove->setToolTip(translate("Quitar este destino"));

	key = new QLineEdit(source.clave, this);
	key->setObjectName(QStringLiteral("destKey"));
	key->setEchoMode(QLineEdit::Password);

	passphrase = new QLineEdit(source.contrasena, this);
	passphrase->setObjectName(QStringLiteral("destPassphrase"));
	passphrase->setEchoMode(QLineEdit::Password);
	passphrase->setPlaceholderText(translate("Contraseña SRT (opcional)"));

	typeLine = new QLabel(this);
	typeLine->setObjectName(QStringLiteral("destType"));
	typeLine->setEnabled(false);
	typeLine->setWordWrap(true);

	auto *grid = new QGridLayout(this);
	grid->setContentsMargins(6, 6, 6, 6);
	grid->setHorizontalSpacing(6);
	grid->setVerticalSpacing(4);
	grid->setColumnStretch(0, 1);
	grid->setColumnStretch(1, 1);
	grid->addWidget(templates, 0, 0, 1, 2);
	grid->addWidget(remove, 0, 2);
	grid->addWidget(address, 1, 0, 1, 3);
	grid->addWidget(key, 2, 0);
	grid->addWidget(passphrase, 2, 1);
	grid->addWidget(typeLine, 3, 0, 1, 3);
	grid->addWidget(buildRecordingFields(), 4, 0, 1, 3);

	connect(templates, qOverload<int>(&QComboBox::activated), this, &DestRowWidget::chooseTemplate);
	connect(address, &QLineEdit::textChanged, this, &DestRowWidget::addressEdited);
	connect(key, &QLineEdit::textChanged, this, &DestRowWidget::updateDetectedType);
	connect(remove, &QToolButton::clicked, this, [this, removeRequested] {
		if (removeRequested) {
			removeRequested(this);
		}
	});
	showKind(source.grabacion);
}

QWidget *DestRowWidget::buildRecordingFields()
{
	recordingFields = new QWidget(this);
	auto *layout = new QGridLayout(recordingFields);
	layout->setContentsMargins(0, 0, 0, 0);
	layout->setColumnStretch(0, 1);
	folder = new QLineEdit(source.carpeta, recordingFields);
	folder->setObjectName(QStringLiteral("recFolder"));
	folder->setPlaceholderText(translate("Carpeta de grabación de OBS: %1").arg(obsRecordingFolder()));
	auto *browse = new QToolButton(recordingFields);
	browse->setObjectName(QStringLiteral("recBrowse"));
	browse->setText(QStringLiteral("…"));
	browse->setToolTip(translate("Elegir la carpeta"));
	connect(browse, &QToolButton::clicked, this, [this] {
		const QString chosen = QFileDialog::getExistingDirectory(this, translate("Carpeta de la grabación"),
									 folder->text().isEmpty() ? obsRecordingFolder()
												  : folder->text());
		if (!chosen.isEmpty()) {
			folder->setText(chosen);
		}
	});
	pattern = new QLineEdit(source.patron, recordingFields);
	pattern->setObjectName(QStringLiteral("recPattern"));
	pattern->setPlaceholderText(QStringLiteral("%CCYY-%MM-%DD %hh-%mm-%ss"));
	pattern->setToolTip(translate("Nombre del archivo, con la fecha y la hora como en OBS"));
	format = new NoWheelComboBox(recordingFields);
	format->setObjectName(QStringLiteral("recFormat"));
	format->addItem(translate("MKV (se puede recuperar tras un fallo)"), QStringLiteral("mkv"));
	format->addItem(translate("MP4 fragmentado"), QStringLiteral("fmp4"));
	format->setCurrentIndex(source.formato == QLatin1String("fmp4") ? 1 : 0);
	layout->addWidget(folder, 0, 0);
	layout->addWidget(browse, 0, 1);
	layout->addWidget(pattern, 1, 0, 1, 2);
	layout->addWidget(format, 2, 0, 1, 2);
	return recordingFields;
}

// A recording has a folder, a file name and a format; a server has an address, a key and maybe a passphrase.
void DestRowWidget::showKind(bool recordingRow)
{
	recording = recordingRow;
	recordingFields->setVisible(recording);
	address->setVisible(!recording);
	key->setVisible(!recording);
	if (recording) {
		passphrase->setVisible(false);
		typeLine->setText(translate("Grabación: la imagen y el sonido de la entrada, a un archivo"));
		noteKind();
	} else {
		updateDetectedType();
	}
}

void DestRowWidget::noteKind()
{
	const int kind = recording ? -2 : int(classifyAddress(address->text()));
	if (kind != shownKind) {
		shownKind = kind;
		emit kindChanged();
	}
}

DestRowWidget::~DestRowWidget() = default;

void DestRowWidget::chooseTemplate(int index)
{
	if (index <= 0) {
		return;
	}
	showKind(templates->itemData(index).toString() == QLatin1String("grabacion"));
	if (recording) {
		folder->setFocus();
		return;
	}
	applyingTemplate = true;
	address->setText(templates->itemData(index).toString());
	applyingTemplate = false;
	key->setFocus();
}

void DestRowWidget::addressEdited(const QString &text)
{
	// Typing after choosing a template means the address is no longer the platform's.
	const int chosen = templates->currentIndex();
	if (!applyingTemplate && chosen > 0 && text != templates->itemData(chosen).toString()) {
		templates->setCurrentIndex(0);
	}
	updateDetectedType();
}

void DestRowWidget::updateDetectedType()
{
	if (recording) {
		return;
	}
	const DetectedType detected = detectedTypeFor(address->text(), key->text());
	typeLine->setText(detected.typeLine);
	key->setPlaceholderText(detected.keyPlaceholder);
	passphrase->setVisible(detected.showPassphrase);
	noteKind();
}

QString DestRowWidget::validate(int number) const
{
	return recording ? recordingPath::recordingProblem(folder->text().trimmed(), pattern->text().trimmed(), number)
			 : addressProblem(address->text(), number);
}

DestTexts DestRowWidget::texts() const
{
	DestTexts texts;
	if (recording) {
		texts.recording = true;
		texts.folder = folder->text();
		texts.pattern = pattern->text();
		texts.format = format->currentData().toString();
	} else {
		texts.url = address->text();
		texts.key = key->text();
		texts.passphrase = passphrase->text();
	}
	return texts;
}
