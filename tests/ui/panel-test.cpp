// The panel driven as a user drives it: real clicks on its buttons and combo boxes, what its labels say, and what
// arrives at real servers.
#include "panel-bed.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"

#include "config/secret.hpp"
#include "editor/editor-rules.hpp"
#include "panel/preview.hpp"
#include "engine/live-entry.hpp"
#include "remote/remote-control.hpp"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QJsonDocument>
#include <QMessageBox>
#include <QTest>
#include <QTextDocumentFragment>

#include <unistd.h>

using namespace uitest;
using namespace obstest;

namespace {

EntryConfig entryFor(const char *source, const std::string &url, std::vector<const char *> keys)
{
	std::vector<std::pair<QString, QString>> destinations;
	for (const char *key : keys) {
		destinations.emplace_back(q(url), QString::fromUtf8(key));
	}
	return makeEntry(QString::fromUtf8(source), destinations, 320, 180);
}

// Chooses an item of a combo box the way a user does: open its list and click the item.
void chooseItem(QComboBox *combo, const QString &data)
{
	click(combo);
	ASSERT_TRUE(waitUntil([&] { return combo->view()->isVisible(); }, 2000));
	pump(400); // a list opened by a click ignores an immediate release
	const QModelIndex index = combo->model()->index(combo->findData(data), 0);
	QAbstractItemView *view = combo->view();
	view->scrollTo(index);
	const QPoint at = view->visualRect(index).center();
	QTest::mouseMove(view->viewport(), at);
	pump(50);
	QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, at);
	waitUntil([&] { return !view->isVisible(); }, 2000);
}

} // namespace

