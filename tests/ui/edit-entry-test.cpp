// Entries added and edited from the panel through the entry dialog, and edits reaching a running stream.
#include "editor-bed.hpp"
#include "panel-bed.hpp"
#include "common/log-capture.hpp"
#include "common/qt-print.hpp"

#include "editor/dest-row.hpp"
#include "editor/encoder-form.hpp"
#include "editor/entry-dialog.hpp"
#include "engine/live-entry.hpp"
#include "remote/remote-control.hpp"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

using namespace uitest;
using namespace obstest;

namespace {

const char unopenable[] = "dpapi:bm90IGEgYmxvY2s=";

// Answers the next entry dialog: brings it to the front and lets the user work on it.
void inNextDialog(const std::function<void(EntryDialog &)> &work)
{
	answerNextModal([work](QWidget *modal) {
		auto *dialog = qobject_cast<EntryDialog *>(modal);
		ASSERT_NE(dialog, nullptr);
		dialog->activateWindow();
		EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
		work(*dialog);
	});
}

void chooseAdvanced(EntryDialog &dialog, const char *property, const QString &text)
{
	if (!named<EncoderForm>(&dialog, "encoderForm")->isVisible()) {
		click(named<QToolButton>(&dialog, "advancedToggle"));
	}
	for (const PropertyRow &row : named<EncoderForm>(&dialog, "encoderForm")->propertyRows()) {
		if (row.name == property) {
			chooseItem(static_cast<QComboBox *>(row.editor), text);
			return;
		}
	}
	ADD_FAILURE() << "no property " << property;
}

// The rate at which the server's recording grows, in kbit/s, checking that the stream stays live meanwhile.
int serverKbps(PanelBed &bed, const std::string &recording, int ms)
{
	const long long before = testbed::fileSize(recording);
	for (int waited = 0; waited < ms; waited += 250) {
		pump(250);
		EXPECT_TRUE(bed.row(0).statusText().startsWith(tr("● EN EMISIÓN"))) << bed.row(0).statusText();
	}
	return int((testbed::fileSize(recording) - before) * 8 / ms);
}

} // namespace

