// Driving the windows as an operator does: finding their controls, opening them, answering the
// dialogs they open.
#pragma once

#include "gui/datautility.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>

template <typename T> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

inline QPushButton* button(QWidget& window, const char* name)
{
    return child<QPushButton>(window, name);
}

// The application's font at `pixels`; at 9 the layouts keep the exact geometry they are drawn for.
inline QFont fontOfPixelSize(int pixels)
{
    QFont font = QApplication::font();
    font.setPixelSize(pixels);
    return font;
}

// How long a test waits at most for a window to open or become active: only a hang takes this long,
// however busy the machine.
constexpr int windowWaitMs = 60'000;

inline void openAndActivate(QWidget& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window, windowWaitMs));
}

// Every label, button and frame title of `window` shows its whole text.
inline void verifyTextsFit(QWidget& window)
{
    for (QWidget* widget : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        const QFontMetrics metrics = widget->fontMetrics();
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            for (const QString& line : label->text().split(u'\n')) {
                needed = std::max(needed, metrics.horizontalAdvance(line));
            }
        } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
            needed = metrics.horizontalAdvance(button->text());
        } else if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
            needed = metrics.horizontalAdvance(frame->title());
        }
        QVERIFY2(needed <= widget->width(), qPrintable(widget->objectName()));
    }
}

// Runs `action` on the next modal window of type T as soon as it is open. Tests use it to answer
// dialogs that the code under test opens with exec(). The watch ends by itself; stopping the timer
// it gives back ends it sooner.
template <typename T>
QPointer<QTimer> whenModal(std::function<void(T*)> action, int timeoutMs = windowWaitMs)
{
    auto* timer = new QTimer(qApp);
    const QDeadlineTimer deadline(timeoutMs);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, deadline, action, timeoutMs] {
        if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget());
            window != nullptr && window->isVisible()) {
            timer->deleteLater();
            timer->stop();
            QPointer<T> answered(window);
            action(window);
            // A failed check inside `action` must not leave the test waiting on an open window.
            QTimer::singleShot(timeoutMs, qApp, [answered] {
                if (answered && answered->isVisible()) {
                    qWarning("the modal window was left open; closing it");
                    answered->reject();
                }
            });
        } else if (deadline.hasExpired()) {
            timer->deleteLater();
            timer->stop();
            qWarning("no modal window of the expected type appeared");
        }
    });
    timer->start(10);
    return timer;
}

// Returns once what the last keys and clicks set off has run: no button is still held down by an
// animated click (it clicks only as it lets go), and everything posted to the event loop until
// then has been delivered, down to the last dialog it opened and closed again. The positive sign
// that the moment in which something could have happened is over.
inline void waitUntilSettled()
{
    const auto anyButtonDown = [] {
        const QWidgetList widgets = QApplication::allWidgets();
        return std::any_of(widgets.cbegin(), widgets.cend(), [](QWidget* widget) {
            auto* button = qobject_cast<QAbstractButton*>(widget);
            return button != nullptr && button->isDown();
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(!anyButtonDown(), windowWaitMs);
    bool delivered = false;
    QMetaObject::invokeMethod(
        qApp, [&delivered] { delivered = true; }, Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(delivered, windowWaitMs);
}

// Runs `act` and tells whether a modal window of type T opened, at once or from what `act` left to
// the event loop; one that did is closed again. Told only once all that has run.
template <typename T> bool opensModal(const std::function<void()>& act)
{
    bool opened = false;
    const QPointer<QTimer> watch = whenModal<T>([&opened](T* window) {
        opened = true;
        window->close();
    });
    act();
    waitUntilSettled();
    if (watch) {
        watch->stop();
        watch->deleteLater();
    }
    return opened;
}

// Keys reach the window the operator works in. qWaitForWindowActive() would not do: a dialog
// counts as active there as soon as the window it stands over is.
inline void waitUntilActive(QWidget* window)
{
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), window, windowWaitMs);
}

inline QString labelText(QWidget& dialog, const char* name)
{
    auto* label = child<QLabel>(dialog, name);
    return label ? label->text() : QString();
}

// Presses "Pilih" in the Backup frame and chooses `directory` in the selector.
inline void chooseTargetDir(ranupa::DataUtility& window, const QString& directory)
{
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        selector->setDirectory(directory);
        static_cast<QDialog*>(selector)->accept();
    });
    QTest::mouseClick(button(window, "cmdPilihBackup"), Qt::LeftButton);
}

// Presses "Pilih" in the Restore frame and types `file` into the selector.
inline void chooseBackupFile(ranupa::DataUtility& window, const QString& file)
{
    whenModal<QFileDialog>([&](QFileDialog* selector) {
        child<QLineEdit>(*selector, "fileNameEdit")->setText(file);
        static_cast<QDialog*>(selector)->accept();
    });
    QTest::mouseClick(button(window, "cmdPilihRestore"), Qt::LeftButton);
}

// What a message box showed.
struct MessageShown
{
    QString title;
    QString text;
    QString details;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::TextFormat format = Qt::AutoText;
    QString summary; // the cause and what to do, under the text
    QStringList buttons;
};

// Presses `pressed` and answers the message box that ends the operation it starts, pressing its
// button named `alsoPress` first, where one is named.
inline MessageShown pressAndReadMessage(QPushButton* pressed, const char* alsoPress = nullptr)
{
    MessageShown seen;
    whenModal<QMessageBox>(
        [&](QMessageBox* shown) {
            seen = {shown->windowTitle(), shown->text(),       shown->detailedText(),
                    shown->icon(),        shown->textFormat(), shown->informativeText()};
            for (const QAbstractButton* button : shown->buttons()) {
                seen.buttons << button->text();
            }
            if (alsoPress != nullptr) {
                auto* also = child<QPushButton>(*shown, alsoPress);
                QVERIFY2(also != nullptr && also->isVisible(), alsoPress);
                QTest::mouseClick(also, Qt::LeftButton);
            }
            QTest::mouseClick(shown->button(QMessageBox::Ok), Qt::LeftButton);
        },
        120000);
    QTest::mouseClick(pressed, Qt::LeftButton);
    return seen;
}
