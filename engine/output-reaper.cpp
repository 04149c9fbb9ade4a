#include "engine/output-reaper.hpp"
#include "engine/stalled-connections.hpp"

#include <QUrl>

#include <util/platform.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace outputReaper {

namespace {

std::mutex lock;
std::condition_variable idle;
int running = 0;

// An RTMP output still connecting to a server that never answers: cut that connection so that the stop below
// does not wait for librtmp to give up on it. A connection that is getting somewhere is left alone.
void cutStalled(const QString &address)
{
	const QUrl url(address.trimmed());
	const QString scheme = url.scheme().toLower();
	if (scheme != QLatin1String("rtmp") && scheme != QLatin1String("rtmps")) {
		return;
	}
	const QByteArray host = url.host().toUtf8();
	const int port = url.port(scheme == QLatin1String("rtmps") ? 443 : 1935);
	for (int i = 0; i < 15 && cutStalledConnections(host.constData(), port, 1000) == 0; ++i) {
		os_sleep_ms(100);
	}
}

void end(Retired retired)
{
	obs_output_t *output = retired.output.Get();
	if (output) {
		if (!retired.address.isEmpty() && !obs_output_active(output)) {
			cutStalled(retired.address);
		}
		obs_output_force_stop(output);
		for (int i = 0; i < 100 && obs_output_active(output); ++i) {
			os_sleep_ms(20);
		}
	}
	// Outputs before encoders, encoders before what they feed on.
	retired.output = nullptr;
	retired.audioEncoder = nullptr;
	retired.service = nullptr;
	retired.keepAlive.reset();
}

} // namespace

void retire(Retired retired)
{
	{
		std::lock_guard<std::mutex> guard(lock);
		++running;
	}
	std::thread([job = std::move(retired)]() mutable {
		end(std::move(job));
		std::lock_guard<std::mutex> guard(lock);
		if (--running == 0) {
			idle.notify_all();
		}
	}).detach();
}

int pending()
{
	std::lock_guard<std::mutex> guard(lock);
	return running;
}

bool waitIdle(int timeoutMs)
{
	std::unique_lock<std::mutex> guard(lock);
	return idle.wait_for(guard, std::chrono::milliseconds(timeoutMs), [] { return running == 0; });
}

} // namespace outputReaper
