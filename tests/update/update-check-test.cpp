// The update check against a real HTTPS server on port 443 answering in every way a server can.
#include "update/update-checker.hpp"
#include "update/update-notice.hpp"
#include "update/update-test.hpp"

#include "common/log-capture.hpp"
#include "common/qt-print.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
const QString site = QStringLiteral("https://downloads.test/");

std::string document(const std::string &version, const std::string &url, const std::string &more = "")
{
	return R"({"version":")" + version + R"(","url":")" + url + "\"" + more + "}";
}

struct Delivery {
	QString version, url, notes;
};

// One checker with a plain object standing in for the panel; its callback does what the panel's does.
struct Check {
	explicit Check(const std::string &host)
		: context(std::make_unique<QObject>()),
		  checker(std::make_unique<UpdateChecker>(
			  context.get(),
			  [this](const QString &version, const QString &url, const QString &notes) {
				  logNewerVersion(version);
				  deliveries.push_back({version, url, notes});
			  },
			  QString::fromStdString(host), site))
	{
	}
	void start()
	{
		started = Clock::now();
		checker->start();
	}
	// True once the check is over; notes how long it took.
	bool over()
	{
		if (seconds < 0 && checker->finished()) {
			seconds = std::chrono::duration<double>(Clock::now() - started).count();
		}
		return seconds >= 0;
	}
	std::unique_ptr<QObject> context;
	std::vector<Delivery> deliveries;
	std::unique_ptr<UpdateChecker> checker;
	Clock::time_point started;
	double seconds = -1;
};

bool processUntil(const std::function<bool()> &done, int timeoutMs)
{
	const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
	while (!done() && Clock::now() < end) {
		QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return done();
}

// Waits without running the event loop, so a result stays queued.
bool waitFinished(const UpdateChecker &checker, int timeoutMs)
{
	const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
	while (!checker.finished() && Clock::now() < end) {
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return checker.finished();
}

int countLines(const std::string &path, const std::string &needle)
{
	const std::string text = testbed::readFile(path);
	int count = 0;
	for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
		++count;
	}
	return count;
}

class UpdateCheck : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		if (!ownNamespaces) {
			return;
		}
		const std::string trusted = site.toStdString();
		using Site = testbed::HttpsServer::Site;
		const std::string notes =
			R"(,"notes_es":"Línea uno\n\tdos <b>negrita</b> 😀","notes_en":"Line one","notes":"Común")";
		std::string huge = document("9.0", trusted, R"(,"notes":")");
		huge += std::string(10 * 1024 * 1024, 'x') + "\"}";
		std::vector<Site> sites = {
			{"newer.test", {{"version.json", document("1.0.7", trusted + "v1.0.7", notes)}}, "", ""},
			{"fallback.test",
			 {{"version.json", document("2", trusted, R"(,"notes_es":" ","notes":"Notas comunes")")}},
			 "",
			 ""},
			{"same.test", {{"version.json", document(TALLOWMERE_VERSION ".0", trusted, notes)}}, "", ""},
			{"invalid.test", {{"version.json", document("1.0.7-beta", trusted)}}, "", ""},
			{"untrusted.test",
			 {{"version.json", document("1.0.7", "https://downloads.test.evil.example/")}},
			 "",
			 ""},
			{"spaced.test", {{"version.json", document("1.0.7", trusted + "a b")}}, "", ""},
			{"badjson.test", {{"version.json", R"({"version":"1.0.7","url":")" + trusted}}, "", ""},
			{"array.test", {{"version.json", "[" + document("1.0.7", trusted) + "]"}}, "", ""},
			{"missing.test", {}, "", ""},
			{"redirect.test",
			 {},
			 "location = /version.json { return 302 https://newer.test/version.json; }",
			 ""},
			{"huge.test", {{"version.json", huge}}, "", ""},
			{"drip.test", {{"version.json", document("1.0.7", trusted)}}, "limit_rate 1;", ""},
			// The status and part of the body at once, then a byte a second.
			{"slowbody.test",
			 {{"version.json", document("1.0.7", trusted, R"(,"notes":")" + std::string(400, 'n') + "\"")}},
			 "limit_rate 1; limit_rate_after 400;",
			 ""},
			{"wrongcert.test", {{"version.json", document("1.0.7", trusted)}}, "", "other.test"},
			{"hang.test",
			 {},
			 "location / { proxy_pass http://127.0.0.2:443; proxy_read_timeout 120s; }",
			 ""},
		};
		std::vector<std::pair<std::string, std::string>> names = {{"silent.test", "127.0.0.2"}};
		for (const Site &s : sites) {
			names.emplace_back(s.name, "127.0.0.1");
		}
		server = std::make_unique<testbed::HttpsServer>(sites);
		server->start();
		// Accepts (the kernel completes the handshake) and never says a word.
		silent = testbed::UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
		sockaddr_in address{};
		address.sin_family = AF_INET;
		address.sin_port = htons(443);
		address.sin_addr.s_addr = inet_addr("127.0.0.2");
		ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
		ASSERT_EQ(listen(silent.get(), 64), 0);

		files = std::make_unique<testbed::TempDir>("update-test-");
		ASSERT_TRUE(testbed::bindMount(testbed::makeCaBundleWith(server->caCertPath(), files->file("ca.crt")),
					       "/etc/ssl/certs/ca-certificates.crt"));
		ASSERT_TRUE(testbed::bindMount(testbed::makeHostsFile(names, files->file("hosts")), "/etc/hosts"));
	}
	static void TearDownTestSuite()
	{
		testbed::unmount("/etc/hosts");
		testbed::unmount("/etc/ssl/certs/ca-certificates.crt");
		server.reset();
		silent.reset();
		files.reset();
	}
	void SetUp() override
	{
		if (!ownNamespaces) {
			GTEST_SKIP() << "needs root for port 443 in its own network namespace";
		}
	}

	static std::unique_ptr<testbed::HttpsServer> server;
	static testbed::UniqueFd silent;
	static std::unique_ptr<testbed::TempDir> files;
};

