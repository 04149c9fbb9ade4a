#pragma once

// Headless libobs for engine tests: started once per test binary under its own X display, with Debian's real
// OBS plug-ins (x264, RTMP output, MPEG-TS muxer, AAC/Opus, media source).

#include "engine/live-entry.hpp"
#include "config/config-store.hpp"
#include "testbed.hpp"

#include <obs.h>
#include <obs.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

inline void PrintTo(DestState state, std::ostream *out)
{
	static const char *const names[] = {"Idle", "Connecting", "Live", "Reconnecting", "Failed"};
	*out << names[int(state)];
}

namespace obstest {

constexpr uint32_t canvasWidth = 640;
constexpr uint32_t canvasHeight = 360;

// Runs the tests with libobs started; ends the process with _exit after a clean obs_shutdown, because a
// process that used SRT crashes at exit on Debian (two libsrt copies in one process). `after`, when given, is set
// up once libobs runs and torn down before it stops.
int runWithObs(int argc, char **argv, testing::Environment *after = nullptr);

// A folder for this binary's generated media, kept for the run.
const std::string &mediaDir();

// A solid colour input of the given size (ABGR colour, e.g. 0xFF0000FF is red).
OBSSourceAutoRelease makeColor(const char *name, uint32_t abgr, uint32_t width = canvasWidth,
			       uint32_t height = canvasHeight);
// A media input looping a generated tone file at freqHz (amplitude 0.5).
OBSSourceAutoRelease makeTone(const char *name, double freqHz);
// A media input playing a file (looping).
OBSSourceAutoRelease makeMedia(const char *name, const std::string &path, bool loop = true);
// A public scene holding the given sources, in order (later ones on top).
OBSSceneAutoRelease makeScene(const char *name, const std::vector<obs_source_t *> &sources);

// An entry for the given source with destinations at the given addresses (keys given separately).
EntryConfig makeEntry(const QString &source, const std::vector<std::pair<QString, QString>> &destinations,
		      int width = 0, int height = 0);

// Ticks the entry every periodMs until done() holds or timeoutMs passes; true when done() held.
bool tickUntil(LiveEntry &entry, const std::function<bool()> &done, int timeoutMs, int periodMs = 100);
// Ticks the entry for durationMs.
void tickFor(LiveEntry &entry, int durationMs, int periodMs = 100);
// Ticks the entries every 500 ms as the panel does, checking done() every 50 ms in between; true when it held.
bool superviseUntil(const std::vector<LiveEntry *> &entries, const std::function<bool()> &done, int timeoutMs);

// How many OBS encoders, outputs and services of this module exist now.
struct ModuleObjects {
	int videoEncoders = 0;
	int audioEncoders = 0;
	int outputs = 0;
	int services = 0;
	int total() const { return videoEncoders + audioEncoders + outputs + services; }
};
ModuleObjects countModuleObjects();

// Whether every destination of the entry is Live.
bool allLive(LiveEntry &live, const EntryConfig &entry);
// Seconds since a steady-clock instant.
double secondsSince(std::chrono::steady_clock::time_point start);
QString q(const std::string &text);
// A file of random pixels (320x180, lossless): an encoder cannot go below its bitrate on it.
std::string noiseFile();

// OBS's own program, video and mix, recorded to a file by OBS's ffmpeg muxer output, from construction until
// stop() or destruction.
class ProgramRecording {
public:
	explicit ProgramRecording(const std::string &path);
	~ProgramRecording();
	bool stop();
	const std::string &path() const { return file; }
	// The clock (os_gettime_ns, in seconds) at the recording's time 0.
	double startedAt() const { return started; }

private:
	std::string file;
	double started = 0;
	OBSEncoderAutoRelease video;
	OBSEncoderAutoRelease audio;
	OBSOutputAutoRelease output;
};

// Three media files in one scene, one per packet length sources hand over: AAC (1,024-frame packets), FLAC (4,608)
// and PCM read in 8,192-frame chunks at 44.1 kHz. Each has its own tone (300, 500 and 700 Hz) under its own clicks,
// which come at their own delay after a flash every 51 frames of 25 fps (its phase against OBS's 30 fps moves on
// each time, so a mean offset does not depend on where one flash falls between two of OBS's frames). One stream
// then tells whether each codec's sound is whole and how it lines up with the others' against the same pictures.
struct PacketScene {
	struct Kind {
		const char *name;
		testbed::FlashClickOptions options;
	};
	// Sources "<prefix>-aac" and so on, in a scene named prefix, playing files of the given length once.
	explicit PacketScene(const std::string &prefix, int seconds = 40);
	int seconds;
	std::vector<Kind> kinds;
	std::vector<OBSSourceAutoRelease> sources;
	OBSSceneAutoRelease scene;
	// The file of the given kind.
	std::string file(size_t kind) const;
};

// The sound of one recording of a PacketScene: every tone's gaps and the AAC file's click after its flash, while
// the machine was idle and while it was busy.
struct MixFigures {
	int gapsIdle = 0;
	int gapsLoaded = 0;
	int windows = 0;
	double longestGapMs = 0;
	double offsetIdleMs = 0;
	double offsetLoadedMs = 0;
	size_t offsetsLoaded = 0;
};
struct LoadComparison {
	MixFigures entry;
	MixFigures program;
	int entryLateMarginMs = 0;
};
// The same PacketScene on OBS's program (recorded from OBS's own mix) and in an entry (streamed to nginx):
// idleSeconds as they are, then loadSeconds on a testbed::BusyMachine.
LoadComparison compareUnderLoad(int idleSeconds, int loadSeconds);

// Media inputs only play while OBS's audio and video run: gives them time to produce a first frame.
void settle(int ms);

} // namespace obstest
