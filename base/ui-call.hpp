#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

// Runs work on a QObject's thread for a caller on another thread, and waits a bounded time for it to begin. Work
// that has begun is waited for to its end, so the caller can tell what happened; work that has not begun when the
// wait ends, or when the gate closes, never runs. Closing wakes every caller at once: nothing waits on a thread
// that is shutting down.
class UiCallGate {
public:
	enum class Result { Done, TimedOut, Closed };

	UiCallGate();
	Result call(QObject *context, std::function<void()> work, std::chrono::milliseconds timeout);
	// From then on every call returns Closed at once.
	void close();
	bool isClosed() const;

private:
	struct Shared {
		std::mutex mutex;
		std::condition_variable changed;
		bool closed = false;
	};
	std::shared_ptr<Shared> shared;
};
