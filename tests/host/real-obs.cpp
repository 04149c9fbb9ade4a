#include "real-obs.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> split(const std::string &text, char separator)
{
	std::vector<std::string> parts;
	size_t start = 0;
	while (start <= text.size()) {
		const size_t end = text.find(separator, start);
		parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
		if (end == std::string::npos) {
			break;
		}
		start = end + 1;
	}
	return parts;
}

} // namespace

RealObs::RealObs()
{
	std::filesystem::create_directories(configDir());
}

RealObs::~RealObs()
{
	if (driverFd >= 0) {
		::close(driverFd);
	}
	if (obs && obs->running()) {
		close();
	}
}

std::string RealObs::configDir() const
{
	return home.file(".config/obs-studio");
}

void RealObs::start(bool installPlugin)
{
	xvfb.start();
	if (websocketPort == 0) {
		websocketPort = testbed::freeTcpPort();
		testbed::writeFile(configDir() + "/global.ini",
				   "[General]\nFirstRun=true\n\n[OBSWebSocket]\nFirstLoad=false\nServerEnabled=true\n"
				   "ServerPort=" +
					   std::to_string(websocketPort) +
					   "\nAlertsEnabled=false\nAuthRequired=false\n");
		// OBS 31 and later read this from the user's settings, or open their configuration wizard.
		testbed::writeFile(configDir() + "/user.ini", "[General]\nFirstRun=true\n");
	}
	if (driverFd >= 0) {
		::close(driverFd);
		driverFd = -1;
	}

	if (installPlugin) {
		int installed = -1;
		std::string errors;
		testbed::runCapture({CMAKE_COMMAND, "--install", TALLOWMERE_BUILD_DIR, "--prefix",
				     configDir() + "/plugins"},
				    60000, &installed, &errors);
		ASSERT_EQ(installed, 0) << errors;
		if (!moduleOverride.empty()) {
			std::filesystem::copy_file(moduleOverride,
						   configDir() + "/plugins/tallowmere/bin/64bit/tallowmere.so",
						   std::filesystem::copy_options::overwrite_existing);
		}
	}
	const std::string driverDir = configDir() + "/plugins/tallowmere-driver";
	std::filesystem::create_directories(driverDir + "/bin/64bit");
	std::filesystem::create_directories(driverDir + "/data");
	std::filesystem::copy_file(TALLOWMERE_DRIVER_MODULE, driverDir + "/bin/64bit/tallowmere-driver.so",
				   std::filesystem::copy_options::overwrite_existing);

	const std::string socketPath = home.file("driver.sock");
	// Run from its home with core dumps on, so that a crash leaves its threads' stacks for the report.
	obs = testbed::Process::start({"/bin/sh", "-c",
				       "ulimit -c unlimited 2>/dev/null; cd \"$0\" && exec obs --multi "
				       "--disable-missing-files-check",
				       home.path()},
				      home.file("obs.out"), home.file("obs.out"),
				      {{"HOME", home.path()},
				       {"XDG_CONFIG_HOME", home.file(".config")},
				       {"DISPLAY", xvfb.display()},
				       {"TALLOWMERE_DRIVER_SOCKET", socketPath}});
	ASSERT_TRUE(testbed::waitForFileContaining(home.file("obs.out"), "[tallowmere] Quorvex Source loaded", 60000))
		<< log();
	// obs-websocket accepts once OBS has finished loading; the request retries until then.
	const std::string version = request(R"([["GetVersion", {}]])");
	ASSERT_NE(version.find("obsVersion"), std::string::npos) << version << log();

	driverFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	sockaddr_un address = {};
	address.sun_family = AF_UNIX;
	std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
	ASSERT_EQ(connect(driverFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0) << log();
	timeval timeout = {30, 0};
	setsockopt(driverFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

std::string RealObs::driver(const std::string &command)
{
	const std::string line = command + "\n";
	if (write(driverFd, line.data(), line.size()) != ssize_t(line.size())) {
		return "error write";
	}
	std::string reply;
	char c = 0;
	while (read(driverFd, &c, 1) == 1 && c != '\n') {
		reply += c;
	}
	return reply;
}

std::vector<std::string> RealObs::texts()
{
	return split(driver("texts"), '\x1f');
}

int RealObs::countTexts(const std::string &prefix)
{
	int found = 0;
	for (const std::string &text : texts()) {
		found += text.size() > 2 && text.compare(2, prefix.size(), prefix) == 0 ? 1 : 0;
	}
	return found;
}

bool RealObs::waitForText(const std::string &prefix, int timeoutMs, int count)
{
	for (int waited = 0; waited <= timeoutMs; waited += 250) {
		if (countTexts(prefix) >= count) {
			return true;
		}
		usleep(250 * 1000);
	}
	return false;
}

bool RealObs::click(const std::string &text, int index)
{
	return driver("click " + std::to_string(index) + " " + text) == "ok";
}

std::string RealObs::request(const std::string &requests, bool inFrame)
{
	// A long list goes through a file: one argument may not exceed 128 KiB.
	std::string argument = requests;
	if (requests.size() > 100000) {
		testbed::writeFile(home.file("requests.json"), requests);
		argument = "@" + home.file("requests.json");
	}
	int code = -1;
	std::string errors;
	const std::string out = testbed::runCapture(
		inFrame ? std::vector<std::string>{"/usr/bin/python3",
						   TALLOWMERE_SOURCE_DIR "/tests/host/obs-request.py",
						   std::to_string(websocketPort), "--frame-batch", argument}
			: std::vector<std::string>{"/usr/bin/python3",
						   TALLOWMERE_SOURCE_DIR "/tests/host/obs-request.py",
						   std::to_string(websocketPort), argument},
		60000, &code, &errors);
	EXPECT_EQ(code, 0) << errors;
	return out;
}

void RealObs::watchEvents(int seconds)
{
	eventWatcher = testbed::Process::start({"/usr/bin/python3", TALLOWMERE_SOURCE_DIR "/tests/host/obs-request.py",
						std::to_string(websocketPort), "--events", std::to_string(seconds)},
					       home.file("events.jsonl"), home.file("events.err"));
	ASSERT_TRUE(testbed::waitForFileContaining(home.file("events.jsonl"), "\"ready\"", 20000))
		<< testbed::readFile(home.file("events.err"));
}

std::string RealObs::events() const
{
	return testbed::readFile(home.file("events.jsonl"));
}

pid_t RealObs::pid() const
{
	return obs ? obs->pid() : -1;
}

int RealObs::close()
{
	if (driverFd < 0 || driver("quit") != "ok") {
		obs->signal(SIGINT);
	}
	int status = -1;
	if (!obs->waitExit(60000, &status)) {
		// Where it hangs, for the report.
		std::string errors;
		const std::string full = log();
		const std::string tail = full.substr(full.size() > 8000 ? full.size() - 8000 : 0);
		std::fprintf(stderr, "OBS did not exit; its threads:\n%s\nits log:\n%s\n",
			     testbed::runCapture({"gdb", "-p", std::to_string(obs->pid()), "-batch", "-ex",
						  "thread apply all bt 30"},
						 60000, nullptr, &errors)
				     .c_str(),
			     tail.c_str());
		obs->stop();
		return -1;
	}
	return status;
}

void RealObs::expectCleanClose(int status, int obsOwnLeaks)
{
	const std::string full = log();
	std::string stacks;
	if (WIFSIGNALED(status)) {
		for (const auto &item : std::filesystem::directory_iterator(home.path())) {
			if (item.path().filename().string().rfind("core", 0) == 0) {
				std::string errors;
				stacks = testbed::runCapture({"gdb", "-batch", "-ex", "thread apply all bt 30",
							      "/usr/bin/obs", item.path().string()},
							     120000, nullptr, &errors);
				std::filesystem::remove(item.path());
			}
		}
	}
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
								   << full << "\nits threads at the crash:\n"
								   << stacks;
	EXPECT_EQ(full.find("Not all sources were cleared"), std::string::npos) << full;
	int noCallbacks = 0;
	for (const std::string &line : split(full, '\n')) {
		EXPECT_FALSE(line.find("error: ") != std::string::npos && line.find("tallowmere") != std::string::npos)
			<< line;
		noCallbacks += line.find("with no callbacks!") != std::string::npos;
	}
	// OBS itself logs these once it has dropped the frontend callbacks (seen with OBS alone): obs-websocket's on
	// OBS 30 and later, and one more of its own on OBS 32.
	EXPECT_LE(noCallbacks, version() >= 32 ? 2 : version() >= 30 ? 1 : 0) << full;
	const auto leaks = full.rfind("Number of memory leaks: ");
	ASSERT_NE(leaks, std::string::npos) << full;
	EXPECT_LE(std::stoi(full.substr(leaks + 24)), obsOwnLeaks) << full;
}

int RealObs::version() const
{
	const std::string text = log();
	const auto at = text.find("info: OBS ");
	return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 10);
}

std::string RealObs::log() const
{
	return testbed::readFile(home.file("obs.out"));
}
