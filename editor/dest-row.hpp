#pragma once

#include "config/config-store.hpp"
#include "editor/editor-rules.hpp"

#include <QFrame>

#include <functional>

class QLabel;
class QLineEdit;
class QWidget;
class NoWheelComboBox;

// One destination in the entry dialog: template, address, key and SRT passphrase, with the detected kind.
class DestRowWidget : public QFrame {
	Q_OBJECT

public:
	DestRowWidget(const DestConfig &destination, QWidget *parent,
		      std::function<void(DestRowWidget *)> removeRequested);
	~DestRowWidget() override;

	// The error text for this row as destination `number` (counted among non-blank rows), or empty.
	QString validate(int number) const;
	void updateDetectedType();

	const DestConfig &sourceRecord() const { return source; }
	DestTexts texts() const;
	QLineEdit *keyField() const { return key; }
	QLineEdit *passphraseField() const { return passphrase; }

signals:
	// The row became another kind of destination (RTMP, SRT, a recording…): what it can carry may differ.
	void kindChanged();

private:
	void noteKind();
	void chooseTemplate(int index);
	void addressEdited(const QString &text);
	QWidget *buildRecordingFields();
	void showKind(bool recordingRow);

	DestConfig source;
	NoWheelComboBox *templates = nullptr;
	bool applyingTemplate = false;
	QLineEdit *address = nullptr;
	QLineEdit *key = nullptr;
	QLineEdit *passphrase = nullptr;
	QLabel *typeLine = nullptr;
	// A recording to a file in place of a server.
	bool recording = false;
	// The kind last announced: a recording, or the address's kind.
	int shownKind = -1;
	QWidget *recordingFields = nullptr;
	QLineEdit *folder = nullptr;
	QLineEdit *pattern = nullptr;
	NoWheelComboBox *format = nullptr;
};
