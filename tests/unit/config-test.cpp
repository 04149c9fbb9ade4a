#include "config/config-store.hpp"
#include "config/secret.hpp"
#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdlib>
#include <unistd.h>

namespace {

class ConfigTest : public testing::Test {
protected:
	void SetUp() override
	{
		setenv("XDG_DATA_HOME", keys.path().toUtf8().constData(), 1);
		path = folder.filePath(QStringLiteral("plugin_config/tallowmere/salidas.json"));
	}

	void write(const QByteArray &content, const QString &where = QString())
	{
		const QString target = where.isEmpty() ? path : where;
		QDir().mkpath(QFileInfo(target).absolutePath());
		QFile file(target);
		ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
		file.write(content);
	}
	QByteArray read(const QString &where = QString()) const
	{
		QFile file(where.isEmpty() ? path : where);
		return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
	}
	const QJsonValue readJson() const { return QJsonValue(QJsonDocument::fromJson(read()).object()); }
	QJsonObject storedDest(int entry = 0, int dest = 0, const QString &collection = QStringLiteral("Escenas")) const
	{
		return readJson()[QStringLiteral("colecciones")][collection][QStringLiteral("entradas")][entry]
				 [QStringLiteral("destinos")][dest]
					 .toObject();
	}

	QTemporaryDir folder;
	QTemporaryDir keys;
	QString path;
};

EntryConfig sampleEntry()
{
	EntryConfig entry;
	entry.id = newIdentifier();
	entry.fuente = QStringLiteral("Escena «principal»");
	entry.nombre = QStringLiteral("Vertical");
	entry.codificador = QStringLiteral("obs_x264");
	entry.videoKbps = 2500;
	entry.audioKbps = 160;
	entry.codificadorAudio = QStringLiteral("opus");
	entry.retrasoAudioMs = 250;
	entry.ajustesCodificador = QStringLiteral("{\"preset\":\"veryfast\"}");
	entry.ancho = 1080;
	entry.alto = 1920;
	entry.llenar = true;
	entry.divisorFps = 2;
	entry.seguirObs = true;
	entry.equivalencias.insert(QStringLiteral("Juego"), QStringLiteral("Juego vertical"));
	DestConfig rtmp;
	rtmp.id = newIdentifier();
	rtmp.url = QStringLiteral("rtmp://a.example/live");
	rtmp.clave = QStringLiteral("live_clave_secreta");
	DestConfig srt;
	srt.id = newIdentifier();
	srt.url = QStringLiteral("srt://b.example:9000?streamid=publish/sid_secreto&latency=200");
	srt.clave = QString();
	srt.contrasena = QStringLiteral("frase_secreta_ñ");
	entry.destinos = {rtmp, srt};
	return entry;
}

void expectSameEntry(const EntryConfig &a, const EntryConfig &b)
{
	EXPECT_EQ(a.id, b.id);
	EXPECT_EQ(a.fuente, b.fuente);
	EXPECT_EQ(a.nombre, b.nombre);
	EXPECT_EQ(a.codificador, b.codificador);
	EXPECT_EQ(a.videoKbps, b.videoKbps);
	EXPECT_EQ(a.audioKbps, b.audioKbps);
	EXPECT_EQ(a.codificadorAudio, b.codificadorAudio);
	EXPECT_EQ(a.retrasoAudioMs, b.retrasoAudioMs);
	EXPECT_EQ(a.ajustesCodificador, b.ajustesCodificador);
	EXPECT_EQ(a.ancho, b.ancho);
	EXPECT_EQ(a.alto, b.alto);
	EXPECT_EQ(a.llenar, b.llenar);
	EXPECT_EQ(a.divisorFps, b.divisorFps);
	EXPECT_EQ(a.seguirObs, b.seguirObs);
	EXPECT_EQ(a.equivalencias, b.equivalencias);
	ASSERT_EQ(a.destinos.size(), b.destinos.size());
	for (int i = 0; i < a.destinos.size(); ++i) {
		EXPECT_EQ(a.destinos[i].id, b.destinos[i].id);
		EXPECT_EQ(a.destinos[i].url, b.destinos[i].url);
		EXPECT_EQ(a.destinos[i].clave, b.destinos[i].clave);
		EXPECT_EQ(a.destinos[i].contrasena, b.destinos[i].contrasena);
	}
}

} // namespace