TEST(PanelEdit, AddedEntryStreamsTakesANewBitrateLiveAndStopsMeanwhile)
{
	testbed::RtmpServer server;
	server.start();
	OBSSourceAutoRelease noise = makeMedia("edit-noise", noiseFile());
	PanelBed bed;
	bed.open();
	const QString pasted = QStringLiteral("rtmp://usr:pwd@") + q(server.url()).mid(7);
	testbed::TempDir folder("tallowmere-recorded-");

	inNextDialog([&](EntryDialog &dialog) {
		chooseItem(named<QComboBox>(&dialog, "sourceCombo"), tr("🎥 Fuente: ") + "edit-noise");
		typeInto(named<QLineEdit>(&dialog, "nameField"), QStringLiteral(" Added "));
		auto *encoders = named<QComboBox>(&dialog, "encoderCombo");
		chooseItem(encoders, encoders->itemText(encoders->findData(QStringLiteral("obs_x264"))));
		typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 300);
		// The whole ingest address pasted, with a user name and password, and the key at its end.
		DestRowWidget *row = dialog.findChild<DestRowWidget *>();
		typeInto(named<QLineEdit>(row, "destAddress"), pasted + QStringLiteral("/secret-key"));
		EXPECT_EQ(named<QLabel>(row, "destType")->text(),
			  tr("Tipo detectado: RTMP · la última parte de la dirección se usará como clave de emisión"));
		// And a recording beside it.
		click(named<QPushButton>(&dialog, "addDestButton"));
		DestRowWidget *recording = dialog.findChildren<DestRowWidget *>().last();
		chooseItem(named<QComboBox>(recording, "destTemplate"), tr("Grabación en un archivo"));
		EXPECT_FALSE(named<QLineEdit>(recording, "destAddress")->isVisible());
		typeInto(named<QLineEdit>(recording, "recFolder"), q(folder.path()));
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	LogCapture log;
	click(findButton(bed.panel.get(), tr("＋ Añadir entrada")));
	pump(50);
	ASSERT_EQ(bed.entries().size(), 1);
	const EntryConfig added = bed.entries()[0];
	EXPECT_EQ(added.fuente, QStringLiteral("edit-noise"));
	EXPECT_EQ(added.nombre, QStringLiteral("Added"));
	EXPECT_EQ(added.codificador, QStringLiteral("obs_x264"));
	ASSERT_EQ(added.destinos.size(), 2);
	EXPECT_TRUE(added.destinos[1].grabacion);
	EXPECT_EQ(added.destinos[0].clave, QStringLiteral("secret-key"));
	EXPECT_EQ(added.destinos[0].url, pasted);
	ASSERT_NE(bed.cardButton(QStringLiteral("Added"), tr("✎ Editar")), nullptr) << "its card";
	const std::string file = testbed::readFile(bed.store->path.toStdString());
	EXPECT_NE(file.find("\"Added\""), std::string::npos);
	EXPECT_NE(file.find("\"clave\": \"dpapi:"), std::string::npos) << file;
	EXPECT_EQ(file.find("secret-key"), std::string::npos) << "the key is stored protected";
	EXPECT_EQ(file.find("pwd"), std::string::npos) << "and so is the address with its password";
	EXPECT_TRUE(labelTexts(bed.panel.get()).contains(QStringLiteral("rtmp://…@") + q(server.url()).mid(7)));

	click(bed.row(0).button);
	ASSERT_TRUE(bed.waitForStatus(0, tr("● EN EMISIÓN") + " · ", 15000)) << bed.row(0).statusText();
	click(bed.row(1).button);
	ASSERT_TRUE(bed.waitForStatus(1, QStringLiteral("● REC · 0:0"), 10000)) << bed.row(1).statusText();
	EXPECT_TRUE(bed.row(1).status->toolTip().contains(q(folder.path()) + QLatin1Char('/')))
		<< "the card names the file: " << bed.row(1).status->toolTip().toStdString();
	pump(2000);
	click(bed.row(1).button);
	ASSERT_TRUE(bed.waitForStatus(1, tr("Parado"), 5000)) << bed.row(1).statusText();
	const QStringList files = QDir(q(folder.path())).entryList(QDir::Files);
	ASSERT_EQ(files.size(), 1);
	EXPECT_EQ(testbed::probeStreams(folder.file(files[0].toStdString())).size(), 2u) << testbed::lastToolError();
	const std::string recording = server.recordingPath("secret-key");
	const int low = serverKbps(bed, recording, 3000);

	// A streaming entry: only the bitrate changes, and the running encoder takes it.
	inNextDialog([&](EntryDialog &dialog) {
		EXPECT_FALSE(named<QComboBox>(&dialog, "encoderCombo")->isEnabled());
		typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 1500);
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	click(bed.cardButton(QStringLiteral("Added"), tr("✎ Editar")));
	pump(50);
	EXPECT_EQ(bed.message(),
		  tr("Cambios guardados. Se aplican a la emisión en marcha lo que admite el codificador; "
		     "el resto, al volver a emitir."));
	pump(2000);
	const int high = serverKbps(bed, recording, 3000);
	std::printf("send rate measured at the server: %d kbps at 300 kbps, %d kbps after the edit to 1500 kbps\n", low,
		    high);
	const QByteArray remote =
		QJsonDocument(RemoteControl::run(bed.controller.get(), QStringLiteral("GetEntries"), QJsonObject()))
			.toJson();
	for (const char *secret : {"pwd", "secret-key"}) {
		EXPECT_FALSE(remote.contains(secret)) << remote.toStdString();
		for (const std::string &line : log.lines()) {
			EXPECT_TRUE(line.find("[tallowmere]") == std::string::npos ||
				    line.find(secret) == std::string::npos)
				<< line;
		}
	}
	EXPECT_GT(low, 150);
	EXPECT_LT(low, 600);
	EXPECT_GT(high, 1000);
	LiveEntry *live = bed.controller->liveEntry(added.id);
	ASSERT_NE(live, nullptr);
	EXPECT_EQ(live->destinationStatus(added.destinos[0].id).drops, 0);
	EXPECT_EQ(bed.entries()[0].videoKbps, 1500);

	// A live edit that cannot be saved: it applies, and the dock keeps saying that it will not last.
	QFile::rename(bed.store->path, bed.store->path + QStringLiteral(".moved"));
	ASSERT_TRUE(QDir().mkpath(bed.store->path));
	inNextDialog([&](EntryDialog &dialog) {
		typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 1400);
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	click(bed.cardButton(QStringLiteral("Added"), tr("✎ Editar")));
	pump(1100);
	EXPECT_TRUE(bed.message().endsWith(tr(" Los cambios siguen funcionando, pero no se recordarán al cerrar OBS.")))
		<< bed.message();
	EXPECT_TRUE(bed.controller->isStreaming(added.id));
	QDir().rmdir(bed.store->path);
	QFile::rename(bed.store->path + QStringLiteral(".moved"), bed.store->path);

	// Opened while streaming, stopped before it is confirmed (as after a failure): only what the locked
	// dialog could change is taken, and nothing is applied to a stream that no longer runs.
	inNextDialog([&](EntryDialog &dialog) {
		bed.controller->toggleDestination(added.id, added.destinos[0].id);
		ASSERT_TRUE(waitUntil([&] { return !bed.controller->isStreaming(added.id); }, 10000));
		typeInto(named<QLineEdit>(&dialog, "nameField"), QStringLiteral("Renamed"));
		typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 900);
		typeNumber(named<QSpinBox>(&dialog, "audioDelayBox"), 120);
		chooseAdvanced(dialog, "preset", QStringLiteral("fast"));
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	const EntryConfig before = bed.entries()[0];
	click(bed.cardButton(QStringLiteral("Added"), tr("✎ Editar")));
	pump(50);
	EntryConfig after = bed.entries()[0];
	EXPECT_EQ(after.nombre, QStringLiteral("Renamed"));
	EXPECT_EQ(after.videoKbps, 900);
	EXPECT_EQ(after.retrasoAudioMs, 120);
	EXPECT_TRUE(after.ajustesCodificador.contains(QStringLiteral("\"fast\""))) << after.ajustesCodificador;
	after.nombre = before.nombre;
	after.videoKbps = before.videoKbps;
	after.retrasoAudioMs = before.retrasoAudioMs;
	after.ajustesCodificador = before.ajustesCodificador;
	EXPECT_EQ(describe(after), describe(before));
	EXPECT_FALSE(bed.controller->isStreaming(added.id));
	EXPECT_NE(bed.message(), tr("Cambios guardados. Se aplican a la emisión en marcha lo que admite el "
				    "codificador; el resto, al volver a emitir."));
	EXPECT_EQ(bed.row(0).statusText(), tr("Parado"));
}

TEST(PanelEdit, StoppedEntryEditedWholeKeepsAKeyThatCouldNotBeOpened)
{
	OBSSourceAutoRelease red = makeColor("edit-red", 0xFF0000FF, 320, 180);
	OBSSceneAutoRelease one = makeScene("Edit one", {red});
	OBSSceneAutoRelease two = makeScene("Edit two", {red});
	frontend::setScenes({"Edit one", "Edit two"});
	PanelBed bed;
	EntryConfig entry =
		makeEntry(QStringLiteral("Edit one"), {{QStringLiteral("rtmp://127.0.0.1:1/live"), "old-key"},
						       {QStringLiteral("rtmp://127.0.0.1:2/live"), ""}});
	entry.nombre = QStringLiteral("Before");
	entry.destinos[1].sinAbrir.clave = QString::fromLatin1(unopenable);
	bed.store->collections[QStringLiteral("Sin título")] = {entry};
	ASSERT_TRUE(bed.store->save(nullptr));
	ASSERT_TRUE(bed.store->load(nullptr));
	ASSERT_EQ(bed.store->collections[QStringLiteral("Sin título")][0].destinos[1].sinAbrir.clave,
		  QString::fromLatin1(unopenable));
	bed.open();

	inNextDialog([&](EntryDialog &dialog) {
		chooseItem(named<QComboBox>(&dialog, "sourceCombo"), tr("🎬 Escena: ") + "Edit two");
		typeInto(named<QLineEdit>(&dialog, "nameField"), QStringLiteral("After"));
		typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 2500);
		chooseItem(named<QComboBox>(&dialog, "audioKbpsCombo"), QStringLiteral("192 kbps"));
		chooseItem(named<QComboBox>(&dialog, "audioCodecCombo"), QStringLiteral("opus"));
		typeNumber(named<QSpinBox>(&dialog, "audioDelayBox"), 300);
		chooseItem(named<QComboBox>(&dialog, "sizeCombo"), tr("1280×720 (horizontal)"));
		chooseItem(named<QComboBox>(&dialog, "framingCombo"), tr("Llenar, recortando lo que sobre"));
		chooseAdvanced(dialog, "tune", QStringLiteral("zerolatency"));
		clickCheck(named<QCheckBox>(&dialog, "followCheck"));
		click(named<QPushButton>(&dialog, "addEquivalenceButton"));
		chooseItem(named<QWidget>(&dialog, "equivalencePanel")->findChildren<QComboBox *>()[1],
			   QStringLiteral("🎬 Edit two"));
		DestRowWidget *first = dialog.findChild<DestRowWidget *>();
		typeInto(named<QLineEdit>(first, "destAddress"), QStringLiteral("srt://127.0.0.1:9000"));
		typeInto(first->keyField(), QStringLiteral("stream-id"));
		typeInto(first->passphraseField(), QStringLiteral("passphrase-1"));
		// Opus cannot go over RTMP (nor over SRT on OBS 29.0): OK names the first destination that rules it out.
		EXPECT_EQ(confirmDialog(dialog), tr("Destino %1 (%2) no admite %3 en este OBS; admite %4.")
							 .arg(QStringLiteral("1"), QStringLiteral("SRT"),
							      QStringLiteral("opus"), QStringLiteral("aac")));
		chooseItem(named<QComboBox>(&dialog, "audioCodecCombo"), QStringLiteral("aac"));
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	click(bed.cardButton(QStringLiteral("Before"), tr("✎ Editar")));
	pump(50);

	EntryConfig expected = bed.store->collections[QStringLiteral("Sin título")][0];
	EXPECT_EQ(expected.id, entry.id);
	EXPECT_TRUE(expected.ajustesCodificador.contains(QStringLiteral("\"zerolatency\"")));
	expected.ajustesCodificador.clear();
	EntryConfig wanted = entry;
	wanted.ajustesCodificador.clear();
	wanted.fuente = QStringLiteral("Edit two");
	wanted.nombre = QStringLiteral("After");
	wanted.videoKbps = 2500;
	wanted.audioKbps = 192;
	wanted.codificadorAudio = QStringLiteral("aac");
	wanted.retrasoAudioMs = 300;
	wanted.ancho = 1280;
	wanted.alto = 720;
	wanted.llenar = true;
	wanted.seguirObs = true;
	wanted.equivalencias.insert(QStringLiteral("Edit one"), QStringLiteral("Edit two"));
	wanted.destinos[0].url = QStringLiteral("srt://127.0.0.1:9000");
	wanted.destinos[0].clave = QStringLiteral("stream-id");
	wanted.destinos[0].contrasena = QStringLiteral("passphrase-1");
	wanted.destinos[1].clave.clear();
	EXPECT_EQ(describe(expected), describe(wanted));
	EXPECT_EQ(bed.message(), QString());
	EXPECT_NE(bed.cardButton(QStringLiteral("After"), tr("✎ Editar")), nullptr);

	// The key that could not be opened is written back exactly as it was stored.
	const std::string file = testbed::readFile(bed.store->path.toStdString());
	EXPECT_NE(file.find(std::string("\"clave\": \"") + unopenable + "\""), std::string::npos) << file;
	EXPECT_EQ(file.find("passphrase-1"), std::string::npos);

	// OBS changes scene collection (a request, a hotkey, a script) while the dialog is open: the edit lands in
	// the collection it was opened for, and the dock says so.
	inNextDialog([&](EntryDialog &dialog) {
		typeInto(named<QLineEdit>(&dialog, "nameField"), QStringLiteral("Elsewhere"));
		bed.controller->beginCollectionChange();
		frontend::setCollection("Second");
		bed.controller->reloadCollection();
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	click(bed.cardButton(QStringLiteral("After"), tr("✎ Editar")));
	pump(50);
	EXPECT_TRUE(bed.entries().isEmpty()) << "nothing filed under the other collection";
	ASSERT_EQ(bed.store->collections[QStringLiteral("Sin título")].size(), 1);
	EXPECT_EQ(bed.store->collections[QStringLiteral("Sin título")][0].nombre, QStringLiteral("Elsewhere"));
	EXPECT_EQ(bed.message(), tr("OBS cambió de colección de escenas mientras la ventana estaba abierta: «%1» se "
				    "guardó en la colección «%2».")
					 .arg(QStringLiteral("Elsewhere"), QStringLiteral("Sin título")));
	frontend::setCollection("Sin título");
	bed.controller->reloadCollection();

	// OBS renames the collection, here while the dialog is open: its entries follow the new name, and the edit is
	// taken there as usual.
	inNextDialog([&](EntryDialog &dialog) {
		typeInto(named<QLineEdit>(&dialog, "nameField"), QStringLiteral("Renamed"));
		frontend::setCollection("Main show");
		bed.controller->followCollectionRename();
		EXPECT_EQ(confirmDialog(dialog), QString());
	});
	ASSERT_TRUE(waitUntil([&] { return bed.cardButton(QStringLiteral("Elsewhere"), tr("✎ Editar")) != nullptr; },
			      2000));
	click(bed.cardButton(QStringLiteral("Elsewhere"), tr("✎ Editar")));
	pump(50);
	ASSERT_EQ(bed.entries().size(), 1);
	EXPECT_EQ(bed.entries()[0].nombre, QStringLiteral("Renamed"));
	EXPECT_FALSE(bed.store->collections.contains(QStringLiteral("Sin título")));
	EXPECT_NE(testbed::readFile(bed.store->path.toStdString()).find("\"Main show\""), std::string::npos);
	EXPECT_NE(bed.cardButton(QStringLiteral("Renamed"), tr("✎ Editar")), nullptr);
	frontend::setCollection("Sin título");
	bed.controller->followCollectionRename();
	frontend::setScenes({});
}
