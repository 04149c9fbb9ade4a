#include "base/ui-call.hpp"

#include <QMetaObject>
#include <QObject>
#include <QThread>

namespace {

struct Call {
	bool started = false;
	bool finished = false;
	bool abandoned = false;
};

} // namespace

UiCallGate::UiCallGate() : shared(std::make_shared<Shared>()) {}

UiCallGate::Result UiCallGate::call(QObject *context, std::function<void()> work, std::chrono::milliseconds timeout)
{
	auto state = shared;
	auto call = std::make_shared<Call>();
	std::unique_lock<std::mutex> lock(state->mutex);
	if (state->closed || !context) {
		return Result::Closed;
	}
	if (context->thread() == QThread::currentThread()) {
		// Already on that thread: waiting for its event loop would only time out.
		lock.unlock();
		work();
		return Result::Done;
	}
	QMetaObject::invokeMethod(
		context,
		[state, call, work = std::move(work)] {
			{
				std::lock_guard<std::mutex> guard(state->mutex);
				if (state->closed || call->abandoned) {
					return;
				}
				call->started = true;
			}
			state->changed.notify_all();
			work();
			{
				std::lock_guard<std::mutex> guard(state->mutex);
				call->finished = true;
			}
			state->changed.notify_all();
		},
		Qt::QueuedConnection);
	state->changed.wait_for(lock, timeout, [&] { return call->started || state->closed; });
	if (call->started) {
		// Running on the context's thread, which never waits for this one: it ends.
		state->changed.wait(lock, [&] { return call->finished; });
		return Result::Done;
	}
	call->abandoned = true;
	return state->closed ? Result::Closed : Result::TimedOut;
}

void UiCallGate::close()
{
	{
		std::lock_guard<std::mutex> guard(shared->mutex);
		shared->closed = true;
	}
	shared->changed.notify_all();
}

bool UiCallGate::isClosed() const
{
	std::lock_guard<std::mutex> guard(shared->mutex);
	return shared->closed;
}
