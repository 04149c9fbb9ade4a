#include "engine/obs-fixture.hpp"
#include "engine/output-reaper.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <obs-nix-platform.h>
#include <util/bmem.h>
#include <util/platform.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>
#include <unistd.h>

namespace obstest {

namespace {

const char *pluginDir = "/usr/lib/x86_64-linux-gnu/obs-plugins";
const char *pluginDataDir = "/usr/share/obs/obs-plugins";

class ObsEnvironment : public testing::Environment {
public:
	void SetUp() override
	{
		xvfb.start();
		// Parts of libobs' X11 start-up open the display named by DISPLAY themselves.
		setenv("DISPLAY", xvfb.display().c_str(), 1);
		display = XOpenDisplay(xvfb.display().c_str());
		ASSERT_NE(display, nullptr) << "cannot open " << xvfb.display();
		obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
		obs_set_nix_platform_display(display);
		// Plug-ins write their own configuration (rtmp-services its service list): into a folder of this run's,
		// never wherever the tests run.
		moduleConfig = std::make_unique<testbed::TempDir>("tallowmere-obs-config-");
		ASSERT_TRUE(obs_startup("en-US", moduleConfig->path().c_str(), nullptr));

		obs_video_info ovi = {};
		ovi.graphics_module = "libobs-opengl";
		ovi.fps_num = 30;
		ovi.fps_den = 1;
		ovi.base_width = ovi.output_width = canvasWidth;
		ovi.base_height = ovi.output_height = canvasHeight;
		ovi.output_format = VIDEO_FORMAT_NV12;
		ovi.colorspace = VIDEO_CS_709;
		ovi.range = VIDEO_RANGE_PARTIAL;
		ovi.adapter = 0;
		ovi.gpu_conversion = true;
		ovi.scale_type = OBS_SCALE_BICUBIC;
		ASSERT_EQ(obs_reset_video(&ovi), OBS_VIDEO_SUCCESS);

		obs_audio_info oai = {};
		oai.samples_per_sec = 48000;
		oai.speakers = SPEAKERS_STEREO;
		ASSERT_TRUE(obs_reset_audio(&oai));

		// obs_load_all_modules would also load the OBS app's Qt plug-ins, which abort without the app.
		for (const char *name : {"image-source", "obs-ffmpeg", "obs-x264", "obs-outputs", "rtmp-services"}) {
			const std::string binary = std::string(pluginDir) + "/" + name + ".so";
			const std::string data = std::string(pluginDataDir) + "/" + name;
			obs_module_t *module = nullptr;
			ASSERT_EQ(obs_open_module(&module, binary.c_str(), data.c_str()), MODULE_SUCCESS) << name;
			ASSERT_TRUE(obs_init_module(module)) << name;
		}
		obs_post_load_modules();
	}

	void TearDown() override
	{
		// As the module does at unload: outputs still being ended go first.
		EXPECT_TRUE(outputReaper::waitIdle(10000));
		obs_shutdown();
		const long leaks = bnum_allocs();
		std::printf("Number of memory leaks: %ld\n", leaks);
		EXPECT_EQ(leaks, 0) << "every OBS reference must be released before shutdown";
		moduleConfig.reset();
		if (display) {
			XCloseDisplay(display);
		}
		xvfb.stop();
	}

private:
	testbed::Xvfb xvfb;
	Display *display = nullptr;
	std::unique_ptr<testbed::TempDir> moduleConfig;
};

std::map<double, std::string> toneFiles;

// OBS's own handler also prints debug lines; a failing test's output stays readable without them.
void printLog(int level, const char *format, va_list args, void *)
{
	if (level > LOG_INFO) {
		return;
	}
	char line[4096];
	vsnprintf(line, sizeof(line), format, args);
	std::fprintf(level <= LOG_WARNING ? stderr : stdout, "%s\n", line);
}

} // namespace

const std::string &mediaDir()
{
	static testbed::TempDir dir("tallowmere-media-");
	return dir.path();
}

int runWithObs(int argc, char **argv, testing::Environment *after)
{
	testing::InitGoogleTest(&argc, argv);
	base_set_log_handler(printLog, nullptr);
	// As the OBS application does: a recording's muxer process that dies must not take the process with it.
	signal(SIGPIPE, SIG_IGN);
	testbed::showStacksOnCrash();
	if (geteuid() == 0) {
		// rtmp-services tries to update its list over HTTPS at load, and RTMPS tests bind their own CA bundle:
		// both stay inside this process's own network and mount namespaces.
		if (!testbed::isolateNetwork()) {
			std::fprintf(stderr, "could not isolate the network; going on\n");
		}
		testbed::privateMounts();
	}
	testing::AddGlobalTestEnvironment(new ObsEnvironment);
	if (after) {
		testing::AddGlobalTestEnvironment(after);
	}
	const int result = RUN_ALL_TESTS();
	std::fflush(stdout);
	std::fflush(stderr);
	_exit(result);
}

OBSSourceAutoRelease makeColor(const char *name, uint32_t abgr, uint32_t width, uint32_t height)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_int(settings, "color", abgr);
	obs_data_set_int(settings, "width", width);
	obs_data_set_int(settings, "height", height);
	return obs_source_create("color_source", name, settings, nullptr);
}

