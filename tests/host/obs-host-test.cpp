// The plug-in in Debian's real OBS: loaded from the user's plug-in folder with settings migrated from the legacy
// folder, its dock shown on a fresh profile, streams started by a click on the dock, an entry following OBS's
// program scene, every stream stopped by a scene collection change, the first collection back, and a clean exit.
#include "real-obs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/wait.h>

namespace {

bool ownMounts = false;

std::string entryJson(const std::string &id, const std::string &name, const std::string &source, bool follows,
		      int width, int height, const std::string &url, const std::string &key)
{
	return R"({"id": ")" + id + R"(", "nombre": ")" + name + R"(", "fuente": ")" + source + R"(", "seguirObs": )" +
	       (follows ? "true" : "false") + R"(, "ancho": )" + std::to_string(width) + R"(, "alto": )" +
	       std::to_string(height) + R"(, "videoKbps": 1000,
		"ajustesCodificador": "{\"preset\":\"ultrafast\",\"keyint_sec\":1}",
		"destinos": [{"id": ")" +
	       id + R"(-d", "url": ")" + url + R"(", "clave": ")" + key + R"("}]})";
}

std::string toneInput(const std::string &scene, const std::string &name, const std::string &file)
{
	return R"(["CreateScene", {"sceneName": ")" + scene + R"("}], ["CreateInput", {"sceneName": ")" + scene +
	       R"(", "inputName": ")" + name +
	       R"(", "inputKind": "ffmpeg_source", "inputSettings": {"is_local_file": true,
		"local_file": ")" +
	       file + R"(", "looping": true}}])";
}

double toneAt(const std::string &file, double start, double seconds)
{
	return testbed::dominantFrequency(testbed::decodeAudio(file, 48000, 1, start, seconds), 48000);
}

} // namespace

