// What the cards say, without widgets: status lines, transition messages, addresses, labels and the dock rule.
#include "control/status-text.hpp"
#include "config/config-store.hpp"
#include "panel/preview.hpp"
#include "module/dock-state.hpp"

#include "common/qt-print.hpp"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDataStream>

namespace {

DestStatus status(DestState state, int kbps = -1, int framesDropped = 0, int drops = 0, int lastOutage = -1)
{
	DestStatus s;
	s.state = state;
	s.kbps = kbps;
	s.framesDropped = framesDropped;
	s.drops = drops;
	s.lastOutageSeconds = lastOutage;
	return s;
}

} // namespace

TEST(PanelText, RecordingLineLiveTimeAndCongestionMark)
{
	DestStatus recording = status(DestState::Live);
	recording.recording = true;
	recording.liveSeconds = 754;
	recording.bytes = 1234567890;
	EXPECT_EQ(statusLine(recording).text, QStringLiteral("● REC · 12:34 · 1.2 GB"));
	EXPECT_TRUE(liveMark(recording).text.isEmpty()) << "a file has no congestion";
	// A live stream that sends nothing says so from ten seconds on.
	DestStatus silent = status(DestState::Live, 0);
	silent.silentSeconds = 9;
	EXPECT_TRUE(statusLine(silent).text.startsWith(QStringLiteral("● ")));
	silent.silentSeconds = 12;
	EXPECT_TRUE(
		statusLine(silent).text.startsWith(QStringLiteral("⚠ En emisión, pero no envía nada desde hace 12 s:")))
		<< statusLine(silent).text.toStdString();
	EXPECT_EQ(clockText(3723), QStringLiteral("1:02:03"));
	EXPECT_EQ(clockText(59), QStringLiteral("0:59"));
	EXPECT_EQ(sizeText(850400), QStringLiteral("850 KB"));
	EXPECT_EQ(sizeText(12345678), QStringLiteral("12.3 MB"));

	DestStatus stream = status(DestState::Live, 2000, 7);
	stream.liveSeconds = 65;
	stream.congestion = 0.7f;
	const LiveMark red = liveMark(stream);
	EXPECT_EQ(red.text, QStringLiteral("● 1:05"));
	EXPECT_EQ(red.styleSheet, QStringLiteral("color: #e0524d;"));
	EXPECT_EQ(red.toolTip, QStringLiteral("Congestión 70 % · 7 fotogramas perdidos"));
	stream.congestion = 0.3f;
	EXPECT_EQ(liveMark(stream).styleSheet, QStringLiteral("color: #e0c030;"));
	stream.congestion = 0.0f;
	EXPECT_EQ(liveMark(stream).styleSheet, QStringLiteral("color: #3fb950;"));
	EXPECT_TRUE(liveMark(status(DestState::Reconnecting)).text.isEmpty());
}

TEST(PanelText, StatusLines)
{
	struct Case {
		DestStatus status;
		const char *text;
		const char *style;
	};
	DestStatus reconnecting = status(DestState::Reconnecting);
	reconnecting.outageSeconds = 12;
	reconnecting.attempts = 3;
	DestStatus failed = status(DestState::Failed);
	DestStatus failedWithText = failed;
	failedWithText.message = QStringLiteral("Sin conexión.");
	const char *live = "color: #3fb950; font-weight: bold;";
	const Case cases[] = {
		{status(DestState::Idle), "Parado", ""},
		{status(DestState(9)), "Parado", ""},
		{status(DestState::Connecting), "Conectando…", "color: #e0a030;"},
		{status(DestState::Live), "● EN EMISIÓN", live},
		{status(DestState::Live, 2999), "● EN EMISIÓN · 3.0 Mbps", live},
		{status(DestState::Live, 0, 5), "● EN EMISIÓN · 0.0 Mbps · 5 fotogramas perdidos", live},
		{status(DestState::Live, 4523, 0, 1, 4), "● EN EMISIÓN · 4.5 Mbps · 1 corte (4 s)", live},
		{status(DestState::Live, -1, 0, 3, -1), "● EN EMISIÓN · 3 cortes", live},
		{status(DestState::Live, -1, 0, 2, 0), "● EN EMISIÓN · 2 cortes (0 s)", live},
		{reconnecting, "⚠ Cortado 12 s · intento 3", "color: #e0a030; font-weight: bold;"},
		{failed, "⚠ Error", "color: #e0524d;"},
		{failedWithText, "⚠ Sin conexión.", "color: #e0524d;"},
	};
	for (const auto &c : cases) {
		const StatusLine line = statusLine(c.status);
		EXPECT_EQ(line.text, QString::fromUtf8(c.text));
		EXPECT_EQ(line.styleSheet, QString::fromUtf8(c.style));
	}
	EXPECT_EQ(streamButtonText(false, DestState::Failed), QStringLiteral("▶ Emitir"));
	EXPECT_EQ(streamButtonText(true, DestState::Connecting), QStringLiteral("■ Cancelar"));
	EXPECT_EQ(streamButtonText(true, DestState::Reconnecting), QStringLiteral("■ Parar"));
	EXPECT_TRUE(streamButtonStyle(true).contains(QStringLiteral("#b3372f")));
	EXPECT_TRUE(streamButtonStyle(false).contains(QStringLiteral("#2d8a3e")));
}

