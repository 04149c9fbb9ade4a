// The entry dialog driven as a user drives it, on real libobs with Debian's x264 and encoder types registered here.
#include "editor-bed.hpp"
#include "frontend-stub.hpp"
#include "common/qt-print.hpp"

#include "editor/dest-row.hpp"
#include "editor/encoder-form.hpp"
#include "editor/entry-dialog.hpp"
#include "editor/shared-widgets.hpp"
#include "base/language.hpp"

#include <obs-module.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardItemModel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QtTest/qtestspontaneevent.h>

using namespace uitest;

namespace {

QString tr(const char *spanish)
{
	return translate(spanish);
}

void showDialog(EntryDialog &dialog)
{
	dialog.show();
	dialog.activateWindow();
	EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
}

QList<DestRowWidget *> destRows(EntryDialog &dialog)
{
	pump(0); // rows added to a shown dialog appear on the next turn of the event loop
	QList<DestRowWidget *> rows;
	for (DestRowWidget *row : dialog.findChildren<DestRowWidget *>()) {
		if (row->isVisible()) {
			rows.append(row);
		}
	}
	return rows;
}

DestConfig dest(const char *url, const char *key = "", const char *passphrase = "")
{
	DestConfig d;
	d.id = newIdentifier();
	d.url = QString::fromUtf8(url);
	d.clave = QString::fromUtf8(key);
	d.contrasena = QString::fromUtf8(passphrase);
	return d;
}

QStringList itemTexts(QComboBox *combo)
{
	QStringList texts;
	for (int i = 0; i < combo->count(); ++i) {
		texts.append(combo->itemText(i));
	}
	return texts;
}

const PropertyRow *propertyRow(EntryDialog &dialog, const char *name)
{
	for (const PropertyRow &row : named<EncoderForm>(&dialog, "encoderForm")->propertyRows()) {
		if (row.name == name) {
			return &row;
		}
	}
	return nullptr;
}

QJsonObject json(const QString &text)
{
	return QJsonDocument::fromJson(text.toUtf8()).object();
}

// Encoder types as a machine with graphics cards would register them.
const char *fakeName(void *typeData)
{
	return static_cast<const char *>(typeData);
}
void *fakeCreate(obs_data_t *, obs_encoder_t *)
{
	return nullptr;
}
void fakeDestroy(void *) {}
bool fakeEncode(void *, encoder_frame *, encoder_packet *, bool *)
{
	return false;
}

void registerHardwareEncoders()
{
	static bool done = false;
	if (done) {
		return;
	}
	done = true;
	struct Fake {
		const char *id;
		const char *name;
		const char *codec;
		uint32_t caps;
	};
	for (const Fake &fake : {Fake{"card_a_h264", "Card A H.264", "h264", 0},
				 Fake{"card_old_h264", "Old card", "h264", OBS_ENCODER_CAP_DEPRECATED},
				 Fake{"card_inner_h264", "Inner", "h264", OBS_ENCODER_CAP_INTERNAL},
				 Fake{"card_b_hevc", "Card B HEVC", "hevc", 0},
				 Fake{"card_b_h264", "Card B H.264", "h264", OBS_ENCODER_CAP_DYN_BITRATE}}) {
		obs_encoder_info info = {};
		info.id = fake.id;
		info.type = OBS_ENCODER_VIDEO;
		info.codec = fake.codec;
		info.type_data = const_cast<char *>(fake.name);
		info.get_name = fakeName;
		info.create = fakeCreate;
		info.destroy = fakeDestroy;
		info.encode = fakeEncode;
		info.caps = fake.caps;
		obs_register_encoder(&info);
	}
}

} // namespace