OBSSourceAutoRelease makeMedia(const char *name, const std::string &path, bool loop)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_bool(settings, "is_local_file", true);
	obs_data_set_string(settings, "local_file", path.c_str());
	obs_data_set_bool(settings, "looping", loop);
	return obs_source_create("ffmpeg_source", name, settings, nullptr);
}

OBSSourceAutoRelease makeTone(const char *name, double freqHz)
{
	auto it = toneFiles.find(freqHz);
	if (it == toneFiles.end()) {
		const std::string path = mediaDir() + "/tone-" + std::to_string(int(freqHz)) + ".wav";
		if (!testbed::makeToneFile(path, freqHz, 2.0, 0.5)) {
			ADD_FAILURE() << "cannot make " << path << ": " << testbed::lastToolError();
		}
		it = toneFiles.emplace(freqHz, path).first;
	}
	return makeMedia(name, it->second, true);
}

OBSSceneAutoRelease makeScene(const char *name, const std::vector<obs_source_t *> &sources)
{
	obs_scene_t *scene = obs_scene_create(name);
	for (obs_source_t *source : sources) {
		obs_scene_add(scene, source);
	}
	return scene;
}

EntryConfig makeEntry(const QString &source, const std::vector<std::pair<QString, QString>> &destinations, int width,
		      int height)
{
	EntryConfig entry;
	entry.id = newIdentifier();
	entry.fuente = source;
	entry.videoKbps = 800;
	entry.ancho = width;
	entry.alto = height;
	// Fast presets keep software encoding cheap on a small test machine.
	entry.ajustesCodificador =
		QStringLiteral("{\"preset\":\"ultrafast\",\"keyint_sec\":1,\"x264opts\":\"bframes=0\"}");
	for (const auto &pair : destinations) {
		DestConfig dest;
		dest.id = newIdentifier();
		dest.url = pair.first;
		dest.clave = pair.second;
		entry.destinos.append(dest);
	}
	return entry;
}

