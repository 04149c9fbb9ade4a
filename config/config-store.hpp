#pragma once

#include "config/secret.hpp"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// A new identifier: a random UUID, lower case, without braces (36 characters).
QString newIdentifier();

struct DestConfig {
	QString id;
	QString url;
	QString clave;
	QString contrasena;

	// A recording of the entry to a file, in place of a server: the folder (empty: OBS's recording folder), the
	// file name with OBS's date and time specifiers (empty: OBS's default), and "mkv" or "fmp4".
	bool grabacion = false;
	QString carpeta;
	QString patron;
	QString formato;

	// Stored (protected) values that could not be opened on this account or computer. They are written back
	// unchanged until the user gives the destination a new value, so the only copy is never destroyed.
	struct Unopened {
		QString url;
		QString clave;
		QString contrasena;
	} sinAbrir;
};

// How a picture and its sound are encoded: what an entry and an encoder profile have in common.
struct EncodingConfig {
	QString codificador = QStringLiteral("obs_x264");
	int videoKbps = 4000;
	int audioKbps = 128;
	QString codificadorAudio;
	QString ajustesCodificador;
};

struct EntryConfig : EncodingConfig {
	QString id;
	QString fuente;
	QString nombre;
	int retrasoAudioMs = 0;
	int ancho = 0;
	int alto = 0;
	bool llenar = false;
	// OBS's frame rate divided by this, where OBS can encode at a fraction of its own (30 and later); 1: OBS's.
	int divisorFps = 1;
	bool seguirObs = false;
	// Sends OBS's program (what OBS streams, transitions included) in place of `fuente`, with the sound of OBS's
	// mixer track `pistaAudio` (1 to 6; 0: the one OBS's stream uses).
	bool programaObs = false;
	int pistaAudio = 0;
	// With OBS's program: "emision" or "grabacion" sends what OBS's own stream or recording encoder makes instead
	// of encoding again (bitrate, size and sound are then OBS's); empty: the entry's own encoder.
	QString codificadorObs;
	QMap<QString, QString> equivalencias;
	QList<DestConfig> destinos;
	// Starts when OBS's own stream starts, stops when it stops; the same with OBS's own recording. (Files of
	// earlier versions have one "emitirConObs" for the first two.)
	bool iniciarConStream = false;
	bool pararConStream = false;
	bool iniciarConGrabacion = false;
	bool pararConGrabacion = false;
	// OBS hotkey bindings of the entry's hotkeys: "emitir" and "parar", each the compact JSON text of the array of
	// bindings as OBS saves it. Only non-empty arrays are kept.
	QMap<QString, QString> atajos;
};

struct ProfileConfig : EncodingConfig {
	QString nombre;
};

// Copies what may change while the entry streams: its name, video bitrate, audio delay, the encoder's own
// settings, and when it starts and stops with OBS. Everything else is bound to the running outputs.
void copyEditableWhileLive(const EntryConfig &from, EntryConfig &into);

// Limits shared by the settings file and the editor.
namespace ConfigLimits {
constexpr int minVideoKbps = 1;
constexpr int maxVideoKbps = 1000000;
constexpr int minAudioKbps = 64;
constexpr int maxAudioKbps = 320;
constexpr int minAudioDelayMs = 0;
constexpr int maxAudioDelayMs = 1000;
constexpr int maxFpsDivisor = 6;
constexpr int minSide = 160;
constexpr int maxSide = 7680;
} // namespace ConfigLimits

// Everything the user has defined: entries per scene collection and the shared encoder profiles.
class ConfigStore {
public:
	explicit ConfigStore(const QString &settingsPath) : path(settingsPath) {}

	const QString path;
	bool readFailed = false;
	QMap<QString, QList<EntryConfig>> collections;
	QList<ProfileConfig> profiles;
	// OBS hotkey bindings that belong to no entry: "pararTodo", as for an entry.
	QMap<QString, QString> atajos;

	// Replaces the configuration with the file's; false when the file was unusable. message: optional notice.
	bool load(QString *message);
	// Writes the configuration atomically; false with the reason in message.
	bool save(QString *message);

	// Set by every successful save: why secrets had to be written readable, or no problem when none had to.
	ProtectionProblem keysInClear;

	// The first backup of a damaged file; later ones get ".1", ".2"… up to maxNumberedBackups.
	QString backupPath() const { return path + QStringLiteral(".danado"); }
	static constexpr int maxNumberedBackups = 20;

private:
	// Copies damaged content beside the settings file without touching earlier backups; the path written, or
	// empty when the copy failed.
	QString backupFor(const QByteArray &damaged) const;
};
