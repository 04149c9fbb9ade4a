#pragma once

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSpinBox>

// Boxes that let the wheel scroll a long form instead of changing a value the pointer happens to pass over:
// only a focused box takes the wheel.
class NoWheelComboBox : public QComboBox {
	Q_OBJECT

public:
	explicit NoWheelComboBox(QWidget *parent);
	~NoWheelComboBox() override;

protected:
	void wheelEvent(QWheelEvent *event) override;
};

// Also selects its whole text when entered, and clamps a typed number instead of rejecting it.
class NoWheelSpinBox : public QSpinBox {
	Q_OBJECT

public:
	explicit NoWheelSpinBox(QWidget *parent);
	~NoWheelSpinBox() override;

	void fixup(QString &input) const override;

protected:
	void mousePressEvent(QMouseEvent *event) override;
	void focusInEvent(QFocusEvent *event) override;
	void wheelEvent(QWheelEvent *event) override;
};

class NoWheelDoubleSpinBox : public QDoubleSpinBox {
	Q_OBJECT

public:
	explicit NoWheelDoubleSpinBox(QWidget *parent);
	~NoWheelDoubleSpinBox() override;

protected:
	void wheelEvent(QWheelEvent *event) override;
};

// A tooltip that shows the text as it is: Qt takes a tooltip that looks like markup for rich text.
QString plainToolTip(const QString &text);

// One line of text cut with an ellipsis at the right to the label's width, never read as markup.
class ElidedLabel : public QLabel {
	Q_OBJECT

public:
	explicit ElidedLabel(QWidget *parent = nullptr);
	~ElidedLabel() override;

	void setFullText(const QString &text);
	const QString &fullText() const { return full; }

protected:
	void resizeEvent(QResizeEvent *event) override;
	void changeEvent(QEvent *event) override;

private:
	void elide();

	QString full;
};
