// Driving the windows as an operator does: finding their controls, opening them, answering the
// dialogs they open.
#pragma once

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
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
