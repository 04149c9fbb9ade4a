// Reading and writing "salidas.json". A damaged file is copied aside before anything else happens, and
// nothing is written over a file that could not be read.
#include "config/config-store.hpp"
#include "config/address-parts.hpp"
#include "config/secret.hpp"
#include "base/language.hpp"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>
#include <initializer_list>
#include <limits>

namespace {

QString readText(const QJsonObject &object, const char *key, const QString &fallback = QString())
{
	const QJsonValue value = object.value(QLatin1String(key));
	return value.isString() ? value.toString() : fallback;
}

int readInt(const QJsonObject &object, const char *key, int fallback)
{
	const QJsonValue value = object.value(QLatin1String(key));
	if (!value.isDouble()) {
		return fallback;
	}
	const double number = value.toDouble();
	if (!std::isfinite(number) || std::floor(number) != number || number < std::numeric_limits<int>::min() ||
	    number > std::numeric_limits<int>::max()) {
		return fallback;
	}
	return int(number);
}

int readClamped(const QJsonObject &object, const char *key, int fallback, int low, int high)
{
	return qBound(low, readInt(object, key, fallback), high);
}

bool readBool(const QJsonObject &object, const char *key)
{
	const QJsonValue value = object.value(QLatin1String(key));
	return value.isBool() && value.toBool();
}

QJsonObject objectAt(const QJsonArray &array, int index)
{
	const QJsonValue value = array.at(index);
	return value.isObject() ? value.toObject() : QJsonObject();
}

// Hotkey bindings under the given names: arrays of binding objects, kept as JSON text. Anything else is dropped,
// and so are empty arrays, so that a file without bindings is written as before.
QMap<QString, QString> readBindings(const QJsonObject &object, std::initializer_list<const char *> names)
{
	const QJsonObject stored = object.value(QLatin1String("atajos")).toObject();
	QMap<QString, QString> bindings;
	for (const char *name : names) {
		QJsonArray kept;
		for (const QJsonValue binding : stored.value(QLatin1String(name)).toArray()) {
			if (binding.isObject()) {
				kept.append(binding);
			}
		}
		if (!kept.isEmpty()) {
			bindings.insert(QLatin1String(name),
					QString::fromUtf8(QJsonDocument(kept).toJson(QJsonDocument::Compact)));
		}
	}
	return bindings;
}

QJsonObject writeBindings(const QMap<QString, QString> &bindings)
{
	QJsonObject object;
	for (auto it = bindings.constBegin(); it != bindings.constEnd(); ++it) {
		const QJsonArray array = QJsonDocument::fromJson(it.value().toUtf8()).array();
		if (!array.isEmpty()) {
			object.insert(it.key(), array);
		}
	}
	return object;
}

struct LoadFlags {
	bool keysFailed = false;
	bool needsRewrite = false;
};

// Opens one stored secret; keeps the stored text when it cannot be opened here.
QString openStored(const QString &stored, QString &unopened, LoadFlags &flags)
{
	bool ok = true;
	QString plain = openSecret(stored, &ok);
	if (!ok) {
		flags.keysFailed = true;
		unopened = stored;
	} else if (!stored.isEmpty() && !isProtectedSecret(stored)) {
		flags.needsRewrite = true;
	}
	return plain;
}

QList<DestConfig> readDestinations(const QJsonArray &array, LoadFlags &flags)
{
	QList<DestConfig> destinations;
	for (int i = 0; i < array.size(); ++i) {
		const QJsonObject object = objectAt(array, i);
		DestConfig dest;
		dest.id = readText(object, "id");
		if (dest.id.isEmpty()) {
			dest.id = newIdentifier();
		}
		const QString storedUrl = readText(object, "url");
		bool urlOk = true;
		dest.url = openSecret(storedUrl, &urlOk);
		if (!urlOk) {
			flags.keysFailed = true;
			dest.sinAbrir.url = storedUrl;
		} else if (addressHasSecret(storedUrl) && !isProtectedSecret(storedUrl)) {
			flags.needsRewrite = true;
		}
		dest.clave = openStored(readText(object, "clave"), dest.sinAbrir.clave, flags);
		dest.contrasena = openStored(readText(object, "contrasena"), dest.sinAbrir.contrasena, flags);
		if (dest.url.isEmpty() && !storedUrl.isEmpty()) {
			dest.url = QStringLiteral("?");
		}
		const QJsonValue recording = object.value(QLatin1String("grabacion"));
		if (recording.isObject()) {
			const QJsonObject options = recording.toObject();
			dest.grabacion = true;
			dest.carpeta = readText(options, "carpeta");
			dest.patron = readText(options, "patron");
			dest.formato = readText(options, "formato") == QLatin1String("fmp4") ? QStringLiteral("fmp4")
											     : QStringLiteral("mkv");
		}
		if (!dest.url.isEmpty() || dest.grabacion) {
			destinations.append(dest);
		}
	}
	return destinations;
}

// The encoding members, read the same way for entries and profiles.
void readEncoding(const QJsonObject &object, EncodingConfig &encoding)
{
	encoding.codificador = readText(object, "codificador", QStringLiteral("obs_x264"));
	encoding.videoKbps =
		readClamped(object, "videoKbps", 4000, ConfigLimits::minVideoKbps, ConfigLimits::maxVideoKbps);
	encoding.audioKbps =
		readClamped(object, "audioKbps", 128, ConfigLimits::minAudioKbps, ConfigLimits::maxAudioKbps);
	encoding.codificadorAudio = readText(object, "codificadorAudio").trimmed();
	encoding.ajustesCodificador = readText(object, "ajustesCodificador");
}

void writeEncoding(const EncodingConfig &encoding, QJsonObject &object)
{
	object.insert(QStringLiteral("codificador"), encoding.codificador);
	object.insert(QStringLiteral("videoKbps"), encoding.videoKbps);
	object.insert(QStringLiteral("audioKbps"), encoding.audioKbps);
	if (!encoding.codificadorAudio.isEmpty()) {
		object.insert(QStringLiteral("codificadorAudio"), encoding.codificadorAudio);
	}
	object.insert(QStringLiteral("ajustesCodificador"), encoding.ajustesCodificador);
}

bool readEntry(const QJsonObject &object, EntryConfig &entry, LoadFlags &flags)
{
	entry.id = readText(object, "id");
	entry.fuente = readText(object, "fuente");
	entry.nombre = readText(object, "nombre").trimmed();
	if (entry.id.isEmpty()) {
		entry.id = newIdentifier();
	}
	entry.seguirObs = readBool(object, "seguirObs");
	entry.programaObs = readBool(object, "programaObs");
	entry.pistaAudio = readClamped(object, "pistaAudio", 0, 0, 6);
	if (entry.programaObs) {
		entry.seguirObs = false;
		const QString shared = readText(object, "codificadorObs");
		if (shared == QLatin1String("emision") || shared == QLatin1String("grabacion")) {
			entry.codificadorObs = shared;
		}
	}
	if (entry.fuente.isEmpty() && !entry.seguirObs && !entry.programaObs) {
		return false;
	}
	readEncoding(object, entry);
	entry.retrasoAudioMs =
		readClamped(object, "retrasoAudioMs", 0, ConfigLimits::minAudioDelayMs, ConfigLimits::maxAudioDelayMs);
	entry.ancho = readInt(object, "ancho", 0);
	entry.alto = readInt(object, "alto", 0);
	const auto inRange = [](int side) {
		return side >= ConfigLimits::minSide && side <= ConfigLimits::maxSide;
	};
	if (!inRange(entry.ancho) || !inRange(entry.alto)) {
		entry.ancho = 0;
		entry.alto = 0;
	}
	entry.llenar = readBool(object, "llenar");
	entry.divisorFps = readClamped(object, "divisorFps", 1, 1, ConfigLimits::maxFpsDivisor);

	const QJsonValue equivalences = object.value(QLatin1String("equivalencias"));
	if (equivalences.isObject()) {
		const QJsonObject map = equivalences.toObject();
		for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
			if (!it.key().isEmpty() && it.value().isString() && !it.value().toString().isEmpty()) {
				entry.equivalencias.insert(it.key(), it.value().toString());
			}
		}
	}
	entry.destinos = readDestinations(object.value(QLatin1String("destinos")).toArray(), flags);
	const bool withObs = readBool(object, "emitirConObs");
	entry.iniciarConStream =
		object.contains(QLatin1String("iniciarConStream")) ? readBool(object, "iniciarConStream") : withObs;
	entry.pararConStream = object.contains(QLatin1String("pararConStream")) ? readBool(object, "pararConStream")
										: withObs;
	entry.iniciarConGrabacion = readBool(object, "iniciarConGrabacion");
	entry.pararConGrabacion = readBool(object, "pararConGrabacion");
	entry.atajos = readBindings(object, {"emitir", "parar"});
	return true;
}