TEST(Panel, StreamsFromAClickAndStopsOneDestinationOnly)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("panel-red", 0xFF0000FF, 320, 180);
	OBSSourceAutoRelease tone = makeTone("panel-tone", 440);
	OBSSceneAutoRelease scene = makeScene("Panel A", {color, tone});

	PanelBed bed;
	// Two more entries, for "start all": one of them at an address where nothing listens.
	bed.store->collections[QStringLiteral("Sin título")] = {entryFor("Panel A", server.url(), {"one", "two"}),
								entryFor("Panel A", "rtmp://127.0.0.1:9/live", {"bad"}),
								entryFor("Panel A", server.url(), {"three"})};
	bed.open();
	ASSERT_EQ(bed.rows().size(), 4u);
	EXPECT_FALSE(bed.panel->findChild<QPushButton *>(QStringLiteral("stopAllButton"))->isVisible());
	EXPECT_EQ(bed.row(0).statusText(), tr("Parado"));
	EXPECT_EQ(bed.row(0).buttonText(), tr("▶ Emitir"));

	click(bed.row(0).button);
	EXPECT_EQ(bed.row(0).buttonText(), tr("■ Cancelar")) << "shown at once, while connecting";
	EXPECT_EQ(bed.row(0).statusText(), tr("Conectando…"));
	click(bed.row(1).button);
	ASSERT_TRUE(bed.waitForStatus(0, tr("● EN EMISIÓN") + " · ", 15000)) << bed.row(0).statusText();
	ASSERT_TRUE(bed.waitForStatus(1, tr("● EN EMISIÓN") + " · ", 15000)) << bed.row(1).statusText();
	EXPECT_TRUE(bed.row(0).statusText().contains(QStringLiteral(" Mbps")));
	EXPECT_EQ(bed.row(0).buttonText(), tr("■ Parar"));
	// The card says what its entry costs; the top row what everything live uploads.
	const QLabel *bill = bed.panel->findChild<QLabel *>(QStringLiteral("billLabel"));
	ASSERT_NE(bill, nullptr);
	EXPECT_TRUE(
		bill->text().startsWith(tr("1 codificación de vídeo · %1 %2×%3 · %4").arg("x264", "320", "180", "")))
		<< bill->text().toStdString();
	const QLabel *upload = bed.panel->findChild<QLabel *>(QStringLiteral("uploadLabel"));
	EXPECT_TRUE(upload->isVisible());
	EXPECT_TRUE(upload->text().startsWith(QStringLiteral("↑ "))) << upload->text().toStdString();
	EXPECT_TRUE(bed.row(0).button->styleSheet().contains(QStringLiteral("#b3372f")));

	// Steady state: the loop redraws twice a second without touching any style sheet.
	StyleCounter styles;
	for (const DestRow &row : bed.rows()) {
		row.button->installEventFilter(&styles);
		row.status->installEventFilter(&styles);
	}
	pump(2100);
	EXPECT_EQ(styles.count, 0);

	click(bed.row(0).button);
	ASSERT_TRUE(bed.waitForStatus(0, tr("Parado"), 10000)) << bed.row(0).statusText();
	EXPECT_EQ(bed.row(0).buttonText(), tr("▶ Emitir"));
	EXPECT_TRUE(bed.row(0).button->styleSheet().contains(QStringLiteral("#2d8a3e")));
	EXPECT_GE(styles.count, 1);
	pump(1200);
	EXPECT_TRUE(bed.row(1).statusText().startsWith(tr("● EN EMISIÓN"))) << "its sibling streams on";
	EXPECT_EQ(bed.message(), QString());

	for (const char *key : {"one", "two"}) {
		const auto streams = testbed::probeStreams(server.recordingPath(key));
		ASSERT_EQ(streams.size(), 2u) << key << " " << testbed::lastToolError();
		for (const auto &stream : streams) {
			if (stream.type == "video") {
				EXPECT_EQ(stream.codec, "h264");
				EXPECT_EQ(stream.width, 320);
			} else {
				EXPECT_EQ(stream.codec, "aac");
			}
		}
	}

	// Start all starts what does not run, each failure on its own card; stop all asks, then stops everything.
	click(bed.panel->findChild<QPushButton *>(QStringLiteral("startAllButton")));
	for (size_t i : {0, 1, 3}) {
		ASSERT_TRUE(bed.waitForStatus(i, tr("● EN EMISIÓN"), 15000)) << i << bed.row(i).statusText();
	}
	ASSERT_TRUE(bed.waitForStatus(2, QStringLiteral("⚠ "), 5000)) << bed.row(2).statusText();
	EXPECT_TRUE(bed.panel->findChild<QPushButton *>(QStringLiteral("stopAllButton"))->isVisible());
	clickInNextModal(tr("Sí, parar"));
	click(bed.panel->findChild<QPushButton *>(QStringLiteral("stopAllButton")));
	for (size_t i : {0, 1, 3}) {
		ASSERT_TRUE(bed.waitForStatus(i, tr("Parado"), 10000)) << i << bed.row(i).statusText();
	}
	EXPECT_TRUE(waitUntil(
		[&] { return !bed.panel->findChild<QPushButton *>(QStringLiteral("stopAllButton"))->isVisible(); },
		5000));
	EXPECT_FALSE(upload->isVisible());
	bed.close();
	EXPECT_EQ(countModuleObjects().total(), 0);
}

