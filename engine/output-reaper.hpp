#pragma once

#include <obs.h>
#include <obs.hpp>

#include <QString>

#include <memory>
#include <vector>

// Ends and releases outputs that may be waiting on the network, away from the UI thread. Stopping or releasing an
// RTMP output that is still connecting joins OBS's connect thread, and librtmp waits up to 30 s there for a
// server that accepted the connection but never answers.
namespace outputReaper {

struct Retired {
	OBSOutputAutoRelease output;
	OBSEncoderAutoRelease audioEncoder;
	OBSServiceAutoRelease service;
	// What the output's encoders feed on (the entry's pipeline): let go of last.
	std::shared_ptr<void> keepAlive;
	// Where the output connects, when it may still be connecting: a connection there that never got going is
	// cut, so that the stop ends now. Empty for an output that is not connecting.
	QString address;
	// The threads its attempt made: only the connection one of them waits on is cut, not another stream's to
	// the same server.
	std::vector<long> threads;
};

// Takes everything over: the output is stopped (forcibly) and released, then its encoder and service, then
// keepAlive, on a thread of their own. Signal handlers must be disconnected before.
void retire(Retired retired);
// Outputs still being ended.
int pending();
// Waits up to timeoutMs until nothing is being ended; true when nothing is.
bool waitIdle(int timeoutMs);
// Ends everything handed over and joins its threads, cutting every connection they still wait on (OBS is closing):
// after it, nothing of the module runs on those threads. A later retire starts afresh.
void finish();

} // namespace outputReaper