QList<ProfileConfig> readProfiles(const QJsonArray &array)
{
	QList<ProfileConfig> profiles;
	for (int i = 0; i < array.size(); ++i) {
		const QJsonObject object = objectAt(array, i);
		ProfileConfig profile;
		profile.nombre = readText(object, "nombre").trimmed();
		if (profile.nombre.isEmpty()) {
			continue;
		}
		readEncoding(object, profile);
		profiles.append(profile);
	}
	return profiles;
}

// A secret that could not be opened here is written back as it was stored, until the user types a new one.
QString storedSecret(const QString &plain, const QString &unopened, ProtectionProblem *problem)
{
	return plain.isEmpty() && !unopened.isEmpty() ? unopened : protectSecret(plain, problem);
}

QJsonObject writeDestination(const DestConfig &dest, ProtectionProblem *problem)
{
	QJsonObject object;
	object.insert(QStringLiteral("id"), dest.id);
	QString url;
	if (dest.url == QLatin1String("?") && !dest.sinAbrir.url.isEmpty()) {
		url = dest.sinAbrir.url;
	} else {
		url = addressHasSecret(dest.url) ? protectSecret(dest.url, problem) : dest.url;
	}
	object.insert(QStringLiteral("url"), url);
	object.insert(QStringLiteral("clave"), storedSecret(dest.clave, dest.sinAbrir.clave, problem));
	object.insert(QStringLiteral("contrasena"), storedSecret(dest.contrasena, dest.sinAbrir.contrasena, problem));
	if (dest.grabacion) {
		object.insert(QStringLiteral("grabacion"), QJsonObject{{QStringLiteral("carpeta"), dest.carpeta},
								       {QStringLiteral("patron"), dest.patron},
								       {QStringLiteral("formato"), dest.formato}});
	}
	return object;
}