TEST(Panel, DropRecoveryMissingSourceDeleteAndSaveFailure)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease color = makeColor("panel-drop", 0xFF00FF00, 320, 180);

	PanelBed bed;
	EntryConfig live = entryFor("panel-drop", server.url(), {"drop"});
	live.nombre = QStringLiteral("Main");
	EntryConfig gone = entryFor("Gone", server.url(), {"gone"});
	bed.store->collections[QStringLiteral("Sin título")] = {live, gone};
	// What loading said stays through OBS's "finished loading" (which reads the collection again).
	const QString loadProblem = QStringLiteral("El archivo de configuración estaba dañado.");
	bed.open(loadProblem);
	bed.controller->reloadCollection();
	pump(20);
	EXPECT_EQ(bed.message(), loadProblem);

	// A source deleted in OBS: nothing starts, and the card says so, also once "Start all" has started the
	// entry that can start, and an entry with nowhere to send is passed over.
	click(bed.row(1).button);
	const QString missing = tr("«%1» ya no existe en OBS. Cámbiala con «✎ Editar» o bórrala.").arg("Gone");
	EXPECT_EQ(bed.message(), missing);
	EXPECT_EQ(bed.row(1).buttonText(), tr("▶ Emitir"));
	EXPECT_FALSE(bed.controller->isStreaming(gone.id));
	const EntryConfig empty = entryFor("panel-drop", server.url(), {});
	bed.store->collections[QStringLiteral("Sin título")].append(empty);
	bed.controller->reloadCollection();
	click(bed.panel->findChild<QPushButton *>(QStringLiteral("startAllButton")));
	ASSERT_TRUE(bed.waitForStatus(0, tr("● EN EMISIÓN"), 15000)) << bed.row(0).statusText();
	EXPECT_EQ(bed.row(1).statusText(), QStringLiteral("⚠ ") + missing);
	EXPECT_FALSE(bed.message().contains(tr("Sin destinos"))) << bed.message();
	pump(1500);
	bed.controller->stopEveryEntry();
	ASSERT_TRUE(bed.waitForStatus(0, tr("Parado"), 10000)) << bed.row(0).statusText();
	bed.store->collections[QStringLiteral("Sin título")].removeLast();
	bed.controller->reloadCollection();
	ASSERT_TRUE(waitUntil([&] { return bed.cardButton(QStringLiteral("Main"), QStringLiteral("🗑")); }, 2000));

	// It starts while its delete confirmation is open: the user is asked again, now that it streams.
	QString askedAgain;
	answerNextModal([&](QWidget *box) {
		EXPECT_EQ(static_cast<QMessageBox *>(box)->text(), tr("¿Borrar esta entrada y todos sus destinos?"));
		bed.controller->startEntry(live.id);
		answerNextModal([&](QWidget *again) {
			askedAgain = static_cast<QMessageBox *>(again)->text();
			click(findButton(again, tr("Cancelar")));
		});
		click(findButton(box, tr("Sí, borrar")));
	});
	click(bed.cardButton(QStringLiteral("Main"), QStringLiteral("🗑")));
	EXPECT_EQ(askedAgain, tr("Esta entrada está emitiendo ahora mismo. Si la borras, se detendrán sus "
				 "emisiones.\n\n¿Borrarla?"));
	EXPECT_EQ(bed.entries().size(), 2);
	ASSERT_TRUE(bed.waitForStatus(0, tr("● EN EMISIÓN") + " · ", 15000));
	pump(1500);
	LogCapture log;
	server.kill();
	const QString label = QStringLiteral("«Main» → 127.0.0.1");
	ASSERT_TRUE(waitUntil([&] { return bed.row(0).statusText().startsWith(QStringLiteral("⚠ ")); }, 10000));
	EXPECT_EQ(bed.message(), tr("⚠ Corte en %1. Reconectando automáticamente…").arg(label));
	EXPECT_EQ(bed.row(0).buttonText(), tr("■ Parar"));
	server.restart();
	ASSERT_TRUE(bed.waitForStatus(0, tr("● EN EMISIÓN"), 30000)) << bed.row(0).statusText();
	const int outage = bed.controller->liveEntry(live.id)->destinationStatus(live.destinos[0].id).lastOutageSeconds;
	EXPECT_GE(outage, 1);
	EXPECT_EQ(bed.message(), tr("✔ %1 recuperado tras %2 s de corte.").arg(label).arg(outage));
	EXPECT_TRUE(log.contains("[tallowmere] " + label.toStdString() + " recovered after ")) << log.joined();
	EXPECT_TRUE(waitUntil([&] { return bed.row(0).statusText().contains(QStringLiteral(" (")); }, 2000))
		<< "the outage is counted on the line: " << bed.row(0).statusText().toStdString();

	// Without a dock, the entry is supervised, announced and logged all the same.
	bed.panel.reset();
	QStringList announced;
	QObject::connect(bed.controller.get(), &EntryController::announced,
			 [&](const QString &text, bool) { announced.append(text); });
	LogCapture docklessLog;
	const auto state = [&] {
		return bed.controller->liveEntry(live.id)->destinationStatus(live.destinos[0].id).state;
	};
	server.kill();
	ASSERT_TRUE(waitUntil([&] { return state() == DestState::Reconnecting; }, 10000));
	server.restart();
	ASSERT_TRUE(waitUntil([&] { return state() == DestState::Live; }, 30000));
	waitUntil([&] { return docklessLog.contains("[tallowmere] " + label.toStdString() + " recovered after "); },
		  5000);
	EXPECT_TRUE(docklessLog.contains("[tallowmere] " +
					 tr("⚠ Corte en %1. Reconectando automáticamente…").arg(label).toStdString()))
		<< docklessLog.joined();
	EXPECT_TRUE(docklessLog.contains("[tallowmere] " + label.toStdString() + " recovered after "))
		<< docklessLog.joined();
	const int again = bed.controller->liveEntry(live.id)->destinationStatus(live.destinos[0].id).lastOutageSeconds;
	EXPECT_EQ(announced.join(QLatin1Char('|')),
		  tr("⚠ Corte en %1. Reconectando automáticamente…").arg(label) + "|" +
			  tr("✔ %1 recuperado tras %2 s de corte.").arg(label).arg(again));
	bed.open();

	// Deleting the streaming entry removes its card at once; its output ends in the background.
	clickInNextModal(tr("Sí, borrar"));
	click(bed.cardButton(QStringLiteral("Main"), QStringLiteral("🗑")));
	pump(20);
	EXPECT_EQ(bed.rows().size(), 1u);
	EXPECT_EQ(bed.controller->retiringCount(), 1u);
	EXPECT_TRUE(waitUntil([&] { return bed.controller->retiringCount() == 0; }, 10000));
	EXPECT_EQ(countModuleObjects().total(), 0);
	EXPECT_EQ(bed.entries().size(), 1);
	EXPECT_FALSE(
		bed.message().contains(tr(" Los cambios siguen funcionando, pero no se recordarán al cerrar OBS.")))
		<< "saved";

	// A folder where the settings file should be: the change stays, and the user is told it will not last.
	QFile::remove(bed.store->path);
	ASSERT_TRUE(QDir().mkpath(bed.store->path));
	clickInNextModal(tr("Sí, borrar"));
	click(bed.cardButton(tr("🎥 Fuente: ") + "Gone", QStringLiteral("🗑")));
	pump(20);
	EXPECT_TRUE(bed.entries().isEmpty());
	EXPECT_TRUE(bed.message().endsWith(tr(" Los cambios siguen funcionando, pero no se recordarán al cerrar OBS.")))
		<< bed.message();
	EXPECT_TRUE(
		labelTexts(bed.panel.get())
			.contains(
				tr("Aún no hay entradas.\n\nPulsa «＋ Añadir entrada», elige una escena o una fuente y "
				   "escribe los destinos a los que quieres enviarla (RTMP o SRT).")));
}

