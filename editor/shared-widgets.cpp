#include "editor/shared-widgets.hpp"

#include <QEvent>
#include <QFontMetrics>
#include <QTextDocument>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>

namespace {

// The wheel belongs to the scroll area around the box unless the user is working in the box.
template<typename Base> bool takesWheel(Base *box, QWheelEvent *event)
{
	if (box->hasFocus()) {
		return true;
	}
	event->ignore();
	return false;
}

} // namespace

NoWheelComboBox::NoWheelComboBox(QWidget *parent) : QComboBox(parent)
{
	setFocusPolicy(Qt::StrongFocus);
}

NoWheelComboBox::~NoWheelComboBox() = default;

void NoWheelComboBox::wheelEvent(QWheelEvent *event)
{
	if (takesWheel(this, event)) {
		QComboBox::wheelEvent(event);
	}
}

NoWheelSpinBox::NoWheelSpinBox(QWidget *parent) : QSpinBox(parent)
{
	setFocusPolicy(Qt::StrongFocus);
	setKeyboardTracking(false);
}

NoWheelSpinBox::~NoWheelSpinBox() = default;

void NoWheelSpinBox::wheelEvent(QWheelEvent *event)
{
	if (takesWheel(this, event)) {
		QSpinBox::wheelEvent(event);
	}
}

void NoWheelSpinBox::focusInEvent(QFocusEvent *event)
{
	QSpinBox::focusInEvent(event);
	QTimer::singleShot(0, this, [this] { selectAll(); });
}

void NoWheelSpinBox::mousePressEvent(QMouseEvent *event)
{
	const bool hadFocus = hasFocus();
	QSpinBox::mousePressEvent(event);
	if (!hadFocus) {
		QTimer::singleShot(0, this, [this] { selectAll(); });
	}
}

void NoWheelSpinBox::fixup(QString &input) const
{
	QString text = input;
	if (!suffix().isEmpty()) {
		text.remove(suffix(), Qt::CaseSensitive);
	}
	bool ok = false;
	const qlonglong number = text.trimmed().toLongLong(&ok, 10);
	if (!ok) {
		QSpinBox::fixup(input);
		return;
	}
	input = QString::number(std::max<qlonglong>(std::min<qlonglong>(number, maximum()), minimum()));
}

NoWheelDoubleSpinBox::NoWheelDoubleSpinBox(QWidget *parent) : QDoubleSpinBox(parent)
{
	setFocusPolicy(Qt::StrongFocus);
}

NoWheelDoubleSpinBox::~NoWheelDoubleSpinBox() = default;

void NoWheelDoubleSpinBox::wheelEvent(QWheelEvent *event)
{
	if (takesWheel(this, event)) {
		QDoubleSpinBox::wheelEvent(event);
	}
}

QString plainToolTip(const QString &text)
{
	if (!Qt::mightBeRichText(text)) {
		return text;
	}
	return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
}

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
	// It shows names, addresses and servers' errors: an elided "<b…" must not turn into markup.
	setTextFormat(Qt::PlainText);
}

ElidedLabel::~ElidedLabel() = default;

void ElidedLabel::setFullText(const QString &text)
{
	full = text;
	elide();
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
	QLabel::resizeEvent(event);
	elide();
}

void ElidedLabel::changeEvent(QEvent *event)
{
	QLabel::changeEvent(event);
	if (event->type() == QEvent::FontChange) {
		elide();
	}
}

void ElidedLabel::elide()
{
	const int available = std::max(0, width() - 2);
	QLabel::setText(fontMetrics().elidedText(full, Qt::ElideRight, available));
}