QJsonObject writeEntry(const EntryConfig &entry, ProtectionProblem *problem)
{
	QJsonObject object;
	object.insert(QStringLiteral("id"), entry.id);
	object.insert(QStringLiteral("fuente"), entry.fuente);
	if (!entry.nombre.isEmpty()) {
		object.insert(QStringLiteral("nombre"), entry.nombre);
	}
	writeEncoding(entry, object);
	if (entry.retrasoAudioMs > 0) {
		object.insert(QStringLiteral("retrasoAudioMs"), entry.retrasoAudioMs);
	}
	object.insert(QStringLiteral("ancho"), entry.ancho);
	object.insert(QStringLiteral("alto"), entry.alto);
	object.insert(QStringLiteral("llenar"), entry.llenar);
	if (entry.divisorFps > 1) {
		object.insert(QStringLiteral("divisorFps"), entry.divisorFps);
	}
	// An earlier version, which knows no program entries, follows OBS's live scene with them instead of dropping
	// them for having no source.
	object.insert(QStringLiteral("seguirObs"), entry.seguirObs || entry.programaObs);
	if (entry.programaObs) {
		object.insert(QStringLiteral("programaObs"), true);
		object.insert(QStringLiteral("pistaAudio"), entry.pistaAudio);
		if (!entry.codificadorObs.isEmpty()) {
			object.insert(QStringLiteral("codificadorObs"), entry.codificadorObs);
		}
	}
	QJsonObject equivalences;
	for (auto it = entry.equivalencias.constBegin(); it != entry.equivalencias.constEnd(); ++it) {
		equivalences.insert(it.key(), it.value());
	}
	object.insert(QStringLiteral("equivalencias"), equivalences);
	QJsonArray destinations;
	for (const DestConfig &dest : entry.destinos) {
		destinations.append(writeDestination(dest, problem));
	}
	object.insert(QStringLiteral("destinos"), destinations);
	// Written only when used, so that files of entries that never used them stay as they were. The one option of
	// earlier versions is kept for them when both halves are set.
	if (entry.iniciarConStream && entry.pararConStream) {
		object.insert(QStringLiteral("emitirConObs"), true);
	}
	const std::pair<const char *, bool> withObs[] = {{"iniciarConStream", entry.iniciarConStream},
							 {"pararConStream", entry.pararConStream},
							 {"iniciarConGrabacion", entry.iniciarConGrabacion},
							 {"pararConGrabacion", entry.pararConGrabacion}};
	for (const auto &[key, set] : withObs) {
		if (set) {
			object.insert(QLatin1String(key), true);
		}
	}
	const QJsonObject bindings = writeBindings(entry.atajos);
	if (!bindings.isEmpty()) {
		object.insert(QStringLiteral("atajos"), bindings);
	}
	return object;
}

