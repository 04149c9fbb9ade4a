// Finds this process's TCP connections in /proc/self/fd and cuts with shutdown() those to the given server that
// never got going: a blocked connect() or recv() in OBS's connect thread then returns at once. Which socket a
// thread is blocked on comes from /proc/self/task/<id>/syscall.
#include "engine/stalled-connections.hpp"
#include "engine/socket-endpoints.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// What a connection may have sent before it counts as going (an RTMP handshake and connect are a few KB).
constexpr uint64_t startupBytes = 64 * 1024;
// TCP_ESTABLISHED and TCP_SYN_SENT, which the kernel's tcp.h leaves to netinet/tcp.h (whose tcp_info lacks the byte
// counts).
constexpr uint8_t established = 1;
constexpr unsigned synSent = 2;

// The socket inodes of this network's TCP connections that are still opening (SYN_SENT) to one of the targets,
// from /proc/net/tcp and tcp6: such a socket has no peer getpeername could tell.
std::set<unsigned long> openingSockets(const std::vector<sockaddr_storage> &targets)
{
	std::set<unsigned long> found;
	for (const char *table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
		FILE *file = std::fopen(table, "r");
		if (!file) {
			continue;
		}
		char line[512];
		// The heading.
		if (!std::fgets(line, sizeof(line), file)) {
			std::fclose(file);
			continue;
		}
		while (std::fgets(line, sizeof(line), file)) {
			char remote[64] = {};
			unsigned state = 0;
			unsigned long inode = 0;
			// sl local rem st tx:rx tr:when retrnsmt uid timeout inode
			if (std::sscanf(line, "%*s %*s %63s %x %*s %*s %*s %*u %*u %lu", remote, &state, &inode) != 3 ||
			    state != synSent) {
				continue;
			}
			char *colon = std::strchr(remote, ':');
			if (!colon) {
				continue;
			}
			*colon = '\0';
			sockaddr_storage peer = {};
			const unsigned long portNumber = std::strtoul(colon + 1, nullptr, 16);
			// The kernel prints each 32-bit word of the address as it lies in memory.
			uint32_t words[4] = {};
			const size_t digits = std::strlen(remote);
			if (digits != 8 && digits != 32) {
				continue;
			}
			for (size_t i = 0; i < digits / 8; ++i) {
				words[i] = uint32_t(std::strtoul(std::string(remote + i * 8, 8).c_str(), nullptr, 16));
			}
			if (digits == 8) {
				auto &v4 = reinterpret_cast<sockaddr_in &>(peer);
				v4.sin_family = AF_INET;
				v4.sin_port = htons(uint16_t(portNumber));
				v4.sin_addr.s_addr = words[0];
			} else {
				auto &v6 = reinterpret_cast<sockaddr_in6 &>(peer);
				v6.sin6_family = AF_INET6;
				v6.sin6_port = htons(uint16_t(portNumber));
				std::memcpy(&v6.sin6_addr, words, sizeof(words));
			}
			if (socketEndpoints::isOneOf(peer, targets)) {
				found.insert(inode);
			}
		}
		std::fclose(file);
	}
	return found;
}

// The sockets those threads are blocked on now, in a connect or a receive (the system call's first argument).
std::set<long> blockedSockets(const std::vector<long> &threads)
{
	std::set<long> found;
	for (const long thread : threads) {
		const std::string path = "/proc/self/task/" + std::to_string(thread) + "/syscall";
		FILE *file = std::fopen(path.c_str(), "r");
		if (!file) {
			continue;
		}
		long call = -1;
		unsigned long first = 0;
		if (std::fscanf(file, "%ld %lx", &call, &first) == 2 &&
		    (call == SYS_connect || call == SYS_recvfrom || call == SYS_read || call == SYS_recvmsg)) {
			found.insert(long(first));
		}
		std::fclose(file);
	}
	return found;
}

} // namespace

std::vector<long> processThreads()
{
	std::vector<long> found;
	DIR *tasks = opendir("/proc/self/task");
	if (!tasks) {
		return found;
	}
	while (dirent *entry = readdir(tasks)) {
		char *end = nullptr;
		const long thread = std::strtol(entry->d_name, &end, 10);
		if (end && *end == '\0' && thread > 0) {
			found.push_back(thread);
		}
	}
	closedir(tasks);
	std::sort(found.begin(), found.end());
	return found;
}

int cutStalledConnections(const char *host, int port, int idleMs, bool opening, const std::vector<long> &waiters)
{
	const std::vector<sockaddr_storage> targets = socketEndpoints::resolve(host, port);
	if (targets.empty()) {
		return 0;
	}
	const std::set<long> theirs = blockedSockets(waiters);
	const std::set<unsigned long> stillOpening = opening ? openingSockets(targets) : std::set<unsigned long>();
	DIR *fds = opendir("/proc/self/fd");
	if (!fds) {
		return 0;
	}
	int cut = 0;
	while (dirent *entry = readdir(fds)) {
		char *end = nullptr;
		const long fd = std::strtol(entry->d_name, &end, 10);
		if (!end || *end != '\0' || fd < 0 || fd == dirfd(fds)) {
			continue;
		}
		sockaddr_storage peer = {};
		socklen_t length = sizeof(peer);
		int type = 0;
		socklen_t typeLength = sizeof(type);
		if (getsockopt(int(fd), SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM) {
			continue;
		}
		if (getpeername(int(fd), reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
			// Shutting down a socket that is opening ends its connect at once.
			struct stat about = {};
			if (!stillOpening.empty() && fstat(int(fd), &about) == 0 && stillOpening.count(about.st_ino) &&
			    shutdown(int(fd), SHUT_RDWR) == 0) {
				++cut;
			}
			continue;
		}
		// OBS 30 and later dial from threads of their own (happy eyeballs), which no one can tell apart: only a
		// connection that is open is told by the thread that waits on it.
		const bool target = socketEndpoints::isOneOf(peer, targets) && (waiters.empty() || theirs.count(fd));
		tcp_info info = {};
		socklen_t infoLength = sizeof(info);
		if (!target || getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &infoLength) != 0) {
			continue;
		}
		// A live stream sends all the time; a connection waiting for a server's answer sends nothing.
		const bool waiting = info.tcpi_state == established && info.tcpi_bytes_acked < startupBytes &&
				     info.tcpi_last_data_sent >= unsigned(idleMs);
		if (waiting && shutdown(int(fd), SHUT_RDWR) == 0) {
			++cut;
		}
	}
	closedir(fds);
	return cut;
}

bool serverNameResolves(const char *host)
{
	return !socketEndpoints::resolve(host, 1).empty();
}
