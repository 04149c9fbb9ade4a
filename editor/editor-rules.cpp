#include "editor/editor-rules.hpp"
#include "config/address-parts.hpp"
#include "engine/addresses.hpp"
#include "engine/recording-path.hpp"
#include "base/language.hpp"

const DestTemplate destTemplates[destTemplateCount] = {
	{"YouTube", "rtmp://a.rtmp.youtube.com/live2"},
	{"Twitch", "rtmp://live.twitch.tv/app"},
	{"Facebook Live", "rtmps://live-api-s.facebook.com:443/rtmp/"},
	{"RTMP personalizado", "rtmp://"},
	{"SRT personalizado", "srt://"},
	{"RIST personalizado", "rist://"},
	// Offered only where OBS has a WHIP output; last, so that the others keep their places.
	{"WHIP (WebRTC)", "https://"},
};

int templateForAddress(const QString &url)
{
	for (int i = 0; i < destTemplateCount; ++i) {
		const QString address = QString::fromUtf8(destTemplates[i].address);
		if (address.size() > 8 && address == url) {
			return i;
		}
	}
	return -1;
}

DetectedType detectedTypeFor(const QString &address, const QString &key)
{
	switch (classifyAddress(address)) {
	case AddressKind::Rtmp:
		if (key.isEmpty() && splitPastedKey(address, nullptr, nullptr)) {
			return {translate(
					"Tipo detectado: RTMP · la última parte de la dirección se usará como clave de "
					"emisión"),
				translate("Clave de emisión"), false};
		}
		// OBS prints the RTMP address it dials, whole, in its own log: only the key field stays out of it.
		if (address.contains(QLatin1Char('?'))) {
			return {translate(
					"Tipo detectado: RTMP · OBS escribe en su registro esta dirección entera, también "
					"lo que va tras «?»: pon la clave en su campo"),
				translate("Clave de emisión"), false};
		}
		return {translate("Tipo detectado: RTMP"), translate("Clave de emisión"), false};
	case AddressKind::Srt:
		return {translate("Tipo detectado: SRT"), translate("Stream ID (opcional)"), true};
	case AddressKind::Rist:
		return {translate("Tipo detectado: RIST"), translate("Secreto de cifrado (opcional)"), false};
	case AddressKind::Whip:
		if (obsHasWhip()) {
			return {translate("Tipo detectado: WHIP (WebRTC) · el audio ha de ser Opus"),
				translate("Token de acceso (opcional)"), false};
		}
		return {translate("Este OBS no tiene salida WebRTC (WHIP)."), translate("Clave"), false};
	default:
		return {translate("Escribe una dirección que empiece por rtmp://, rtmps://, srt:// o rist://"),
			translate("Clave"), false};
	}
}

bool isBlankDestination(const DestTexts &texts)
{
	return !texts.recording && texts.url.trimmed().isEmpty() && texts.key.isEmpty() && texts.passphrase.isEmpty();
}

QString firstDestinationProblem(const QList<DestTexts> &rows)
{
	int number = 0;
	for (const DestTexts &row : rows) {
		if (isBlankDestination(row)) {
			continue;
		}
		++number;
		// A recording's folder is checked when it starts, where OBS writes: it may be on a drive plugged in
		// later.
		const QString problem = row.recording ? recordingPath::recordingProblem(row.folder, row.pattern, number)
						      : addressProblem(row.url, number);
		if (!problem.isEmpty()) {
			return problem;
		}
	}
	return QString();
}

DestConfig destinationFromRow(const DestConfig &source, const DestTexts &texts)
{
	DestConfig dest = source;
	if (dest.id.isEmpty()) {
		dest.id = newIdentifier();
	}
	dest.grabacion = texts.recording;
	if (texts.recording) {
		dest.url.clear();
		dest.clave.clear();
		dest.contrasena.clear();
		dest.carpeta = texts.folder.trimmed();
		dest.patron = texts.pattern.trimmed();
		dest.formato = texts.format;
		return dest;
	}
	dest.url = texts.url.trimmed();
	dest.clave = texts.key;
	QString server;
	QString pastedKey;
	if (texts.key.isEmpty() && splitPastedKey(dest.url, &server, &pastedKey)) {
		dest.url = server;
		dest.clave = pastedKey;
	}
	dest.contrasena = classifyAddress(dest.url) == AddressKind::Srt ? texts.passphrase : QString();
	// A key or passphrase that could not be opened belongs to the server it was typed for: a new address never
	// inherits it (opened later on the computer that saved it, it would go to the new server).
	if (dest.url != source.url) {
		dest.sinAbrir.clave.clear();
		dest.sinAbrir.contrasena.clear();
	}
	return dest;
}

