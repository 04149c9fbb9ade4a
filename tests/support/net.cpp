// Loopback sockets, free ports, and the per-process namespace tricks (network and mount isolation).
#include "internal.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testbed {

namespace detail {

UniqueFd bindLoopback(int type, int port, int rcvBufBytes)
{
	UniqueFd fd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
	if (!fd.valid()) {
		throw std::runtime_error(std::string("socket: ") + strerror(errno));
	}
	int one = 1;
	setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	if (rcvBufBytes > 0) {
		// Set before listen() so accepted sockets inherit it.
		setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvBufBytes, sizeof rcvBufBytes);
	}
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port));
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
		throw std::runtime_error("bind 127.0.0.1:" + std::to_string(port) + ": " + strerror(errno));
	}
	if (type == SOCK_STREAM && listen(fd.get(), 64) != 0) {
		throw std::runtime_error(std::string("listen: ") + strerror(errno));
	}
	return fd;
}

int localPort(int fd)
{
	sockaddr_in addr{};
	socklen_t len = sizeof addr;
	if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
		throw std::runtime_error(std::string("getsockname: ") + strerror(errno));
	}
	return ntohs(addr.sin_port);
}

UniqueFd connectLoopback(int port)
{
	UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	if (!fd.valid()) {
		return fd;
	}
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port));
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
		fd.reset();
	}
	return fd;
}

} // namespace detail

namespace {

// The kernel picks ephemeral ports at random, so a repeat is rare; refusing repeats keeps two servers of one test
// from being handed the same number.
int uniquePort(int type)
{
	static std::mutex mutex;
	static std::set<int> handedOut[2];
	std::lock_guard<std::mutex> lock(mutex);
	std::set<int> &seen = handedOut[type == SOCK_STREAM ? 0 : 1];
	for (int attempt = 0; attempt < 100; ++attempt) {
		UniqueFd fd = detail::bindLoopback(type, 0);
		int port = detail::localPort(fd.get());
		if (seen.insert(port).second) {
			return port;
		}
	}
	throw std::runtime_error("no fresh loopback port after 100 tries");
}

// Socket inodes bound to port in one of /proc/net/{tcp,tcp6,udp,udp6}; for TCP only listening sockets count.
std::set<std::string> socketInodes(const std::string &procFile, int port, bool listeningOnly)
{
	std::set<std::string> inodes;
	std::ifstream in(procFile);
	std::string line;
	std::getline(in, line); // header
	while (std::getline(in, line)) {
		std::istringstream fields(line);
		std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
		fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
		size_t colon = local.rfind(':');
		if (colon == std::string::npos || (listeningOnly && state != "0A")) {
			continue;
		}
		if (strtol(local.c_str() + colon + 1, nullptr, 16) == port) {
			inodes.insert(inode);
		}
	}
	return inodes;
}

std::set<std::string> portInodes(const std::string &proto, int port)
{
	bool tcp = proto == "tcp";
	std::set<std::string> inodes = socketInodes("/proc/net/" + proto, port, tcp);
	for (const std::string &inode : socketInodes("/proc/net/" + proto + "6", port, tcp)) {
		inodes.insert(inode);
	}
	return inodes;
}

} // namespace

bool detail::processOwnsPort(pid_t pid, const std::string &proto, int port)
{
	std::set<std::string> inodes = portInodes(proto, port);
	if (inodes.empty()) {
		return false;
	}
	const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
	std::error_code ec;
	// The process may exit meanwhile: error codes everywhere, never exceptions.
	for (std::filesystem::directory_iterator it(fdDir, ec), end; !ec && it != end; it.increment(ec)) {
		std::error_code linkEc;
		std::string target = std::filesystem::read_symlink(it->path(), linkEc).string();
		// Links read "socket:[<inode>]".
		if (target.size() > 9 && target.compare(0, 8, "socket:[") == 0 &&
		    inodes.count(target.substr(8, target.size() - 9))) {
			return true;
		}
	}
	return false;
}

int freeTcpPort()
{
	return uniquePort(SOCK_STREAM);
}

int freeUdpPort()
{
	return uniquePort(SOCK_DGRAM);
}

bool waitForTcpPort(int port, int timeoutMs)
{
	detail::Deadline deadline(timeoutMs);
	for (;;) {
		if (detail::connectLoopback(port).valid()) {
			return true;
		}
		if (deadline.expired()) {
			return false;
		}
		detail::sleepMs(20);
	}
}

bool waitForUdpBound(int port, int timeoutMs)
{
	detail::Deadline deadline(timeoutMs);
	for (;;) {
		if (!portInodes("udp", port).empty()) {
			return true;
		}
		if (deadline.expired()) {
			return false;
		}
		detail::sleepMs(20);
	}
}

bool isolateNetwork()
{
	if (unshare(CLONE_NEWNET) != 0) {
		return false;
	}
	// A new namespace has only "lo", and it is down.
	UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
	if (!fd.valid()) {
		return false;
	}
	ifreq req{};
	strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
	if (ioctl(fd.get(), SIOCGIFFLAGS, &req) != 0) {
		return false;
	}
	req.ifr_flags |= IFF_UP | IFF_RUNNING;
	return ioctl(fd.get(), SIOCSIFFLAGS, &req) == 0;
}

bool privateMounts()
{
	if (unshare(CLONE_NEWNS) != 0) {
		return false;
	}
	// Without this, mounts made here would propagate back to the host's shared mounts.
	return mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool bindMount(const std::string &src, const std::string &dst)
{
	return mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool unmount(const std::string &path)
{
	return umount2(path.c_str(), MNT_DETACH) == 0;
}

} // namespace testbed
