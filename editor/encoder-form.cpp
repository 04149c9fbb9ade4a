#include "editor/encoder-form.hpp"
#include "editor/shared-widgets.hpp"
#include "base/language.hpp"

#include <obs.h>

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

#include <algorithm>
#include <cstring>

namespace {

QString suffixFor(const char *suffix)
{
	return suffix && *suffix ? QStringLiteral(" ") + QString::fromUtf8(suffix) : QString();
}

bool isBoolList(int format)
{
#if LIBOBS_API_MAJOR_VER >= 31
	return format == OBS_COMBO_FORMAT_BOOL;
#else
	Q_UNUSED(format);
	return false;
#endif
}

QVariant listItemValue(obs_property_t *property, size_t index, int format)
{
	switch (format) {
	case OBS_COMBO_FORMAT_INT:
		return QVariant(qlonglong(obs_property_list_item_int(property, index)));
	case OBS_COMBO_FORMAT_FLOAT:
		return QVariant(obs_property_list_item_float(property, index));
	default:
#if LIBOBS_API_MAJOR_VER >= 31
		if (isBoolList(format)) {
			return QVariant(obs_property_list_item_bool(property, index));
		}
#endif
		return QVariant(QString::fromUtf8(obs_property_list_item_string(property, index)));
	}
}

QVariant storedListValue(obs_data_t *settings, const char *name, int format)
{
	switch (format) {
	case OBS_COMBO_FORMAT_INT:
		return QVariant(qlonglong(obs_data_get_int(settings, name)));
	case OBS_COMBO_FORMAT_FLOAT:
		return QVariant(obs_data_get_double(settings, name));
	default:
		if (isBoolList(format)) {
			return QVariant(obs_data_get_bool(settings, name));
		}
		return QVariant(QString::fromUtf8(obs_data_get_string(settings, name)));
	}
}

} // namespace

EncoderForm::EncoderForm(QWidget *parent) : QWidget(parent)
{
	form = new QFormLayout(this);
	form->setContentsMargins(0, 0, 0, 0);
	form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
}

EncoderForm::~EncoderForm()
{
	clear();
}

void EncoderForm::clear()
{
	rows.clear();
	while (form->rowCount() > 0) {
		form->removeRow(0);
	}
	obs_properties_destroy(properties);
	properties = nullptr;
	obs_data_release(settings);
	settings = nullptr;
}

void EncoderForm::showHint(const QString &text)
{
	clear();
	addHint(text);
}

void EncoderForm::addHint(const QString &text)
{
	auto *hint = new QLabel(text, this);
	hint->setObjectName(QStringLiteral("encoderHint"));
	hint->setWordWrap(true);
	hint->setEnabled(false);
	form->addRow(hint);
}

void EncoderForm::load(const char *encoderId, obs_data_t *newSettings)
{
	clear();
	settings = newSettings;
	properties = obs_get_encoder_properties(encoderId);
	if (!properties) {
		addHint(translate("Este codificador no ofrece ajustes avanzados."));
		return;
	}
	obs_properties_apply_settings(properties, settings);
	for (obs_property_t *property = obs_properties_first(properties); property;) {
		addProperty(property);
		if (!obs_property_next(&property)) {
			break;
		}
	}
	refresh();
}

void EncoderForm::addProperty(obs_property_t *property)
{
	const char *rawName = obs_property_name(property);
	if (!rawName || strcmp(rawName, "bitrate") == 0) {
		return;
	}
	PropertyRow row;
	row.name = QByteArray(rawName);
	row.type = obs_property_get_type(property);
	const QByteArray name = row.name;

	switch (obs_property_get_type(property)) {
	case OBS_PROPERTY_BOOL:
		row.editor = boolEditor(name);
		break;
	case OBS_PROPERTY_INT:
		row.editor = intEditor(property, name);
		break;
	case OBS_PROPERTY_FLOAT:
		row.editor = floatEditor(property, name);
		break;
	case OBS_PROPERTY_TEXT:
		row.editor = textEditor(property, name);
		break;
	case OBS_PROPERTY_LIST:
		row.listFormat = obs_property_list_format(property);
		row.editor = listEditor(property, name, row.listFormat);
		break;
	default:
		return;
	}

	const char *description = obs_property_description(property);
	row.label = new QLabel(
		description && *description ? QString::fromUtf8(description) : QString::fromUtf8(rawName), this);
	row.label->setWordWrap(true);
	form->addRow(row.label, row.editor);
	rows.push_back(row);
}

QWidget *EncoderForm::boolEditor(const QByteArray &name)
{
	auto *box = new QCheckBox(this);
	connect(box, &QCheckBox::toggled, this, [this, name](bool value) {
		obs_data_set_bool(settings, name.constData(), value);
		written(name);
	});
	return box;
}

QWidget *EncoderForm::intEditor(obs_property_t *property, const QByteArray &name)
{
	auto *box = new NoWheelSpinBox(this);
	box->setRange(obs_property_int_min(property), obs_property_int_max(property));
	const int step = obs_property_int_step(property);
	box->setSingleStep(step < 2 ? 1 : step);
	box->setSuffix(suffixFor(obs_property_int_suffix(property)));
	connect(box, qOverload<int>(&QSpinBox::valueChanged), this, [this, name](int value) {
		obs_data_set_int(settings, name.constData(), value);
		written(name);
	});
	return box;
}

