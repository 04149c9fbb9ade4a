// What the entry sends: one scene or source, or OBS's live scene through equivalences.

#include "editor/entry-dialog.hpp"
#include "control/obs-names.hpp"
#include "editor/shared-widgets.hpp"
#include "base/language.hpp"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

void EntryDialog::selectOrMarkMissing(QComboBox *combo, const QString &name)
{
	if (name.isEmpty()) {
		return;
	}
	int index = combo->findData(name, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
	if (index < 0) {
		combo->addItem(missingNameText(name), name);
		index = combo->count() - 1;
	}
	combo->setCurrentIndex(index);
}

namespace {

// Marks the item for OBS's program, which has no source name.
constexpr int programRole = Qt::UserRole + 1;

} // namespace

QWidget *EntryDialog::buildSourceCombo()
{
	sourceCombo = new NoWheelComboBox(this);
	sourceCombo->setObjectName(QStringLiteral("sourceCombo"));
	sourceCombo->addItem(translate("📺 Programa de OBS (lo que OBS emite)"), QString());
	sourceCombo->setItemData(0, true, programRole);
	for (const SourceChoice &choice : sourceChoices()) {
		sourceCombo->addItem((choice.isScene ? translate("🎬 Escena: ") : translate("🎥 Fuente: ")) + choice.name,
				     choice.name);
	}
	if (entry.programaObs) {
		sourceCombo->setCurrentIndex(0);
	} else if (entry.fuente.isEmpty()) {
		// A new entry starts on the first scene, as before OBS's program could be chosen.
		sourceCombo->setCurrentIndex(sourceCombo->count() > 1 ? 1 : 0);
	} else {
		selectOrMarkMissing(sourceCombo, entry.fuente);
	}
	return sourceCombo;
}

bool EntryDialog::programChosen() const
{
	return sourceCombo->currentData(programRole).toBool();
}

void EntryDialog::buildFollowRows(QFormLayout *form)
{
	followCheck = new QCheckBox(translate("Seguir la escena que tenga OBS en directo"), this);
	followCheck->setObjectName(QStringLiteral("followCheck"));
	followCheck->setToolTip(translate("Cuando cambies de escena en OBS, esta entrada cambia sola a la escena "
					  "equivalente, sin cortar la emisión"));
	followCheck->setChecked(entry.seguirObs);
	form->addRow(QString(), followCheck);

	trackCombo = new NoWheelComboBox(this);
	trackCombo->setObjectName(QStringLiteral("trackCombo"));
	trackCombo->addItem(translate("La que usa la emisión de OBS"), 0);
	for (int track = 1; track <= 6; ++track) {
		trackCombo->addItem(translate("Pista %1").arg(track), track);
	}
	trackCombo->setCurrentIndex(std::max(trackCombo->findData(entry.pistaAudio), 0));
	trackCombo->setToolTip(translate("Con el programa de OBS se envía la mezcla de OBS de esa pista, con sus "
					 "propios ajustes de sincronización"));
	form->addRow(translate("Pista de audio:"), trackCombo);
	connect(sourceCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, &EntryDialog::updateFollowState);

	equivalencePanel = new QWidget(this);
	equivalencePanel->setObjectName(QStringLiteral("equivalencePanel"));
	equivalenceLayout = new QVBoxLayout(equivalencePanel);
	equivalenceLayout->setContentsMargins(0, 0, 0, 4);
	equivalenceLayout->setSpacing(4);
	equivalenceLayout->addWidget(hintLabel(
		translate("Equivalencias: cuando OBS tenga la escena de la izquierda, esta entrada emite la de "
			  "la derecha. Si una escena no está en la lista, esta entrada emite esa misma escena."),
		equivalencePanel));
	equivalenceRowsLayout = new QVBoxLayout();
	equivalenceRowsLayout->setSpacing(4);
	equivalenceLayout->addLayout(equivalenceRowsLayout);
	addEquivalenceButton = new QPushButton(translate("＋ Añadir equivalencia"), equivalencePanel);
	addEquivalenceButton->setObjectName(QStringLiteral("addEquivalenceButton"));
	equivalenceLayout->addWidget(addEquivalenceButton);
	connect(addEquivalenceButton, &QPushButton::clicked, this, [this] { addEquivalenceRow(QString(), QString()); });
	for (auto it = entry.equivalencias.cbegin(); it != entry.equivalencias.cend(); ++it) {
		addEquivalenceRow(it.key(), it.value());
	}
	form->addRow(equivalencePanel);

	connect(followCheck, &QCheckBox::toggled, this, &EntryDialog::updateFollowState);
}

void EntryDialog::addEquivalenceRow(const QString &obsScene, const QString &entryScene)
{
	EquivalenceRow record;
	record.row = new QWidget(equivalencePanel);
	auto *layout = new QHBoxLayout(record.row);
	layout->setContentsMargins(0, 0, 0, 0);
	layout->setSpacing(4);

	record.obsScene = new NoWheelComboBox(record.row);
	record.obsScene->setFocusPolicy(Qt::StrongFocus);
	record.entryScene = new NoWheelComboBox(record.row);
	record.entryScene->setFocusPolicy(Qt::StrongFocus);
	for (const SourceChoice &choice : sourceChoices()) {
		if (choice.isScene) {
			record.obsScene->addItem(choice.name, choice.name);
		}
		record.entryScene->addItem((choice.isScene ? QStringLiteral("🎬 ") : QStringLiteral("🎥 ")) + choice.name,
					   choice.name);
	}
	selectOrMarkMissing(record.obsScene, obsScene);
	selectOrMarkMissing(record.entryScene, entryScene);

	auto *remove = new QToolButton(record.row);
	remove->setText(QStringLiteral("✖"));
	remove->setAutoRaise(true);
	remove->setToolTip(translate("Quitar esta equivalencia"));

	layout->addWidget(record.obsScene, 1);
	layout->addWidget(new QLabel(QStringLiteral("→"), record.row));
	layout->addWidget(record.entryScene, 1);
	layout->addWidget(remove);
	equivalenceRowsLayout->addWidget(record.row);
	equivalenceRows.append(record);

	QWidget *rowWidget = record.row;
	connect(remove, &QToolButton::clicked, this, [this, rowWidget] {
		for (int i = 0; i < equivalenceRows.size(); ++i) {
			if (equivalenceRows[i].row == rowWidget) {
				equivalenceRows.removeAt(i);
				break;
			}
		}
		rowWidget->hide();
		rowWidget->deleteLater();
	});
}

void EntryDialog::updateFollowState()
{
	// OBS's program always shows what OBS shows: nothing to follow, and OBS's own mix has no delay of ours.
	const bool program = programChosen();
	const bool following = followCheck->isChecked() && !program;
	equivalencePanel->setVisible(following);
	followCheck->setEnabled(!program && !streaming);
	sourceCombo->setEnabled(!following && !streaming);
	trackCombo->setEnabled(program && !streaming);
	if (audioDelayBox) {
		audioDelayBox->setEnabled(!program);
	}
	updateSharedEncoderItems();
}

QString EntryDialog::followProblem() const
{
	if (!followCheck->isChecked() && !programChosen() && sourceCombo->currentData().toString().isEmpty()) {
		return translate("No hay ninguna fuente o escena para elegir. Crea alguna en OBS primero.");
	}
	return QString();
}

void EntryDialog::writeFollowResult(EntryConfig &result) const
{
	result.programaObs = programChosen();
	result.fuente = result.programaObs ? QString() : sourceCombo->currentData().toString();
	result.seguirObs = followCheck->isChecked() && !result.programaObs;
	result.pistaAudio = trackCombo->currentData().toInt();
	result.codificadorObs = result.programaObs ? sharedEncoderChoice() : QString();
	// Kept whether or not following is on, so that switching it off and on again loses nothing.
	QList<QPair<QString, QString>> rows;
	for (const EquivalenceRow &record : equivalenceRows) {
		rows.append({record.obsScene->currentData().toString(), record.entryScene->currentData().toString()});
	}
	result.equivalencias = equivalencesFromRows(rows);
}
