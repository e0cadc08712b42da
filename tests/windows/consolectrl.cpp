// consolectrl ctrl-c|close COMMAND-LINE
//
// A Windows console with a command running in it, for the tests under Wine: runs COMMAND-LINE
// in this program's console, as a command typed into it would run, with this program's standard
// output and error; once a line arrives on standard input, does to the console what an operator
// does, then exits with the command's exit code:
//   ctrl-c  presses Ctrl+C: the console sends CTRL_C_EVENT to every process attached to it;
//   close   closes the console's window: Windows sends CTRL_CLOSE_EVENT to each process, on a
//           thread it starts in the process at kernelbase's CtrlRoutine, and ends the process
//           when the handler returns or some seconds have passed (five here).
#include <algorithm>
#include <cstdio>
#include <string>
#include <windows.h>

namespace {

constexpr DWORD closeGraceMilliseconds = 5000;

BOOL WINAPI ignoreOwnCtrlC(DWORD)
{
    return TRUE; // the command is the one meant
}

bool sendClose(HANDLE process)
{
    using Routine = LPTHREAD_START_ROUTINE;
    const auto routine = reinterpret_cast<Routine>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    if (routine == nullptr) {
        return false;
    }
    const ULONGLONG sent = GetTickCount64();
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine,
                                       reinterpret_cast<void*>(CTRL_CLOSE_EVENT), 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    // A handler that returned (CtrlRoutine then ends with TRUE) has the process ended at once;
    // one that holds on leaves it the rest of the grace period to end by itself.
    const bool ended = WaitForSingleObject(thread, closeGraceMilliseconds) == WAIT_OBJECT_0;
    DWORD routineEnd = 0;
    GetExitCodeThread(thread, &routineEnd);
    CloseHandle(thread);
    if (!ended || routineEnd != TRUE) {
        const ULONGLONG spent = GetTickCount64() - sent;
        WaitForSingleObject(process, DWORD(closeGraceMilliseconds -
                                           std::min<ULONGLONG>(spent, closeGraceMilliseconds)));
    }
    TerminateProcess(process, STATUS_CONTROL_C_EXIT); // as Windows does; nothing if it has ended
    return true;
}

HANDLE inheritable(HANDLE handle)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    const std::wstring event = argc == 3 ? argv[1] : L"";
    if (event != L"ctrl-c" && event != L"close") {
        std::fputs("usage: consolectrl ctrl-c|close COMMAND-LINE\n", stderr);
        return 125;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
    startup.hStdError = inheritable(GetStdHandle(STD_ERROR_HANDLE));
    // A console of its own, as a console window has: started from a Unix shell, Wine gives it
    // none that takes control events. (This makes the console's handles the standard ones.)
    FreeConsole();
    AllocConsole();
    PROCESS_INFORMATION started = {};
    std::wstring commandLine = argv[2];
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started)) {
        std::fprintf(stderr, "consolectrl: cannot start the command (%lu)\n", GetLastError());
        return 126;
    }
    char line[16];
    if (std::fgets(line, sizeof line, stdin) != nullptr &&
        WaitForSingleObject(started.hProcess, 0) == WAIT_TIMEOUT) {
        const bool sent = event == L"close" ? sendClose(started.hProcess)
                                            : SetConsoleCtrlHandler(&ignoreOwnCtrlC, TRUE) &&
                                                  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        if (!sent) {
            std::fprintf(stderr, "consolectrl: cannot send %ls (%lu)\n", event.c_str(),
                         GetLastError());
        }
    }
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD exitCode = 127;
    GetExitCodeProcess(started.hProcess, &exitCode);
    return int(exitCode);
}