TEST(RealObs, DockStreamsFollowsScenesStopsOnCollectionChangeAndExitsCleanly)
{
	testbed::RtmpServer server;
	server.start();
	testbed::TempDir media("tallowmere-tones-");
	ASSERT_TRUE(testbed::makeToneFile(media.file("a.wav"), 440, 2, 0.5));
	ASSERT_TRUE(testbed::makeToneFile(media.file("b.wav"), 880, 2, 0.5));

	RealObs obs;
	const std::string legacy = obs.configDir() + "/plugin_config/marrowvale/salidas.json";
	std::filesystem::create_directories(obs.configDir() + "/plugin_config/marrowvale");
	testbed::writeFile(
		legacy, R"({"version": 1, "perfiles": [], "colecciones": {"Untitled": {"entradas": [)" +
				entryJson("e-main", "Main", "Scene", false, 640, 360, server.url(), "main") + ", " +
				entryJson("e-follow", "Follow", "", true, 320, 180, server.url(), "follow") +
				R"(]}, "Other": {"entradas": [)" +
				entryJson("e-late", "Late", "Scene", false, 320, 180, server.url(), "late") + "]}}}");
	obs.start();

	EXPECT_EQ(obs.driver("dock"), "visible right") << "a dock OBS has never seen is shown, docked";
	ASSERT_TRUE(obs.waitForText("▶ Stream", 5000, 2)) << obs.driver("texts");
	const std::string created = obs.request("[" + toneInput("Tone A", "Tone 440", media.file("a.wav")) + ", " +
						toneInput("Tone B", "Tone 880", media.file("b.wav")) +
						R"(, ["SetCurrentProgramScene", {"sceneName": "Tone A"}]])");
	ASSERT_EQ(created.find("\"result\": false"), std::string::npos) << created;

	// Both entries stream from a click each: the button changes under the pointer, so both are "the first".
	ASSERT_TRUE(obs.click("▶ Stream"));
	ASSERT_TRUE(obs.waitForText("■ ", 3000));
	ASSERT_TRUE(obs.click("▶ Stream"));
	ASSERT_TRUE(obs.waitForText("● LIVE · ", 20000, 2)) << obs.driver("texts");
	EXPECT_TRUE(obs.waitForText("■ Stop", 2000, 2));
	EXPECT_EQ(obs.driver("shot " TALLOWMERE_BUILD_DIR "/obs-dock-streaming.png"), "ok");

	// The follower switches with OBS's program scene, without cutting.
	usleep(3000 * 1000);
	obs.request(R"([["SetCurrentProgramScene", {"sceneName": "Tone B"}]])");
	usleep(4000 * 1000);
	EXPECT_NE(obs.log().find("[tallowmere] an entry follows OBS: switching to \"Tone B\""), std::string::npos);
	EXPECT_EQ(obs.countTexts("● LIVE · "), 2) << obs.driver("texts");

	// Another scene collection: every stream stops, and the cards are the new collection's, stopped.
	obs.request(R"([["CreateSceneCollection", {"sceneCollectionName": "Other"}]])");
	EXPECT_TRUE(obs.waitForText("Late", 15000)) << obs.driver("texts");
	EXPECT_EQ(obs.countTexts("■ "), 0);
	EXPECT_EQ(obs.countTexts("Stopped"), 1);
	// Their sources are let go of at once; the rest of each entry may close a moment later.
	std::string log;
	const std::regex closing(R"(\[tallowmere\] closing entry)");
	for (int waited = 0; waited < 5000 && log.find("closing entry") == log.rfind("closing entry"); waited += 100) {
		usleep(100 * 1000);
		log = obs.log();
	}
	EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), closing), std::sregex_iterator()), 2);

	const auto streams = testbed::probeStreams(server.recordingPath("main"));
	ASSERT_EQ(streams.size(), 2u) << testbed::lastToolError();
	for (const auto &stream : streams) {
		if (stream.type == "video") {
			EXPECT_EQ(stream.codec, "h264");
			EXPECT_EQ(stream.width, 640);
			EXPECT_EQ(stream.height, 360);
		} else {
			EXPECT_EQ(stream.codec, "aac");
		}
	}
	const std::string follow = server.recordingPath("follow");
	const auto frames = testbed::videoFrameTimes(follow);
	ASSERT_GT(frames.size(), 30u);
	EXPECT_NEAR(toneAt(follow, frames.front() + 0.5, 1.5), 440, 5);
	EXPECT_NEAR(toneAt(follow, frames.back() - 2.0, 1.5), 880, 5);

	// Back to the first collection: its cards again, stopped.
	obs.request(R"([["SetCurrentSceneCollection", {"sceneCollectionName": "Untitled"}]])");
	EXPECT_TRUE(obs.waitForText("Main", 15000)) << obs.driver("texts");
	EXPECT_EQ(obs.countTexts("Stopped"), 2);

	// A new entry made in the dialog, as a user makes it: its name, address and key typed in, then "OK".
	ASSERT_TRUE(obs.click("＋ Add input"));
	for (int waited = 0; waited < 5000 && obs.driver("modal") != "Add input"; waited += 100) {
		usleep(100 * 1000);
	}
	ASSERT_EQ(obs.driver("modal"), "Add input");
	EXPECT_EQ(obs.driver("type nameField Made here"), "ok");
	EXPECT_EQ(obs.driver("type destAddress " + server.url()), "ok");
	EXPECT_EQ(obs.driver("type destKey made-here"), "ok");
	EXPECT_EQ(obs.driver("mshot " TALLOWMERE_BUILD_DIR "/obs-entry-dialog.png"), "ok");
	ASSERT_EQ(obs.driver("mclick 0 OK"), "ok");
	ASSERT_TRUE(obs.waitForText("Made here", 5000)) << obs.driver("texts") << obs.driver("mtexts");
	EXPECT_EQ(obs.driver("modal"), "none");
	const std::string saved = testbed::readFile(obs.configDir() + "/plugin_config/tallowmere/salidas.json");
	EXPECT_NE(saved.find("\"Made here\""), std::string::npos);
	EXPECT_EQ(saved.find("made-here"), std::string::npos) << "the key is stored protected";

	// Every entry, the new one too, streams from one click on "Start all"; OBS closing while they stream stops
	// them before unloading.
	ASSERT_TRUE(obs.click("▶ Start all"));
	ASSERT_TRUE(obs.waitForText("● LIVE · ", 20000, 3)) << obs.driver("texts");
	EXPECT_TRUE(obs.waitForText("■ Stop all", 2000)) << obs.driver("texts");
	usleep(2000 * 1000); // OBS 29's RTMP output leaks an allocation when stopped in its first second
	const auto made = testbed::probeStreams(server.recordingPath("made-here"));
	EXPECT_EQ(made.size(), 2u) << testbed::lastToolError();

	// Ten collection changes in a row, each while every entry of the collection streams: OBS clears every scene
	// each time (one left behind would keep OBS from saving or telling the dock anything for the session).
	const int rounds = 5;
	for (int round = 0; round < rounds; ++round) {
		obs.request(R"([["SetCurrentSceneCollection", {"sceneCollectionName": "Other"}]])");
		ASSERT_TRUE(obs.waitForText("Late", 15000)) << obs.driver("texts");
		ASSERT_TRUE(obs.click("▶ Start all"));
		ASSERT_TRUE(obs.waitForText("● LIVE · ", 20000)) << obs.driver("texts");
		obs.request(R"([["SetCurrentSceneCollection", {"sceneCollectionName": "Untitled"}]])");
		ASSERT_TRUE(obs.waitForText("Made here", 15000)) << obs.driver("texts");
		ASSERT_TRUE(obs.click("▶ Start all"));
		ASSERT_TRUE(obs.waitForText("● LIVE · ", 20000, 3)) << obs.driver("texts");
	}
	usleep(2000 * 1000);

	obs.expectCleanClose(obs.close(), 1 + 2 * rounds);
	log = obs.log();
	const auto unloaded = log.find("[tallowmere] Quorvex Source unloaded");
	EXPECT_NE(unloaded, std::string::npos);
	EXPECT_LT(log.rfind("[tallowmere] closing entry"), unloaded) << "streams end as OBS closes, before unload";
	// The leaks are OBS's own: started with --disable-missing-files-check, as here, it never frees the list of
	// missing files made while loading a collection from its file (each switch but the one that made "Other"). OBS
	// alone on a fresh profile, started so: a new scene collection, back to the first, close: "Number of memory
	// leaks: 1" (0 without it).
	EXPECT_NE(log.find("Number of memory leaks: " + std::to_string(1 + 2 * rounds) + "\n"), std::string::npos);
	EXPECT_EQ(log.find("[tallowmere] unexpected error"), std::string::npos);
	EXPECT_EQ(log.find("SRT protection active"), std::string::npos) << "SRT is held only once it is used";

	// The legacy settings were copied, and their plain keys protected on disk at once.
	EXPECT_NE(log.find("[tallowmere] previous configuration copied to the new location"), std::string::npos);
	const std::string copied = testbed::readFile(obs.configDir() + "/plugin_config/tallowmere/salidas.json");
	EXPECT_NE(copied.find("\"e-main\""), std::string::npos) << copied;
	EXPECT_EQ(copied.find("\"main\""), std::string::npos) << copied;
	EXPECT_NE(copied.find("dpapi:"), std::string::npos) << copied;
	EXPECT_NE(testbed::readFile(legacy).find("\"main\""), std::string::npos) << "the legacy file stays";
}