std::unique_ptr<testbed::HttpsServer> UpdateCheck::server;
testbed::UniqueFd UpdateCheck::silent;
std::unique_ptr<testbed::TempDir> UpdateCheck::files;

} // namespace

TEST_F(UpdateCheck, AnswersOfEveryKind)
{
	LogCapture log;
	const int newerRequests = countLines(server->accessLogPath(), "newer.test ");
	// Those that hang run on together; the others one at a time, so a loaded machine stays well inside the
	// 3 s limit for the handshake.
	const std::vector<std::string> hanging = {"drip.test", "slowbody.test", "hang.test", "silent.test"};
	const std::vector<std::string> quick = {"newer.test",     "fallback.test", "same.test",    "invalid.test",
						"untrusted.test", "spaced.test",   "badjson.test", "array.test",
						"missing.test",   "redirect.test", "huge.test",    "wrongcert.test"};
	std::map<std::string, std::unique_ptr<Check>> checks;
	// Notes every check that has ended; true when they all have.
	const auto allOver = [&checks] {
		bool all = true;
		for (const auto &check : checks) {
			all = check.second->over() && all;
		}
		return all;
	};
	for (const std::string &host : hanging) {
		checks[host] = std::make_unique<Check>(host);
		checks[host]->start();
	}
	for (const std::string &host : quick) {
		checks[host] = std::make_unique<Check>(host);
		checks[host]->start();
		processUntil(
			[&] {
				allOver();
				return checks[host]->over();
			},
			10000);
	}
	// Without a host no check is made.
	checks[""] = std::make_unique<Check>("");
	checks[""]->start();
	// Every check ends by itself, the slowest through the time-outs.
	ASSERT_TRUE(processUntil(allOver, 20000));
	processUntil([] { return false; }, 200); // queued results
	for (const auto &check : checks) {
		std::printf("update check %-15s ended after %.2f s with %zu notice(s)\n",
			    check.first.empty() ? "(no host)" : check.first.c_str(), check.second->seconds,
			    check.second->deliveries.size());
	}

	const auto &newer = checks["newer.test"]->deliveries;
	ASSERT_EQ(newer.size(), 1u);
	EXPECT_EQ(newer[0].version, QStringLiteral("1.0.7"));
	EXPECT_EQ(newer[0].url, QStringLiteral("https://downloads.test/v1.0.7"));
	EXPECT_EQ(newer[0].notes, QString::fromUtf8("Línea uno dos bnegrita/b")) << "the interface is Spanish";
	const auto &fallback = checks["fallback.test"]->deliveries;
	ASSERT_EQ(fallback.size(), 1u);
	EXPECT_EQ(fallback[0].version, QStringLiteral("2"));
	EXPECT_EQ(fallback[0].notes, QStringLiteral("Notas comunes"));
	for (const auto &check : checks) {
		if (check.first != "newer.test" && check.first != "fallback.test") {
			EXPECT_TRUE(check.second->deliveries.empty()) << check.first;
		}
	}
	// Only a shown notice leaves a trace in the log.
	EXPECT_EQ(log.count("[tallowmere]"), 2) << log.joined();
	EXPECT_TRUE(log.contains("[tallowmere] a newer version of the plugin is available: 1.0.7"));
	EXPECT_TRUE(log.contains("[tallowmere] a newer version of the plugin is available: 2"));

	// The request itself: one GET of /version.json over TLS with the module's user agent; no redirect followed.
	EXPECT_EQ(countLines(server->accessLogPath(), "newer.test \"GET /version.json HTTP/1.1\" 200 "
						      "\"QuorvexSource-UpdateCheck\" TLSv1."),
		  newerRequests + 1)
		<< testbed::readFile(server->accessLogPath());
	EXPECT_EQ(countLines(server->accessLogPath(), "redirect.test \"GET /version.json"), 1);
}

