#pragma once

#include <QByteArray>
#include <QWidget>

#include <vector>

class QFormLayout;
class QLabel;
struct obs_properties;
struct obs_property;
struct obs_data;
typedef struct obs_properties obs_properties_t;
typedef struct obs_property obs_property_t;
typedef struct obs_data obs_data_t;

// One encoder property shown in the form.
struct PropertyRow {
	QByteArray name;
	int type = 0;
	int listFormat = 0;
	QLabel *label = nullptr;
	QWidget *editor = nullptr;
};

// The encoder's own OBS properties as a form editing one settings object. The bitrate is never shown: the
// dialog's video quality owns it.
class EncoderForm : public QWidget {
	Q_OBJECT

public:
	explicit EncoderForm(QWidget *parent);
	~EncoderForm() override;

	// Shows the properties of encoder `encoderId` editing `newSettings` (taken over), or the no-settings hint.
	void load(const char *encoderId, obs_data_t *newSettings);
	// Shows only a hint and edits nothing: the stored settings stay as they are.
	void showHint(const QString &text);
	void clear();
	void addProperty(obs_property_t *property);
	void refresh();
	void syncRow(const PropertyRow &row);

	obs_data_t *settingsObject() const { return settings; }
	const std::vector<PropertyRow> &propertyRows() const { return rows; }

private:
	// One editor per kind of property, each writing its value into the settings as it changes.
	QWidget *boolEditor(const QByteArray &name);
	QWidget *intEditor(obs_property_t *property, const QByteArray &name);
	QWidget *floatEditor(obs_property_t *property, const QByteArray &name);
	QWidget *textEditor(obs_property_t *property, const QByteArray &name);
	QWidget *listEditor(obs_property_t *property, const QByteArray &name, int format);
	void written(const QByteArray &name);
	void addHint(const QString &text);

	QFormLayout *form = nullptr;
	obs_properties_t *properties = nullptr;
	obs_data_t *settings = nullptr;
	std::vector<PropertyRow> rows;
};
