#include "control/status-text.hpp"
#include "config/address-parts.hpp"
#include "config/config-store.hpp"
#include "engine/addresses.hpp"
#include "base/language.hpp"

#include <obs.hpp>

#include <QUrl>

#include <algorithm>

StatusLine statusLine(const DestStatus &status)
{
	switch (status.state) {
	case DestState::Connecting:
		return {translate("Conectando…"), QStringLiteral("color: #e0a030;")};
	case DestState::Live: {
		if (status.recording) {
			return {QStringLiteral("● REC · %1 · %2")
					.arg(clockText(std::max(status.liveSeconds, 0)), sizeText(status.bytes)),
				QStringLiteral("color: #e0524d; font-weight: bold;")};
		}
		if (status.silentSeconds >= Supervision::silentWarningSeconds) {
			return {translate(
					"⚠ En emisión, pero no envía nada desde hace %1 s: el servidor no recibe o no "
					"hay vídeo que enviar")
					.arg(status.silentSeconds),
				QStringLiteral("color: #e0a030; font-weight: bold;")};
		}
		QString text = translate("● EN EMISIÓN");
		if (status.kbps >= 0) {
			text += QStringLiteral(" · %1 Mbps").arg(double(status.kbps) / 1000.0, 0, 'f', 1);
		}
		if (status.framesDropped > 0) {
			text += translate(" · %1 fotogramas perdidos").arg(status.framesDropped);
		}
		if (status.drops > 0) {
			const QString seconds = status.lastOutageSeconds < 0
							? QString()
							: QStringLiteral(" (%1 s)").arg(status.lastOutageSeconds);
			text += translate(" · %1 corte%2%3")
					.arg(QString::number(status.drops),
					     status.drops == 1 ? QString() : QStringLiteral("s"), seconds);
		}
		return {text, QStringLiteral("color: #3fb950; font-weight: bold;")};
	}
	case DestState::Reconnecting:
		return {translate("⚠ Cortado %1 s · intento %2")
				.arg(QString::number(status.outageSeconds), QString::number(status.attempts)),
			QStringLiteral("color: #e0a030; font-weight: bold;")};
	case DestState::Failed:
		// A server's or OBS's error may quote the address: its secret parts are never shown.
		return {QStringLiteral("⚠ ") + (status.message.isEmpty() ? QStringLiteral("Error")
									 : maskAddressQueries(status.message)),
			QStringLiteral("color: #e0524d;")};
	case DestState::Idle:
	default:
		return {translate("Parado"), QString()};
	}
}

QString clockText(int seconds)
{
	const int hours = seconds / 3600;
	const QString minutesAndSeconds = QStringLiteral("%1:%2")
						  .arg((seconds / 60) % 60, hours > 0 ? 2 : 1, 10, QLatin1Char('0'))
						  .arg(seconds % 60, 2, 10, QLatin1Char('0'));
	return hours > 0 ? QStringLiteral("%1:%2").arg(hours).arg(minutesAndSeconds) : minutesAndSeconds;
}

QString sizeText(uint64_t bytes)
{
	const double kb = double(bytes) / 1000.0;
	if (kb < 1000.0) {
		return QStringLiteral("%1 KB").arg(kb, 0, 'f', 0);
	}
	if (kb < 1000.0 * 1000.0) {
		return QStringLiteral("%1 MB").arg(kb / 1000.0, 0, 'f', 1);
	}
	return QStringLiteral("%1 GB").arg(kb / 1000.0 / 1000.0, 0, 'f', 1);
}

LiveMark liveMark(const DestStatus &status)
{
	if (status.state != DestState::Live || status.recording || status.liveSeconds < 0) {
		return {};
	}
	static const char *const colours[] = {"#3fb950", "#e0c030", "#e0524d"};
	LiveMark mark;
	mark.text = QStringLiteral("● ") + clockText(status.liveSeconds);
	mark.styleSheet =
		QStringLiteral("color: %1;").arg(QLatin1String(colours[int(congestionLevel(status.congestion))]));
	mark.toolTip = translate("Congestión %1 % · %2 fotogramas perdidos")
			       .arg(int(status.congestion * 100 + 0.5))
			       .arg(status.framesDropped);
	return mark;
}

QString streamButtonText(bool active, DestState state)
{
	if (!active) {
		return translate("▶ Emitir");
	}
	return state == DestState::Connecting ? translate("■ Cancelar") : translate("■ Parar");
}

