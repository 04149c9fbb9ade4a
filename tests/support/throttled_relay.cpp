// A TCP relay whose client-to-target direction is rate limited by a token bucket: a slow uplink.
#include "internal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace testbed {

struct ThrottledRelay::Connection {
	UniqueFd client, target;
	std::thread thread;
	std::atomic<bool> done{false};
};

namespace {

constexpr size_t bufferSize = 16384;

// One direction's pending bytes.
struct Pipe {
	char data[bufferSize];
	size_t begin = 0, end = 0;
	bool eof = false;

	bool empty() const { return begin == end; }
};

void setNonBlocking(int fd)
{
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Closing with a zero linger sends RST, as a cut link eventually shows up to the peers.
void resetConnection(UniqueFd &fd)
{
	linger hard{1, 0};
	setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
	fd.reset();
}

bool wouldBlock()
{
	return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

} // namespace

ThrottledRelay::ThrottledRelay(int targetPort, long long bytesPerSecond, int rcvBufBytes)
	: targetPort_(targetPort),
	  rcvBufBytes_(rcvBufBytes),
	  rate_(bytesPerSecond)
{
}

ThrottledRelay::~ThrottledRelay()
{
	stop();
}

void ThrottledRelay::start()
{
	if (acceptThread_.joinable()) {
		return;
	}
	listenFd_ = detail::bindLoopback(SOCK_STREAM, port_, rcvBufBytes_);
	port_ = detail::localPort(listenFd_.get());
	stopping_ = false;
	acceptThread_ = std::thread(&ThrottledRelay::acceptLoop, this);
}

void ThrottledRelay::stop()
{
	if (!acceptThread_.joinable()) {
		return;
	}
	stopping_ = true;
	acceptThread_.join();
	listenFd_.reset();
}

void ThrottledRelay::acceptLoop()
{
	while (!stopping_) {
		for (auto it = connections_.begin(); it != connections_.end();) {
			if ((*it)->done) {
				(*it)->thread.join();
				it = connections_.erase(it);
			} else {
				++it;
			}
		}
		pollfd pfd{listenFd_.get(), POLLIN, 0};
		if (poll(&pfd, 1, 50) <= 0) {
			continue;
		}
		auto conn = std::make_unique<Connection>();
		conn->client.reset(accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
		if (!conn->client.valid()) {
			continue;
		}
		conn->target = detail::connectLoopback(targetPort_);
		if (!conn->target.valid()) {
			resetConnection(conn->client);
			continue;
		}
		active_.fetch_add(1);
		Connection &ref = *conn;
		conn->thread = std::thread([this, &ref] { pump(ref); });
		connections_.push_back(std::move(conn));
	}
	for (auto &conn : connections_) {
		conn->thread.join();
	}
	connections_.clear();
}

void ThrottledRelay::pump(Connection &conn)
{
	setNonBlocking(conn.client.get());
	setNonBlocking(conn.target.get());
	Pipe up, down; // up: client -> target (throttled), down: target -> client
	const int generation = dropGeneration_.load();
	double tokens = 0;
	auto last = std::chrono::steady_clock::now();
	bool failed = false;

	while (!stopping_ && !failed && dropGeneration_.load() == generation) {
		if ((up.eof && up.empty()) || (down.eof && down.empty())) {
			break;
		}
		const long long rate = rate_.load();
		auto now = std::chrono::steady_clock::now();
		double elapsed = std::chrono::duration<double>(now - last).count();
		last = now;
		// Bursts are capped at 50 ms worth, so a pause never lets a flood through afterwards.
		const double burst = std::max(1.0, static_cast<double>(rate) * 0.05);
		tokens = rate < 0 ? static_cast<double>(bufferSize) : std::min(tokens + elapsed * rate, burst);

		const bool readClient = up.empty() && !up.eof && tokens >= 1;
		pollfd pfds[2] = {{conn.client.get(), 0, 0}, {conn.target.get(), 0, 0}};
		pfds[0].events = (readClient ? POLLIN : 0) | (!down.empty() ? POLLOUT : 0);
		pfds[1].events = (!up.empty() ? POLLOUT : 0) | (down.empty() && !down.eof ? POLLIN : 0);
		// poll() reports hang-ups even with no events asked for: skip idle sockets, or a stalled link spins.
		for (pollfd &pfd : pfds) {
			if (pfd.events == 0) {
				pfd.fd = -1;
			}
		}
		if (poll(pfds, 2, 10) < 0 && errno != EINTR) {
			break;
		}
		if ((pfds[0].revents | pfds[1].revents) & POLLERR) {
			failed = true;
		}
		if (pfds[0].revents & (POLLIN | POLLHUP) && readClient) {
			size_t want = std::min(bufferSize, static_cast<size_t>(tokens));
			ssize_t n = read(conn.client.get(), up.data, want);
			if (n > 0) {
				up.begin = 0;
				up.end = static_cast<size_t>(n);
				tokens -= static_cast<double>(n);
			} else if (n == 0) {
				up.eof = true;
			} else if (!wouldBlock()) {
				failed = true;
			}
		}
		if (pfds[1].revents & (POLLIN | POLLHUP) && down.empty() && !down.eof) {
			ssize_t n = read(conn.target.get(), down.data, bufferSize);
			if (n > 0) {
				down.begin = 0;
				down.end = static_cast<size_t>(n);
			} else if (n == 0) {
				down.eof = true;
			} else if (!wouldBlock()) {
				failed = true;
			}
		}
		if (!up.empty()) {
			ssize_t n = send(conn.target.get(), up.data + up.begin, up.end - up.begin, MSG_NOSIGNAL);
			if (n > 0) {
				up.begin += static_cast<size_t>(n);
				forwarded_.fetch_add(n);
			} else if (n < 0 && !wouldBlock()) {
				failed = true;
			}
		}
		if (!down.empty()) {
			const size_t pending = down.end - down.begin;
			ssize_t n = send(conn.client.get(), down.data + down.begin, pending, MSG_NOSIGNAL);
			if (n > 0) {
				down.begin += static_cast<size_t>(n);
				returned_.fetch_add(n);
			} else if (n < 0 && !wouldBlock()) {
				failed = true;
			}
		}
	}
	if (failed || stopping_ || dropGeneration_.load() != generation) {
		resetConnection(conn.client);
		resetConnection(conn.target);
	} else {
		conn.client.reset();
		conn.target.reset();
	}
	active_.fetch_sub(1);
	conn.done = true;
}

} // namespace testbed
