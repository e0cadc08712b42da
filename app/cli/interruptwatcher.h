#pragma once

#include <QObject>
#include <functional>

namespace ranupa::cli {

// Turns a request to stop from outside into one call of `onInterrupt` on the main thread, so that
// an interrupted backup removes its partial file and an interrupted restore puts pendataan back,
// instead of the process dying half-way. The requests: SIGINT, SIGTERM and SIGHUP (the terminal
// or the ssh session that started the program closes) on Unix; the console's Ctrl+C, Ctrl+Break
// and the closing of its window on Windows. Watches while it lives; one at a time.
class InterruptWatcher final : public QObject
{
    Q_DISABLE_COPY_MOVE(InterruptWatcher)

public:
    explicit InterruptWatcher(std::function<void()> onInterrupt);
    ~InterruptWatcher() override;
    bool interrupted() const { return m_interrupted; }

private:
    void notice();

    std::function<void()> m_onInterrupt;
    QObject* m_notifier = nullptr;
    bool m_interrupted = false;
};

} // namespace ranupa::cli
