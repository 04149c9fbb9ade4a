#include "ui-fixture.hpp"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <memory>

namespace uitest {

namespace {

class QtEnvironment : public testing::Environment {
public:
	void SetUp() override
	{
		static int argc = 1;
		static char name[] = "ui_tests";
		static char *argv[] = {name, nullptr};
		app = std::make_unique<QApplication>(argc, argv);
	}
	void TearDown() override
	{
		QApplication::processEvents();
		app.reset();
	}

private:
	std::unique_ptr<QApplication> app;
};

} // namespace

int runWithWidgets(int argc, char **argv)
{
	// libobs starts first (it brings up the display), then Qt on that display.
	return obstest::runWithObs(argc, argv, new QtEnvironment);
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
	QElapsedTimer timer;
	timer.start();
	while (!done()) {
		if (timer.elapsed() > timeoutMs) {
			return done();
		}
		QTest::qWait(20);
	}
	return true;
}

void pump(int ms)
{
	QTest::qWait(ms);
}

QList<QAbstractButton *> findButtons(QWidget *root, const QString &text)
{
	QList<QAbstractButton *> found;
	for (QAbstractButton *button : root->findChildren<QAbstractButton *>()) {
		if (button->isVisible() && button->text() == text) {
			found.append(button);
		}
	}
	return found;
}

QAbstractButton *findButton(QWidget *root, const QString &text)
{
	const auto buttons = findButtons(root, text);
	return buttons.isEmpty() ? nullptr : buttons.first();
}

void click(QWidget *widget)
{
	QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
}

QStringList labelTexts(QWidget *root)
{
	QStringList texts;
	for (QLabel *label : root->findChildren<QLabel *>()) {
		if (label->isVisible()) {
			texts.append(label->text());
		}
	}
	return texts;
}

void answerNextModal(const std::function<void(QWidget *)> &answer)
{
	auto *poll = new QTimer(qApp);
	QObject::connect(poll, &QTimer::timeout, poll, [poll, answer] {
		QWidget *modal = QApplication::activeModalWidget();
		if (!modal || !modal->isVisible()) {
			return;
		}
		poll->stop();
		poll->deleteLater();
		answer(modal);
	});
	poll->start(20);
}

void clickInNextModal(const QString &buttonText)
{
	answerNextModal([buttonText](QWidget *modal) {
		QAbstractButton *button = findButton(modal, buttonText);
		ASSERT_NE(button, nullptr) << "no button " << buttonText.toStdString();
		click(button);
	});
}

} // namespace uitest
