#include "engine/recording-path.hpp"
#include "base/language.hpp"

#include <obs.h>
#include <util/platform.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>
#include <set>

namespace recordingPath {

namespace {

std::mutex lock;
// Names this process has taken and not yet let go of.
std::set<QString> taken;

// OBS 29 starts its muxer through /bin/sh with the path in double quotes; later versions pass it as an argument.
bool shellQuoted()
{
#ifdef _WIN32
	return false;
#else
	return obs_get_version() < MAKE_SEMANTIC_VERSION(30, 0, 0);
#endif
}

bool expandedByShell(QChar c)
{
	return c == QLatin1Char('$') || c == QLatin1Char('`') || c == QLatin1Char('"') || c == QLatin1Char('\\');
}

// A name's longest part in bytes (most file systems'), less room for " (999)".
constexpr int maxNameBytes = 255 - 6;

QString cutToBytes(const QString &text, int bytes)
{
	QString cut = text;
	while (!cut.isEmpty() && cut.toUtf8().size() > bytes) {
		cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
	}
	return cut;
}

bool writtenByObs(const QString &path)
{
	struct Search {
		QByteArray wanted;
		bool found = false;
	} search{QDir::toNativeSeparators(path).toUtf8()};
	obs_enum_outputs(
		[](void *data, obs_output_t *output) {
			auto *s = static_cast<Search *>(data);
			obs_data_t *settings = obs_output_get_settings(output);
			for (const char *key : {"path", "url"}) {
				const char *value = obs_data_get_string(settings, key);
				s->found = s->found || (value && s->wanted == value);
			}
			obs_data_release(settings);
			return !s->found;
		},
		&search);
	return search.found;
}

} // namespace

QString fileName(const QString &pattern, const QString &extension)
{
	const QString format = pattern.trimmed().isEmpty() ? QStringLiteral("%CCYY-%MM-%DD %hh-%mm-%ss")
							   : pattern.trimmed();
	char *made = os_generate_formatted_filename(extension.toUtf8().constData(), true, format.toUtf8().constData());
	QString name = QString::fromUtf8(made ? made : "");
	bfree(made);
	const QString suffix = QLatin1Char('.') + extension;
	if (name.endsWith(suffix)) {
		name.chop(suffix.size());
	}
	QString safe;
	for (const QChar c : name) {
		if (c == QLatin1Char('/') || c == QLatin1Char('\\')) {
			safe += QLatin1Char('-');
		} else if (c.unicode() < 0x20 || expandedByShell(c)
#ifdef _WIN32
			   || QStringLiteral(":*?<>|").contains(c)
#endif
		) {
			continue;
		} else {
			safe += c;
		}
	}
	// Dots alone would name the folder or its parent; a leading dot hides the file.
	while (safe.startsWith(QLatin1Char('.'))) {
		safe.remove(0, 1);
	}
	safe = cutToBytes(safe.trimmed(), maxNameBytes - int(suffix.toUtf8().size())).trimmed();
	if (safe.isEmpty()) {
		safe = QStringLiteral("recording");
	}
	return safe + suffix;
}

QString folderProblem(const QString &folder)
{
	if (shellQuoted()) {
		for (const QChar c : folder) {
			if (expandedByShell(c)) {
				return translate(
					       "Esta versión de OBS no puede grabar en una carpeta cuyo nombre lleva %1: "
					       "elige otra carpeta.")
					.arg(QString(c));
			}
		}
	}
	return QString();
}

QString recordingProblem(const QString &folder, const QString &pattern, int number)
{
	const QString prefix = translate("Destino %1: ").arg(number);
	if (pattern.contains(QLatin1Char('/')) || pattern.contains(QLatin1Char('\\'))) {
		return prefix + translate("el nombre del archivo no puede llevar «/» ni «\\»: la grabación se guarda "
					  "siempre en su carpeta.");
	}
	const QString problem = folderProblem(folder);
	return problem.isEmpty() ? QString() : prefix + problem;
}

QString reserve(const QString &folder, const QString &pattern, const QString &extension, QString *error)
{
	const auto refuse = [&](const QString &text) {
		if (error) {
			*error = text;
		}
		return QString();
	};
	const QString problem = folderProblem(folder);
	if (!problem.isEmpty()) {
		return refuse(problem);
	}
	const QString cannotWrite =
		translate("No se puede grabar en «%1»: la carpeta no existe o no se puede escribir en ella.")
			.arg(QDir::toNativeSeparators(folder));
	if (folder.trimmed().isEmpty() || !QFileInfo(folder).isDir()) {
		return refuse(cannotWrite);
	}
	const QString name = fileName(pattern, extension);
	const QString stem = name.left(name.size() - extension.size() - 1);
	const QDir dir(folder);
	std::lock_guard<std::mutex> guard(lock);
	for (int n = 1; n < 1000; ++n) {
		const QString path = dir.filePath(
			n == 1 ? name : QStringLiteral("%1 (%2).%3").arg(stem, QString::number(n), extension));
		if (taken.count(path) || writtenByObs(path)) {
			continue;
		}
		// Made only when nothing is there: an existing file, even an empty one, is never touched.
		QFile held(path);
		if (held.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
			held.close();
			taken.insert(path);
			return path;
		}
		if (!QFileInfo::exists(path)) {
			return refuse(cannotWrite);
		}
	}
	return refuse(cannotWrite);
}

void release(const QString &path, bool unused)
{
	if (path.isEmpty()) {
		return;
	}
	std::lock_guard<std::mutex> guard(lock);
	if (taken.erase(path) && unused && QFileInfo(path).size() == 0) {
		QFile::remove(path);
	}
}

} // namespace recordingPath
