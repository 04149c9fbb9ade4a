// Any bytes as the settings file: loading never crashes, what it keeps obeys the model's rules, and saving it
// then loading again gives the same configuration (protected values included).
#include "config/config-store.hpp"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

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

// Everything the store holds, as one text; texts as the file stores them (UTF-8 turns a lone surrogate into
// U+FFFD).
QString dump(const ConfigStore &store)
{
	QStringList out;
	const auto number = [](int n) {
		return QString::number(n);
	};
	for (const ProfileConfig &p : store.profiles) {
		out << QStringLiteral("profile") << p.nombre << p.codificador << number(p.videoKbps)
		    << number(p.audioKbps) << p.codificadorAudio << p.ajustesCodificador;
	}
	for (auto it = store.collections.begin(); it != store.collections.end(); ++it) {
		out << QStringLiteral("collection") << it.key();
		for (const EntryConfig &e : it.value()) {
			out << QStringLiteral("entry") << e.id << e.fuente << e.nombre << e.codificador
			    << number(e.videoKbps) << number(e.audioKbps) << e.codificadorAudio
			    << number(e.retrasoAudioMs) << e.ajustesCodificador << number(e.ancho) << number(e.alto)
			    << number(e.llenar) << number(e.seguirObs);
			for (auto eq = e.equivalencias.begin(); eq != e.equivalencias.end(); ++eq) {
				out << QStringLiteral("equivalence") << eq.key() << eq.value();
			}
			for (const DestConfig &d : e.destinos) {
				out << QStringLiteral("destination") << d.id << d.url << d.clave << d.contrasena;
			}
		}
	}
	return QString::fromUtf8(out.join(QChar(0)).toUtf8());
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
	require(dump(again) == dump(store), "saved and loaded again, the configuration is the same");
	return 0;
}
