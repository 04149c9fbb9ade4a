// A TCP server that accepts and then says nothing: the kernel still completes the handshake and buffers what the
// client sends, but no byte ever comes back.
#include "internal.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testbed {

SilentTcpListener::SilentTcpListener(int rcvBufBytes) : rcvBufBytes_(rcvBufBytes) {}

SilentTcpListener::~SilentTcpListener()
{
	stop();
}

void SilentTcpListener::start()
{
	if (thread_.joinable()) {
		return;
	}
	listenFd_ = detail::bindLoopback(SOCK_STREAM, port_, rcvBufBytes_);
	port_ = detail::localPort(listenFd_.get());
	stopping_ = false;
	thread_ = std::thread(&SilentTcpListener::run, this);
}

void SilentTcpListener::stop()
{
	if (!thread_.joinable()) {
		return;
	}
	stopping_ = true;
	thread_.join();
	clients_.clear();
	listenFd_.reset();
}

void SilentTcpListener::run()
{
	while (!stopping_) {
		pollfd pfd{listenFd_.get(), POLLIN, 0};
		if (poll(&pfd, 1, 50) <= 0) {
			continue;
		}
		UniqueFd client(accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
		if (client.valid()) {
			clients_.push_back(std::move(client));
			accepted_.fetch_add(1);
		}
	}
}

void DroppingTcpListener::start()
{
	listenFd_ = detail::bindLoopback(SOCK_STREAM, 0);
	// No waiting place but one: once it is taken, the system drops every further opening packet.
	if (listen(listenFd_.get(), 0) != 0) {
		throw std::runtime_error(std::string("listen: ") + strerror(errno));
	}
	port_ = detail::localPort(listenFd_.get());
	filler_ = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
	sockaddr_in addr{};
	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port_));
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(filler_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
		throw std::runtime_error(std::string("connect: ") + strerror(errno));
	}
}

} // namespace testbed
