#pragma once

// What both platforms' stalled-connection cuts need: the server's addresses, and whether a peer is one of them.
// Included after the platform's own socket headers (Windows wants its version defines first).
#ifndef _WIN32
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace socketEndpoints {

inline bool same(const sockaddr_storage &a, const sockaddr_storage &b)
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

inline bool isOneOf(const sockaddr_storage &peer, const std::vector<sockaddr_storage> &targets)
{
	return std::any_of(targets.begin(), targets.end(),
			   [&](const sockaddr_storage &target) { return same(peer, target); });
}

// Every address host:port resolves to; none for an empty host or one that does not resolve.
inline std::vector<sockaddr_storage> resolve(const char *host, int port)
{
	std::vector<sockaddr_storage> found;
	if (!host || !*host) {
		return found;
	}
	addrinfo hints = {};
	hints.ai_socktype = SOCK_STREAM;
	addrinfo *list = nullptr;
	if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &list) != 0) {
		return found;
	}
	for (addrinfo *it = list; it; it = it->ai_next) {
		sockaddr_storage item = {};
		std::memcpy(&item, it->ai_addr, std::min<size_t>(size_t(it->ai_addrlen), sizeof(item)));
		found.push_back(item);
	}
	freeaddrinfo(list);
	return found;
}

} // namespace socketEndpoints