QWidget *EncoderForm::floatEditor(obs_property_t *property, const QByteArray &name)
{
	auto *box = new NoWheelDoubleSpinBox(this);
	box->setFocusPolicy(Qt::StrongFocus);
	box->setRange(obs_property_float_min(property), obs_property_float_max(property));
	const double step = obs_property_float_step(property);
	box->setSingleStep(step > 0 ? step : 0.1);
	box->setSuffix(suffixFor(obs_property_float_suffix(property)));
	connect(box, qOverload<double>(&QDoubleSpinBox::valueChanged), this, [this, name](double value) {
		obs_data_set_double(settings, name.constData(), value);
		written(name);
	});
	return box;
}

QWidget *EncoderForm::textEditor(obs_property_t *property, const QByteArray &name)
{
	auto *field = new QLineEdit(this);
	if (obs_property_text_type(property) == OBS_TEXT_PASSWORD) {
		field->setEchoMode(QLineEdit::Password);
	}
	connect(field, &QLineEdit::textEdited, this, [this, name](const QString &text) {
		obs_data_set_string(settings, name.constData(), text.toUtf8().constData());
		written(name);
	});
	return field;
}

QWidget *EncoderForm::listEditor(obs_property_t *property, const QByteArray &name, int format)
{
	auto *combo = new NoWheelComboBox(this);
	const size_t count = obs_property_list_item_count(property);
	for (size_t i = 0; i < count; ++i) {
		if (obs_property_list_item_disabled(property, i)) {
			continue;
		}
		combo->addItem(QString::fromUtf8(obs_property_list_item_name(property, i)),
			       listItemValue(property, i, format));
	}
	connect(combo, qOverload<int>(&QComboBox::activated), this, [this, name, format, combo](int index) {
		const QVariant value = combo->itemData(index);
		if (format == OBS_COMBO_FORMAT_INT) {
			obs_data_set_int(settings, name.constData(), value.toLongLong());
		} else if (format == OBS_COMBO_FORMAT_FLOAT) {
			obs_data_set_double(settings, name.constData(), value.toDouble());
		} else if (isBoolList(format)) {
			obs_data_set_bool(settings, name.constData(), value.toBool());
		} else {
			obs_data_set_string(settings, name.constData(), value.toString().toUtf8().constData());
		}
		written(name);
	});
	return combo;
}

void EncoderForm::written(const QByteArray &name)
{
	// The encoder's own callbacks show, hide or change other properties after a value changes.
	if (properties) {
		if (obs_property_t *property = obs_properties_get(properties, name.constData())) {
			obs_property_modified(property, settings);
		}
	}
	refresh();
}

void EncoderForm::refresh()
{
	if (!properties) {
		return;
	}
	for (const PropertyRow &row : rows) {
		obs_property_t *property = obs_properties_get(properties, row.name.constData());
		const bool visible = property && obs_property_visible(property);
		const bool enabled = property && obs_property_enabled(property);
		row.label->setVisible(visible);
		row.editor->setVisible(visible);
		row.editor->setEnabled(enabled);
		syncRow(row);
	}
}

void EncoderForm::syncRow(const PropertyRow &row)
{
	const QSignalBlocker blocker(row.editor);
	const char *name = row.name.constData();
	switch (row.type) {
	case OBS_PROPERTY_BOOL:
		static_cast<QCheckBox *>(row.editor)->setChecked(obs_data_get_bool(settings, name));
		break;
	case OBS_PROPERTY_INT: {
		auto *box = static_cast<QSpinBox *>(row.editor);
		const int value = int(obs_data_get_int(settings, name));
		// A stored value outside the published range is shown as it is rather than silently clamped.
		box->setRange(std::min(box->minimum(), value), std::max(box->maximum(), value));
		box->setValue(value);
		break;
	}
	case OBS_PROPERTY_FLOAT: {
		auto *box = static_cast<QDoubleSpinBox *>(row.editor);
		const double value = obs_data_get_double(settings, name);
		box->setRange(std::min(box->minimum(), value), std::max(box->maximum(), value));
		box->setValue(value);
		break;
	}
	case OBS_PROPERTY_TEXT: {
		auto *field = static_cast<QLineEdit *>(row.editor);
		const QString text = QString::fromUtf8(obs_data_get_string(settings, name));
		if (text != field->text()) {
			field->setText(text);
		}
		break;
	}
	case OBS_PROPERTY_LIST: {
		auto *combo = static_cast<QComboBox *>(row.editor);
		const QVariant value = storedListValue(settings, name, row.listFormat);
		int index = combo->findData(value, Qt::UserRole, Qt::MatchExactly);
		if (index < 0) {
			combo->addItem(value.toString(), value);
			index = combo->count() - 1;
		}
		combo->setCurrentIndex(index);
		break;
	}
	default:
		break;
	}
}
