#pragma once

#include "config/config-store.hpp"
#include "editor/editor-rules.hpp"

#include <QDialog>
#include <QList>

#include <map>
#include <utility>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class DestRowWidget;
class EncoderForm;
class NoWheelComboBox;
class NoWheelSpinBox;
class QLabel;

// A greyed explanatory text.
QLabel *hintLabel(const QString &text, QWidget *parent);

// The modal dialog that creates or edits one entry, and edits the encoder profiles as a working copy.
class EntryDialog : public QDialog {
	Q_OBJECT

public:
	// streaming: the entry streams now, so only what can change live stays editable.
	EntryDialog(QWidget *parent, const EntryConfig &entry, bool isEdit, bool streaming,
		    const QList<ProfileConfig> &profiles);
	~EntryDialog() override;

	// The entry as the widgets hold it; new identifiers for an entry or destination that has none.
	EntryConfig resultConfig() const;
	void addDestRow(const DestConfig &destination);
	void accept() override;

	static QList<EncoderChoice> videoEncoderChoices();
	static void selectAudioCodec(QComboBox *combo, const QString &text);
	// Selects the item named `name`, adding it marked as missing when OBS no longer has it.
	static void selectOrMarkMissing(QComboBox *combo, const QString &name);

	void rebuildEncoderForm(const QString &settingsText);
	void fillProfileCombo(const QString &selectName);
	void applyProfile(int index);
	void saveProfile();
	void deleteProfile();
	void addEquivalenceRow(const QString &obsScene, const QString &entryScene);

	// Read by the panel after exec(), whatever the result.
	QList<ProfileConfig> profiles;
	bool profilesChanged = false;

private:
	struct EquivalenceRow {
		QWidget *row;
		NoWheelComboBox *obsScene;
		NoWheelComboBox *entryScene;
	};

	// The dialog's sections, built in their order on screen (which is also the tab order).
	void buildSourceRows(QFormLayout *form);
	void buildVideoRows(QFormLayout *form);
	void buildAudioRows(QFormLayout *form);
	void buildPictureRows(QFormLayout *form);
	void buildWithObsRows(QFormLayout *form);
	void buildDestinationsSection(QWidget *content, QVBoxLayout *contentLayout);
	void buildButtons(QVBoxLayout *outer);
	void selectStartingEncoder(bool isEdit);
	void addStoredDestinations();
	// Disables what cannot change while the entry streams.
	void lockForLive();
	QWidget *buildSourceCombo();
	void buildFollowRows(QFormLayout *form);
	void updateFollowState();
	bool programChosen() const;
	QString followProblem() const;
	void writeFollowResult(EntryConfig &result) const;
	QWidget *buildProfileRow();
	void buildAdvancedSection(QFormLayout *form);
	void showAdvanced(bool checked);
	void updateFramingEnabled();
	// OBS's own encoders, offered first in the encoder list while OBS's program is chosen.
	void updateSharedEncoderItems();
	void updateSharingState();
	// "emision" or "grabacion" while one of OBS's encoders is chosen; empty otherwise.
	QString sharedEncoderChoice() const;
	QString sharedEncoderHint(const QString &choice) const;
	void removeDestRow(DestRowWidget *row);
	// Greys out the encoders whose codec one of the destinations cannot carry, saying which one in the item's
	// tooltip. The chosen one stays selectable: OK then says why it cannot go.
	void updateEncoderOffer();
	QString currentEncoderSettingsJson() const;
	// The encoding as the widgets show it; settingsWithoutForm when the encoder has no settings form.
	EncodingConfig shownEncoding(const QString &settingsWithoutForm) const;

	EntryConfig entry;
	const bool streaming;
	NoWheelComboBox *profileCombo = nullptr;
	QPushButton *deleteProfileButton = nullptr;
	NoWheelComboBox *sourceCombo = nullptr;
	QLineEdit *nameField = nullptr;
	QCheckBox *followCheck = nullptr;
	NoWheelComboBox *trackCombo = nullptr;
	QWidget *equivalencePanel = nullptr;
	QVBoxLayout *equivalenceLayout = nullptr;
	QVBoxLayout *equivalenceRowsLayout = nullptr;
	QPushButton *addEquivalenceButton = nullptr;
	QList<EquivalenceRow> equivalenceRows;
	NoWheelComboBox *encoderCombo = nullptr;
	// The edited entry's encoder when this OBS does not offer it.
	QString unofferedEncoder;
	bool sharedChoiceRestored = false;
	// What each kind of destination carries on this OBS (asking may create an output).
	std::map<std::pair<AddressKind, bool>, QStringList> carriedByKind;
	NoWheelSpinBox *videoKbpsBox = nullptr;
	NoWheelComboBox *audioKbpsCombo = nullptr;
	NoWheelComboBox *audioCodecCombo = nullptr;
	NoWheelSpinBox *audioDelayBox = nullptr;
	NoWheelComboBox *sizeCombo = nullptr;
	NoWheelComboBox *framingCombo = nullptr;
	NoWheelComboBox *frameRateCombo = nullptr;
	// Start and stop with OBS's own stream and recording.
	QCheckBox *startWithStreamCheck = nullptr;
	QCheckBox *stopWithStreamCheck = nullptr;
	QCheckBox *startWithRecordingCheck = nullptr;
	QCheckBox *stopWithRecordingCheck = nullptr;
	QToolButton *advancedToggle = nullptr;
	QWidget *advancedPanel = nullptr;
	EncoderForm *encoderForm = nullptr;
	QVBoxLayout *destinationsLayout = nullptr;
	QCheckBox *showKeysCheck = nullptr;
	QList<DestRowWidget *> destRows;
	QPushButton *addDestButton = nullptr;
};