TEST(EntryDialog, EncoderListAndWhatANewOrStaleEntryStartsWith)
{
	// With no scene in OBS a new entry sends OBS's program, whose own encoders come first.
	const QStringList obsOwn{tr("Codificador de emisión de OBS (sin codificación extra)"),
				 tr("Codificador de grabación de OBS (sin codificación extra)")};
	{
		EntryDialog plain(nullptr, EntryConfig(), false, false, {});
		auto *encoders = named<QComboBox>(&plain, "encoderCombo");
		// Debian's OBS has two AV1 encoders, offered after H.264's.
		EXPECT_EQ(itemTexts(encoders).mid(0, 3), (obsOwn + QStringList{tr("CPU (x264) · recomendado")}));
		EXPECT_TRUE(itemTexts(encoders).contains(QStringLiteral("SVT-AV1 · AV1")));
		EXPECT_EQ(encoders->currentData().toString(), QStringLiteral("obs_x264"));
		// An RTMP destination rules AV1 out on OBS 29.0: greyed out, the item saying why; a recording does not.
		const auto *items = qobject_cast<QStandardItemModel *>(encoders->model());
		const QStandardItem *av1 = items->item(encoders->findText(QStringLiteral("SVT-AV1 · AV1")));
		auto *row = plain.findChild<DestRowWidget *>();
		typeInto(named<QLineEdit>(row, "destAddress"), QStringLiteral("rtmp://127.0.0.1/live"));
		EXPECT_EQ(av1->isEnabled(), LIBOBS_API_VER >= MAKE_SEMANTIC_VERSION(30, 0, 0));
		if (!av1->isEnabled()) {
			EXPECT_EQ(av1->toolTip(), tr("Destino %1 (%2) no admite %3 en este OBS; admite %4.")
							  .arg(QStringLiteral("1"), QStringLiteral("RTMP"),
							       QStringLiteral("av1"), QStringLiteral("h264")));
		}
		EXPECT_TRUE(items->item(encoders->currentIndex())->isEnabled());
		chooseItem(named<QComboBox>(row, "destTemplate"), tr("Grabación en un archivo"));
		EXPECT_TRUE(av1->isEnabled());
	}

	registerHardwareEncoders();
	EntryDialog fresh(nullptr, EntryConfig(), false, false, {});
	auto *encoders = named<QComboBox>(&fresh, "encoderCombo");
	EXPECT_EQ(
		itemTexts(encoders),
		(obsOwn + QStringList{QStringLiteral("Card A H.264") + tr(" · tarjeta gráfica") + tr(" · recomendado"),
				      QStringLiteral("Card B H.264") + tr(" · tarjeta gráfica"), tr("CPU (x264)"),
				      QStringLiteral("SVT-AV1 · AV1"), QStringLiteral("AOM AV1 · AV1"),
				      QStringLiteral("Card B HEVC · HEVC")}));
	EXPECT_EQ(encoders->currentIndex(), 2) << "a new entry starts on the recommended encoder";
	EXPECT_EQ(fresh.windowTitle(), tr("Añadir entrada"));
	EXPECT_EQ(fresh.findChildren<DestRowWidget *>().size(), 1) << "one empty row to start with";

	// An encoder this OBS does not offer stays chosen, saying so; a new bitrate leaves its settings untouched,
	// and only picking another encoder gives that one's defaults.
	EntryConfig stale;
	stale.codificador = QStringLiteral("gone_nvenc");
	stale.ajustesCodificador = QStringLiteral("{\"preset\":\"veryslow\"}");
	stale.videoKbps = 2500;
	EntryDialog edit(nullptr, stale, true, false, {});
	EXPECT_EQ(edit.windowTitle(), tr("Editar entrada"));
	auto *chosen = named<QComboBox>(&edit, "encoderCombo");
	EXPECT_EQ(chosen->currentText(), tr("%1 (no disponible en este OBS)").arg("gone_nvenc"));
	showDialog(edit);
	click(named<QToolButton>(&edit, "advancedToggle"));
	const QString hint = labelTexts(named<EncoderForm>(&edit, "encoderForm")).value(0);
	EXPECT_TRUE(hint.startsWith(tr("«%1» no está disponible en este OBS: sus ajustes se guardan tal como "
				       "están. Elige otro codificador para emitir desde aquí.")
					    .arg("gone_nvenc")))
		<< hint.toStdString();
	typeNumber(named<QSpinBox>(&edit, "videoKbpsBox"), 3000);
	EntryConfig result = edit.resultConfig();
	EXPECT_EQ(result.codificador, QStringLiteral("gone_nvenc"));
	EXPECT_EQ(result.videoKbps, 3000);
	EXPECT_EQ(result.ajustesCodificador, stale.ajustesCodificador);
	chooseItem(chosen, QStringLiteral("Card A H.264") + tr(" · tarjeta gráfica") + tr(" · recomendado"));
	result = edit.resultConfig();
	EXPECT_EQ(result.codificador, QStringLiteral("card_a_h264"));
	EXPECT_EQ(json(result.ajustesCodificador),
		  (QJsonObject{{QStringLiteral("keyint_sec"), 2}, {QStringLiteral("bitrate"), 3000}}));
}