bool tickUntil(LiveEntry &entry, const std::function<bool()> &done, int timeoutMs, int periodMs)
{
	const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
	while (std::chrono::steady_clock::now() < deadline) {
		entry.tick();
		if (done()) {
			return true;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
	}
	entry.tick();
	return done();
}

void tickFor(LiveEntry &entry, int durationMs, int periodMs)
{
	tickUntil(
		entry, [] { return false; }, durationMs, periodMs);
}

bool superviseUntil(const std::vector<LiveEntry *> &entries, const std::function<bool()> &done, int timeoutMs)
{
	using Clock = std::chrono::steady_clock;
	const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
	auto nextTick = Clock::now();
	while (Clock::now() < deadline) {
		if (Clock::now() >= nextTick) {
			for (LiveEntry *entry : entries) {
				entry->tick();
			}
			nextTick += std::chrono::milliseconds(500);
		}
		if (done()) {
			return true;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	}
	return done();
}

ModuleObjects countModuleObjects()
{
	// Outputs that were stopped are released on threads of their own.
	EXPECT_TRUE(outputReaper::waitIdle(10000));
	ModuleObjects objects;
	obs_enum_encoders(
		[](void *param, obs_encoder_t *encoder) {
			auto *counts = static_cast<ModuleObjects *>(param);
			const std::string name = obs_encoder_get_name(encoder);
			if (name == "tallowmere-video") {
				++counts->videoEncoders;
			} else if (name == "tallowmere-audio") {
				++counts->audioEncoders;
			}
			return true;
		},
		&objects);
	obs_enum_outputs(
		[](void *param, obs_output_t *output) {
			if (std::string(obs_output_get_name(output)) == "tallowmere-salida") {
				++static_cast<ModuleObjects *>(param)->outputs;
			}
			return true;
		},
		&objects);
	obs_enum_services(
		[](void *param, obs_service_t *service) {
			if (std::string(obs_service_get_name(service)) == "tallowmere-servicio") {
				++static_cast<ModuleObjects *>(param)->services;
			}
			return true;
		},
		&objects);
	return objects;
}

bool allLive(LiveEntry &live, const EntryConfig &entry)
{
	return std::all_of(entry.destinos.begin(), entry.destinos.end(),
			   [&](const DestConfig &d) { return live.destinationStatus(d.id).state == DestState::Live; });
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

QString q(const std::string &text)
{
	return QString::fromStdString(text);
}

std::string noiseFile()
{
	const std::string path = mediaDir() + "/noise.mkv";
	if (testbed::fileSize(path) > 0) {
		return path;
	}
	int code = -1;
	testbed::runCapture({"ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
			     "nullsrc=s=320x180:r=30,geq=random(1)*255:128:128", "-t", "2", "-c:v", "libx264",
			     "-preset", "ultrafast", "-qp", "0", path},
			    60000, &code);
	EXPECT_EQ(code, 0) << "cannot make " << path;
	return path;
}

void settle(int ms)
{
	std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ProgramRecording::ProgramRecording(const std::string &path) : file(path)
{
	OBSDataAutoRelease videoSettings = obs_data_create();
	obs_data_set_int(videoSettings, "bitrate", 1500);
	obs_data_set_string(videoSettings, "preset", "veryfast");
	video = obs_video_encoder_create("obs_x264", "program-video", videoSettings, nullptr);
	OBSDataAutoRelease audioSettings = obs_data_create();
	obs_data_set_int(audioSettings, "bitrate", 160);
	audio = obs_audio_encoder_create("ffmpeg_aac", "program-audio", audioSettings, 0, nullptr);
	obs_encoder_set_video(video, obs_get_video());
	obs_encoder_set_audio(audio, obs_get_audio());
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "path", path.c_str());
	output = obs_output_create("ffmpeg_muxer", "program-recording", settings, nullptr);
	obs_output_set_video_encoder(output, video);
	obs_output_set_audio_encoder(output, audio, 0);
	started = double(os_gettime_ns()) / 1e9;
	EXPECT_TRUE(obs_output_start(output)) << "the program recording does not start";
}

ProgramRecording::~ProgramRecording()
{
	stop();
}

bool ProgramRecording::stop()
{
	if (!output || !obs_output_active(output)) {
		return true;
	}
	obs_output_stop(output);
	for (int i = 0; i < 200 && obs_output_active(output); ++i) {
		settle(50);
	}
	return !obs_output_active(output);
}

PacketScene::PacketScene(const std::string &prefix, int length) : seconds(length)
{
	kinds = {{"aac", {}}, {"flac", {}}, {"pcm", {}}};
	kinds[1].options.audioCodec = "flac";
	kinds[2].options.audioCodec = "pcm_s16le";
	kinds[2].options.sampleRate = 44100;
	kinds[2].options.packetFrames = 8192;
	for (size_t i = 0; i < kinds.size(); ++i) {
		Kind &kind = kinds[i];
		kind.options.fps = 25;
		kind.options.toneHz = 300.0 + 200.0 * double(i);
		kind.options.clickDelaySec = 0.68 * double(i);
		if (testbed::fileSize(file(i)) <= 0) {
			EXPECT_TRUE(testbed::makeFlashClickFile(file(i), seconds, 2.04, kind.options))
				<< testbed::lastToolError();
		}
		sources.push_back(makeMedia((prefix + "-" + kind.name).c_str(), file(i), false));
	}
	scene = makeScene(prefix.c_str(), {sources[2], sources[1], sources[0]});
}

std::string PacketScene::file(size_t kind) const
{
	return mediaDir() + "/tone-click-" + kinds[kind].name + "-" + std::to_string(seconds) + ".mkv";
}

namespace {

MixFigures figuresOf(const std::string &file, const PacketScene &packets, double idleEnd, double loadEnd)
{
	MixFigures figures;
	const auto samples = testbed::decodeAudio(file, 48000, 1, 1.0, loadEnd - 1.0);
	const auto clicks = testbed::clickTimes(file, 0.45, 0.3);
	for (const auto &kind : packets.kinds) {
		const std::vector<float> idle(samples.begin(),
					      samples.begin() +
						      long(std::min(samples.size(), size_t((idleEnd - 1.0) * 48000))));
		const std::vector<float> loaded(samples.begin() +
							long(std::min(samples.size(), size_t((idleEnd - 0.5) * 48000))),
						samples.end());
		const auto quiet = testbed::toneGaps(idle, clicks, 1.0, kind.options.toneHz);
		const auto busy = testbed::toneGaps(loaded, clicks, idleEnd + 0.5, kind.options.toneHz);
		figures.gapsIdle += quiet.quiet;
		figures.gapsLoaded += busy.quiet;
		figures.windows += quiet.windows + busy.windows;
		figures.longestGapMs = std::max({figures.longestGapMs, quiet.longest * 1000, busy.longest * 1000});
	}
	const auto idle = testbed::clickAfterFlash(file, 1.0, idleEnd);
	const auto loaded = testbed::clickAfterFlash(file, idleEnd + 0.5, loadEnd);
	figures.offsetIdleMs = testbed::mean(idle) * 1000;
	figures.offsetLoadedMs = testbed::mean(loaded) * 1000;
	figures.offsetsLoaded = loaded.size();
	return figures;
}

} // namespace

LoadComparison compareUnderLoad(int idleSeconds, int loadSeconds)
{
	LoadComparison result;
	PacketScene packets("loaded", idleSeconds + loadSeconds + 10);
	obs_set_output_source(0, obs_scene_get_source(packets.scene));
	testbed::RtmpServer server;
	server.start();
	EntryConfig entry = makeEntry(QStringLiteral("loaded"), {{q(server.url()), QStringLiteral("loaded")}}, 160, 90);
	LiveEntry live;
	QString error;
	ProgramRecording program(mediaDir() + "/program-loaded.mkv");
	EXPECT_TRUE(live.startDestination(entry, entry.destinos[0], &error)) << error.toStdString();
	EXPECT_TRUE(superviseUntil(
		{&live}, [&] { return allLive(live, entry); }, 10000));
	const double entryStart = double(os_gettime_ns()) / 1e9;
	superviseUntil(
		{&live}, [] { return false; }, idleSeconds * 1000);
	const double loadStart = double(os_gettime_ns()) / 1e9;
	{
		testbed::BusyMachine busy(getpid(), loadSeconds);
		superviseUntil(
			{&live}, [] { return false; }, loadSeconds * 1000);
	}
	const double loadEnd = double(os_gettime_ns()) / 1e9;
	result.entryLateMarginMs = live.pipelineHandle() ? live.pipelineHandle()->audioTrack().lateMarginMs() : -1;
	EXPECT_TRUE(allLive(live, entry));
	live.stopAndWait();
	EXPECT_TRUE(program.stop());
	obs_set_output_source(0, nullptr);
	result.entry = figuresOf(server.recordingPath("loaded"), packets, loadStart - entryStart, loadEnd - entryStart);
	result.program =
		figuresOf(program.path(), packets, loadStart - program.startedAt(), loadEnd - program.startedAt());
	return result;
}

} // namespace obstest
