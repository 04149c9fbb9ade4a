// The update check's tests need a Qt event loop (results come back as queued calls) and, for the HTTPS server
// on port 443, a network and mount namespace of their own: taken here, before any thread exists.
#include "update/update-test.hpp"
#include "update/version-fetch.hpp"
#include "testbed.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

bool ownNamespaces = false;

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	if (geteuid() == 0) {
		ownNamespaces = testbed::isolateNetwork() && testbed::privateMounts();
	}
	if (!ownNamespaces) {
		std::fprintf(stderr, "note: not root; the HTTPS tests are skipped\n");
	}
	// The server is only reachable directly.
	for (const char *name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
		unsetenv(name);
	}
	QCoreApplication app(argc, argv);
	initVersionFetch();
	return RUN_ALL_TESTS();
}