TEST(EntryDialog, X264FormFromOBSProperties)
{
	EntryConfig entry;
	entry.fuente = QStringLiteral("Somewhere");
	entry.videoKbps = 3000;
	entry.ajustesCodificador =
		QStringLiteral("{\"keyint_sec\":100,\"preset\":\"ultraslow\",\"rate_control\":\"CBR\"}");
	EntryDialog dialog(nullptr, entry, true, false, {});
	showDialog(dialog);
	auto *toggle = named<QToolButton>(&dialog, "advancedToggle");
	click(toggle);
	EXPECT_TRUE(named<EncoderForm>(&dialog, "encoderForm")->isVisible());

	// Every supported property in the order x264 publishes it, except the bitrate.
	QList<QByteArray> published;
	obs_properties_t *properties = obs_get_encoder_properties("obs_x264");
	for (obs_property_t *p = obs_properties_first(properties); p; obs_property_next(&p)) {
		if (strcmp(obs_property_name(p), "bitrate") != 0) {
			published.append(obs_property_name(p));
		}
	}
	obs_properties_destroy(properties);
	QList<QByteArray> shown;
	for (const PropertyRow &row : named<EncoderForm>(&dialog, "encoderForm")->propertyRows()) {
		shown.append(row.name);
	}
	EXPECT_EQ(shown, published);

	// A stored number beyond the published maximum is shown, not clamped; an unknown list value is kept.
	auto *keyint = static_cast<QSpinBox *>(propertyRow(dialog, "keyint_sec")->editor);
	EXPECT_EQ(keyint->value(), 100);
	auto *preset = static_cast<QComboBox *>(propertyRow(dialog, "preset")->editor);
	EXPECT_EQ(preset->currentText(), QStringLiteral("ultraslow"));
	EXPECT_EQ(preset->findText(QStringLiteral("ultraslow")), preset->count() - 1);

	// x264 hides the buffer settings and shows CRF once that rate control is chosen.
	const PropertyRow *bufsize = propertyRow(dialog, "use_bufsize");
	const PropertyRow *crf = propertyRow(dialog, "crf");
	EXPECT_TRUE(bufsize->editor->isVisible());
	EXPECT_FALSE(crf->label->isVisible());
	chooseItem(static_cast<QComboBox *>(propertyRow(dialog, "rate_control")->editor), QStringLiteral("CRF"));
	EXPECT_FALSE(bufsize->label->isVisible());
	EXPECT_FALSE(bufsize->editor->isVisible());
	EXPECT_TRUE(crf->editor->isVisible());
	typeInto(propertyRow(dialog, "x264opts")->editor, QStringLiteral("ref=3"));

	ASSERT_EQ(confirmDialog(dialog), QString());
	const QJsonObject stored = json(dialog.resultConfig().ajustesCodificador);
	EXPECT_EQ(stored.value(QStringLiteral("rate_control")).toString(), QStringLiteral("CRF"));
	EXPECT_EQ(stored.value(QStringLiteral("keyint_sec")).toInt(), 100);
	EXPECT_EQ(stored.value(QStringLiteral("preset")).toString(), QStringLiteral("ultraslow"));
	EXPECT_EQ(stored.value(QStringLiteral("x264opts")).toString(), QStringLiteral("ref=3"));
	EXPECT_EQ(stored.value(QStringLiteral("bitrate")).toInt(), 3000);
}

TEST(EntryDialog, WheelScrollsTheFormUntilABoxIsClicked)
{
	EntryDialog dialog(nullptr, EntryConfig(), false, false, {});
	dialog.resize(540, 360);
	showDialog(dialog);
	auto *bar = dialog.findChild<QScrollArea *>()->verticalScrollBar();
	ASSERT_GT(bar->maximum(), 0);
	auto *size = named<QComboBox>(&dialog, "sizeCombo");
	auto wheel = [](QWidget *target) {
		QWheelEvent event(QPointF(5, 5), QPointF(target->mapToGlobal(QPoint(5, 5))), QPoint(), QPoint(0, -120),
				  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
		QSpontaneKeyEvent::setSpontaneous(&event);
		QApplication::instance()->notify(target, &event);
	};
	wheel(size);
	EXPECT_EQ(size->currentIndex(), 0);
	EXPECT_GT(bar->value(), 0);
	const int scrolled = bar->value();
	click(size);
	QTest::keyClick(size->view(), Qt::Key_Escape);
	ASSERT_TRUE(size->hasFocus());
	wheel(size);
	EXPECT_EQ(size->currentIndex(), 1);
	EXPECT_EQ(bar->value(), scrolled);
}

TEST(EntryDialog, StoredFieldsAndWhatIsSaved)
{
	struct Case {
		int audioKbps;
		const char *codec;
		int width, height;
		QString audioShown, codecShown, sizeShown;
		bool framing;
		int savedAudio;
	};
	const Case cases[] = {
		{320, "", 1920, 1080, "128 kbps", "aac", tr("1920×1080 (horizontal)"), true, 128},
		{192, " OPUS ", 1000, 500, "192 kbps", "opus", tr("%1×%2 (personalizado)").arg(1000).arg(500), true,
		 192},
		{96, "mp3", 0, 0, "96 kbps", "mp3", tr("Igual que el lienzo de OBS"), false, 96},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.codec);
		EntryConfig entry;
		entry.fuente = QStringLiteral("Somewhere");
		entry.audioKbps = c.audioKbps;
		entry.codificadorAudio = QString::fromUtf8(c.codec);
		entry.ancho = c.width;
		entry.alto = c.height;
		entry.llenar = true;
		EntryDialog dialog(nullptr, entry, true, false, {});
		showDialog(dialog);
		EXPECT_EQ(named<QComboBox>(&dialog, "audioKbpsCombo")->currentText(), c.audioShown);
		EXPECT_EQ(named<QComboBox>(&dialog, "audioCodecCombo")->currentText(), c.codecShown);
		EXPECT_EQ(named<QComboBox>(&dialog, "sizeCombo")->currentText(), c.sizeShown);
		auto *framing = named<QComboBox>(&dialog, "framingCombo");
		EXPECT_EQ(framing->isEnabled(), c.framing);
		if (c.framing) {
			chooseItem(framing, tr("Ajustar, con bandas si no coincide"));
		}
		EXPECT_EQ(confirmDialog(dialog), QString());
		const EntryConfig saved = dialog.resultConfig();
		EXPECT_EQ(saved.audioKbps, c.savedAudio);
		EXPECT_EQ(saved.codificadorAudio, c.codecShown);
		EXPECT_EQ(QSize(saved.ancho, saved.alto), QSize(c.width, c.height));
		EXPECT_EQ(saved.llenar, !c.framing);
		EXPECT_TRUE(saved.destinos.isEmpty()) << "the empty row is not stored";
		EXPECT_EQ(saved.id.size(), 36);
	}

	// Choosing the canvas size switches framing off. A frame rate that this OBS cannot encode at is kept.
	EntryConfig entry;
	entry.fuente = QStringLiteral("Somewhere");
	entry.ancho = 1280;
	entry.alto = 720;
	entry.divisorFps = 2;
	EntryDialog dialog(nullptr, entry, true, false, {});
	showDialog(dialog);
	auto *frameRate = named<QComboBox>(&dialog, "frameRateCombo");
	const bool fractions = obs_get_version() >= MAKE_SEMANTIC_VERSION(30, 0, 0);
	EXPECT_EQ(frameRate->currentText(), fractions ? QStringLiteral("15 fps") : tr("Como OBS (%1 fps)").arg(30));
	EXPECT_EQ(frameRate->isEnabled(), fractions);
	EXPECT_EQ(dialog.resultConfig().divisorFps, 2);
	chooseItem(named<QComboBox>(&dialog, "sizeCombo"), tr("Igual que el lienzo de OBS"));
	EXPECT_FALSE(named<QComboBox>(&dialog, "framingCombo")->isEnabled());
}

