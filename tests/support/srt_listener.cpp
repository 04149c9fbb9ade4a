// SRT listener: srt-live-transmit rather than ffmpeg, because it keeps listening after a caller leaves (ffmpeg's
// listener exits) and writes the received bytes unchanged instead of remuxing them. RIST and enhanced RTMP, which it
// does not speak, go to ffmpeg.
#include "internal.hpp"

#include <stdexcept>
#include <vector>

namespace testbed {

SrtListener::SrtListener(const Options &options) : options_(options), dir_("tb-srt-") {}

SrtListener::SrtListener() : SrtListener(Options()) {}

SrtListener::~SrtListener()
{
	stop();
}

void SrtListener::start()
{
	if (proc_ && proc_->running()) {
		return;
	}
	const bool tcp = options_.receiver == Receiver::Rtmp;
	if (port_ == 0) {
		port_ = options_.port > 0 ? options_.port : tcp ? freeTcpPort() : freeUdpPort();
	}
	std::string uri = "srt://127.0.0.1:" + std::to_string(port_) + "?mode=listener";
	if (!options_.passphrase.empty()) {
		uri += "&passphrase=" + options_.passphrase + "&pbkeylen=" + std::to_string(options_.pbkeylen);
	}
	if (options_.latencyMs > 0) {
		uri += "&latency=" + std::to_string(options_.latencyMs);
	}
	if (tcp) {
		proc_ = Process::start({"ffmpeg", "-nostdin", "-y", "-listen", "1", "-i", url() + "/any", "-c", "copy",
					"-f", "matroska", outputPath()},
				       dir_.file("stdout.log"), logPath());
	} else if (options_.receiver == Receiver::Rist) {
		std::vector<std::string> args{"ffmpeg", "-nostdin", "-y"};
		if (!options_.passphrase.empty()) {
			args.insert(args.end(), {"-secret", options_.passphrase, "-encryption", "128"});
		}
		args.insert(args.end(), {"-i", "rist://@127.0.0.1:" + std::to_string(port_), "-c", "copy", "-f",
					 "mpegts", outputPath()});
		proc_ = Process::start(args, dir_.file("stdout.log"), logPath());
	} else {
		// -a:yes listens again after a caller disconnects.
		proc_ = Process::start({"srt-live-transmit", "-v", "-a:yes", uri, "file://con"}, outputPath(),
				       logPath());
	}
	detail::Deadline deadline(5000);
	while (proc_->running() && !deadline.expired()) {
		if (detail::processOwnsPort(proc_->pid(), tcp ? "tcp" : "udp", port_)) {
			return;
		}
		detail::sleepMs(10);
	}
	proc_->stop();
	throw std::runtime_error(
		detail::withLogTail("the receiver did not bind port " + std::to_string(port_), logPath()));
}

void SrtListener::stop()
{
	if (proc_) {
		proc_->stop();
	}
}

bool SrtListener::running()
{
	return proc_ && proc_->running();
}

std::string SrtListener::url() const
{
	switch (options_.receiver) {
	case Receiver::Rist:
		return "rist://127.0.0.1:" + std::to_string(port_);
	case Receiver::Rtmp:
		return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live";
	default:
		return "srt://127.0.0.1:" + std::to_string(port_);
	}
}

} // namespace testbed