TEST(RealObs, UpdateBarFromALocalSite)
{
	if (!ownMounts) {
		GTEST_SKIP() << "needs its own network and mount namespaces (root)";
	}
	// A build of the module whose update host is this machine's "localhost", answered by a real HTTPS server
	// whose certificate OBS trusts through the system bundle, replaced inside this test's mount namespace.
	testbed::HttpsServer site({{"localhost",
				    {{"version.json", R"({"version": "1.2.0", "url": "https://localhost/descargas/",
					"notes_en": "Faster <b>reconnects</b>.\nNew hotkeys.", "notes": "x"})"}},
				    "",
				    ""}});
	site.start();
	testbed::TempDir certificates("tallowmere-ca-");
	const std::string bundle = testbed::makeCaBundleWith(site.caCertPath(), certificates.file("bundle.crt"));
	ASSERT_TRUE(testbed::bindMount(bundle, "/etc/ssl/certs/ca-certificates.crt"));

	RealObs obs;
	obs.moduleOverride = TALLOWMERE_UPDATE_PROBE_MODULE;
	obs.start();
	const bool shown =
		obs.waitForText("⬆ A new version is available: 1.2.0 (you have " TALLOWMERE_VERSION ").", 20000);
	testbed::unmount("/etc/ssl/certs/ca-certificates.crt");
	ASSERT_TRUE(shown) << obs.driver("texts") << testbed::readFile(site.accessLogPath());
	EXPECT_EQ(obs.countTexts("⬆ A new version is available: 1.2.0 (you have " TALLOWMERE_VERSION
				 "). What's new: Faster "
				 "breconnects/b. New hotkeys."),
		  1)
		<< obs.driver("texts");
	EXPECT_NE(testbed::readFile(site.accessLogPath()).find("QuorvexSource-UpdateCheck"), std::string::npos);
	EXPECT_EQ(obs.driver("shot " TALLOWMERE_BUILD_DIR "/obs-update-bar.png"), "ok");
	EXPECT_NE(obs.log().find("[tallowmere] a newer version of the plugin is available: 1.2.0"), std::string::npos);
	ASSERT_TRUE(obs.click("✕"));
	for (int waited = 0; waited < 3000 && obs.countTexts("⬆") > 0; waited += 100) {
		usleep(100 * 1000);
	}
	EXPECT_EQ(obs.countTexts("⬆"), 0) << "hidden";
	obs.expectCleanClose(obs.close());
}