TEST(Panel, FollowsObsScenesSwitchesByHandAndPreviews)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease red = makeColor("follow-red", 0xFF0000FF, 320, 180);
	OBSSourceAutoRelease green = makeColor("follow-green", 0xFF00FF00, 320, 180);
	OBSSceneAutoRelease camA = makeScene("Cam A", {red});
	OBSSceneAutoRelease wide = makeScene("Wide", {green});
	OBSSceneAutoRelease other = makeScene("Other", {red});
	OBSSceneAutoRelease broken = makeScene("Broken", {green});
	frontend::setScenes({"Cam A", "Wide", "Other", "Broken"});
	frontend::setCurrentScene("Cam A");

	PanelBed bed;
	EntryConfig follower = entryFor("", server.url(), {"follow"});
	follower.seguirObs = true;
	follower.equivalencias.insert(QStringLiteral("Cam A"), QStringLiteral("Wide"));
	follower.equivalencias.insert(QStringLiteral("Broken"), QStringLiteral("Deleted scene"));
	EntryConfig fixed = entryFor("Other", server.url(), {"fixed"});
	bed.store->collections[QStringLiteral("Sin título")] = {follower, fixed};
	bed.open();
	auto *selector = bed.panel->findChild<QComboBox *>();
	ASSERT_NE(selector, nullptr);
	EXPECT_FALSE(selector->isVisible()) << "only while streaming";

	// Not streaming: a preview switched on shows nothing and costs no display.
	QAbstractButton *eye = bed.cardButton(tr("↪ Sigue la escena de OBS"), QStringLiteral("👁"));
	ASSERT_NE(eye, nullptr);
	click(eye);
	auto previews = bed.panel->findChildren<PreviewWidget *>();
	ASSERT_EQ(previews.size(), 2);
	EXPECT_FALSE(previews[0]->isVisible());

	click(bed.row(0).button);
	click(bed.row(1).button);
	ASSERT_TRUE(bed.waitForStatus(0, tr("● EN EMISIÓN") + " · ", 15000));
	ASSERT_TRUE(bed.waitForStatus(1, tr("● EN EMISIÓN") + " · ", 15000));
	LiveEntry *live = bed.controller->liveEntry(follower.id);
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Wide")) << "started on the equivalent of OBS's scene";
	EXPECT_TRUE(selector->isVisible());
	EXPECT_EQ(selector->currentData().toString(), QStringLiteral("Wide"));

	// The preview: a display while wanted and streaming, none once switched off or while the panel is hidden.
	ASSERT_TRUE(waitUntil([&] { return previews[0]->isVisible(); }, 2000));
	EXPECT_NE(live->pipelineHandle()->display, nullptr);
	click(eye);
	EXPECT_FALSE(previews[0]->isVisible());
	EXPECT_EQ(live->pipelineHandle()->display, nullptr);
	click(eye);
	EXPECT_NE(live->pipelineHandle()->display, nullptr);
	bed.panel->hide();
	EXPECT_TRUE(waitUntil([&] { return live->pipelineHandle()->display == nullptr; }, 3000))
		<< "a hidden panel keeps no display";
	bed.panel->show();
	activate(bed.panel.get());
	ASSERT_TRUE(waitUntil([&] { return live->pipelineHandle()->display != nullptr; }, 2000));

	// OBS's scene changes: a scene that is no key is sent as it is, one switch and one log line per change.
	LogCapture log;
	frontend::setCurrentScene("Other");
	bed.controller->followObsScene();
	bed.controller->followObsScene();
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Other"));
	EXPECT_EQ(log.count("an entry follows OBS: switching to \"Other\""), 1);
	EXPECT_EQ(bed.controller->liveEntry(fixed.id)->currentSourceName(), QStringLiteral("Other"));
	frontend::setCurrentScene("Cam A");
	bed.controller->followObsScene();
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Wide"));
	frontend::setCurrentScene("Broken");
	bed.controller->followObsScene();
	EXPECT_EQ(bed.message(),
		  tr("La escena «%1» no existe en OBS; la entrada sigue con la anterior.").arg("Deleted scene"));
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Wide"));

	// By hand, through "Sending now:"; a refresh never changes the box under the user's focus.
	chooseItem(selector, QStringLiteral("follow-red"));
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("follow-red"));
	ASSERT_TRUE(selector->hasFocus());
	frontend::setCurrentScene("Other");
	bed.controller->followObsScene();
	pump(1100);
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Other"));
	EXPECT_EQ(selector->currentData().toString(), QStringLiteral("follow-red"));
	selector->clearFocus();
	EXPECT_TRUE(waitUntil([&] { return selector->currentData().toString() == QStringLiteral("Other"); }, 3000));

	// OBS's scenes change while streaming: the list follows, names each scene once (as the frontend may not), and
	// always shows what the entry sends.
	const auto shownOnce = [&](const QString &text) {
		const bool current = waitUntil([&] { return selector->currentText() == text; }, 2000);
		int times = 0;
		for (int i = 0; i < selector->count(); ++i) {
			times += selector->itemText(i) == text ? 1 : 0;
		}
		return current && times == 1;
	};
	OBSSceneAutoRelease late = makeScene("Late", {green});
	frontend::setScenes({"Cam A", "Wide", "Other", "Broken", "Late", "Late"});
	frontend::setCurrentScene("Late");
	bed.controller->followObsScene();
	EXPECT_TRUE(shownOnce(QStringLiteral("🎬 Late"))) << selector->currentText();
	obs_source_set_name(obs_scene_get_source(late), "Late renamed");
	frontend::setScenes({"Cam A", "Wide", "Other", "Broken", "Late renamed"});
	EXPECT_TRUE(shownOnce(QStringLiteral("🎬 Late renamed"))) << selector->currentText();
	pump(1100);
	EXPECT_TRUE(live->isRunning()) << "a renamed source streams on through the ticks";
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Late renamed"));
	obs_source_remove(obs_scene_get_source(broken));
	obs_source_remove(obs_scene_get_source(late));
	EXPECT_TRUE(shownOnce(missingNameText(QStringLiteral("Late renamed")))) << selector->currentText();
	EXPECT_EQ(selector->findData(QStringLiteral("Broken")), -1);
	EXPECT_EQ(live->currentSourceName(), QStringLiteral("Late renamed"));
	frontend::setCurrentScene("Other");
	bed.controller->followObsScene();
	EXPECT_TRUE(shownOnce(QStringLiteral("🎬 Other")));
	EXPECT_EQ(selector->findData(QStringLiteral("Late renamed")), -1) << "gone once it is no longer sent";

	// A fixed entry's source renamed in OBS: it streams on, and the entry names it as OBS does now.
	obs_source_set_name(obs_scene_get_source(other), "Other renamed");
	EXPECT_TRUE(waitUntil([&] { return bed.entries()[1].fuente == QStringLiteral("Other renamed"); }, 2000));
	pump(1100);
	EXPECT_NE(testbed::readFile(bed.store->path.toStdString()).find("\"Other renamed\""), std::string::npos);
	EXPECT_EQ(bed.controller->liveEntry(fixed.id)->currentSourceName(), QStringLiteral("Other renamed"));

	// No switch ever cut a stream.
	for (size_t i = 0; i < 2; ++i) {
		EXPECT_TRUE(bed.row(i).statusText().startsWith(tr("● EN EMISIÓN"))) << bed.row(i).statusText();
		EXPECT_FALSE(bed.row(i).statusText().contains(tr(" · %1 corte%2%3").left(5)));
	}
	EXPECT_EQ(live->destinationStatus(follower.destinos[0].id).drops, 0);

	// A collection change stops everything, bounded; the new collection's cards are all stopped; and back.
	const auto changing = std::chrono::steady_clock::now();
	bed.controller->beginCollectionChange();
	const double stopped = secondsSince(changing);
	EXPECT_LT(stopped, 12.0);
	EXPECT_EQ(countModuleObjects().total(), 0);
	// Until OBS has changed collection, nothing starts and no source is taken.
	EXPECT_FALSE(bed.controller->startEntry(fixed.id));
	EXPECT_EQ(bed.message(), tr("OBS está cambiando de colección de escenas."));
	EXPECT_EQ(countModuleObjects().total(), 0);
	frontend::setCollection("Second");
	bed.store->collections[QStringLiteral("Second")] = {entryFor("Other", server.url(), {"second"})};
	bed.controller->reloadCollection();
	pump(20);
	ASSERT_EQ(bed.rows().size(), 1u);
	EXPECT_EQ(bed.row(0).statusText(), tr("Parado"));
	bed.controller->releaseAllEntries();
	frontend::setCollection("Sin título");
	bed.controller->reloadCollection();
	pump(20);
	ASSERT_EQ(bed.rows().size(), 2u);
	EXPECT_EQ(bed.row(0).statusText(), tr("Parado"));
	EXPECT_EQ(bed.row(0).buttonText(), tr("▶ Emitir"));
	EXPECT_TRUE(bed.cardButton(tr("↪ Sigue la escena de OBS"), QStringLiteral("👁"))->isChecked())
		<< "the preview choice survives";

	// After exit, OBS's events do nothing.
	bed.controller->shutdown();
	frontend::setCurrentScene("Cam A");
	bed.controller->followObsScene();
	bed.controller->reloadCollection();
	pump(20);
	EXPECT_EQ(bed.rows().size(), 2u);
	frontend::setScenes({});
	frontend::setCurrentScene("");
}