QString streamButtonStyle(bool active)
{
	return active ? QStringLiteral("QPushButton { background: #b3372f; color: white; border-radius: 4px; padding: "
				       "4px 10px; }QPushButton:hover { background: #cc4037; }")
		      : QStringLiteral("QPushButton { background: #2d8a3e; color: white; border-radius: 4px; padding: "
				       "4px 10px; }QPushButton:hover { background: #36a04a; }");
}

TransitionMessage transitionMessage(DestState previous, const DestStatus &status, const QString &label)
{
	TransitionMessage message;
	if (previous == DestState::Live && status.state == DestState::Reconnecting) {
		message.text = translate("⚠ Corte en %1. Reconectando automáticamente…").arg(label);
		message.isError = true;
	} else if (previous == DestState::Reconnecting && status.state == DestState::Live) {
		// One pass: a name may itself hold "%1".
		message.text = translate("✔ %1 recuperado tras %2 s de corte.")
				       .arg(label, QString::number(std::max(0, status.lastOutageSeconds)));
		message.recovered = true;
	} else if (previous == DestState::Reconnecting && status.state == DestState::Failed) {
		message.text = translate("⛔ Se perdió definitivamente %1: no se pudo reconectar. Pulsa «▶ Emitir» para "
					 "reintentar.")
				       .arg(label);
		message.isError = true;
	}
	return message;
}

QString displayAddress(const QString &address)
{
	return maskAddress(address);
}

QString destinationLabel(const EntryConfig &entry, const QString &address)
{
	const QString name = !entry.nombre.isEmpty()   ? entry.nombre
			     : !entry.fuente.isEmpty() ? entry.fuente
						       : translate("entrada");
	const QString trimmed = address.trimmed();
	QString host = QUrl(trimmed).host(QUrl::FullyDecoded);
	if (host.isEmpty()) {
		host = displayAddress(trimmed);
	}
	return QStringLiteral("«%1» → %2").arg(name, host);
}

QString sourceLabelFor(const QString &name, bool isScene)
{
	return (isScene ? translate("🎬 Escena: ") : translate("🎥 Fuente: ")) + name;
}

QString sourceLabel(const QString &name)
{
	OBSSourceAutoRelease source = obs_get_source_by_name(name.toUtf8().constData());
	return sourceLabelFor(name, source && obs_source_get_type(source) == OBS_SOURCE_TYPE_SCENE);
}

QString rateText(int kbps)
{
	if (kbps < 1000) {
		return QStringLiteral("%1 kbps").arg(std::max(kbps, 0));
	}
	return QStringLiteral("%1 Mbps").arg(double(kbps) / 1000.0, 0, 'f', 1);
}

QString encodeBill(const QString &encoderName, uint32_t width, uint32_t height, int videoKbps)
{
	return translate("1 codificación de vídeo · %1 %2×%3 · %4")
		.arg(encoderName, QString::number(width), QString::number(height), rateText(videoKbps));
}

bool sharesObsEncoder(const EntryConfig &entry)
{
	return entry.programaObs && !entry.codificadorObs.isEmpty();
}

QString entryBill(const EntryConfig &entry)
{
	if (sharesObsEncoder(entry)) {
		return entry.codificadorObs == QLatin1String("grabacion")
			       ? translate("Codificador de grabación de OBS · sin codificación extra")
			       : translate("Codificador de emisión de OBS · sin codificación extra");
	}
	const QByteArray id = entry.codificador.toUtf8();
	const char *name = obs_encoder_get_display_name(id.constData());
	const bool ownSize = entry.ancho >= 1 && entry.alto >= 1;
	uint32_t width = ownSize ? uint32_t(entry.ancho) : 0;
	uint32_t height = ownSize ? uint32_t(entry.alto) : 0;
	obs_video_info ovi = {};
	if (!ownSize && obs_get_video_info(&ovi)) {
		width = ovi.output_width;
		height = ovi.output_height;
	}
	return encodeBill(name && *name ? QString::fromUtf8(name) : entry.codificador, width, height, entry.videoKbps);
}

int uploadKbps(const QList<DestStatus> &statuses)
{
	int total = 0;
	for (const DestStatus &status : statuses) {
		if (!status.recording && status.state == DestState::Live && status.kbps > 0) {
			total += status.kbps;
		}
	}
	return total;
}

QString uploadText(int kbps)
{
	return QStringLiteral("↑ %1").arg(rateText(kbps));
}