TEST(EntryDialog, DestinationRowsTemplatesKindsAndChecks)
{
	EntryConfig entry;
	entry.fuente = QStringLiteral("Somewhere");
	entry.destinos = {dest("   "), dest("rtmp://live.twitch.tv/app", "live_1"), dest("rtmp://")};
	EntryDialog dialog(nullptr, entry, true, false, {});
	showDialog(dialog);
	QList<DestRowWidget *> rows = destRows(dialog);
	ASSERT_EQ(rows.size(), 3);
	EXPECT_EQ(named<QComboBox>(rows[1], "destTemplate")->currentText(), QStringLiteral("Twitch"));
	EXPECT_EQ(named<QComboBox>(rows[2], "destTemplate")->currentIndex(), 0);

	// A template fills the address and sends the user to the key; typing afterwards forgets the template.
	click(named<QPushButton>(&dialog, "addDestButton"));
	rows = destRows(dialog);
	ASSERT_EQ(rows.size(), 4);
	auto *templates = named<QComboBox>(rows[3], "destTemplate");
	auto *address = named<QLineEdit>(rows[3], "destAddress");
	chooseItem(templates, QStringLiteral("YouTube"));
	EXPECT_EQ(address->text(), QStringLiteral("rtmp://a.rtmp.youtube.com/live2"));
	EXPECT_EQ(templates->currentText(), QStringLiteral("YouTube"));
	EXPECT_EQ(QApplication::focusWidget(), rows[3]->keyField());
	QTest::keyClicks(address, QStringLiteral("x"));
	EXPECT_EQ(templates->currentIndex(), 0);
	chooseItem(templates, QStringLiteral("Facebook Live"));
	EXPECT_EQ(address->text(), QStringLiteral("rtmps://live-api-s.facebook.com:443/rtmp/"));

	chooseItem(templates, tr("RIST personalizado"));
	EXPECT_EQ(address->text(), QStringLiteral("rist://"));
	EXPECT_EQ(named<QLabel>(rows[3], "destType")->text(), tr("Tipo detectado: RIST"));
	EXPECT_EQ(rows[3]->keyField()->placeholderText(), tr("Secreto de cifrado (opcional)"));
	EXPECT_FALSE(rows[3]->passphraseField()->isVisible());

	typeInto(address, QStringLiteral("SRT://host:9000"));
	EXPECT_EQ(named<QLabel>(rows[3], "destType")->text(), tr("Tipo detectado: SRT"));
	EXPECT_EQ(rows[3]->keyField()->placeholderText(), tr("Stream ID (opcional)"));
	EXPECT_TRUE(rows[3]->passphraseField()->isVisible());
	QTest::keyClicks(rows[3]->passphraseField(), QStringLiteral("pass phrase"));
	EXPECT_FALSE(rows[1]->passphraseField()->isVisible());
	EXPECT_EQ(rows[1]->keyField()->placeholderText(), tr("Clave de emisión"));

	// "Show keys" applies to the rows there are and to those added later.
	EXPECT_EQ(rows[1]->keyField()->echoMode(), QLineEdit::Password);
	clickCheck(named<QCheckBox>(&dialog, "showKeysCheck"));
	EXPECT_EQ(rows[1]->keyField()->echoMode(), QLineEdit::Normal);
	EXPECT_EQ(rows[3]->passphraseField()->echoMode(), QLineEdit::Normal);
	click(named<QPushButton>(&dialog, "addDestButton"));
	EXPECT_EQ(destRows(dialog).last()->keyField()->echoMode(), QLineEdit::Normal);
	click(named<QToolButton>(destRows(dialog).last(), "destRemove"));
	EXPECT_EQ(destRows(dialog).size(), 4);

	// Row 3 on screen is destination 2: blank rows take no number. It is checked until it passes.
	auto *checked = named<QLineEdit>(rows[2], "destAddress");
	const QString prefix = tr("Destino %1: ").arg(2);
	const struct {
		const char *address;
		const char *key;
		QString notice;
	} checks[] = {
		{"rtmp://host", "",
		 prefix + tr("a la dirección RTMP le falta la parte final, por ejemplo rtmp://servidor/live.")},
		{"HTTPS://whip.example/x", "",
		 prefix +
			 tr("este OBS no tiene salida WebRTC (WHIP). Se admiten RTMP (rtmp:// o rtmps://), SRT (srt://) y "
			    "RIST (rist://).")},
		{"ftp://host/x", "", prefix + tr("la dirección debe empezar por rtmp://, rtmps://, srt:// o rist://.")},
		{"", "key", prefix + tr("la dirección debe empezar por rtmp://, rtmps://, srt:// o rist://.")},
		{"?", "", prefix + tr("la dirección debe empezar por rtmp://, rtmps://, srt:// o rist://.")},
		{" rtmp://host/ ", "", QString()},
	};
	for (const auto &check : checks) {
		SCOPED_TRACE(check.address);
		typeInto(checked, QString::fromUtf8(check.address));
		typeInto(rows[2]->keyField(), QString::fromUtf8(check.key));
		EXPECT_EQ(confirmDialog(dialog), check.notice);
	}
	const EntryConfig saved = dialog.resultConfig();
	ASSERT_EQ(saved.destinos.size(), 3);
	EXPECT_EQ(saved.destinos[0].id, entry.destinos[1].id);
	EXPECT_EQ(saved.destinos[0].clave, QStringLiteral("live_1"));
	EXPECT_EQ(saved.destinos[1].url, QStringLiteral("rtmp://host/"));
	EXPECT_EQ(saved.destinos[1].id, entry.destinos[2].id);
	EXPECT_EQ(saved.destinos[2].url, QStringLiteral("SRT://host:9000"));
	EXPECT_EQ(saved.destinos[2].contrasena, QStringLiteral("pass phrase"));
	EXPECT_EQ(saved.destinos[2].id.size(), 36);

	// Every row removed: an entry without destinations is accepted.
	EntryDialog emptied(nullptr, entry, true, false, {});
	showDialog(emptied);
	for (DestRowWidget *row : destRows(emptied)) {
		click(named<QToolButton>(row, "destRemove"));
	}
	EXPECT_TRUE(destRows(emptied).isEmpty());
	EXPECT_EQ(confirmDialog(emptied), QString());
	EXPECT_TRUE(emptied.resultConfig().destinos.isEmpty());
}

