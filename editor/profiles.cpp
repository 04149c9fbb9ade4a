// Named encoder profiles: saved from this dialog, applied to it, deleted. Only the working list changes here.

#include "editor/entry-dialog.hpp"
#include "editor/message-boxes.hpp"
#include "editor/shared-widgets.hpp"
#include "base/language.hpp"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

QWidget *EntryDialog::buildProfileRow()
{
	auto *row = new QWidget(this);
	auto *layout = new QVBoxLayout(row);
	layout->setContentsMargins(0, 0, 0, 0);
	layout->setSpacing(4);

	profileCombo = new NoWheelComboBox(row);
	profileCombo->setObjectName(QStringLiteral("profileCombo"));
	profileCombo->setFocusPolicy(Qt::StrongFocus);
	profileCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
	profileCombo->setMinimumContentsLength(8);
	profileCombo->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
	layout->addWidget(profileCombo);

	auto *buttons = new QHBoxLayout();
	buttons->setContentsMargins(0, 0, 0, 0);
	auto *save = new QPushButton(translate("Guardar perfil…"), row);
	save->setObjectName(QStringLiteral("saveProfileButton"));
	save->setToolTip(
		translate("Guarda la calidad, el audio y los ajustes de codificador de esta ventana con un nombre"));
	deleteProfileButton = new QPushButton(translate("Borrar"), row);
	deleteProfileButton->setObjectName(QStringLiteral("deleteProfileButton"));
	buttons->addWidget(save);
	buttons->addWidget(deleteProfileButton);
	buttons->addStretch();
	layout->addLayout(buttons);

	fillProfileCombo(QString());
	connect(profileCombo, qOverload<int>(&QComboBox::activated), this,
		[this](int comboIndex) { applyProfile(comboIndex - 1); });
	connect(save, &QPushButton::clicked, this, &EntryDialog::saveProfile);
	connect(deleteProfileButton, &QPushButton::clicked, this, &EntryDialog::deleteProfile);
	return row;
}

void EntryDialog::fillProfileCombo(const QString &selectName)
{
	profileCombo->clear();
	profileCombo->addItem(profiles.isEmpty() ? translate("(ninguno guardado todavía)")
						 : translate("Elige un perfil…"));
	for (const ProfileConfig &profile : profiles) {
		profileCombo->addItem(profileItemText(profile));
	}
	const int found = selectName.isEmpty() ? -1 : findProfile(profiles, selectName);
	profileCombo->setCurrentIndex(found + 1);
	deleteProfileButton->setEnabled(!profiles.isEmpty());
}

void EntryDialog::applyProfile(int index)
{
	if (index < 0 || index >= profiles.size()) {
		return;
	}
	const ProfileConfig profile = profiles.at(index);
	// The entry as the profile makes it; a running one takes only what can change live and keeps its audio and
	// its encoder, whose widgets are locked and already show the entry's own values.
	EntryConfig applied = entry;
	static_cast<EncodingConfig &>(applied) = profile;
	if (streaming) {
		EntryConfig live = entry;
		copyEditableWhileLive(applied, live);
		applied = live;
	}
	videoKbpsBox->setValue(applied.videoKbps);
	const int audioIndex = audioKbpsCombo->findData(applied.audioKbps);
	if (audioIndex >= 0) {
		audioKbpsCombo->setCurrentIndex(audioIndex);
	}
	selectAudioCodec(audioCodecCombo, applied.codificadorAudio);
	const int encoderIndex = encoderCombo->findData(applied.codificador);
	if (encoderIndex >= 0) {
		// Selecting the encoder must not rebuild the form from its defaults first.
		const QSignalBlocker blocker(encoderCombo);
		encoderCombo->setCurrentIndex(encoderIndex);
	}
	// Encoder settings belong to the profile's encoder: they apply only where that encoder is the one selected.
	if (encoderCombo->currentData().toString() == profile.codificador) {
		rebuildEncoderForm(applied.ajustesCodificador);
		return;
	}
	showNotice(this, translate("El perfil «%1» usa otro codificador que no se puede aplicar aquí. Se ha aplicado "
				   "solo la calidad de vídeo.")
				 .arg(profile.nombre));
}

void EntryDialog::saveProfile()
{
	bool ok = false;
	const QString typed = QInputDialog::getText(this, translate("Guardar perfil"), translate("Nombre del perfil:"),
						    QLineEdit::Normal, QString(), &ok);
	const QString name = typed.trimmed();
	if (!ok || name.isEmpty()) {
		return;
	}
	if (findProfile(profiles, name) >= 0 &&
	    !confirmAction(this, translate("Guardar perfil"),
			   translate("Ya existe un perfil llamado «%1». ¿Sustituirlo?").arg(name),
			   translate("Sí, sustituir"))) {
		return;
	}
	ProfileConfig profile;
	static_cast<EncodingConfig &>(profile) = shownEncoding(QString());
	profile.nombre = name;
	storeProfile(profiles, profile);
	profilesChanged = true;
	fillProfileCombo(name);
}

void EntryDialog::deleteProfile()
{
	const int index = profileCombo->currentIndex() - 1;
	if (index < 0 || index >= profiles.size()) {
		showNotice(this, translate("Primero elige en la lista el perfil que quieres borrar."));
		return;
	}
	if (!confirmAction(this, translate("Borrar perfil"),
			   translate("¿Borrar el perfil «%1»?").arg(profiles.at(index).nombre),
			   translate("Sí, borrar"))) {
		return;
	}
	profiles.removeAt(index);
	profilesChanged = true;
	fillProfileCombo(QString());
}