TEST_F(UpdateCheck, DestroyingWhileTheRequestHangsReturnsAtOnce)
{
	// A name that only a name server that never answers could resolve.
	testbed::UniqueFd nameServer(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(53);
	address.sin_addr.s_addr = inet_addr("127.0.0.1");
	ASSERT_EQ(bind(nameServer.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
	testbed::writeFile(files->file("resolv.conf"), "nameserver 127.0.0.1\noptions timeout:5 attempts:2\n");
	ASSERT_TRUE(testbed::bindMount(files->file("resolv.conf"), "/etc/resolv.conf"));
	for (const std::string host : {"hang.test", "silent.test", "drip.test", "unanswered.example"}) {
		Check check(host);
		check.start();
		std::this_thread::sleep_for(std::chrono::milliseconds(1000));
		ASSERT_FALSE(check.checker->finished()) << host;
		const auto start = Clock::now();
		check.checker.reset();
		const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
		std::printf("destroying the checker while %s hangs took %.1f ms\n", host.c_str(), ms);
		EXPECT_LT(ms, 500.0) << host;
	}
	testbed::unmount("/etc/resolv.conf");
}

TEST_F(UpdateCheck, QueuedResultNeverReachesAGoneObject)
{
	// The panel goes while the notice is queued: the call is dropped.
	Check panelGone("newer.test");
	panelGone.start();
	ASSERT_TRUE(waitFinished(*panelGone.checker, 10000));
	panelGone.context.reset();
	// The checker goes (as in the panel's destructor) while the notice is queued.
	Check checkerGone("newer.test");
	checkerGone.start();
	ASSERT_TRUE(waitFinished(*checkerGone.checker, 10000));
	checkerGone.checker.reset();

	processUntil([] { return false; }, 300);
	EXPECT_TRUE(panelGone.deliveries.empty());
	EXPECT_TRUE(checkerGone.deliveries.empty());
}
