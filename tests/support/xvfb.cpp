// Xvfb on a display number it picks itself (-displayfd), so parallel test runs never collide.
#include "internal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testbed {

Xvfb::Xvfb(const std::string &screen) : screen_(screen), dir_("tb-xvfb-") {}

Xvfb::~Xvfb()
{
	stop();
}

void Xvfb::start()
{
	if (proc_ && proc_->running()) {
		return;
	}
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) != 0) {
		throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
	}
	UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
	const std::string log = dir_.file("xvfb.log");
	proc_ = Process::start({"Xvfb", "-displayfd", "3", "-screen", "0", screen_, "-nolisten", "tcp"}, "", log, {},
			       writeEnd.get());
	// Our copy must go, or a dying Xvfb would not give us end-of-file.
	writeEnd.reset();

	std::string number;
	detail::Deadline deadline(10000);
	while (number.find('\n') == std::string::npos) {
		pollfd pfd{readEnd.get(), POLLIN, 0};
		if (deadline.expired() || poll(&pfd, 1, deadline.remainingMs()) <= 0) {
			proc_->stop();
			throw std::runtime_error(detail::withLogTail("Xvfb did not report its display in 10 s", log));
		}
		char buf[32];
		ssize_t n = read(readEnd.get(), buf, sizeof buf);
		if (n <= 0) {
			proc_->stop();
			throw std::runtime_error(detail::withLogTail("Xvfb exited before reporting its display", log));
		}
		number.append(buf, static_cast<size_t>(n));
	}
	number.erase(number.find('\n'));
	display_ = ":" + number;
	// Clients inside another network namespace cannot reach the abstract socket; they need this file.
	const std::string socketPath = "/tmp/.X11-unix/X" + number;
	if (!waitForFileContaining(socketPath, "", 5000)) {
		proc_->stop();
		throw std::runtime_error(detail::withLogTail("Xvfb socket " + socketPath + " did not appear", log));
	}
}

void Xvfb::stop()
{
	if (proc_) {
		proc_->stop();
		proc_.reset();
	}
}

bool Xvfb::running()
{
	return proc_ && proc_->running();
}

} // namespace testbed
