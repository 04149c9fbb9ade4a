// OBS's own stream and recording encoders as an entry's encoder: offered only with OBS's program, whose picture
// they already encode.

#include "editor/entry-dialog.hpp"
#include "editor/dest-row.hpp"
#include "editor/encoder-form.hpp"
#include "editor/shared-widgets.hpp"
#include "control/obs-names.hpp"
#include "control/status-text.hpp"
#include "base/language.hpp"

#include <QSignalBlocker>
#include <QStandardItemModel>

#include <algorithm>

namespace {

const QString sharedMark = QStringLiteral("@");

} // namespace

QString EntryDialog::sharedEncoderChoice() const
{
	const QString chosen = encoderCombo ? encoderCombo->currentData().toString() : QString();
	return chosen.startsWith(sharedMark) ? chosen.mid(1) : QString();
}

void EntryDialog::updateSharedEncoderItems()
{
	const bool offered = encoderCombo->findData(sharedMark + QStringLiteral("emision")) >= 0;
	const bool program = programChosen();
	if (program != offered) {
		const bool wasShared = !sharedEncoderChoice().isEmpty();
		// Only a change between OBS's encoder and the entry's own rebuilds the settings form.
		const QSignalBlocker blocker(encoderCombo);
		if (program) {
			encoderCombo->insertItem(0, translate("Codificador de emisión de OBS (sin codificación extra)"),
						 sharedMark + QStringLiteral("emision"));
			encoderCombo->insertItem(1,
						 translate("Codificador de grabación de OBS (sin codificación extra)"),
						 sharedMark + QStringLiteral("grabacion"));
			if (!sharedChoiceRestored && !entry.codificadorObs.isEmpty()) {
				encoderCombo->setCurrentIndex(
					encoderCombo->findData(sharedMark + entry.codificadorObs));
				rebuildEncoderForm(QString());
			}
		} else {
			encoderCombo->removeItem(1);
			encoderCombo->removeItem(0);
			if (wasShared) {
				encoderCombo->setCurrentIndex(std::max(encoderCombo->findData(entry.codificador), 0));
				rebuildEncoderForm(entry.ajustesCodificador);
			}
		}
	}
	sharedChoiceRestored = true;
	updateSharingState();
}

void EntryDialog::updateEncoderOffer()
{
	auto *model = encoderCombo ? qobject_cast<QStandardItemModel *>(encoderCombo->model()) : nullptr;
	if (!model) {
		return;
	}
	QList<DestTexts> rows;
	for (const DestRowWidget *row : destRows) {
		rows.append(row->texts());
	}
	const auto carried = [this](AddressKind kind, bool video) {
		const auto key = std::make_pair(kind, video);
		auto found = carriedByKind.find(key);
		if (found == carriedByKind.end()) {
			found = carriedByKind.emplace(key, carriedCodecs(kind, video)).first;
		}
		return found->second;
	};
	for (int i = 0; i < encoderCombo->count(); ++i) {
		const QByteArray id = encoderCombo->itemData(i).toString().toUtf8();
		const char *codec = obs_get_encoder_codec(id.constData());
		QStandardItem *item = model->item(i);
		if (!codec || !item) {
			continue;
		}
		const QString problem = codecProblem(rows, QString::fromUtf8(codec), QString(), carried);
		item->setEnabled(problem.isEmpty() || i == encoderCombo->currentIndex());
		item->setToolTip(problem);
	}
}

void EntryDialog::updateSharingState()
{
	// Bitrate, size, frame rate and sound are then OBS's own; only the bitrate changes while live.
	const bool shared = !sharedEncoderChoice().isEmpty();
	const bool own = !shared && !streaming;
	videoKbpsBox->setEnabled(!shared);
	for (QWidget *widget : std::initializer_list<QWidget *>{audioKbpsCombo, audioCodecCombo, sizeCombo}) {
		widget->setEnabled(own);
	}
	frameRateCombo->setEnabled(own && frameRateCombo->property("offered").toBool());
	updateFramingEnabled();
}

QString EntryDialog::sharedEncoderHint(const QString &choice) const
{
	const bool recordingKind = choice == QLatin1String("grabacion");
	const ObsEncoders found = obsOwnEncoders(recordingKind ? ObsEncoderKind::Recording : ObsEncoderKind::Stream);
	QString now;
	if (found.video && obs_encoder_video(found.video)) {
		OBSDataAutoRelease settings = obs_encoder_get_settings(found.video);
		const char *name = obs_encoder_get_display_name(obs_encoder_get_id(found.video));
		now = translate("Ahora: %1 %2×%3 · %4")
			      .arg(name ? QString::fromUtf8(name) : QString(),
				   QString::number(obs_encoder_get_width(found.video)),
				   QString::number(obs_encoder_get_height(found.video)),
				   rateText(int(obs_data_get_int(settings, "bitrate"))));
	} else {
		now = obsEncoderNotReadyText(recordingKind ? ObsEncoderKind::Recording : ObsEncoderKind::Stream);
	}
	return translate("Esta entrada envía lo que ya codifica OBS: la calidad, el tamaño, los fotogramas y el "
			 "audio son los de OBS (Ajustes → Salida) y no se codifica nada más. La mezcla de audio "
			 "propia y el retraso de audio no se aplican.") +
	       QStringLiteral("\n") + now;
}