TEST(EntryDialog, LiveLockKeepsWhatCannotChangeWhileStreaming)
{
	OBSSourceAutoRelease color = obstest::makeColor("lock-color", 0xFF0000FF, 320, 180);
	OBSSceneAutoRelease scene = obstest::makeScene("Lock scene", {color});
	frontend::setScenes({"Lock scene"});
	EntryConfig entry =
		obstest::makeEntry(QStringLiteral("Lock scene"), {{QStringLiteral("rtmp://h/live"), "k"}}, 1280, 720);
	entry.id = newIdentifier();
	entry.nombre = QStringLiteral("Before");
	entry.equivalencias.insert(QStringLiteral("Lock scene"), QStringLiteral("lock-color"));
	entry.codificadorAudio = QStringLiteral("opus");
	entry.destinos.append(dest("?"));
	EntryDialog dialog(nullptr, entry, true, true, {});
	showDialog(dialog);
	for (const char *locked : {"sourceCombo", "followCheck", "equivalencePanel", "encoderCombo", "audioKbpsCombo",
				   "audioCodecCombo", "sizeCombo", "framingCombo", "addDestButton"}) {
		EXPECT_FALSE(named<QWidget>(&dialog, locked)->isEnabled()) << locked;
	}
	for (DestRowWidget *row : destRows(dialog)) {
		EXPECT_FALSE(row->isEnabled());
	}
	for (const char *open :
	     {"nameField", "videoKbpsBox", "audioDelayBox", "advancedToggle", "encoderForm", "profileCombo",
	      "saveProfileButton", "showKeysCheck", "stopWithStreamCheck", "startWithRecordingCheck"}) {
		EXPECT_TRUE(named<QWidget>(&dialog, open)->isEnabled()) << open;
	}
	EXPECT_FALSE(named<QCheckBox>(&dialog, "stopWithStreamCheck")->isChecked());
	click(named<QCheckBox>(&dialog, "stopWithStreamCheck"));
	click(named<QCheckBox>(&dialog, "startWithRecordingCheck"));
	typeInto(named<QLineEdit>(&dialog, "nameField"), QStringLiteral("  After "));
	typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 6000);
	typeNumber(named<QSpinBox>(&dialog, "audioDelayBox"), 240);
	click(named<QToolButton>(&dialog, "advancedToggle"));
	chooseItem(static_cast<QComboBox *>(propertyRow(dialog, "preset")->editor), QStringLiteral("fast"));

	// The locked address that could not be opened does not keep the live changes from being saved.
	EXPECT_EQ(confirmDialog(dialog), QString());
	EntryConfig saved = dialog.resultConfig();
	EXPECT_EQ(saved.nombre, QStringLiteral("After"));
	EXPECT_EQ(saved.videoKbps, 6000);
	EXPECT_EQ(saved.retrasoAudioMs, 240);
	EXPECT_EQ(json(saved.ajustesCodificador).value(QStringLiteral("preset")).toString(), QStringLiteral("fast"));
	EXPECT_EQ(json(saved.ajustesCodificador).value(QStringLiteral("bitrate")).toInt(), 6000);
	EXPECT_FALSE(saved.iniciarConStream);
	EXPECT_TRUE(saved.pararConStream && saved.iniciarConGrabacion);
	EXPECT_FALSE(saved.pararConGrabacion);
	saved.pararConStream = saved.iniciarConGrabacion = false;
	saved.nombre = entry.nombre;
	saved.videoKbps = entry.videoKbps;
	saved.retrasoAudioMs = entry.retrasoAudioMs;
	saved.ajustesCodificador = entry.ajustesCodificador;
	EXPECT_EQ(describe(saved), describe(entry));
	frontend::setScenes({});
}