TEST(ConfigModel, NewRecordsAndIdentifiers)
{
	EntryConfig entry;
	EXPECT_EQ(entry.codificador, QStringLiteral("obs_x264"));
	EXPECT_EQ(entry.videoKbps, 4000);
	EXPECT_EQ(entry.audioKbps, 128);
	EXPECT_EQ(entry.retrasoAudioMs + entry.ancho + entry.alto, 0);
	EXPECT_FALSE(entry.llenar || entry.seguirObs);
	EXPECT_TRUE(entry.id.isEmpty() && entry.fuente.isEmpty() && entry.equivalencias.isEmpty() &&
		    entry.destinos.isEmpty());

	static const QRegularExpression uuid(
		QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
	const QString a = newIdentifier();
	EXPECT_TRUE(uuid.match(a).hasMatch()) << a.toStdString();
	EXPECT_NE(a, newIdentifier());
}

TEST(ConfigModel, ALiveEntryTakesOnlyWhatMayChangeLive)
{
	EntryConfig edited = sampleEntry();
	edited.pararConGrabacion = true;
	EntryConfig stored;
	copyEditableWhileLive(edited, stored);
	EXPECT_TRUE(stored.nombre == edited.nombre && stored.videoKbps == 2500 && stored.retrasoAudioMs == 250 &&
		    stored.ajustesCodificador == edited.ajustesCodificador && stored.pararConGrabacion);
	EXPECT_TRUE(stored.id.isEmpty() && stored.fuente.isEmpty() && stored.codificadorAudio.isEmpty() &&
		    stored.audioKbps == 128 && stored.ancho == 0 && !stored.seguirObs && stored.destinos.isEmpty());
}

TEST_F(ConfigTest, SaveAndLoadRoundTrip)
{
	ConfigStore store(path);
	const EntryConfig entry = sampleEntry();
	EntryConfig minimal;
	minimal.id = newIdentifier();
	minimal.fuente = QStringLiteral("Cámara");
	store.collections[QStringLiteral("Escenas")] = {entry, minimal};
	store.collections[QStringLiteral("Vacía")] = {};
	ProfileConfig profile;
	profile.nombre = QStringLiteral("Calidad alta");
	profile.videoKbps = 8000;
	store.profiles = {profile};
	QString message;
	ASSERT_TRUE(store.save(&message)) << message.toStdString();
	EXPECT_TRUE(message.isEmpty());

	// Indented, keys sorted, and no secret in plain text anywhere.
	const QByteArray text = read();
	EXPECT_TRUE(text.contains("\n    \"colecciones\": {"));
	EXPECT_LT(text.indexOf("\"colecciones\""), text.indexOf("\"perfiles\""));
	EXPECT_LT(text.indexOf("\"perfiles\""), text.indexOf("\"version\": 1"));
	for (const char *secret : {"live_clave_secreta", "sid_secreto", "frase_secreta", "latency=200", "streamid"}) {
		EXPECT_FALSE(text.contains(secret)) << secret;
	}
	EXPECT_EQ(storedDest()[QStringLiteral("url")].toString(), QStringLiteral("rtmp://a.example/live"));
	EXPECT_TRUE(storedDest(0, 1)[QStringLiteral("url")].toString().startsWith(QStringLiteral("dpapi:")));
	EXPECT_EQ(storedDest(0, 1)[QStringLiteral("clave")].toString(), QString()) << "empty stays empty";

	// Optional members are only written when they hold something.
	const QJsonObject stored =
		readJson()[QStringLiteral("colecciones")][QStringLiteral("Escenas")][QStringLiteral("entradas")][1]
			.toObject();
	for (const char *absent : {"nombre", "codificadorAudio", "retrasoAudioMs"}) {
		EXPECT_FALSE(stored.contains(QLatin1String(absent))) << absent;
	}
	EXPECT_TRUE(stored[QStringLiteral("equivalencias")].isObject());
	EXPECT_TRUE(readJson()[QStringLiteral("colecciones")][QStringLiteral("Vacía")][QStringLiteral("entradas")]
			    .isArray());

	ConfigStore loaded(path);
	message.clear();
	ASSERT_TRUE(loaded.load(&message));
	EXPECT_TRUE(message.isEmpty()) << message.toStdString();
	ASSERT_EQ(loaded.collections.keys(), QStringList({QStringLiteral("Escenas"), QStringLiteral("Vacía")}));
	ASSERT_EQ(loaded.collections[QStringLiteral("Escenas")].size(), 2);
	expectSameEntry(loaded.collections[QStringLiteral("Escenas")][0], entry);
	expectSameEntry(loaded.collections[QStringLiteral("Escenas")][1], minimal);
	EXPECT_TRUE(loaded.collections[QStringLiteral("Vacía")].isEmpty());
	ASSERT_EQ(loaded.profiles.size(), 1);
	EXPECT_EQ(loaded.profiles[0].nombre, profile.nombre);
	EXPECT_EQ(loaded.profiles[0].videoKbps, 8000);
}

TEST_F(ConfigTest, ReadRulesDefaultsAndDropping)
{
	write(R"({
		"version": 7, "desconocido": true,
		"perfiles": [ {"nombre": "  P1  ", "videoKbps": 0, "audioKbps": 999}, {"nombre": "   "}, 5,
			      {"nombre": "P2", "codificador": 3, "videoKbps": 1.5} ],
		"colecciones": {
			"A": { "entradas": [
				{"fuente": "S", "nombre": "  N  ", "videoKbps": 2000000, "audioKbps": 1, "retrasoAudioMs": -50,
				 "codificador": "", "ancho": 160, "alto": 7680, "llenar": "true",
				 "equivalencias": {"": "x", "k": "", "k2": 7, "Juego": "Otra"},
				 "destinos": [ {"url": "", "clave": "solo clave"}, {"url": " rtmp://h/live "}, "no", {} ]},
				{"fuente": "", "seguirObs": true, "retrasoAudioMs": 2500, "ancho": 159, "alto": 720},
				{"fuente": ""},
				{"fuente": "T", "ancho": 1280, "alto": 0, "videoKbps": 3000000000},
				[]
			]},
			"B": { "entradas": 3 },
			"C": 4
		}
	})");
	ConfigStore store(path);
	QString message;
	ASSERT_TRUE(store.load(&message));
	EXPECT_TRUE(message.isEmpty());

	ASSERT_EQ(store.profiles.size(), 2);
	EXPECT_EQ(store.profiles[0].nombre, QStringLiteral("P1"));
	EXPECT_EQ(store.profiles[0].videoKbps, 1);
	EXPECT_EQ(store.profiles[0].audioKbps, 320);
	EXPECT_EQ(store.profiles[1].codificador, QStringLiteral("obs_x264"));
	EXPECT_EQ(store.profiles[1].videoKbps, 4000) << "not a whole number: the default";

	ASSERT_EQ(store.collections.keys(),
		  QStringList({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}));
	EXPECT_TRUE(store.collections[QStringLiteral("B")].isEmpty());
	const auto &entries = store.collections[QStringLiteral("A")];
	ASSERT_EQ(entries.size(), 3);
	const EntryConfig &first = entries[0];
	EXPECT_EQ(first.id.size(), 36);
	EXPECT_EQ(first.nombre, QStringLiteral("N"));
	EXPECT_EQ(first.videoKbps, 1000000);
	EXPECT_EQ(first.audioKbps, 64);
	EXPECT_EQ(first.retrasoAudioMs, 0);
	EXPECT_EQ(first.codificador, QString()) << "an empty string stays empty";
	EXPECT_EQ(first.ancho, 160);
	EXPECT_EQ(first.alto, 7680);
	EXPECT_FALSE(first.llenar);
	EXPECT_EQ(first.equivalencias.size(), 1);
	EXPECT_EQ(first.equivalencias.value(QStringLiteral("Juego")), QStringLiteral("Otra"));
	ASSERT_EQ(first.destinos.size(), 1);
	EXPECT_EQ(first.destinos[0].url, QStringLiteral(" rtmp://h/live ")) << "addresses are kept as typed";
	EXPECT_EQ(first.destinos[0].id.size(), 36);

	EXPECT_TRUE(entries[1].seguirObs);
	EXPECT_EQ(entries[1].retrasoAudioMs, 1000);
	EXPECT_EQ(entries[1].ancho + entries[1].alto, 0);
	EXPECT_EQ(entries[2].fuente, QStringLiteral("T"));
	EXPECT_EQ(entries[2].ancho + entries[2].alto, 0);
	EXPECT_EQ(entries[2].videoKbps, 4000) << "outside 32 bits: the default";

	// The plain key of the dropped destination made the load protect the file at once, without the dropped parts.
	EXPECT_FALSE(read().contains("solo clave"));
	EXPECT_TRUE(read().contains("\"version\": 1"));
	EXPECT_FALSE(read().contains("desconocido"));
}

