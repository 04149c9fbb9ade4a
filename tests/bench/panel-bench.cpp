// Figures for the panel: the UI thread's cost of the 500 ms loop with many live destinations, style sheet writes in
// steady state, how soon a click shows "live", and how long stopping everything takes. Printed, not asserted.
#include "ui/panel-bed.hpp"

#include "engine/live-entry.hpp"

#include <QElapsedTimer>
#include <QEvent>

#include <algorithm>

using namespace uitest;
using namespace obstest;

namespace {

EntryConfig smallEntry(const char *source, const std::vector<std::pair<QString, QString>> &destinations)
{
	EntryConfig entry = makeEntry(QString::fromUtf8(source), destinations, 160, 90);
	entry.videoKbps = 200;
	entry.audioKbps = 64;
	return entry;
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values.empty() ? 0 : values[values.size() / 2];
}

// From the click to "● LIVE" on the card, as the user sees it (the card is redrawn by the 500 ms loop).
double clickToLive(PanelBed &bed)
{
	QElapsedTimer timer;
	timer.start();
	click(bed.row(0).button);
	const bool live = bed.waitForStatus(0, tr("● EN EMISIÓN"), 15000);
	const double ms = double(timer.elapsed());
	if (!live) {
		std::printf("not live: %s\n", bed.row(0).statusText().toUtf8().constData());
	}
	click(bed.row(0).button);
	waitUntil([&] { return bed.row(0).buttonText() == tr("▶ Emitir"); }, 10000);
	return live ? ms : -1;
}

} // namespace

TEST(PanelBench, LoopCostWithThirtyLiveDestinations)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("bench-color", 0xFF336699, 160, 90);
	PanelBed bed;
	QList<EntryConfig> entries;
	for (int e = 0; e < 10; ++e) {
		std::vector<std::pair<QString, QString>> destinations;
		for (int d = 0; d < 3; ++d) {
			destinations.emplace_back(q(server.url()), QStringLiteral("loop-%1-%2").arg(e).arg(d));
		}
		entries.append(smallEntry("bench-color", destinations));
	}
	bed.store->collections[QStringLiteral("Sin título")] = entries;
	bed.open();
	for (size_t i = 0; i < 30; ++i) {
		click(bed.row(i).button);
	}
	const bool allLive = waitUntil(
		[&] {
			for (const DestRow &row : bed.rows()) {
				if (!row.statusText().startsWith(tr("● EN EMISIÓN") + " · ")) {
					return false;
				}
			}
			return true;
		},
		60000);
	EXPECT_TRUE(allLive);
	pump(2000);

	StyleCounter styles;
	for (const DestRow &row : bed.rows()) {
		row.button->installEventFilter(&styles);
		row.status->installEventFilter(&styles);
	}
	std::vector<double> micros;
	for (int i = 0; i < 40; ++i) {
		QElapsedTimer timer;
		timer.start();
		bed.controller->tick();
		micros.push_back(double(timer.nsecsElapsed()) / 1000.0);
		pump(100);
	}
	std::printf(
		"panel loop: one timerTick + refreshStatus, 10 entries x 3 live destinations: median %.0f us, max %.0f "
		"us; style sheet writes per tick in steady state: %.2f\n",
		median(micros), *std::max_element(micros.begin(), micros.end()), double(styles.count) / 40.0);

	QElapsedTimer stopping;
	stopping.start();
	bed.controller->shutdown();
	std::printf("panel exit: 30 live outputs of 10 entries ended in %lld ms\n", stopping.elapsed());
	EXPECT_EQ(countModuleObjects().total(), 0);
}

TEST(PanelBench, ClickToLiveAndStopAll)
{
	testbed::RtmpServer server;
	server.start();
	testbed::SrtListener srt;
	srt.start();
	OBSSourceAutoRelease color = makeColor("bench-click", 0xFF993366, 160, 90);
	OBSSourceAutoRelease tone = makeTone("bench-click-tone", 440);
	OBSSceneAutoRelease scene = makeScene("Bench click", {color, tone});

	for (const auto &target : {std::make_pair("RTMP", server.url()), std::make_pair("SRT", srt.url())}) {
		PanelBed bed;
		bed.store->collections[QStringLiteral("Sin título")] = {
			smallEntry("Bench click", {{q(target.second), QString()}})};
		bed.open();
		std::vector<double> times;
		for (int i = 0; i < 5; ++i) {
			times.push_back(clickToLive(bed));
		}
		std::printf(
			"click to \"live\" shown, %s on loopback: median %.0f ms (of 5; the card is redrawn every 500 ms)\n",
			target.first, median(times));
	}

	PanelBed bed;
	QList<EntryConfig> entries;
	for (int e = 0; e < 3; ++e) {
		entries.append(smallEntry("Bench click", {{q(server.url()), QStringLiteral("all-%1").arg(e)}}));
	}
	bed.store->collections[QStringLiteral("Sin título")] = entries;
	bed.open();
	for (size_t i = 0; i < 3; ++i) {
		click(bed.row(i).button);
	}
	EXPECT_TRUE(waitUntil([&] { return bed.row(2).statusText().startsWith(tr("● EN EMISIÓN") + " · "); }, 20000));
	pump(1500);
	QElapsedTimer stopping;
	stopping.start();
	bed.controller->releaseAllEntries();
	std::printf("collection change: stop-all of 3 live entries took %lld ms\n", stopping.elapsed());
}