TEST(EntryDialog, ProfilesSavedReplacedDeletedAndKeptOnCancel)
{
	EntryConfig entry;
	entry.fuente = QStringLiteral("Somewhere");
	entry.videoKbps = 3000;
	EntryDialog dialog(nullptr, entry, true, false, {});
	showDialog(dialog);
	auto *combo = named<QComboBox>(&dialog, "profileCombo");
	auto *remove = named<QPushButton>(&dialog, "deleteProfileButton");
	EXPECT_EQ(itemTexts(combo), QStringList{tr("(ninguno guardado todavía)")});
	EXPECT_FALSE(remove->isEnabled());

	auto save = [&](const QString &name) {
		answering([&] { click(named<QPushButton>(&dialog, "saveProfileButton")); },
			  [&](QWidget *modal) {
				  if (auto *input = qobject_cast<QInputDialog *>(modal)) {
					  QTest::keyClicks(input->findChild<QLineEdit *>(), name);
					  QTest::keyClick(input->findChild<QLineEdit *>(), Qt::Key_Return);
				  } else {
					  click(findButton(modal, tr("Sí, sustituir")));
				  }
			  });
	};
	save(QStringLiteral("  Rapido  "));
	EXPECT_EQ(itemTexts(combo), (QStringList{tr("Elige un perfil…"), QStringLiteral("Rapido · 3000 kbps")}));
	EXPECT_EQ(combo->currentIndex(), 1);
	EXPECT_TRUE(remove->isEnabled());
	typeNumber(named<QSpinBox>(&dialog, "videoKbpsBox"), 4500);
	save(QStringLiteral("RAPIDO"));
	ASSERT_EQ(dialog.profiles.size(), 1);
	EXPECT_EQ(dialog.profiles[0].nombre, QStringLiteral("RAPIDO"));
	EXPECT_EQ(dialog.profiles[0].videoKbps, 4500);
	EXPECT_EQ(json(dialog.profiles[0].ajustesCodificador).value(QStringLiteral("bitrate")).toInt(), 4500);

	answering([&] { click(remove); }, [&](QWidget *modal) { click(findButton(modal, tr("Sí, borrar"))); });
	EXPECT_TRUE(dialog.profiles.isEmpty());
	EXPECT_EQ(itemTexts(combo), QStringList{tr("(ninguno guardado todavía)")});
	EXPECT_FALSE(remove->isEnabled());

	save(QStringLiteral("Kept"));
	click(dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel));
	EXPECT_EQ(dialog.result(), QDialog::Rejected);
	EXPECT_TRUE(dialog.profilesChanged);
	ASSERT_EQ(dialog.profiles.size(), 1);
	EXPECT_EQ(dialog.profiles[0].nombre, QStringLiteral("Kept"));
}

