#include "engine/output-reaper.hpp"
#include "engine/stalled-connections.hpp"
#include "base/log.hpp"

#include <QUrl>

#include <util/platform.h>

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace outputReaper {

namespace {

struct Job {
	std::thread thread;
	// Where its output may still be connecting, and the threads of that attempt; empty when it is not.
	QString address;
	std::vector<long> waiters;
	bool done = false;
};

// Every thread that ends an output is owned here and joined, never detached: none may outlive the module, nor
// still use an output when OBS frees it. Made once and never destroyed, so no joinable thread is ever destroyed at
// exit.
struct Threads {
	std::mutex lock;
	std::condition_variable changed;
	std::list<Job> jobs;
};

Threads &threads()
{
	static Threads *made = new Threads;
	return *made;
}

struct Endpoint {
	QByteArray host;
	int port = 0;
};

// Only RTMP dials over TCP; an SRT caller gives up by itself within seconds.
bool tcpEndpoint(const QString &address, Endpoint *endpoint)
{
	const QUrl url(address.trimmed());
	const QString scheme = url.scheme().toLower();
	if (scheme != QLatin1String("rtmp") && scheme != QLatin1String("rtmps")) {
		return false;
	}
	endpoint->host = url.host().toUtf8();
	endpoint->port = url.port(scheme == QLatin1String("rtmps") ? 443 : 1935);
	return true;
}

// An RTMP output still connecting to a server that never answers: cut that connection so that the attempt ends
// now instead of when librtmp gives up on it. A connection that is getting somewhere is left alone. Returns how
// many were cut.
int cutStalled(const QString &address, const std::vector<long> &waiters)
{
	Endpoint endpoint;
	if (!tcpEndpoint(address, &endpoint)) {
		return 0;
	}
	for (int i = 0; i < 15; ++i) {
		if (const int cut =
			    cutStalledConnections(endpoint.host.constData(), endpoint.port, 1000, true, waiters)) {
			return cut;
		}
		os_sleep_ms(100);
	}
	return 0;
}

// The end of a connection attempt, reported on OBS's connect thread.
struct AttemptEnd {
	std::mutex lock;
	std::condition_variable changed;
	bool over = false;

	static void onStop(void *data, calldata_t *)
	{
		auto *self = static_cast<AttemptEnd *>(data);
		std::lock_guard<std::mutex> guard(self->lock);
		self->over = true;
		self->changed.notify_all();
	}
	bool wait(int timeoutMs)
	{
		std::unique_lock<std::mutex> guard(lock);
		return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return over; });
	}
};

// Ends an attempt under way by cutting its connection and lets it fail by itself: stopping an RTMP output joins
// its connect thread, and one that has just failed detaches itself, so a stop at that moment joins a thread that
// is gone and crashes OBS. True when the attempt is over and nothing needs stopping.
bool endAttempt(obs_output_t *output, const QString &address, const std::vector<long> &waiters)
{
	AttemptEnd ended;
	bool over = false;
	{
		OBSSignal stopped(obs_output_get_signal_handler(output), "stop", &AttemptEnd::onStop, &ended);
		over = cutStalled(address, waiters) > 0 && ended.wait(3000);
	}
	if (over) {
		// After reporting the failure the connect thread only logs, detaches itself and clears its flag.
		os_sleep_ms(200);
	}
	return over;
}

void end(Retired retired)
{
	obs_output_t *output = retired.output.Get();
	const bool attempting = output && !retired.address.isEmpty() && !obs_output_active(output);
	if (output && !(attempting && endAttempt(output, retired.address, retired.threads))) {
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

// Joins the threads that are over; under the lock.
void joinFinished(Threads &all)
{
	for (auto it = all.jobs.begin(); it != all.jobs.end();) {
		if (it->done) {
			it->thread.join();
			it = all.jobs.erase(it);
		} else {
			++it;
		}
	}
}

} // namespace

void retire(Retired retired)
{
	Threads &all = threads();
	std::unique_lock<std::mutex> guard(all.lock);
	joinFinished(all);
	all.jobs.emplace_back();
	Job *job = &all.jobs.back();
	job->address = retired.address;
	job->waiters = retired.threads;
	// The thread may only look at its job once it is in the list: it takes the lock first.
	auto work = std::make_shared<Retired>(std::move(retired));
	try {
		job->thread = std::thread([work, job] {
			end(std::move(*work));
			Threads &owner = threads();
			std::lock_guard<std::mutex> done(owner.lock);
			job->done = true;
			owner.changed.notify_all();
		});
	} catch (const std::system_error &) {
		// No thread to be had: the output is ended here instead, which may wait on the network, but never
		// takes OBS down.
		all.jobs.pop_back();
		guard.unlock();
		logMessage(LOG_WARNING, "could not start a thread to end a stream; ending it now");
		end(std::move(*work));
	}
}

int pending()
{
	Threads &all = threads();
	std::lock_guard<std::mutex> guard(all.lock);
	int running = 0;
	for (const Job &job : all.jobs) {
		running += job.done ? 0 : 1;
	}
	return running;
}

bool waitIdle(int timeoutMs)
{
	Threads &all = threads();
	std::unique_lock<std::mutex> guard(all.lock);
	const bool idle = all.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
		for (const Job &job : all.jobs) {
			if (!job.done) {
				return false;
			}
		}
		return true;
	});
	if (idle) {
		joinFinished(all);
	}
	return idle;
}

void finish()
{
	Threads &all = threads();
	const auto began = std::chrono::steady_clock::now();
	bool told = false;
	std::unique_lock<std::mutex> guard(all.lock);
	for (;;) {
		std::vector<std::pair<Endpoint, std::vector<long>>> connecting;
		bool busy = false;
		for (const Job &job : all.jobs) {
			Endpoint endpoint;
			busy = busy || !job.done;
			if (!job.done && !job.address.isEmpty() && tcpEndpoint(job.address, &endpoint)) {
				connecting.emplace_back(endpoint, job.waiters);
			}
		}
		if (!busy) {
			break;
		}
		// OBS is closing: a connection that has not got going will not, whatever state it is in.
		guard.unlock();
		for (const auto &[endpoint, waiters] : connecting) {
			cutStalledConnections(endpoint.host.constData(), endpoint.port, 0, true, waiters);
		}
		if (!told && std::chrono::steady_clock::now() - began > std::chrono::seconds(3)) {
			told = true;
			logMessage(LOG_WARNING, "waiting for %d stream(s) to end", pending());
		}
		guard.lock();
		all.changed.wait_for(guard, std::chrono::milliseconds(100));
	}
	joinFinished(all);
}

} // namespace outputReaper