TEST(PanelText, TransitionsAndLabels)
{
	const QString label = QStringLiteral("«Main» → a.example");
	struct Case {
		DestState previous;
		DestStatus now;
		const char *text;
		bool isError;
	};
	const Case cases[] = {
		{DestState::Live, status(DestState::Reconnecting),
		 "⚠ Corte en «Main» → a.example. Reconectando automáticamente…", true},
		{DestState::Reconnecting, status(DestState::Live, -1, 0, 1, 7),
		 "✔ «Main» → a.example recuperado tras 7 s de corte.", false},
		{DestState::Reconnecting, status(DestState::Live), "✔ «Main» → a.example recuperado tras 0 s de corte.",
		 false},
		{DestState::Reconnecting, status(DestState::Failed),
		 "⛔ Se perdió definitivamente «Main» → a.example: no se pudo reconectar. Pulsa «▶ Emitir» para reintentar.",
		 true},
		{DestState::Connecting, status(DestState::Failed), "", false},
		{DestState::Idle, status(DestState::Live), "", false},
		{DestState::Live, status(DestState::Idle), "", false},
	};
	for (const auto &c : cases) {
		const TransitionMessage message = transitionMessage(c.previous, c.now, label);
		EXPECT_EQ(message.text, QString::fromUtf8(c.text));
		EXPECT_EQ(message.isError, c.isError);
	}
	DestStatus back;
	back.state = DestState::Live;
	back.lastOutageSeconds = 7;
	EXPECT_EQ(transitionMessage(DestState::Reconnecting, back, QStringLiteral("«50%1 off» → h")).text,
		  QStringLiteral("✔ «50%1 off» → h recuperado tras 7 s de corte."))
		<< "a name's own placeholder is left alone";

	EXPECT_EQ(displayAddress(QStringLiteral("  srt://host:9000?latency=200&passphrase=x ")),
		  QStringLiteral("srt://host:9000?…"));
	EXPECT_EQ(displayAddress(QStringLiteral(" rtmp://h/live ")), QStringLiteral("rtmp://h/live"));

	EntryConfig entry;
	EXPECT_EQ(destinationLabel(entry, QStringLiteral("rtmp://[::1]:1935/live")), QStringLiteral("«entrada» → ::1"));
	entry.fuente = QStringLiteral("Cam");
	EXPECT_EQ(destinationLabel(entry, QStringLiteral(" srt://ingest.example:9000?streamid=k ")),
		  QStringLiteral("«Cam» → ingest.example"));
	entry.nombre = QStringLiteral("Main");
	EXPECT_EQ(destinationLabel(entry, QStringLiteral("not an address?key=1")),
		  QStringLiteral("«Main» → not an address?…"));

	// What an entry costs, and what the dock says everything uploads: recordings and what is not live count
	// nothing.
	EXPECT_EQ(encodeBill(QStringLiteral("x264"), 1280, 720, 4000),
		  QStringLiteral("1 codificación de vídeo · x264 1280×720 · 4.0 Mbps"));
	EXPECT_EQ(rateText(850), QStringLiteral("850 kbps"));
	DestStatus streaming = status(DestState::Live);
	streaming.kbps = 4100;
	DestStatus recorded = streaming;
	recorded.recording = true;
	DestStatus reconnecting = status(DestState::Reconnecting);
	reconnecting.kbps = 900;
	EXPECT_EQ(uploadText(uploadKbps({streaming, recorded, reconnecting, streaming})), QStringLiteral("↑ 8.2 Mbps"));

	EXPECT_EQ(sourceLabelFor(QStringLiteral("Wide"), true), QStringLiteral("🎬 Escena: Wide"));
	EXPECT_EQ(sourceLabelFor(QStringLiteral("Cam"), false), QStringLiteral("🎥 Fuente: Cam"));
}

TEST(PanelText, PreviewRectangleKeepsTheShapeCentred)
{
	const PreviewRect wide = previewRect(1920, 1080, 400, 130);
	EXPECT_EQ(wide.x, 85);
	EXPECT_EQ(wide.y, 0);
	EXPECT_EQ(wide.width, 231);
	EXPECT_EQ(wide.height, 130);
	const PreviewRect tall = previewRect(1080, 1920, 400, 130);
	EXPECT_EQ(tall.x, 164);
	EXPECT_EQ(tall.y, 0);
	EXPECT_EQ(tall.width, 73);
	EXPECT_EQ(tall.height, 130);
	EXPECT_EQ(previewRect(0, 1080, 400, 130).width, 0);
}

TEST(PanelText, DockStateNamesTheDock)
{
	// What QMainWindow::saveState writes for a dock: its object name as a QString in a data stream.
	QByteArray state;
	QDataStream stream(&state, QIODevice::WriteOnly);
	stream << quint32(0xff) << QStringLiteral("tallowmere-panel") << quint8(1);
	EXPECT_TRUE(dockStateKnows(state.toBase64(), QStringLiteral("tallowmere-panel")));
	EXPECT_FALSE(dockStateKnows(state.toBase64(), QStringLiteral("other-dock")));
	EXPECT_FALSE(dockStateKnows(QByteArray(), QStringLiteral("tallowmere-panel")));
}
