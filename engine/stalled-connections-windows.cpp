// Windows gives a process no list of its sockets, but every SOCKET is a handle of this process: the handle values
// are tried in turn, and a TCP connection to the server that has been open for idleMs and sent little is shut down.
#include "engine/stalled-connections.hpp"

// TCP_INFO_v0 and SIO_TCP_INFO: Windows 10 1703 and later, which OBS requires anyway.
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000003
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "engine/socket-endpoints.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

// What a connection may have sent before it counts as going (an RTMP handshake and connect are a few KB).
constexpr ULONG64 startupBytes = 64 * 1024;
// Handle values are multiples of 4; a process seldom holds more than this many handles.
constexpr UINT_PTR lastHandle = 0x40000;

} // namespace

// A socket still opening has no peer to read here: those are left to the system's own connect timeout (21 s).
// Nor does Windows tell which thread waits on which socket: every stalled connection to the server is cut.
int cutStalledConnections(const char *host, int port, int idleMs, bool, const std::vector<long> &)
{
	const std::vector<sockaddr_storage> targets = socketEndpoints::resolve(host, port);
	if (targets.empty()) {
		return 0;
	}

	int cut = 0;
	for (UINT_PTR value = 4; value < lastHandle; value += 4) {
		const SOCKET socket = SOCKET(value);
		sockaddr_storage peer = {};
		int length = sizeof(peer);
		if (getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
			continue;
		}
		if (!socketEndpoints::isOneOf(peer, targets)) {
			continue;
		}
		DWORD version = 0;
		TCP_INFO_v0 info = {};
		DWORD returned = 0;
		if (WSAIoctl(socket, SIO_TCP_INFO, &version, sizeof(version), &info, sizeof(info), &returned, nullptr,
			     nullptr) != 0) {
			continue;
		}
		// A live stream has sent far more than its start by the time it is a second old.
		if (info.State == TCPSTATE_ESTABLISHED && info.ConnectionTimeMs >= ULONG64(idleMs) &&
		    info.BytesOut < startupBytes && shutdown(socket, SD_BOTH) == 0) {
			++cut;
		}
	}
	return cut;
}

std::vector<long> processThreads()
{
	return {};
}

bool serverNameResolves(const char *host)
{
	return !socketEndpoints::resolve(host, 1).empty();
}
