#include "engine/live-entry.hpp"
#include "engine/encoder-settings.hpp"
#include "config/config-store.hpp"
#include "base/language.hpp"
#include "base/log.hpp"

#include <util/platform.h>

#include <exception>

LiveEntry::~LiveEntry()
{
	stopAndWait();
}

bool LiveEntry::reportStartFailure(const QString &destId, const QString &text, QString *error)
{
	DestStatus status;
	status.state = DestState::Failed;
	status.message = text;
	ended.insert(destId, status);
	if (error) {
		*error = text;
	}
	if (running.empty()) {
		closePipeline();
	}
	return false;
}

void LiveEntry::keepRefusal(const QString &destId, const QString &text)
{
	if (running.find(destId) == running.end()) {
		DestStatus status;
		status.state = DestState::Failed;
		status.message = text;
		ended.insert(destId, status);
	}
}

void LiveEntry::closePipeline()
{
	if (pipeline) {
		// What the entry shows is let go of here, whoever closes the rest: no source outlives the entry.
		pipeline->releaseSources();
		pipeline.reset();
	}
	loggedLateMarginMs = 0;
}

bool LiveEntry::startDestination(const EntryConfig &entry, const DestConfig &dest, QString *error)
{
	auto it = running.find(dest.id);
	if (it != running.end()) {
		// One that was stopped and is not removed yet (the tick does that) is started again with a fresh output.
		if (!it->second->isOver()) {
			return true;
		}
		running.erase(it);
	}
	ended.remove(dest.id);
	try {
		if (!pipeline) {
			auto opened = std::make_shared<EntryPipeline>();
			QString message;
			if (!opened->open(entry, &message)) {
				return reportStartFailure(dest.id, message, error);
			}
			pipeline = std::move(opened);
		}
		auto output = std::make_unique<DestOutput>(dest);
		QString message;
		if (!output->start(pipeline, entry.audioKbps, entry.codificadorAudio, &message)) {
			output.reset();
			return reportStartFailure(dest.id, message, error);
		}
		running.emplace(dest.id, std::move(output));
		return true;
	} catch (const std::exception &e) {
		return reportStartFailure(dest.id, translate("Error inesperado: %1").arg(QString::fromUtf8(e.what())),
					  error);
	} catch (...) {
		return reportStartFailure(dest.id, translate("Error inesperado al iniciar la emisión."), error);
	}
}

void LiveEntry::tick()
{
	for (auto it = running.begin(); it != running.end();) {
		DestOutput &dest = *it->second;
		dest.checkRestart();
		dest.sample();
		dest.checkStartTimeout();
		if (dest.hasEnded()) {
			ended.insert(it->first, dest.endedStatus());
			it = running.erase(it);
		} else {
			++it;
		}
	}

	if (running.empty()) {
		closePipeline();
		return;
	}
	if (pipeline) {
		const int margin = pipeline->audioTrack().lateMarginMs();
		if (margin > loggedLateMarginMs) {
			loggedLateMarginMs = margin;
			logMessage(LOG_INFO, "audio for \"%s\" came late: its audio is now held back %d ms more",
				   pipeline->sourceNameUtf8().constData(), margin);
		}
		// The source itself is asked, not its name: one renamed in OBS goes on streaming. A deleted source stays
		// findable while something still holds it, this pipeline included.
		if (pipeline->sendsProgram()) {
			pipeline->followProgram();
		} else if (obs_source_t *shown = pipeline->shownSource()) {
			if (obs_source_removed(shown)) {
				requestStop();
			}
		} else {
			OBSSourceAutoRelease source = obs_get_source_by_name(pipeline->sourceNameUtf8().constData());
			if (!source || obs_source_removed(source)) {
				requestStop();
			}
		}
	}
}

DestStatus LiveEntry::destinationStatus(const QString &destId) const
{
	auto it = running.find(destId);
	if (it != running.end()) {
		return it->second->status();
	}
	return ended.value(destId, DestStatus());
}

QString LiveEntry::currentSourceName() const
{
	return pipeline ? pipeline->currentSourceName() : QString();
}

DestOutput *LiveEntry::runningDestination(const QString &destId) const
{
	auto it = running.find(destId);
	return it == running.end() || it->second->isOver() ? nullptr : it->second.get();
}

void LiveEntry::applyLiveSettings(const EntryConfig &entry)
{
	if (!pipeline) {
		return;
	}
	if (!pipeline->sendsProgram()) {
		pipeline->audioTrack().setDelayMs(entry.retrasoAudioMs);
	}
	// OBS's own encoder is OBS's to set.
	if (obs_encoder_t *encoder = pipeline->sharesObsEncoders() ? nullptr : pipeline->videoEncoder()) {
		OBSDataAutoRelease settings = buildEntryVideoSettings(entry);
		obs_encoder_update(encoder, settings);
	}
}

void LiveEntry::requestStop()
{
	for (auto &item : running) {
		item.second->stop();
	}
}

void LiveEntry::stopAndWait(uint64_t deadlineNs)
{
	requestStop();
	const uint64_t deadline = deadlineNs ? deadlineNs : os_gettime_ns() + 5000000000ULL;
	while (!running.empty()) {
		bool allFinished = true;
		for (auto &item : running) {
			// Every destination is asked each time: the check also starts each one's inactivity grace.
			allFinished = item.second->hasEnded() && allFinished;
		}
		if (allFinished || os_gettime_ns() >= deadline) {
			break;
		}
		os_sleep_ms(50);
	}
	running.clear();
	closePipeline();
}