QJsonObject writeProfile(const ProfileConfig &profile)
{
	QJsonObject object;
	object.insert(QStringLiteral("nombre"), profile.nombre);
	writeEncoding(profile, object);
	return object;
}

void setMessage(QString *message, const QString &text)
{
	if (message) {
		*message = text;
	}
}

// Keys can fall back to readable storage in these files: they are the user's alone, and a stricter mode the user
// gave the settings file stays.
void keepToOwner(QSaveFile &file, const QString &existing)
{
	const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
	file.setPermissions(QFile::exists(existing) ? (QFile::permissions(existing) & owner) | QFileDevice::ReadOwner
						    : owner);
}

// What a save that never finished (OBS killed meanwhile) left beside the file; one another OBS may be writing
// now is young.
void removeLeftoverTemporaries(const QString &path)
{
	const QFileInfo settings(path);
	const QString backup = settings.fileName() + QStringLiteral(".danado");
	const QDateTime old = QDateTime::currentDateTime().addSecs(-60);
	for (const QFileInfo &item : settings.dir().entryInfoList({settings.fileName() + QStringLiteral(".??????")},
								  QDir::Files | QDir::Hidden)) {
		if (item.fileName() != backup && item.lastModified() < old) {
			QFile::remove(item.absoluteFilePath());
		}
	}
}

} // namespace

QString ConfigStore::backupFor(const QByteArray &damaged) const
{
	// Earlier backups are never deleted: the first one holds the user's entries from before any damage. The same
	// damaged content is not copied twice (OBS started again before anything was saved).
	QString chosen;
	for (int number = 0; number <= maxNumberedBackups; ++number) {
		const QString candidate = number == 0 ? backupPath() : backupPath() + QStringLiteral(".%1").arg(number);
		QFile existing(candidate);
		if (!existing.exists()) {
			chosen = candidate;
			break;
		}
		if (existing.open(QIODevice::ReadOnly) && existing.size() == damaged.size() &&
		    existing.readAll() == damaged) {
			return candidate;
		}
		// Past the last number, the newest numbered backup makes room.
		chosen = candidate;
	}
	QSaveFile file(chosen);
	if (!file.open(QIODevice::WriteOnly)) {
		return QString();
	}
	keepToOwner(file, path);
	if (file.write(damaged) != damaged.size() || !file.commit()) {
		return QString();
	}
	return chosen;
}