TEST_F(ConfigTest, IdentifiersMadeAtLoadReachTheFileWithTheNextSave)
{
	write(R"({"colecciones": {"A": {"entradas": [{"fuente": "S", "destinos": [{"url": "rtmp://h/live"}]}]}}})");
	ConfigStore first(path);
	ASSERT_TRUE(first.load(nullptr));
	ConfigStore second(path);
	ASSERT_TRUE(second.load(nullptr));
	EXPECT_NE(second.collections[QStringLiteral("A")][0].id, first.collections[QStringLiteral("A")][0].id);
	EXPECT_NE(second.collections[QStringLiteral("A")][0].destinos[0].id,
		  first.collections[QStringLiteral("A")][0].destinos[0].id);
	ASSERT_TRUE(second.save(nullptr));
	ConfigStore third(path);
	ASSERT_TRUE(third.load(nullptr));
	EXPECT_EQ(third.collections[QStringLiteral("A")][0].id, second.collections[QStringLiteral("A")][0].id);
	EXPECT_EQ(third.collections[QStringLiteral("A")][0].destinos[0].id,
		  second.collections[QStringLiteral("A")][0].destinos[0].id);
}

TEST_F(ConfigTest, MissingSectionsAndMissingFile)
{
	ConfigStore store(path);
	QString message = QStringLiteral("unchanged");
	EXPECT_TRUE(store.load(&message));
	EXPECT_EQ(message, QStringLiteral("unchanged"));
	EXPECT_FALSE(QFile::exists(path)) << "loading never creates the file";

	write("{\"version\": 1}");
	EXPECT_TRUE(store.load(&message));
	EXPECT_TRUE(store.collections.isEmpty() && store.profiles.isEmpty());
	EXPECT_EQ(message, QStringLiteral("unchanged"));
}

TEST_F(ConfigTest, DamagedFilesAreCopiedAsideWithoutLosingEarlierBackups)
{
	const auto backup = [&](int n) {
		return path + QStringLiteral(".danado") + (n == 0 ? QString() : QStringLiteral(".%1").arg(n));
	};
	const auto load = [&](const QString &expectedBackup) {
		ConfigStore store(path);
		QString message;
		EXPECT_FALSE(store.load(&message));
		EXPECT_FALSE(store.readFailed);
		EXPECT_EQ(message,
			  QStringLiteral("El archivo de configuración estaba dañado. Se guardó una copia en «%1» "
					 "y se empieza de cero.")
				  .arg(expectedBackup));
		return store.save(nullptr);
	};
	// What a killed save left behind goes at the next load; one another OBS may be writing now stays.
	for (const char *name : {".Ab3xYz", ".Cd4wVu"}) {
		write("half", path + QLatin1String(name));
	}
	QFile leftover(path + QStringLiteral(".Ab3xYz"));
	ASSERT_TRUE(leftover.open(QIODevice::ReadWrite));
	ASSERT_TRUE(
		leftover.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
	leftover.close();
	// Damaged again and again, each time saved over: every backup is kept, byte for byte.
	const QList<QByteArray> damages{QByteArray(), "[1, 2]", "{\"colecciones\": "};
	for (int i = 0; i < damages.size(); ++i) {
		write(damages[i]);
		ConfigStore again(path);
		ASSERT_FALSE(again.load(nullptr));
		EXPECT_EQ(read(), damages[i]) << "the damaged file itself stays until the next save";
		EXPECT_TRUE(load(backup(i))) << "the same damage found again is not copied twice";
		EXPECT_TRUE(readJson().toObject().contains(QStringLiteral("colecciones")));
	}
	for (int i = 0; i < damages.size(); ++i) {
		EXPECT_EQ(read(backup(i)), damages[i]) << i;
		// Keys may be readable in them: no other user of the computer can read them.
		EXPECT_EQ(QFile::permissions(backup(i)) & 0x0077, 0) << i;
	}
	EXPECT_EQ(QFile::permissions(path) & 0x0077, 0);
	EXPECT_FALSE(QFile::exists(path + QStringLiteral(".Ab3xYz")));
	EXPECT_TRUE(QFile::exists(path + QStringLiteral(".Cd4wVu")));
	// Past the last number, the newest numbered backup makes room; the first stays.
	for (int n = 3; n <= ConfigStore::maxNumberedBackups; ++n) {
		write("kept", backup(n));
	}
	write("latest damage");
	load(backup(ConfigStore::maxNumberedBackups));
	EXPECT_EQ(read(backup(ConfigStore::maxNumberedBackups)), QByteArray("latest damage"));
	EXPECT_EQ(read(backup(ConfigStore::maxNumberedBackups - 1)), QByteArray("kept"));
	EXPECT_EQ(read(backup(0)), damages[0]);
}

TEST_F(ConfigTest, NothingIsWrittenOverAnUnreadableFile)
{
	// A damaged file that cannot be copied aside: a folder stands at every backup path.
	write("not json");
	for (int n = 0; n <= ConfigStore::maxNumberedBackups; ++n) {
		QDir().mkpath(path + QStringLiteral(".danado") +
			      (n ? QStringLiteral(".%1/b").arg(n) : QStringLiteral("/b")));
	}
	ConfigStore store(path);
	QString message;
	EXPECT_FALSE(store.load(&message));
	EXPECT_TRUE(store.readFailed);
	EXPECT_EQ(message,
		  QStringLiteral("El archivo de configuración estaba dañado y no se pudo copiar. Se empieza de cero."));
	store.collections[QStringLiteral("X")] = {sampleEntry()};
	EXPECT_FALSE(store.save(&message));
	EXPECT_TRUE(message.startsWith(QStringLiteral("No se guarda nada para no perder tu configuración anterior")));
	EXPECT_EQ(read(), QByteArray("not json"));

	// A settings path that cannot be opened for reading: a folder stands there.
	QTemporaryDir other;
	const QString unreadable = other.filePath(QStringLiteral("salidas.json"));
	QDir().mkpath(unreadable);
	ConfigStore blocked(unreadable);
	EXPECT_FALSE(blocked.load(&message));
	EXPECT_TRUE(blocked.readFailed);
	EXPECT_TRUE(message.startsWith(QStringLiteral("No se pudo leer el archivo de configuración (")));
	EXPECT_TRUE(message.endsWith(QStringLiteral("). Se empieza sin entradas guardadas.")));
	EXPECT_FALSE(blocked.save(&message));
	EXPECT_TRUE(QFileInfo(unreadable).isDir());
}

TEST_F(ConfigTest, SaveFailuresKeepMemoryAndFile)
{
	QTemporaryDir other;
	write("file, not folder", other.filePath(QStringLiteral("plugin_config")));
	ConfigStore noFolder(other.filePath(QStringLiteral("plugin_config/tallowmere/salidas.json")));
	noFolder.collections[QStringLiteral("X")] = {sampleEntry()};
	QString message;
	EXPECT_FALSE(noFolder.save(&message));
	EXPECT_EQ(message, QStringLiteral("No se pudo crear la carpeta de configuración «%1».")
				   .arg(other.filePath(QStringLiteral("plugin_config/tallowmere"))));
	EXPECT_EQ(noFolder.collections.size(), 1);

	// The settings path is a folder: the save file cannot be committed over it.
	QDir().mkpath(path);
	ConfigStore store(path);
	store.collections[QStringLiteral("X")] = {sampleEntry()};
	EXPECT_FALSE(store.save(&message));
	EXPECT_TRUE(message.startsWith(QStringLiteral("No se pudo guardar la configuración (")));
	EXPECT_TRUE(QFileInfo(path).isDir());
}

TEST_F(ConfigTest, PlainSecretsAreProtectedRightAfterLoading)
{
	write(R"({"colecciones": {"Escenas": {"entradas": [ {"id": "e1", "fuente": "S", "destinos": [
		{"id": "d1", "url": "srt://h:9000?passphrase=abc", "clave": "plain_key", "contrasena": "plain_pass"},
		{"id": "d2", "url": "rtmp://h/live", "clave": "", "contrasena": ""},
		{"id": "d3", "url": "rtmp://usr:pwd@h/live/PATHKEY"} ]} ]}}})");
	ConfigStore store(path);
	QString message;
	ASSERT_TRUE(store.load(&message));
	EXPECT_TRUE(message.isEmpty());
	EXPECT_EQ(store.collections[QStringLiteral("Escenas")][0].destinos[0].clave, QStringLiteral("plain_key"));

	const QByteArray text = read();
	for (const char *secret : {"plain_key", "plain_pass", "passphrase", "PATHKEY", "pwd"}) {
		EXPECT_FALSE(text.contains(secret)) << secret;
	}
	EXPECT_TRUE(storedDest()[QStringLiteral("clave")].toString().startsWith(QStringLiteral("dpapi:")));
	EXPECT_EQ(storedDest(0, 1)[QStringLiteral("url")].toString(), QStringLiteral("rtmp://h/live"));

	ConfigStore reloaded(path);
	ASSERT_TRUE(reloaded.load(&message));
	EXPECT_EQ(reloaded.collections[QStringLiteral("Escenas")][0].destinos[0].url,
		  QStringLiteral("srt://h:9000?passphrase=abc"));
	EXPECT_EQ(reloaded.collections[QStringLiteral("Escenas")][0].destinos[0].contrasena,
		  QStringLiteral("plain_pass"));
	EXPECT_EQ(reloaded.collections[QStringLiteral("Escenas")][0].destinos[2].url,
		  QStringLiteral("rtmp://usr:pwd@h/live/PATHKEY"))
		<< "a stored address is never split";
}