TEST(EntryDialog, ProfilesAppliedWithAndWithoutTheirEncoder)
{
	registerHardwareEncoders();
	ProfileConfig elsewhere;
	elsewhere.nombre = QStringLiteral("Elsewhere");
	elsewhere.codificador = QStringLiteral("gone_hw");
	elsewhere.videoKbps = 7000;
	elsewhere.audioKbps = 256;
	elsewhere.codificadorAudio = QStringLiteral("opus");
	ProfileConfig fast;
	fast.nombre = QStringLiteral("Fast");
	fast.videoKbps = 5000;
	fast.audioKbps = 96;
	fast.ajustesCodificador = QStringLiteral("{\"preset\":\"fast\"}");

	for (const bool streaming : {false, true}) {
		SCOPED_TRACE(streaming ? "streaming" : "stopped");
		EntryConfig entry;
		entry.fuente = QStringLiteral("Somewhere");
		entry.codificador = streaming ? QStringLiteral("obs_x264") : QStringLiteral("card_b_h264");
		entry.audioKbps = 160;
		entry.codificadorAudio = QStringLiteral("aac");
		EntryDialog dialog(nullptr, entry, true, streaming, {elsewhere, fast});
		showDialog(dialog);
		click(named<QToolButton>(&dialog, "advancedToggle"));
		auto *combo = named<QComboBox>(&dialog, "profileCombo");
		auto *audio = named<QComboBox>(&dialog, "audioKbpsCombo");
		auto *codec = named<QComboBox>(&dialog, "audioCodecCombo");
		auto *encoder = named<QComboBox>(&dialog, "encoderCombo");
		QString notice;
		auto noted = [&](QWidget *modal) {
			notice = static_cast<QMessageBox *>(modal)->text();
			click(findButton(modal, tr("Entendido")));
		};
		if (!streaming) {
			answering([&] { click(named<QPushButton>(&dialog, "deleteProfileButton")); }, noted);
			EXPECT_EQ(notice, tr("Primero elige en la lista el perfil que quieres borrar."));
		}

		answering([&] { chooseItem(combo, QStringLiteral("Elsewhere · 7000 kbps")); }, noted);
		EXPECT_EQ(notice,
			  tr("El perfil «%1» usa otro codificador que no se puede aplicar aquí. Se ha aplicado solo "
			     "la calidad de vídeo.")
				  .arg("Elsewhere"));
		EXPECT_EQ(named<QSpinBox>(&dialog, "videoKbpsBox")->value(), 7000);
		EXPECT_EQ(audio->currentText(), streaming ? QStringLiteral("160 kbps") : QStringLiteral("256 kbps"));
		EXPECT_EQ(codec->currentText(), streaming ? QStringLiteral("aac") : QStringLiteral("opus"));
		EXPECT_EQ(encoder->currentData().toString(), entry.codificador);
		EXPECT_EQ(combo->currentIndex(), 1);

		notice.clear();
		answering([&] { chooseItem(combo, QStringLiteral("Fast · 5000 kbps")); }, noted);
		EXPECT_EQ(notice, QString());
		EXPECT_EQ(named<QSpinBox>(&dialog, "videoKbpsBox")->value(), 5000);
		EXPECT_EQ(encoder->currentData().toString(), QStringLiteral("obs_x264"));
		EXPECT_EQ(static_cast<QComboBox *>(propertyRow(dialog, "preset")->editor)->currentText(),
			  QStringLiteral("fast"));
		EXPECT_EQ(audio->currentText(), streaming ? QStringLiteral("160 kbps") : QStringLiteral("96 kbps"));
		EXPECT_EQ(codec->currentText(), QStringLiteral("aac"));
		EXPECT_FALSE(dialog.profilesChanged) << "applying changes only the dialog";
	}
}