TEST(Panel, NamesShowAsTypedAndKeysSavedReadableAreReportedOnce)
{
	PanelBed bed;
	const std::string keys = bed.dir.file("keys");
	setenv("XDG_DATA_HOME", keys.c_str(), 1);
	ASSERT_TRUE(protectSecret(QStringLiteral("x")).startsWith(QStringLiteral("dpapi:")));
	const QString keyFile = QString::fromStdString(keys + "/tallowmere/secret.key");
	ASSERT_EQ(chown(keyFile.toUtf8().constData(), 65534, 65534), 0) << "a key file left by another user";
	QList<EntryConfig> entries;
	for (const char *key : {"clear-key-1", "clear-key-2", "clear-key-3", "clear-key-4"}) {
		entries.append(entryFor("<img src=x>", "rtmp://127.0.0.1:9/live", {key}));
		entries.last().nombre = QStringLiteral("<b>%1</b>").arg(entries.size());
	}
	bed.store->collections[QStringLiteral("Sin título")] = entries;
	LogCapture log;
	bed.open();

	// Names and a missing source's name in the message are shown as they are, never as markup.
	click(bed.row(0).button);
	int marked = 0;
	for (QLabel *label : bed.panel->findChildren<QLabel *>()) {
		if (label->isVisible() && label->text().contains(QLatin1Char('<'))) {
			EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text();
			++marked;
		}
	}
	EXPECT_EQ(marked, 6) << "four titles, the message and the card's line";
	ElidedLabel *title = bed.panel->findChild<ElidedLabel *>();
	EXPECT_EQ(QTextDocumentFragment::fromHtml(title->toolTip()).toPlainText(), QStringLiteral("<img src=x>"));

	// Every save goes on writing the keys, readable; the dock says so once, and the log once, without the key.
	const QString warning =
		tr("⚠ Las claves de emisión no se pudieron proteger y se guardan legibles en el archivo "
		   "de configuración: %1. Archivo de claves: «%2».")
			.arg(tr("el archivo de claves pertenece a otro usuario"), keyFile);
	const auto remove = [&](int entry) {
		answerNextModal([&](QWidget *box) {
			EXPECT_EQ(static_cast<QMessageBox *>(box)->textFormat(), Qt::PlainText);
			click(findButton(box, tr("Sí, borrar")));
		});
		click(bed.cardButton(entries[entry].nombre, QStringLiteral("🗑")));
		pump(20);
		return testbed::readFile(bed.store->path.toStdString()).find("clear-key-4") != std::string::npos;
	};
	EXPECT_TRUE(remove(0));
	EXPECT_TRUE(labelTexts(bed.panel.get()).contains(warning));
	EXPECT_TRUE(remove(1));
	EXPECT_EQ(log.count("stream keys could not be protected (the key file belongs to another user; key file: " +
			    keyFile.toStdString() + ")"),
		  1)
		<< log.joined();
	EXPECT_FALSE(log.contains("clear-key"));

	// Mended: the next save protects the keys, and the warning goes.
	ASSERT_EQ(chown(keyFile.toUtf8().constData(), geteuid(), getegid()), 0);
	EXPECT_FALSE(remove(2));
	EXPECT_FALSE(labelTexts(bed.panel.get()).contains(warning));
	unsetenv("XDG_DATA_HOME");
}