bool ConfigStore::load(QString *message)
{
	collections.clear();
	profiles.clear();
	atajos.clear();
	readFailed = false;
	keysInClear = ProtectionProblem();

	removeLeftoverTemporaries(path);
	if (!QFile::exists(path)) {
		return true;
	}
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly)) {
		readFailed = true;
		setMessage(
			message,
			translate(
				"No se pudo leer el archivo de configuración (%1). Se empieza sin entradas guardadas.")
				.arg(file.errorString()));
		return false;
	}
	const QByteArray content = file.readAll();
	file.close();

	QJsonParseError parseError;
	const QJsonDocument document = QJsonDocument::fromJson(content, &parseError);
	if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
		const QString backup = backupFor(content);
		const bool copied = !backup.isEmpty();
		readFailed = !copied;
		if (copied) {
			setMessage(message,
				   translate("El archivo de configuración estaba dañado. Se guardó una copia en «%1» "
					     "y se empieza de cero.")
					   .arg(backup));
		} else {
			setMessage(
				message,
				translate(
					"El archivo de configuración estaba dañado y no se pudo copiar. Se empieza de cero."));
		}
		return false;
	}

	const QJsonObject root = document.object();
	profiles = readProfiles(root.value(QLatin1String("perfiles")).toArray());
	atajos = readBindings(root, {"pararTodo", "emitirTodo"});

	LoadFlags flags;
	const QJsonObject stored = root.value(QLatin1String("colecciones")).toObject();
	for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
		const QJsonArray entries = it.value().toObject().value(QLatin1String("entradas")).toArray();
		QList<EntryConfig> list;
		for (int i = 0; i < entries.size(); ++i) {
			EntryConfig entry;
			if (readEntry(objectAt(entries, i), entry, flags)) {
				list.append(entry);
			}
		}
		collections.insert(it.key(), list);
	}

	if (flags.keysFailed) {
		const QString keyFile = QString::fromStdString(platformKeyFile());
		setMessage(
			message,
			keyFile.isEmpty()
				? translate(
					  "Algunas claves de emisión no se pudieron abrir porque se guardaron en otro "
					  "usuario o PC de Windows. Vuelve a escribirlas en cada destino.")
				: translate(
					  "Algunas claves de emisión no se pudieron abrir porque se guardaron con otro "
					  "archivo de claves o en otro ordenador (el de este ordenador es «%1»). Vuelve "
					  "a escribirlas en cada destino.")
					  .arg(keyFile));
	} else if (flags.needsRewrite) {
		QString ignored;
		save(&ignored);
	}
	return true;
}

bool ConfigStore::save(QString *message)
{
	if (readFailed) {
		setMessage(message,
			   translate("No se guarda nada para no perder tu configuración anterior, que no se pudo "
				     "leer. Cierra OBS, revisa el archivo de configuración y vuelve a abrirlo."));
		return false;
	}

	// Keys that cannot be protected are still written, readable: losing them would be worse. The caller says so.
	ProtectionProblem problem;
	QJsonObject storedCollections;
	for (auto it = collections.constBegin(); it != collections.constEnd(); ++it) {
		QJsonArray entries;
		for (const EntryConfig &entry : it.value()) {
			entries.append(writeEntry(entry, &problem));
		}
		QJsonObject collection;
		collection.insert(QStringLiteral("entradas"), entries);
		storedCollections.insert(it.key(), collection);
	}
	QJsonArray storedProfiles;
	for (const ProfileConfig &profile : profiles) {
		storedProfiles.append(writeProfile(profile));
	}
	QJsonObject root;
	root.insert(QStringLiteral("colecciones"), storedCollections);
	root.insert(QStringLiteral("perfiles"), storedProfiles);
	root.insert(QStringLiteral("version"), 1);
	const QJsonObject bindings = writeBindings(atajos);
	if (!bindings.isEmpty()) {
		root.insert(QStringLiteral("atajos"), bindings);
	}

	const QString folder = QFileInfo(path).absolutePath();
	if (!QDir().mkpath(folder)) {
		setMessage(message, translate("No se pudo crear la carpeta de configuración «%1».").arg(folder));
		return false;
	}
	QSaveFile file(path);
	if (!file.open(QIODevice::WriteOnly)) {
		setMessage(message, translate("No se pudo guardar la configuración (%1).").arg(file.errorString()));
		return false;
	}
	keepToOwner(file, path);
	file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
	if (!file.commit()) {
		setMessage(message, translate("No se pudo guardar la configuración (%1).").arg(file.errorString()));
		return false;
	}
	keysInClear = problem;
	return true;
}
