#include "cli/interruptwatcher.h"

#ifdef Q_OS_WIN
#include <QWinEventNotifier>
#include <qt_windows.h>
#else
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <unistd.h>
#endif

namespace ranupa::cli {

#ifdef Q_OS_WIN

namespace {

// The console's handler runs on a thread that Windows starts for it; it reaches the main thread
// through this event, and can reach nothing but static data.
HANDLE interruptEvent = nullptr;
// Set while a handler holds on (see handleConsoleEvent).
volatile LONG consoleClosing = 0;

BOOL WINAPI handleConsoleEvent(DWORD type)
{
    SetEvent(interruptEvent);
    // Windows ends the process as soon as the handler returns from the closing of the console
    // (or some seconds later): the clean-up on the main thread ends the process itself instead,
    // with its own exit code. Meanwhile the handlers' lock stays taken.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        InterlockedExchange(&consoleClosing, 1);
        Sleep(INFINITE);
    }
    return TRUE;
}

} // namespace

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
    : m_onInterrupt(std::move(onInterrupt))
{
    interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (interruptEvent == nullptr) {
        return;
    }
    auto* notifier = new QWinEventNotifier(interruptEvent, this);
    m_notifier = notifier;
    QObject::connect(notifier, &QWinEventNotifier::activated, this, &InterruptWatcher::notice);
    // Started in a process group of its own, a program ignores Ctrl+C unless it asks for it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(&handleConsoleEvent, TRUE);
}

InterruptWatcher::~InterruptWatcher()
{
    // With the console closing, the handlers' lock is not to be had, and nothing is to be undone.
    if (InterlockedCompareExchange(&consoleClosing, 0, 0) == 0) {
        SetConsoleCtrlHandler(&handleConsoleEvent, FALSE);
    }
    delete m_notifier;
    if (interruptEvent != nullptr) {
        CloseHandle(interruptEvent);
        interruptEvent = nullptr;
    }
}

#else

namespace {

constexpr std::array<int, 3> watchedSignals{SIGINT, SIGTERM, SIGHUP};
// A signal handler can reach nothing but static data.
int signalPipe[2] = {-1, -1};
std::array<struct sigaction, 3> previousActions = {};

void handleSignal(int signal)
{
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

InterruptWatcher::InterruptWatcher(std::function<void()> onInterrupt)
    : m_onInterrupt(std::move(onInterrupt))
{
    if (::pipe(signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    m_notifier = notifier;
    QObject::connect(notifier, &QSocketNotifier::activated, this, [this] {
        char signal = 0;
        if (::read(signalPipe[0], &signal, 1) == 1) {
            notice();
        }
    });
    struct sigaction action = {};
    action.sa_handler = &handleSignal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < watchedSignals.size(); ++i) {
        ::sigaction(watchedSignals[i], &action, &previousActions[i]);
    }
}

InterruptWatcher::~InterruptWatcher()
{
    for (std::size_t i = 0; i < watchedSignals.size(); ++i) {
        ::sigaction(watchedSignals[i], &previousActions[i], nullptr);
    }
    delete m_notifier;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
}

#endif

void InterruptWatcher::notice()
{
    if (!m_interrupted) {
        m_interrupted = true;
        m_onInterrupt();
    }
}

} // namespace ranupa::cli