namespace {

// A registered hotkey by name: its id (OBS_INVALID_HOTKEY_ID when there is none) and description.
std::pair<obs_hotkey_id, std::string> hotkey(const std::string &name)
{
	std::tuple<std::string, obs_hotkey_id, std::string> found{name, OBS_INVALID_HOTKEY_ID, ""};
	obs_enum_hotkeys(
		[](void *data, obs_hotkey_id id, obs_hotkey_t *key) {
			auto &[wanted, foundId, description] = *static_cast<decltype(found) *>(data);
			if (wanted == obs_hotkey_get_name(key)) {
				foundId = id;
				description = obs_hotkey_get_description(key);
			}
			return true;
		},
		&found);
	return {std::get<1>(found), std::get<2>(found)};
}

} // namespace

TEST(Panel, HotkeysFollowTheCollectionAndKeepTheirBindingsInTheSettingsFile)
{
	PanelBed bed;
	EntryConfig entry = entryFor("Nowhere", "rtmp://127.0.0.1:9/live", {"k"});
	entry.id = QStringLiteral("e-hot");
	entry.nombre = QStringLiteral("Main");
	entry.atajos.insert(QStringLiteral("parar"), QStringLiteral(R"([{"key":"OBS_KEY_F8"}])"));
	bed.store->collections[QStringLiteral("Sin título")] = {entry};
	bed.open();
	EXPECT_EQ(hotkey("tallowmere-parar-e-hot").second, tr("Quorvex Source: parar «%1»").arg("Main").toStdString());
	ASSERT_NE(hotkey("tallowmere-parar-todo").first, OBS_INVALID_HOTKEY_ID);
	OBSDataArrayAutoRelease restored = obs_hotkey_save(hotkey("tallowmere-parar-e-hot").first);
	ASSERT_EQ(obs_data_array_count(restored), 1u);

	// A binding changed in OBS's settings reaches the settings file, with the entry.
	obs_key_combination_t combination = {INTERACT_SHIFT_KEY, OBS_KEY_F5};
	obs_hotkey_load_bindings(hotkey("tallowmere-emitir-e-hot").first, &combination, 1);
	const QString path = QString::fromStdString(bed.dir.file("salidas.json"));
	ASSERT_TRUE(waitUntil(
		[&] { return testbed::readFile(path.toStdString()).find("OBS_KEY_F5") != std::string::npos; }, 2000));
	ConfigStore saved(path);
	ASSERT_TRUE(saved.load(nullptr));
	const EntryConfig &stored = saved.collections[QStringLiteral("Sin título")][0];
	EXPECT_EQ(stored.atajos.value(QStringLiteral("emitir")),
		  QStringLiteral(R"([{"key":"OBS_KEY_F5","shift":true}])"));
	EXPECT_EQ(stored.atajos.value(QStringLiteral("parar")), QStringLiteral(R"([{"key":"OBS_KEY_F8"}])"));

	// Another collection's entries have their own; back again, the changed binding is restored.
	frontend::setCollection("Second");
	bed.controller->reloadCollection();
	EXPECT_EQ(hotkey("tallowmere-emitir-e-hot").first, OBS_INVALID_HOTKEY_ID);
	EXPECT_NE(hotkey("tallowmere-parar-todo").first, OBS_INVALID_HOTKEY_ID);
	frontend::setCollection("Sin título");
	bed.controller->reloadCollection();
	restored = obs_hotkey_save(hotkey("tallowmere-emitir-e-hot").first);
	EXPECT_EQ(obs_data_array_count(restored), 1u);
	bed.close();
	EXPECT_EQ(hotkey("tallowmere-parar-todo").first, OBS_INVALID_HOTKEY_ID) << "none outlives the controller";
}
