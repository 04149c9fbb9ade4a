// The Debian package: made by cpack from this build, installed with apt-get, loaded by the real OBS from OBS's
// system plug-in folder, then removed. The test runs in a mount namespace of its own in which /usr, /var and /etc
// are copy-on-write overlays, so neither the system nor tests running beside it ever see the package.
#include "real-obs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/mount.h>
#include <sys/wait.h>

namespace {

const char *const library = "/usr/lib/x86_64-linux-gnu/obs-plugins/tallowmere.so";
bool overlaid = false;

std::string run(const std::vector<std::string> &argv, int *code)
{
	std::string errors;
	std::string out = testbed::runCapture(argv, 300000, code, &errors);
	return out + errors;
}

bool overlay(const std::string &dir, const std::string &scratch)
{
	const std::string upper = scratch + dir + "/upper";
	const std::string work = scratch + dir + "/work";
	std::filesystem::create_directories(upper);
	std::filesystem::create_directories(work);
	const std::string options = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
	return mount("overlay", dir.c_str(), "overlay", 0, options.c_str()) == 0;
}

} // namespace

TEST(DebianPackage, InstallsIntoOBSsSystemFoldersLoadsAndIsRemoved)
{
	if (geteuid() != 0) {
		GTEST_SKIP() << "installing a package needs root";
	}
	int code = -1;
	if (!overlaid && run({"dpkg-query", "-W", "tallowmere"}, &code).find("tallowmere") != std::string::npos &&
	    code == 0) {
		GTEST_SKIP() << "the package is installed on this system; the test leaves it alone";
	}
	testbed::TempDir out("tallowmere-deb-");
	std::string text = run(
		{"cpack", "-G", "DEB", "-B", out.path(), "--config", TALLOWMERE_BUILD_DIR "/CPackConfig.cmake"}, &code);
	ASSERT_EQ(code, 0) << text;
	const std::string deb = out.file("tallowmere_" TALLOWMERE_VERSION "_amd64.deb");
	const std::string depends = run({"dpkg-deb", "-f", deb, "Depends"}, &code);
	// The OBS it was built against, the Qt major that OBS uses, and this release's library names (libcurl4 or
	// libcurl4t64, libsodium23 or libsodium26, ...).
	for (const char *package : {"obs-studio (>= " TALLOWMERE_OBS_SERIES ")", "libsodium", "libcurl4",
				    TALLOWMERE_QT_WIDGETS_PACKAGE, "libobs0"}) {
		EXPECT_NE(depends.find(package), std::string::npos) << depends;
	}
	text = run({"dpkg-deb", "-c", deb}, &code);
	EXPECT_NE(text.find("." + std::string(library)), std::string::npos) << text;
	EXPECT_NE(text.find("./usr/share/obs/obs-plugins/tallowmere/locale/en-US.ini"), std::string::npos) << text;

	text = run({"env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "--no-install-recommends",
		    deb},
		   &code);
	ASSERT_EQ(code, 0) << text;
	EXPECT_TRUE(std::filesystem::exists(library));
	{
		RealObs obs;
		obs.start(false);
		EXPECT_TRUE(obs.waitForText("＋ Add input", 10000)) << obs.driver("texts");
		const std::string maps = testbed::readFile("/proc/" + std::to_string(obs.pid()) + "/maps");
		EXPECT_NE(maps.find(library), std::string::npos) << "loaded from OBS's system plug-in folder";
		EXPECT_EQ(obs.log().find("/plugins/tallowmere/bin"), std::string::npos);
		obs.expectCleanClose(obs.close());
	}
	text = run({"env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "remove", "-y", "tallowmere"}, &code);
	EXPECT_EQ(code, 0) << text;
	EXPECT_FALSE(std::filesystem::exists(library));
	EXPECT_FALSE(std::filesystem::exists("/usr/share/obs/obs-plugins/tallowmere"));
}

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	if (geteuid() == 0) {
		if (!testbed::isolateNetwork()) {
			std::fprintf(stderr, "could not isolate the network; going on\n");
		}
		// Without overlays (some containers refuse them) the package is installed for real and removed again;
		// the test is then run alone (RUN_SERIAL).
		static testbed::TempDir scratch("tallowmere-overlay-");
		overlaid = testbed::privateMounts() && overlay("/usr", scratch.path()) &&
			   overlay("/var", scratch.path()) && overlay("/etc", scratch.path());
		if (!overlaid) {
			std::fprintf(stderr, "no overlays: the package is installed on the system for the test\n");
		}
	}
	return RUN_ALL_TESTS();
}
