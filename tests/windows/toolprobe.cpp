// Stands in for a PostgreSQL client program in pgsql\bin, for the tests under Wine: copied there
// as NAME.exe beside the real program renamed NAME-asli.exe, it adds to NAME.starts one line on
// how it was started, then runs NAME-asli.exe with the same arguments and standard handles and
// exits with its exit code. The line: "show=<the window state asked for, or default>
// consolewindow=<yes|no>", so that a test sees whether the tool would have shown a window.
#include <cstdio>
#include <string>
#include <windows.h>

namespace {

std::wstring startLine()
{
    STARTUPINFOW startup = {};
    GetStartupInfoW(&startup);
    const std::wstring show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0
                                  ? std::to_wstring(startup.wShowWindow)
                                  : L"default";
    return L"show=" + show + L" consolewindow=" + (GetConsoleWindow() ? L"yes" : L"no") + L"\n";
}

// The command line after the program's name, as given: the name has rules of its own (quotes
// group, nothing escapes), the rest is handed on untouched.
const wchar_t* argumentsOf(const wchar_t* commandLine)
{
    bool quoted = false;
    for (; *commandLine != L'\0'; ++commandLine) {
        if (*commandLine == L'"') {
            quoted = !quoted;
        } else if (!quoted && (*commandLine == L' ' || *commandLine == L'\t')) {
            break;
        }
    }
    return commandLine;
}

} // namespace

int main()
{
    wchar_t ownPath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, ownPath, MAX_PATH);
    const std::wstring base = std::wstring(ownPath, length).substr(0, length - 4); // no ".exe"
    if (FILE* record = _wfopen((base + L".starts").c_str(), L"a")) {
        std::fputws(startLine().c_str(), record);
        std::fclose(record);
    }
    const std::wstring real = base + L"-asli.exe";
    std::wstring commandLine = L"\"" + real + L"\"" + argumentsOf(GetCommandLineW());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // The real program ends with this one, as when the program cancels and ends this one.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(real.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &started)) {
        std::fprintf(stderr, "toolprobe: cannot start %ls (%lu)\n", real.c_str(), GetLastError());
        return 127;
    }
    AssignProcessToJobObject(job, started.hProcess);
    ResumeThread(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD exitCode = 127;
    GetExitCodeProcess(started.hProcess, &exitCode);
    return int(exitCode);
}
