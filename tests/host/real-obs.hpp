#pragma once

// Debian's real OBS application with the plug-in installed in a fresh profile of its own, under its own X display,
// in the test's network namespace; operated through a test-only module (the dock's buttons and labels) and through
// OBS's bundled obs-websocket.

#include "testbed.hpp"

#include <memory>
#include <string>
#include <vector>

class RealObs {
public:
	RealObs();
	~RealObs();

	// The profile's configuration folder (…/.config/obs-studio), to seed before start().
	std::string configDir() const;
	// Installs the plug-in (unless it is installed system-wide) and the driver, starts OBS and waits until its
	// websocket answers. After close() it starts OBS again on the same profile.
	void start(bool installPlugin = true);
	// Installs this build of the module in place of the plug-in's own, at start().
	std::string moduleOverride;
	// The dock's visible labels and buttons, each prefixed "L " or "B ".
	std::vector<std::string> texts();
	// Whether the dock shows a label or button whose text starts with prefix; waits up to timeoutMs.
	bool waitForText(const std::string &prefix, int timeoutMs, int count = 1);
	int countTexts(const std::string &prefix);
	// A real click on the n-th visible dock button with this text; false when there is none.
	bool click(const std::string &text, int index = 0);
	std::string driver(const std::string &command);
	// obs-websocket requests: a JSON list of [type, data] pairs; returns the JSON list of responses. inFrame sends
	// them as one batch that OBS runs on its graphics thread (execution type SerialFrame).
	std::string request(const std::string &requests, bool inFrame = false);
	// Collects obs-websocket's vendor events from now on, for up to seconds; events() gives one JSON object a line.
	void watchEvents(int seconds);
	std::string events() const;
	pid_t pid() const;
	// The X display OBS runs on.
	std::string display() const { return xvfb.display(); }
	// SIGINT, as closing the window does; returns the raw wait status (-1 when OBS did not exit in time).
	int close();
	// After close() gave this status: a clean close, that is exit status 0, no source left behind by a plug-in, no
	// error line that names or comes from this plug-in, and at most the allocations OBS itself leaks after the
	// test's steps.
	void expectCleanClose(int status, int obsOwnLeaks = 0);
	// Everything OBS logged so far.
	std::string log() const;
	// OBS's major version, from its log.
	int version() const;

private:
	testbed::Xvfb xvfb;
	testbed::TempDir home{"obs-home-"};
	std::unique_ptr<testbed::Process> obs;
	std::unique_ptr<testbed::Process> eventWatcher;
	int websocketPort = 0;
	int driverFd = -1;
};
