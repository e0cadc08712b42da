// Driving the windows as an operator does: finding their controls, opening them, answering the
// dialogs they open.
#pragma once

#include "gui/datautility.h"

#include <QApplication>
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

inline void openAndActivate(QWidget& window)
{
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
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
// dialogs that the code under test opens with exec().
template <typename T> void whenModal(std::function<void(T*)> action, int timeoutMs = 10000)
{
    auto* timer = new QTimer(qApp);
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, waited, action, timeoutMs] {
        *waited += timer->interval();
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
        } else if (*waited > timeoutMs) {
            timer->deleteLater();
            timer->stop();
            qWarning("no modal window of the expected type appeared");
        }
    });
    timer->start(10);
}

// Keys reach the window the operator works in. qWaitForWindowActive() would not do: a dialog
// counts as active there as soon as the window it stands over is.
inline void waitUntilActive(QWidget* window)
{
    QTRY_COMPARE(QApplication::activeWindow(), window);
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
