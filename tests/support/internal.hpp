// Helpers shared by the test bed's sources; not part of its interface.
#pragma once

#include "testbed.hpp"

#include <chrono>
#include <string>

namespace testbed::detail {

// A point in time timeoutMs from now on the monotonic clock.
class Deadline {
public:
	explicit Deadline(int timeoutMs)
		: end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs))
	{
	}
	bool expired() const { return std::chrono::steady_clock::now() >= end_; }
	int remainingMs() const;

private:
	std::chrono::steady_clock::time_point end_;
};

void sleepMs(int ms);

// "what" plus the tail of a log file, for exceptions.
std::string withLogTail(const std::string &what, const std::string &logPath);

// Locale-independent number text, both ways.
std::string formatNumber(double value);
bool parseNumber(const std::string &text, double &value);

// A socket of type (SOCK_STREAM / SOCK_DGRAM) bound to 127.0.0.1:port (0: any), listening if it is a stream.
// Throws on failure.
UniqueFd bindLoopback(int type, int port, int rcvBufBytes = 0);
// The local port of a bound socket.
int localPort(int fd);
// A blocking TCP connection to 127.0.0.1:port, invalid on failure.
UniqueFd connectLoopback(int port);

// True when process pid holds a socket bound to 127.0.0.1/0.0.0.0/:: port; proto "tcp" (listening only) or "udp".
bool processOwnsPort(pid_t pid, const std::string &proto, int port);

// Records why a media helper failed, for lastToolError().
void setToolError(const std::string &message);

} // namespace testbed::detail