TEST(RealObs, TheUsersDockChoiceHoldsAndCollectionChangesAndClosesWhileStreamingLeaveNothing)
{
	testbed::RtmpServer server;
	server.start();
	RealObs obs;
	// Two entries in the first collection and in each one the test changes to.
	std::string settings = R"({"version": 1, "colecciones": {)";
	for (const std::string name : {"Untitled", "Round 0", "Round 1", "Round 2"}) {
		settings += (name == "Untitled" ? "\"" : ", \"") + name + R"(": {"entradas": [)" +
			    entryJson("a" + name, "A " + name, "Scene", false, 320, 180, server.url(), "a") + ", " +
			    entryJson("b" + name, "B " + name, "Scene", false, 320, 180, server.url(), "b") + "]}";
	}
	std::filesystem::create_directories(obs.configDir() + "/plugin_config/tallowmere");
	testbed::writeFile(obs.configDir() + "/plugin_config/tallowmere/salidas.json", settings + "}}");
	const auto streamBoth = [&obs] {
		ASSERT_TRUE(obs.click("▶ Stream"));
		ASSERT_TRUE(obs.waitForText("■ ", 3000));
		ASSERT_TRUE(obs.click("▶ Stream"));
		ASSERT_TRUE(obs.waitForText("● LIVE · ", 20000, 2)) << obs.driver("texts");
		usleep(2000 * 1000);
	};
	// The user closes the dock, then opens and undocks it; each choice holds at the next start. Each time two
	// entries stream through a change to a new collection, and OBS closes while that collection's two stream.
	const std::vector<std::pair<std::string, std::string>> steps = {{"", "visible right"},
									{"hide", "hidden"},
									{"float", "visible floating"}};
	for (size_t step = 0; step < steps.size(); ++step) {
		obs.start();
		EXPECT_EQ(obs.driver("dock"), steps[step].second) << "start " << step;
		obs.driver("dock show");
		streamBoth();
		const std::string round = "Round " + std::to_string(step);
		obs.request(R"([["CreateSceneCollection", {"sceneCollectionName": ")" + round + R"("}]])");
		ASSERT_TRUE(obs.waitForText("B " + round, 15000)) << obs.driver("texts");
		EXPECT_EQ(obs.countTexts("■ "), 0);
		streamBoth();
		if (step + 1 < steps.size()) {
			EXPECT_EQ(obs.driver("dock " + steps[step + 1].first), steps[step + 1].second);
		}
		// OBS's own leak at each start after the first: started with --disable-missing-files-check, it never frees
		// the list of missing files made while loading a collection from its file.
		obs.expectCleanClose(obs.close(), step == 0 ? 0 : 1);
	}
}

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	// OBS's instance check, its service-list update and the test servers stay inside a network of their own.
	if (geteuid() == 0 && !testbed::isolateNetwork()) {
		std::fprintf(stderr, "could not isolate the network; going on\n");
	}
	ownMounts = geteuid() == 0 && testbed::privateMounts();
	return RUN_ALL_TESTS();
}
