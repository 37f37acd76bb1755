#include "support/stand_in.h"

#include "core/text.h"

StandIn::~StandIn() {
    if (process) {
        TerminateProcess(process.get(), 0);
        WaitForSingleObject(process.get(), 5000);
    }
    if (removeExe && !exe.empty()) DeleteFileW(exe.c_str());
}

std::wstring StandInProgram(const char* hostPath) {
    std::wstring path = L"Z:" + Utf8ToWide(hostPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

bool StartStandIn(const std::wstring& program, const std::wstring& exe, const std::wstring& commandLine,
                  DWORD sleepMs, StandIn& child) {
    child.exe = exe;
    if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !CopyFileW(program.c_str(), exe.c_str(), TRUE))
        return false;
    SetEnvironmentVariableW(L"VG_SLEEP_MS", std::to_wstring(sleepMs).c_str());
    std::wstring cmd = commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    child.process.reset(pi.hProcess);
    child.pid = static_cast<int32_t>(pi.dwProcessId);
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(pi.hProcess, &created, &exited, &kernel, &user))
        child.created = (static_cast<int64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return true;
}