TEST(EntryDialog, SourcesFollowingAndEquivalences)
{
	frontend::setScenes({});
	{
		// No scene and no source in OBS: there is still OBS's program, with the sound of a track of OBS's mix
		// and nothing to follow or delay.
		EntryDialog empty(nullptr, EntryConfig(), false, false, {});
		showDialog(empty);
		EXPECT_EQ(itemTexts(named<QComboBox>(&empty, "sourceCombo")),
			  QStringList{tr("📺 Programa de OBS (lo que OBS emite)")});
		EXPECT_FALSE(named<QCheckBox>(&empty, "followCheck")->isEnabled());
		EXPECT_FALSE(named<QSpinBox>(&empty, "audioDelayBox")->isEnabled());
		chooseItem(named<QComboBox>(&empty, "trackCombo"), tr("Pista %1").arg(2));
		// OBS's own encoders come first for OBS's program; with one, the rest is OBS's and nothing is encoded.
		auto *encoder = named<QComboBox>(&empty, "encoderCombo");
		EXPECT_EQ(encoder->itemText(0), tr("Codificador de emisión de OBS (sin codificación extra)"));
		EXPECT_EQ(encoder->itemText(1), tr("Codificador de grabación de OBS (sin codificación extra)"));
		chooseItem(encoder, tr("Codificador de emisión de OBS (sin codificación extra)"));
		EXPECT_FALSE(named<QSpinBox>(&empty, "videoKbpsBox")->isEnabled());
		EXPECT_FALSE(named<QComboBox>(&empty, "sizeCombo")->isEnabled());
		EXPECT_TRUE(named<QLabel>(&empty, "encoderHint")
				    ->text()
				    .endsWith(tr(
					    "OBS aún no ha preparado su codificador de emisión: emite una vez con OBS "
					    "(puedes parar enseguida) tras abrirlo o cambiar sus ajustes de salida.")));
		EXPECT_EQ(confirmDialog(empty), QString());
		const EntryConfig program = empty.resultConfig();
		EXPECT_TRUE(program.programaObs);
		EXPECT_FALSE(program.seguirObs);
		EXPECT_TRUE(program.fuente.isEmpty());
		EXPECT_EQ(program.pistaAudio, 2);
		EXPECT_EQ(program.codificadorObs, QStringLiteral("emision"));
		EXPECT_EQ(program.codificador, EntryConfig().codificador) << "its own stays stored";
		// Opened again, the choice is there.
		EntryDialog again(nullptr, program, true, false, {});
		showDialog(again);
		EXPECT_EQ(named<QComboBox>(&again, "encoderCombo")->currentIndex(), 0);
		EXPECT_EQ(again.resultConfig().codificadorObs, QStringLiteral("emision"));
	}

	OBSSourceAutoRelease cam = obstest::makeColor("Cam", 0xFF0000FF, 320, 180);
	OBSSceneAutoRelease sceneA = obstest::makeScene("Scene A", {cam});
	OBSSceneAutoRelease sceneB = obstest::makeScene("Scene B", {cam});
	frontend::setScenes({"Scene A", "Scene B", "Scene A"}); // OBS 29 may name a scene twice: listed once
	EntryConfig entry;
	entry.fuente = QStringLiteral("Deleted scene");
	entry.equivalencias.insert(QStringLiteral("Scene B"), QStringLiteral("Scene A"));
	EntryDialog dialog(nullptr, entry, true, false, {});
	showDialog(dialog);
	auto *source = named<QComboBox>(&dialog, "sourceCombo");
	EXPECT_EQ(itemTexts(source),
		  (QStringList{tr("📺 Programa de OBS (lo que OBS emite)"), tr("🎬 Escena: ") + "Scene A",
			       tr("🎬 Escena: ") + "Scene B", tr("🎥 Fuente: ") + "Cam",
			       "⚠ Deleted scene" + tr(" (ya no existe)")}));
	EXPECT_EQ(source->currentIndex(), 4);
	EXPECT_FALSE(named<QComboBox>(&dialog, "trackCombo")->isEnabled()) << "only for OBS's program";
	auto *panel = named<QWidget>(&dialog, "equivalencePanel");
	EXPECT_FALSE(panel->isVisible());

	auto *follow = named<QCheckBox>(&dialog, "followCheck");
	clickCheck(follow);
	EXPECT_TRUE(panel->isVisible());
	EXPECT_FALSE(source->isEnabled());
	auto *add = named<QPushButton>(&dialog, "addEquivalenceButton");
	for (int i = 0; i < 3; ++i) {
		click(add);
	}
	const QList<QComboBox *> sides = panel->findChildren<QComboBox *>();
	ASSERT_EQ(sides.size(), 8);
	EXPECT_EQ(sides[0]->currentText(), QStringLiteral("Scene B"));
	EXPECT_EQ(itemTexts(sides[3]),
		  (QStringList{QStringLiteral("🎬 Scene A"), QStringLiteral("🎬 Scene B"), QStringLiteral("🎥 Cam")}));
	// Row 2 is left untouched (Scene A to Scene A); rows 3 and 4 map the same scene, and the lower one wins.
	chooseItem(sides[5], QStringLiteral("🎬 Scene B"));
	chooseItem(sides[7], QStringLiteral("🎥 Cam"));
	clickCheck(follow);
	EXPECT_TRUE(source->isEnabled());
	EXPECT_FALSE(panel->isVisible());

	EXPECT_EQ(confirmDialog(dialog), QString());
	const EntryConfig saved = dialog.resultConfig();
	EXPECT_EQ(saved.fuente, QStringLiteral("Deleted scene"));
	EXPECT_FALSE(saved.seguirObs);
	EXPECT_EQ(saved.equivalencias,
		  (QMap<QString, QString>{{QStringLiteral("Scene A"), QStringLiteral("Cam")},
					  {QStringLiteral("Scene B"), QStringLiteral("Scene A")}}));
	frontend::setScenes({});
}
