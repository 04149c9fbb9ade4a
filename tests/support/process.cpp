// Child processes: fork/exec into a new process group, stop by PID, capture output.
#include "internal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace testbed {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
	if (this != &other) {
		reset(other.release());
	}
	return *this;
}

int UniqueFd::release()
{
	int fd = fd_;
	fd_ = -1;
	return fd;
}

void UniqueFd::reset(int fd)
{
	if (fd_ >= 0) {
		::close(fd_);
	}
	fd_ = fd;
}

std::string findExecutable(const std::string &name)
{
	if (name.find('/') != std::string::npos) {
		return access(name.c_str(), X_OK) == 0 ? name : "";
	}
	const char *envPath = getenv("PATH");
	// Servers such as nginx live in sbin, which a CI environment may leave out of PATH.
	std::string dirs = std::string(envPath ? envPath : "/usr/local/bin:/usr/bin:/bin") + ":/usr/sbin:/sbin";
	size_t begin = 0;
	while (begin <= dirs.size()) {
		size_t end = dirs.find(':', begin);
		if (end == std::string::npos) {
			end = dirs.size();
		}
		std::string dir = dirs.substr(begin, end - begin);
		if (!dir.empty()) {
			std::string candidate = dir + "/" + name;
			if (access(candidate.c_str(), X_OK) == 0) {
				return candidate;
			}
		}
		begin = end + 1;
	}
	return "";
}

namespace {

struct SpawnFds {
	int in = -1, out = -1, err = -1, pass = -1;
};

// Everything the child needs is built before fork(): after it only async-signal-safe calls are allowed.
pid_t spawn(const std::vector<std::string> &argv, const EnvList &extraEnv, const SpawnFds &fds)
{
	if (argv.empty()) {
		throw std::runtime_error("spawn: empty argv");
	}
	std::string path = findExecutable(argv[0]);
	if (path.empty()) {
		throw std::runtime_error("cannot start " + argv[0] + ": not found");
	}
	std::vector<char *> args;
	for (const std::string &arg : argv) {
		args.push_back(const_cast<char *>(arg.c_str()));
	}
	args.push_back(nullptr);

	std::vector<std::string> envStrings;
	for (char **e = environ; *e; ++e) {
		std::string entry = *e;
		bool overridden = false;
		for (const auto &kv : extraEnv) {
			if (entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0) {
				overridden = true;
			}
		}
		if (!overridden) {
			envStrings.push_back(entry);
		}
	}
	for (const auto &kv : extraEnv) {
		envStrings.push_back(kv.first + "=" + kv.second);
	}
	std::vector<char *> env;
	for (std::string &entry : envStrings) {
		env.push_back(entry.data());
	}
	env.push_back(nullptr);

	int errPipe[2];
	if (pipe2(errPipe, O_CLOEXEC) != 0) {
		throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
	}
	const pid_t parent = getpid();
	pid_t pid = fork();
	if (pid < 0) {
		int e = errno;
		::close(errPipe[0]);
		::close(errPipe[1]);
		throw std::runtime_error(std::string("fork: ") + strerror(e));
	}
	if (pid == 0) {
		// A test that crashes or is killed must not leave servers behind.
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		if (getppid() != parent) {
			_exit(127);
		}
		setpgid(0, 0);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		struct sigaction dfl {};
		dfl.sa_handler = SIG_DFL;
		for (int sig = 1; sig < NSIG; ++sig) {
			sigaction(sig, &dfl, nullptr);
		}
		// Move sources out of the way first so that dup2 onto 0..3 never clobbers another source.
		int src[4] = {fds.in, fds.out, fds.err, fds.pass};
		for (int &fd : src) {
			if (fd >= 0) {
				fd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
			}
		}
		for (int target = 0; target < 4; ++target) {
			if (src[target] >= 0) {
				dup2(src[target], target);
			}
		}
		// The test process's sockets must not live on in servers (a kept-open connection hides a disconnect).
		close_range(src[3] >= 0 ? 4 : 3, ~0U, CLOSE_RANGE_CLOEXEC);
		execve(path.c_str(), args.data(), env.data());
		int e = errno;
		ssize_t ignored = write(errPipe[1], &e, sizeof e);
		(void)ignored;
		_exit(127);
	}
	setpgid(pid, pid); // also here, so signalling the group works right after we return
	::close(errPipe[1]);
	int childErrno = 0;
	ssize_t n;
	do {
		n = read(errPipe[0], &childErrno, sizeof childErrno);
	} while (n < 0 && errno == EINTR);
	::close(errPipe[0]);
	if (n == static_cast<ssize_t>(sizeof childErrno)) {
		waitpid(pid, nullptr, 0);
		throw std::runtime_error("cannot exec " + path + ": " + strerror(childErrno));
	}
	return pid;
}

UniqueFd openOutput(const std::string &path)
{
	const std::string target = path.empty() ? "/dev/null" : path;
	UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
	if (!fd.valid()) {
		throw std::runtime_error("cannot open " + target + ": " + strerror(errno));
	}
	return fd;
}

} // namespace

std::unique_ptr<Process> Process::start(const std::vector<std::string> &argv, const std::string &stdoutPath,
					const std::string &stderrPath, const EnvList &extraEnv, int passFd)
{
	UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
	UniqueFd out = openOutput(stdoutPath);
	// One path for both: one open file, or the two streams would overwrite each other from offset 0.
	UniqueFd err = stderrPath == stdoutPath && !stdoutPath.empty() ? UniqueFd() : openOutput(stderrPath);
	pid_t pid = spawn(argv, extraEnv, {in.get(), out.get(), err.valid() ? err.get() : out.get(), passFd});
	return std::unique_ptr<Process>(new Process(pid));
}