QString codecProblem(const QList<DestTexts> &rows, const QString &videoCodec, const QString &audioCodec,
		     const std::function<QStringList(AddressKind, bool)> &carried)
{
	int number = 0;
	for (const DestTexts &row : rows) {
		if (isBlankDestination(row)) {
			continue;
		}
		++number;
		const AddressKind kind = classifyAddress(row.url);
		if (row.recording || kind == AddressKind::Invalid) {
			continue;
		}
		for (const bool video : {true, false}) {
			const QString codec = (video ? videoCodec : audioCodec).trimmed().toLower();
			const QStringList accepted = carried(kind, video);
			if (!codec.isEmpty() && !accepted.isEmpty() && !accepted.contains(codec)) {
				return translate("Destino %1 (%2) no admite %3 en este OBS; admite %4.")
					.arg(QString::number(number), protocolLabel(kind), codec,
					     accepted.join(QStringLiteral(", ")));
			}
		}
	}
	return QString();
}

const SizePreset sizePresets[sizePresetCount] = {
	{"Igual que el lienzo de OBS", 0, 0},        {"1920×1080 (horizontal)", 1920, 1080},
	{"1280×720 (horizontal)", 1280, 720},        {"1080×1920 (vertical, móviles)", 1080, 1920},
	{"720×1280 (vertical, móviles)", 720, 1280}, {"1080×1080 (cuadrado)", 1080, 1080},
};

QString customSizeLabel(int width, int height)
{
	return translate("%1×%2 (personalizado)").arg(width).arg(height);
}

QList<EncoderChoice> orderEncoderChoices(const QList<EncoderCandidate> &candidates)
{
	const QString x264 = QStringLiteral("obs_x264");
	QList<EncoderChoice> choices;
	QList<EncoderChoice> otherCodecs;
	for (const EncoderCandidate &candidate : candidates) {
		if (candidate.id.isEmpty() || candidate.id == x264 || !candidate.video || candidate.codec.isEmpty() ||
		    candidate.deprecated || candidate.internal) {
			continue;
		}
		const QString name = candidate.displayName.isNull() ? candidate.id : candidate.displayName;
		if (candidate.codec == QLatin1String("h264")) {
			choices.append({candidate.id, name + translate(" · tarjeta gráfica")});
		} else {
			otherCodecs.append({candidate.id, name + QStringLiteral(" · ") + candidate.codec.toUpper()});
		}
	}
	if (choices.isEmpty()) {
		choices.append({x264, translate("CPU (x264) · recomendado")});
	} else {
		choices.first().label += translate(" · recomendado");
		choices.append({x264, translate("CPU (x264)")});
	}
	return choices + otherCodecs;
}

QString missingNameText(const QString &name)
{
	return QStringLiteral("⚠ ") + name + translate(" (ya no existe)");
}

QMap<QString, QString> equivalencesFromRows(const QList<QPair<QString, QString>> &rows)
{
	QMap<QString, QString> map;
	for (const auto &row : rows) {
		if (!row.first.isEmpty() && !row.second.isEmpty() && row.first != row.second) {
			map.insert(row.first, row.second);
		}
	}
	return map;
}

int findProfile(const QList<ProfileConfig> &profiles, const QString &name)
{
	for (int i = 0; i < profiles.size(); ++i) {
		if (profiles[i].nombre.compare(name, Qt::CaseInsensitive) == 0) {
			return i;
		}
	}
	return -1;
}

QString profileItemText(const ProfileConfig &profile)
{
	return QStringLiteral("%1 · %2 kbps").arg(profile.nombre, QString::number(profile.videoKbps));
}

int storeProfile(QList<ProfileConfig> &profiles, const ProfileConfig &profile)
{
	const int index = findProfile(profiles, profile.nombre);
	if (index >= 0) {
		profiles[index] = profile;
		return index;
	}
	profiles.append(profile);
	return int(profiles.size()) - 1;
}

QList<FrameRateChoice> frameRateChoices(uint32_t fpsNum, uint32_t fpsDen, bool fractionsSupported)
{
	const double fps = fpsDen ? double(fpsNum) / fpsDen : 0.0;
	const auto rate = [](double value) {
		return QString::number(value, 'g', 4);
	};
	QList<FrameRateChoice> choices{{1, translate("Como OBS (%1 fps)").arg(rate(fps))}};
	for (int divisor = 2; fractionsSupported && divisor <= ConfigLimits::maxFpsDivisor && fps / divisor >= 10;
	     ++divisor) {
		choices.append({divisor, QStringLiteral("%1 fps").arg(rate(fps / divisor))});
	}
	return choices;
}