TEST_F(ConfigTest, KeysThatCannotBeProtectedAreSavedReadableUntilTheyCanBe)
{
	ConfigStore store(path);
	store.collections[QStringLiteral("Escenas")] = {sampleEntry()};
	ASSERT_TRUE(store.save(nullptr));
	const QString keyFile = keys.filePath(QStringLiteral("tallowmere/secret.key"));
	const QByteArray home = qgetenv("HOME");
	const auto saved = [&](KeyProblem kind, const QString &file) {
		QString message;
		EXPECT_TRUE(store.save(&message)) << message.toStdString();
		EXPECT_EQ(store.keysInClear.kind, kind);
		EXPECT_EQ(store.keysInClear.keyFile, file);
		return read().contains("live_clave_secreta") && read().contains("frase_secreta_ñ");
	};
	// A key file left by another user (OBS run once as root): nothing is lost, the keys are written readable.
	ASSERT_EQ(chown(keyFile.toUtf8().constData(), 65534, 65534), 0);
	EXPECT_TRUE(saved(KeyProblem::KeyFileOtherOwner, keyFile));
	EXPECT_EQ(protectionReason(store.keysInClear), QStringLiteral("el archivo de claves pertenece a otro usuario"));
	unsetenv("XDG_DATA_HOME");
	unsetenv("HOME");
	EXPECT_TRUE(saved(KeyProblem::NoKeyFolder, QStringLiteral("~/.local/share/tallowmere/secret.key")));
	setenv("HOME", home.constData(), 1);
	SetUp();
	// A key file others can read protects nothing either.
	ASSERT_EQ(chown(keyFile.toUtf8().constData(), geteuid(), getegid()), 0);
	ASSERT_TRUE(QFile::setPermissions(keyFile, QFile::permissions(keyFile) | QFileDevice::ReadOther));
	EXPECT_TRUE(saved(KeyProblem::KeyFileOpenToOthers, keyFile));
	EXPECT_EQ(protectionReason(store.keysInClear),
		  QStringLiteral("otros usuarios de este ordenador pueden leer el archivo de claves"));
	// Mended: the next save protects them again.
	ASSERT_TRUE(QFile::setPermissions(keyFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
	EXPECT_FALSE(saved(KeyProblem::None, QString()));
	EXPECT_FALSE(read().contains("sid_secreto"));
}

TEST_F(ConfigTest, SecretsOfAnotherUserAreKeptUntilReplaced)
{
	// Written by another user: protected with a key this user does not have.
	QTemporaryDir otherKeys;
	setenv("XDG_DATA_HOME", otherKeys.path().toUtf8().constData(), 1);
	const QString foreignKey = protectSecret(QStringLiteral("their_key"));
	const QString foreignUrl = protectSecret(QStringLiteral("srt://h:1?streamid=theirs"));
	setenv("XDG_DATA_HOME", keys.path().toUtf8().constData(), 1);
	QJsonObject dest{{QStringLiteral("id"), QStringLiteral("d1")},
			 {QStringLiteral("url"), foreignUrl},
			 {QStringLiteral("clave"), foreignKey},
			 {QStringLiteral("contrasena"), QStringLiteral("plain")}};
	QJsonObject entry{{QStringLiteral("id"), QStringLiteral("e1")},
			  {QStringLiteral("fuente"), QStringLiteral("S")},
			  {QStringLiteral("destinos"), QJsonArray{dest}}};
	QJsonObject root{{QStringLiteral("colecciones"),
			  QJsonObject{{QStringLiteral("Escenas"),
				       QJsonObject{{QStringLiteral("entradas"), QJsonArray{entry}}}}}}};
	const QByteArray original = QJsonDocument(root).toJson();
	write(original);

	ConfigStore store(path);
	QString message;
	ASSERT_TRUE(store.load(&message));
	EXPECT_EQ(message,
		  QStringLiteral("Algunas claves de emisión no se pudieron abrir porque se guardaron con otro "
				 "archivo de claves o en otro ordenador (el de este ordenador es «%1»). Vuelve a "
				 "escribirlas en cada destino.")
			  .arg(keys.filePath(QStringLiteral("tallowmere/secret.key"))));
	DestConfig &loaded = store.collections[QStringLiteral("Escenas")][0].destinos[0];
	EXPECT_EQ(loaded.url, QStringLiteral("?"));
	EXPECT_EQ(loaded.clave, QString());
	EXPECT_EQ(loaded.contrasena, QStringLiteral("plain"));
	EXPECT_EQ(read(), original) << "the load writes nothing when keys failed, not even to protect plain ones";

	// Another change is saved: the values only the other user can open survive.
	store.collections[QStringLiteral("Escenas")][0].nombre = QStringLiteral("renamed");
	ASSERT_TRUE(store.save(&message));
	EXPECT_EQ(storedDest()[QStringLiteral("url")].toString(), foreignUrl);
	EXPECT_EQ(storedDest()[QStringLiteral("clave")].toString(), foreignKey);
	EXPECT_TRUE(storedDest()[QStringLiteral("contrasena")].toString().startsWith(QStringLiteral("dpapi:")));

	// The user types a new key: it replaces the old one; the address is still the other user's.
	loaded.clave = QStringLiteral("mine");
	ASSERT_TRUE(store.save(&message));
	EXPECT_NE(storedDest()[QStringLiteral("clave")].toString(), foreignKey);
	EXPECT_EQ(storedDest()[QStringLiteral("url")].toString(), foreignUrl);
	ConfigStore reloaded(path);
	ASSERT_TRUE(reloaded.load(&message));
	EXPECT_EQ(reloaded.collections[QStringLiteral("Escenas")][0].destinos[0].clave, QStringLiteral("mine"));
	EXPECT_EQ(reloaded.collections[QStringLiteral("Escenas")][0].destinos[0].url, QStringLiteral("?"));
}

TEST_F(ConfigTest, OutsideControlMembersRoundTripAndOlderFilesLoadAsBefore)
{
	// A file written before these members existed loads with them off, and is saved again without them.
	write(R"({"version": 1, "perfiles": [], "colecciones": {"Escenas": {"entradas": [
		{"id": "e1", "fuente": "Cámara", "seguirObs": false, "destinos": [{"id": "d1", "url": "rtmp://h/live"}]},
		{"id": "e2", "fuente": "Cámara", "emitirConObs": "sí",
		 "atajos": {"emitir": "F9", "parar": [5, {"key": "OBS_KEY_A"}], "otro": [{"key": "OBS_KEY_B"}]}}]}},
		"atajos": []})");
	ConfigStore store(path);
	ASSERT_TRUE(store.load(nullptr));
	QList<EntryConfig> &entries = store.collections[QStringLiteral("Escenas")];
	ASSERT_EQ(entries.size(), 2);
	EXPECT_FALSE(entries[0].iniciarConStream || entries[1].iniciarConStream || entries[0].pararConGrabacion);
	EXPECT_TRUE(entries[0].atajos.isEmpty() && store.atajos.isEmpty());
	EXPECT_EQ(entries[1].atajos.keys(), QStringList{QStringLiteral("parar")}) << "only arrays of bindings, known";
	EXPECT_EQ(entries[1].atajos.value(QStringLiteral("parar")), QStringLiteral(R"([{"key":"OBS_KEY_A"}])"));
	entries.removeLast();
	ASSERT_TRUE(store.save(nullptr));
	EXPECT_FALSE(read().contains("emitirConObs"));
	EXPECT_FALSE(read().contains("atajos"));

	// Set, they are written (sorted, like every member) and read back; the one option of earlier versions is
	// written beside them while both halves are set, and a file that has only it reads as both.
	entries[0].iniciarConStream = entries[0].pararConStream = entries[0].pararConGrabacion = true;
	DestConfig recording;
	recording.id = QStringLiteral("d2");
	recording.grabacion = true;
	recording.carpeta = QStringLiteral("/tmp/rec");
	recording.patron = QStringLiteral("%hh");
	recording.formato = QStringLiteral("fmp4");
	entries[0].destinos.append(recording);
	entries[0].atajos.insert(QStringLiteral("emitir"), QStringLiteral(R"([{"key":"OBS_KEY_F9","shift":true}])"));
	store.atajos.insert(QStringLiteral("pararTodo"), QStringLiteral(R"([{"control":true,"key":"OBS_KEY_F12"}])"));
	ASSERT_TRUE(store.save(nullptr));
	const QByteArray text = read();
	EXPECT_LT(text.indexOf("\"atajos\""), text.indexOf("\"codificador\""));
	EXPECT_LT(text.indexOf("\"destinos\""), text.indexOf("\"emitirConObs\": true"));
	ConfigStore loaded(path);
	ASSERT_TRUE(loaded.load(nullptr));
	const EntryConfig &back = loaded.collections[QStringLiteral("Escenas")][0];
	EXPECT_TRUE(back.iniciarConStream && back.pararConStream && back.pararConGrabacion);
	EXPECT_FALSE(back.iniciarConGrabacion);
	ASSERT_EQ(back.destinos.size(), 2);
	EXPECT_TRUE(back.destinos[1].grabacion);
	EXPECT_EQ(back.destinos[1].carpeta + back.destinos[1].patron + back.destinos[1].formato,
		  QStringLiteral("/tmp/rec%hhfmp4"));
	EXPECT_EQ(back.atajos, entries[0].atajos);
	EXPECT_EQ(loaded.atajos, store.atajos);
	expectSameEntry(back, entries[0]);
}
