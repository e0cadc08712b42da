#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

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
