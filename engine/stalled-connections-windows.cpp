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

#include <cstring>
#include <string>
#include <vector>

namespace {

// What a connection may have sent before it counts as going (an RTMP handshake and connect are a few KB).
constexpr ULONG64 startupBytes = 64 * 1024;
// Handle values are multiples of 4; a process seldom holds more than this many handles.
constexpr UINT_PTR lastHandle = 0x40000;

bool sameEndpoint(const sockaddr_storage &a, const sockaddr_storage &b)
{
	if (a.ss_family != b.ss_family) {
		return false;
	}
	if (a.ss_family == AF_INET) {
		const auto &x = reinterpret_cast<const sockaddr_in &>(a);
		const auto &y = reinterpret_cast<const sockaddr_in &>(b);
		return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
	}
	if (a.ss_family == AF_INET6) {
		const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
		const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
		return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof(x.sin6_addr)) == 0;
	}
	return false;
}

} // namespace

// A socket still opening has no peer to read here: those are left to the system's own connect timeout (21 s).
int cutStalledConnections(const char *host, int port, int idleMs, bool)
{
	if (!host || !*host) {
		return 0;
	}
	std::vector<sockaddr_storage> targets;
	addrinfo hints = {};
	hints.ai_socktype = SOCK_STREAM;
	addrinfo *list = nullptr;
	if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &list) != 0) {
		return 0;
	}
	for (addrinfo *it = list; it; it = it->ai_next) {
		sockaddr_storage item = {};
		std::memcpy(&item, it->ai_addr, it->ai_addrlen < sizeof(item) ? it->ai_addrlen : sizeof(item));
		targets.push_back(item);
	}
	freeaddrinfo(list);

	int cut = 0;
	for (UINT_PTR value = 4; value < lastHandle; value += 4) {
		const SOCKET socket = SOCKET(value);
		sockaddr_storage peer = {};
		int length = sizeof(peer);
		if (getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
			continue;
		}
		bool target = false;
		for (const auto &candidate : targets) {
			target = target || sameEndpoint(peer, candidate);
		}
		if (!target) {
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
