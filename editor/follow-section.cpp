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

QWidget *EntryDialog::buildSourceCombo()
{
	sourceCombo = new NoWheelComboBox(this);
	sourceCombo->setObjectName(QStringLiteral("sourceCombo"));
	for (const SourceChoice &choice : sourceChoices()) {
		sourceCombo->addItem((choice.isScene ? translate("🎬 Escena: ") : translate("🎥 Fuente: ")) + choice.name,
				     choice.name);
	}
	selectOrMarkMissing(sourceCombo, entry.fuente);
	return sourceCombo;
}

void EntryDialog::buildFollowRows(QFormLayout *form)
{
	followCheck = new QCheckBox(translate("Seguir la escena que tenga OBS en directo"), this);
	followCheck->setObjectName(QStringLiteral("followCheck"));
	followCheck->setToolTip(translate("Cuando cambies de escena en OBS, esta entrada cambia sola a la escena "
					  "equivalente, sin cortar la emisión"));
	followCheck->setChecked(entry.seguirObs);
	form->addRow(QString(), followCheck);

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
	const bool following = followCheck->isChecked();
	equivalencePanel->setVisible(following);
	sourceCombo->setEnabled(!following && !streaming);
}

QString EntryDialog::followProblem() const
{
	if (!followCheck->isChecked() && sourceCombo->currentData().toString().isEmpty()) {
		return translate("No hay ninguna fuente o escena para elegir. Crea alguna en OBS primero.");
	}
	return QString();
}

void EntryDialog::writeFollowResult(EntryConfig &result) const
{
	result.fuente = sourceCombo->currentData().toString();
	result.seguirObs = followCheck->isChecked();
	// Kept whether or not following is on, so that switching it off and on again loses nothing.
	QList<QPair<QString, QString>> rows;
	for (const EquivalenceRow &record : equivalenceRows) {
		rows.append({record.obsScene->currentData().toString(), record.entryScene->currentData().toString()});
	}
	result.equivalencias = equivalencesFromRows(rows);
}
