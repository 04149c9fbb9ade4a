#include "module/lifecycle.hpp"
#include "base/log.hpp"
#include "module/srt-library.hpp"
#include "engine/srt-start.hpp"
#include "common/log-capture.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <dlfcn.h>

namespace {

int startupCalls = 0;
int startupFailAfter = 0;
int cleanupCalls = 0;

int fakeStartup()
{
	return ++startupCalls > startupFailAfter ? -1 : 0;
}

int fakeCleanup()
{
	++cleanupCalls;
	return 0;
}

void resetFakes(int failAfter)
{
	startupCalls = 0;
	cleanupCalls = 0;
	startupFailAfter = failAfter;
}

void writeText(const QString &path, const QByteArray &content)
{
	QDir().mkpath(QFileInfo(path).absolutePath());
	QFile file(path);
	ASSERT_TRUE(file.open(QIODevice::WriteOnly));
	file.write(content);
}

QByteArray readText(const QString &path)
{
	QFile file(path);
	return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(Log, PrefixAndFormatting)
{
	LogCapture log;
	logMessage(LOG_WARNING, "%s recovered after %d s", "rtmp://h/live", 12);
	logMessage(LOG_INFO, "100%% plain");
	const auto lines = log.lines();
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[0], "200 [tallowmere] rtmp://h/live recovered after 12 s");
	EXPECT_EQ(lines[1], "300 [tallowmere] 100% plain");
}

TEST(SrtHold, TakesAndReleasesReferences)
{
	LogCapture log;
	SrtEntryPoints points{true, fakeStartup, fakeCleanup};

	resetFakes(1000000);
	SrtHold full;
	full.acquire(points);
	EXPECT_EQ(startupCalls, SrtHold::maxReferences);
	EXPECT_EQ(full.references(), 1000);
	EXPECT_TRUE(log.contains("300 [tallowmere] SRT protection active (1000 references)"));
	full.release();
	EXPECT_EQ(cleanupCalls, 1000);
	EXPECT_EQ(full.references(), 0);
	full.release();
	EXPECT_EQ(cleanupCalls, 1000) << "a second release calls nothing";

	// Stops at the first failing call; a first failure holds nothing to clean up.
	resetFakes(3);
	SrtHold partial;
	partial.acquire(points);
	EXPECT_EQ(startupCalls, 4);
	EXPECT_EQ(partial.references(), 3);
	partial.release();
	EXPECT_EQ(cleanupCalls, 3);

	log.clear();
	resetFakes(0);
	SrtHold none;
	none.acquire(points);
	EXPECT_TRUE(log.contains("SRT protection active (0 references)"));
	none.release();
	EXPECT_EQ(cleanupCalls, 0);
}

TEST(SrtHold, MissingLibraryOrEntryPoint)
{
	LogCapture log;
	resetFakes(1000000);
	SrtHold withoutCleanup;
	withoutCleanup.acquire(SrtEntryPoints{true, fakeStartup, nullptr});
	EXPECT_EQ(startupCalls, 0);
	withoutCleanup.release();
	EXPECT_FALSE(log.contains("SRT protection active"));

	SrtHold absent;
	absent.acquire(SrtEntryPoints{});
	absent.release();
	EXPECT_EQ(startupCalls, 0);
	EXPECT_EQ(cleanupCalls, 0);
	EXPECT_TRUE(log.contains("200 [tallowmere] SRT library not found; streams to SRT servers may cut each other"));
}

TEST(SrtHold, FindsTheCopyTheProcessUses)
{
	// libobs brings a libsrt in through libavformat: the lookup must pick that one, not load another.
	const SrtEntryPoints found = findSrtLibrary();
	ASSERT_TRUE(found.libraryFound);
	EXPECT_EQ(reinterpret_cast<void *>(found.startup), dlsym(RTLD_DEFAULT, "srt_startup"));
	EXPECT_EQ(reinterpret_cast<void *>(found.cleanup), dlsym(RTLD_DEFAULT, "srt_cleanup"));
}

TEST(SrtHold, OnLinuxTakenAtTheFirstSrtStreamOnly)
{
	// Held from load, Debian's two libsrt copies crash OBS at every exit: only a stream that uses SRT takes it.
	LogCapture log;
	ASSERT_TRUE(moduleLoad(nullptr));
	EXPECT_FALSE(log.contains("SRT protection active"));
	notifySrtStart();
	notifySrtStart();
	EXPECT_EQ(log.count("300 [tallowmere] SRT protection active (1000 references)"), 1);
	moduleUnload();
	EXPECT_TRUE(log.contains("300 [tallowmere] Quorvex Source unloaded"));
	notifySrtStart();
	EXPECT_EQ(log.count("SRT protection active"), 1) << "nothing after unload";
}

TEST(SettingsLocation, LegacyMigration)
{
	QTemporaryDir root;
	const QString path = root.filePath(QStringLiteral("plugin_config/tallowmere/salidas.json"));
	const QString legacy = root.filePath(QStringLiteral("plugin_config/marrowvale/salidas.json"));
	LogCapture log;

	// Nothing anywhere: nothing copied, the folder is left for the first save to create.
	EXPECT_EQ(locateSettingsAt(path), path);
	EXPECT_FALSE(QFile::exists(path));

	writeText(legacy, "{\"legacy\":1}");
	EXPECT_EQ(locateSettingsAt(path), path);
	EXPECT_EQ(readText(path), QByteArray("{\"legacy\":1}"));
	EXPECT_TRUE(QFile::exists(legacy)) << "the legacy file stays";
	EXPECT_EQ(log.count("300 [tallowmere] previous configuration copied to the new location"), 1);

	// A file at the new place is never replaced.
	writeText(legacy, "{\"legacy\":2}");
	locateSettingsAt(path);
	EXPECT_EQ(readText(path), QByteArray("{\"legacy\":1}"));
	EXPECT_EQ(log.count("previous configuration copied"), 1);

	// A path without the module folder is not migrated.
	const QString other = root.filePath(QStringLiteral("elsewhere/salidas.json"));
	EXPECT_EQ(locateSettingsAt(other), other);
	EXPECT_FALSE(QFile::exists(other));

	// A file standing where the new folder belongs makes the copy fail: reported, and the module goes on.
	const QString blockedRoot = root.filePath(QStringLiteral("blocked"));
	writeText(blockedRoot + QStringLiteral("/marrowvale/salidas.json"), "{}");
	writeText(blockedRoot + QStringLiteral("/tallowmere"), "not a folder");
	const QString blocked = blockedRoot + QStringLiteral("/tallowmere/salidas.json");
	EXPECT_EQ(locateSettingsAt(blocked), blocked);
	EXPECT_TRUE(log.contains("200 [tallowmere] could not copy the previous configuration"));
}
