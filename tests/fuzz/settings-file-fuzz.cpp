// Any bytes as the settings file: loading never crashes, what it keeps obeys the model's rules, and saving it
// then loading again gives the same configuration (protected values included).
#include "config/config-store.hpp"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString folder;

void require(bool condition, const char *what)
{
	if (!condition) {
		std::fprintf(stderr, "settings file fuzz: %s\n", what);
		std::abort();
	}
}

// Texts are compared as the file stores them: UTF-8 turns a lone surrogate into U+FFFD.
QString stored(const QString &text)
{
	return QString::fromUtf8(text.toUtf8());
}

bool sameDest(const DestConfig &a, const DestConfig &b)
{
	return stored(a.id) == stored(b.id) && stored(a.url) == stored(b.url) && stored(a.clave) == stored(b.clave) &&
	       stored(a.contrasena) == stored(b.contrasena);
}

bool sameEntry(const EntryConfig &a, const EntryConfig &b)
{
	if (a.destinos.size() != b.destinos.size() || a.equivalencias.size() != b.equivalencias.size()) {
		return false;
	}
	for (int i = 0; i < a.destinos.size(); ++i) {
		if (!sameDest(a.destinos[i], b.destinos[i])) {
			return false;
		}
	}
	for (auto x = a.equivalencias.begin(), y = b.equivalencias.begin(); x != a.equivalencias.end(); ++x, ++y) {
		if (stored(x.key()) != stored(y.key()) || stored(x.value()) != stored(y.value())) {
			return false;
		}
	}
	return stored(a.id) == stored(b.id) && stored(a.fuente) == stored(b.fuente) &&
	       stored(a.nombre) == stored(b.nombre) && stored(a.codificador) == stored(b.codificador) &&
	       a.videoKbps == b.videoKbps && a.audioKbps == b.audioKbps &&
	       stored(a.codificadorAudio) == stored(b.codificadorAudio) && a.retrasoAudioMs == b.retrasoAudioMs &&
	       stored(a.ajustesCodificador) == stored(b.ajustesCodificador) && a.ancho == b.ancho && a.alto == b.alto &&
	       a.llenar == b.llenar && a.seguirObs == b.seguirObs;
}

bool sameProfile(const ProfileConfig &a, const ProfileConfig &b)
{
	return stored(a.nombre) == stored(b.nombre) && stored(a.codificador) == stored(b.codificador) &&
	       a.videoKbps == b.videoKbps && a.audioKbps == b.audioKbps &&
	       stored(a.codificadorAudio) == stored(b.codificadorAudio) &&
	       stored(a.ajustesCodificador) == stored(b.ajustesCodificador);
}

void checkModel(const ConfigStore &store)
{
	for (const ProfileConfig &profile : store.profiles) {
		require(!profile.nombre.isEmpty() && profile.nombre == profile.nombre.trimmed(), "profile name");
		require(profile.audioKbps >= ConfigLimits::minAudioKbps &&
				profile.audioKbps <= ConfigLimits::maxAudioKbps,
			"profile audio rate");
	}
	for (const auto &entries : store.collections) {
		for (const EntryConfig &entry : entries) {
			require(!entry.id.isEmpty(), "entry id");
			require(!entry.fuente.isEmpty() || entry.seguirObs, "entry source");
			require(entry.videoKbps >= ConfigLimits::minVideoKbps &&
					entry.videoKbps <= ConfigLimits::maxVideoKbps,
				"video rate");
			require(entry.retrasoAudioMs >= ConfigLimits::minAudioDelayMs &&
					entry.retrasoAudioMs <= ConfigLimits::maxAudioDelayMs,
				"audio delay");
			require((entry.ancho == 0 && entry.alto == 0) ||
					(entry.ancho >= ConfigLimits::minSide && entry.ancho <= ConfigLimits::maxSide &&
					 entry.alto >= ConfigLimits::minSide && entry.alto <= ConfigLimits::maxSide),
				"picture size");
			for (const DestConfig &dest : entry.destinos) {
				require(!dest.id.isEmpty() && !dest.url.isEmpty(), "destination id and address");
			}
		}
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// tmpfs when there is one: every input is written, read, saved and read again.
	const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
	char pattern[64];
	std::snprintf(pattern, sizeof(pattern), "%s/tallowmere-fuzz-XXXXXX", base);
	require(mkdtemp(pattern) != nullptr, "temporary folder");
	folder = QString::fromUtf8(pattern);
	// A fixed key, so that the seed files' protected values open here; on another computer they take the path
	// of values protected elsewhere.
	require(QDir().mkpath(folder + QStringLiteral("/data/tallowmere")), "key folder");
	setenv("XDG_DATA_HOME", (folder + QStringLiteral("/data")).toUtf8().constData(), 1);
	QFile key(folder + QStringLiteral("/data/tallowmere/secret.key"));
	require(key.open(QIODevice::WriteOnly) && key.write("tallowmere fuzzing key, 32 bytes", 32) == 32, "key file");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QString path = folder + QStringLiteral("/salidas.json");
	QFile::remove(path + QStringLiteral(".danado"));
	{
		QFile file(path);
		require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "write input");
		file.write(reinterpret_cast<const char *>(data), qint64(size));
	}
	ConfigStore store(path);
	QString message;
	if (!store.load(&message)) {
		require(!message.isEmpty() && store.collections.isEmpty() && store.profiles.isEmpty(), "failed load");
		return 0;
	}
	checkModel(store);
	require(store.save(&message), "save after load");
	ConfigStore again(path);
	require(again.load(&message), "load after save");
	require(again.profiles.size() == store.profiles.size() && again.collections.size() == store.collections.size(),
		"round trip sizes");
	for (int i = 0; i < store.profiles.size(); ++i) {
		require(sameProfile(store.profiles[i], again.profiles[i]), "round trip profile");
	}
	for (auto x = store.collections.begin(), y = again.collections.begin(); x != store.collections.end();
	     ++x, ++y) {
		require(stored(x.key()) == stored(y.key()) && x.value().size() == y.value().size(),
			"round trip collection");
		for (int i = 0; i < x.value().size(); ++i) {
			require(sameEntry(x.value()[i], y.value()[i]), "round trip entry");
		}
	}
	return 0;
}
