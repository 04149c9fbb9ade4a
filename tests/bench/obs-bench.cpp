// What an entry costs in Debian's real OBS application, side by side in one run: OBS streaming alone, then beside
// an entry of OBS's program that sends OBS's own encoded stream to two more servers, then beside one that encodes
// it again. Printed, not asserted.
#include "host/real-obs.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// OBS's CPU time so far, in seconds (user and system, from /proc).
double cpuSeconds(pid_t pid)
{
	std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
	std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
	std::istringstream fields(text.substr(text.rfind(')') + 2));
	std::string field;
	double ticks = 0;
	for (int i = 3; i <= 15 && fields >> field; ++i) {
		if (i >= 14) {
			ticks += std::stod(field);
		}
	}
	return ticks / double(sysconf(_SC_CLK_TCK));
}

// Cores OBS keeps busy over ten seconds, after three to settle.
double coresBusy(pid_t pid)
{
	std::this_thread::sleep_for(std::chrono::seconds(3));
	const double before = cpuSeconds(pid);
	const auto start = std::chrono::steady_clock::now();
	std::this_thread::sleep_for(std::chrono::seconds(10));
	return (cpuSeconds(pid) - before) /
	       std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string vendor(RealObs &obs, const std::string &type, const std::string &entryId)
{
	return obs.request(R"([["CallVendorRequest", {"vendorName": "tallowmere", "requestType": ")" + type +
			   R"(", "requestData": {"entryId": ")" + entryId + R"("}}]])");
}

bool waitForStream(RealObs &obs)
{
	for (int waited = 0; waited < 20000; waited += 250) {
		if (obs.request(R"([["GetStreamStatus", {}]])").find("\"outputActive\": true") != std::string::npos) {
			return true;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(250));
	}
	return false;
}

bool waitForLive(RealObs &obs, int count)
{
	for (int waited = 0; waited < 20000; waited += 250) {
		const std::string entries = vendor(obs, "GetEntries", "");
		size_t live = 0;
		for (size_t at = entries.find("\"state\": \"Live\""); at != std::string::npos;
		     at = entries.find("\"state\": \"Live\"", at + 1)) {
			++live;
		}
		if (int(live) >= count) {
			return true;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(250));
	}
	return false;
}

std::string entry(const std::string &id, const std::string &encoding, const std::string &url)
{
	return R"({"id": ")" + id +
	       R"(", "fuente": "", "programaObs": true, "pistaAudio": 0, "ancho": 0, "alto": 0, )" + encoding +
	       R"("destinos": [{"id": ")" + id + R"(-1", "url": ")" + url + R"(", "clave": ")" + id +
	       R"(-1"}, {"id": ")" + id + R"(-2", "url": ")" + url + R"(", "clave": ")" + id + R"(-2"}]})";
}

} // namespace

TEST(ObsBench, SharingObsEncoderAgainstEncodingAgain)
{
	testbed::RtmpServer server;
	server.start();
	testbed::TempDir media("tallowmere-bench-media-");
	const std::string picture = media.file("moving.mkv");
	int made = -1;
	testbed::runCapture({"ffmpeg",  "-loglevel", "error", "-y",
			     "-f",      "lavfi",     "-i",    "testsrc2=s=640x360:r=30",
			     "-f",      "lavfi",     "-i",    "sine=f=440:r=48000",
			     "-t",      "10",        "-c:v",  "libx264",
			     "-preset", "ultrafast", "-c:a",  "aac",
			     picture},
			    120000, &made);
	ASSERT_EQ(made, 0);

	RealObs obs;
	std::filesystem::create_directories(obs.configDir() + "/plugin_config/tallowmere");
	testbed::writeFile(obs.configDir() + "/plugin_config/tallowmere/salidas.json",
			   R"({"version": 1, "colecciones": {"Untitled": {"entradas": [)" +
				   entry("shared", R"("codificadorObs": "emision", )", server.url()) + ", " +
				   entry("own", R"("codificador": "obs_x264", "videoKbps": 1500, "ajustesCodificador":
				"{\"preset\":\"veryfast\",\"rate_control\":\"CBR\"}", )",
					 server.url()) +
				   "]}}}");
	obs.start();
	const std::string setUp = obs.request(
		R"([["SetVideoSettings", {"baseWidth": 640, "baseHeight": 360, "outputWidth": 640, "outputHeight": 360,
			"fpsNumerator": 30, "fpsDenominator": 1}],
		["SetProfileParameter", {"parameterCategory": "SimpleOutput", "parameterName": "VBitrate",
			"parameterValue": "1500"}],
		["SetProfileParameter", {"parameterCategory": "SimpleOutput", "parameterName": "Preset",
			"parameterValue": "veryfast"}],
		["GetCurrentProgramScene", {}]])");
	const size_t sceneAt = setUp.find("\"currentProgramSceneName\": \"");
	ASSERT_NE(sceneAt, std::string::npos) << setUp;
	const std::string scene = setUp.substr(sceneAt + 28, setUp.find('"', sceneAt + 28) - sceneAt - 28);
	obs.request(R"([["CreateInput", {"sceneName": ")" + scene + R"(", "inputName": "moving",
		"inputKind": "ffmpeg_source", "inputSettings": {"is_local_file": true, "local_file": ")" +
		    picture + R"(", "looping": true}}]])");
	const pid_t pid = obs.pid();

	const double idle = coresBusy(pid);
	obs.request(R"([["SetStreamServiceSettings", {"streamServiceType": "rtmp_custom", "streamServiceSettings":
		{"server": ")" +
		    server.url() + R"(", "key": "obs-own"}}], ["StartStream", {}]])");
	const std::string before = obs.driver("encoders");
	ASSERT_TRUE(waitForStream(obs));
	const double streaming = coresBusy(pid);

	vendor(obs, "StartEntry", "shared");
	ASSERT_TRUE(waitForLive(obs, 2)) << vendor(obs, "GetEntries", "");
	const std::string sharing = obs.driver("encoders");
	const double shared = coresBusy(pid);
	vendor(obs, "StopEntry", "shared");

	vendor(obs, "StartEntry", "own");
	ASSERT_TRUE(waitForLive(obs, 2)) << vendor(obs, "GetEntries", "");
	const std::string encodingAgain = obs.driver("encoders");
	const double own = coresBusy(pid);
	vendor(obs, "StopEntry", "own");
	obs.request(R"([["StopStream", {}]])");

	std::printf(
		"obs app (OBS %d, 640x360 at 30 fps, x264 veryfast 1500 kbps): cores busy, idle %.2f, OBS streaming "
		"%.2f, + an entry sharing OBS's stream encoder to 2 servers %.2f (ratio %.3f), + an entry encoding "
		"again to 2 servers %.2f (ratio %.2f; it adds %.2f× what OBS's own stream costs)\n",
		obs.version(), idle, streaming, shared, shared / streaming, own, own / streaming,
		(own - streaming) / std::max(streaming - idle, 0.01));
	std::printf("obs app encoders: OBS streaming [%s]; sharing [%s]; encoding again [%s]\n", before.c_str(),
		    sharing.c_str(), encodingAgain.c_str());
	obs.close();
}

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	if (geteuid() == 0 && !testbed::isolateNetwork()) {
		std::fprintf(stderr, "could not isolate the network; going on\n");
	}
	return RUN_ALL_TESTS();
}