Process::~Process()
{
	stop();
}

bool Process::running()
{
	if (reaped_) {
		return false;
	}
	siginfo_t info{};
	// WNOWAIT keeps the zombie, so the group id cannot be reused while the stragglers are killed.
	if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
		reaped_ = true; // ECHILD: someone else reaped it
		return false;
	}
	if (info.si_pid == 0) {
		return true;
	}
	kill(-pid_, SIGKILL);
	int status = 0;
	if (waitpid(pid_, &status, 0) == pid_) {
		status_ = status;
	}
	reaped_ = true;
	return false;
}

void Process::signal(int sig)
{
	if (reaped_) {
		return;
	}
	if (kill(-pid_, sig) != 0) {
		kill(pid_, sig);
	}
}

bool Process::waitExit(int timeoutMs, int *status)
{
	detail::Deadline deadline(timeoutMs);
	int pause = 1;
	while (running()) {
		if (deadline.expired()) {
			return false;
		}
		detail::sleepMs(pause);
		pause = pause < 20 ? pause * 2 : 20;
	}
	if (status) {
		*status = status_;
	}
	return true;
}

void Process::stop(int timeoutMs)
{
	if (!running()) {
		return;
	}
	signal(SIGTERM);
	signal(SIGCONT);
	if (waitExit(timeoutMs)) {
		return;
	}
	signal(SIGKILL);
	waitExit(5000);
}

std::string runCapture(const std::vector<std::string> &argv, int timeoutMs, int *exitCode, std::string *stderrText)
{
	std::string out, err;
	auto finish = [&](int code) {
		if (exitCode) {
			*exitCode = code;
		}
		if (stderrText) {
			*stderrText = err;
		}
		return out;
	};
	int outPipe[2], errPipe[2];
	if (pipe2(outPipe, O_CLOEXEC) != 0) {
		err = std::string("pipe2: ") + strerror(errno);
		return finish(127);
	}
	UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
	if (pipe2(errPipe, O_CLOEXEC) != 0) {
		err = std::string("pipe2: ") + strerror(errno);
		return finish(127);
	}
	UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
	UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
	pid_t pid;
	try {
		pid = spawn(argv, {}, {in.get(), outWrite.get(), errWrite.get(), -1});
	} catch (const std::exception &e) {
		err = e.what();
		return finish(127);
	}
	outWrite.reset();
	errWrite.reset();

	detail::Deadline deadline(timeoutMs);
	bool timedOut = false;
	char buf[65536];
	while (outRead.valid() || errRead.valid()) {
		if (deadline.expired()) {
			timedOut = true;
			break;
		}
		pollfd pfds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
		int ready = poll(pfds, 2, deadline.remainingMs());
		if (ready < 0 && errno != EINTR) {
			break;
		}
		UniqueFd *fds[2] = {&outRead, &errRead};
		std::string *sinks[2] = {&out, &err};
		for (int i = 0; i < 2; ++i) {
			if (pfds[i].fd < 0 || !(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
				continue;
			}
			ssize_t n = read(pfds[i].fd, buf, sizeof buf);
			if (n > 0) {
				sinks[i]->append(buf, static_cast<size_t>(n));
			} else if (n == 0 || errno != EINTR) {
				fds[i]->reset();
			}
		}
	}
	int status = 0;
	pid_t reaped = 0;
	while (!timedOut) {
		reaped = waitpid(pid, &status, WNOHANG);
		if (reaped != 0 || deadline.expired()) {
			break;
		}
		detail::sleepMs(5);
	}
	if (reaped == 0) {
		timedOut = true;
		kill(-pid, SIGKILL);
		waitpid(pid, &status, 0);
	}
	if (timedOut || reaped < 0) {
		return finish(-1);
	}
	if (WIFEXITED(status)) {
		return finish(WEXITSTATUS(status));
	}
	return finish(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
}

BusyMachine::BusyMachine(pid_t stalled, int seconds, int stallMs, int periodMs) : stalled_(stalled)
{
	const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
	const std::string limit = std::to_string(seconds);
	for (long i = 0; i < 2 * cores; ++i) {
		loops_.push_back(Process::start({"timeout", limit, "sh", "-c", "while :; do :; done"}));
	}
	if (stalled > 0 && stallMs > 0) {
		const std::string pid = std::to_string(stalled);
		const std::string script = "end=$(($(date +%s) + " + limit +
					   ")); while [ $(date +%s) -lt $end ]; do sleep " +
					   std::to_string(periodMs / 1000.0) + "; kill -STOP " + pid + "; sleep " +
					   std::to_string(stallMs / 1000.0) + "; kill -CONT " + pid + "; done";
		staller_ = Process::start({"sh", "-c", script});
	}
}

BusyMachine::~BusyMachine()
{
	if (staller_) {
		staller_->stop();
	}
	// Never leave the stalled process stopped, however the staller ended.
	if (stalled_ > 0) {
		::kill(stalled_, SIGCONT);
	}
	loops_.clear();
}

namespace {

char crashPid[24];

void onCrash(int sig)
{
	// Only async-signal-safe calls: gdb attaches from a child while this thread waits for it.
	const pid_t child = fork();
	if (child == 0) {
		dup2(2, 1);
		execlp("gdb", "gdb", "-q", "-batch", "-p", crashPid, "-ex", "thread apply all bt 40", nullptr);
		_exit(127);
	}
	if (child > 0) {
		waitpid(child, nullptr, 0);
	}
	signal(sig, SIG_DFL);
	raise(sig);
}

} // namespace

void showStacksOnCrash()
{
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
	std::snprintf(crashPid, sizeof(crashPid), "%d", int(getpid()));
	prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);
	for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
		signal(sig, onCrash);
	}
#endif
}

} // namespace testbed
