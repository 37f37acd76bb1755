#include "procmon/process_pauser.h"

#include <windows.h>

#include <vector>

#include "core/handles.h"
#include "procmon/process_memory.h"

namespace {

using NtProcessCallFn = LONG(WINAPI*)(HANDLE);

NtProcessCallFn NtCall(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<NtProcessCallFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)))
                 : nullptr;
}

int64_t CreationMsOf(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return FileTimeToUnixMs((static_cast<int64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
}

bool StillRunning(HANDLE process) {
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
}

// Opens the process only if it still is the one with that creation time.
PauseResult OpenExactly(int32_t pid, int64_t startedMs, DWORD access, UniqueHandle& out, uint32_t& error) {
    error = 0;
    out.reset(OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!out) {
        error = GetLastError();
        return error == ERROR_INVALID_PARAMETER ? PauseResult::Gone : PauseResult::Failed;
    }
    if (startedMs == 0 || CreationMsOf(out.get()) != startedMs || !StillRunning(out.get())) {
        out.reset();
        return PauseResult::Gone;
    }
    return PauseResult::Done;
}

PauseResult CallExactly(int32_t pid, int64_t startedMs, const char* call, uint32_t& error) {
    UniqueHandle process;
    const PauseResult opened = OpenExactly(pid, startedMs, PROCESS_SUSPEND_RESUME, process, error);
    if (opened != PauseResult::Done) return opened;
    const NtProcessCallFn fn = NtCall(call);
    if (!fn) {
        error = ERROR_PROC_NOT_FOUND;
        return PauseResult::Failed;
    }
    const LONG status = fn(process.get());
    if (status < 0) {
        error = static_cast<uint32_t>(status);
        return PauseResult::Failed;
    }
    return PauseResult::Done;
}

// The token user's SID of a process, as bytes; empty when it cannot be read.
std::vector<unsigned char> UserSid(HANDLE process) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
    UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (!IsValidSid(sid)) return {};
    const unsigned char* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

}  // namespace

PauseResult SuspendProcessExactly(int32_t pid, int64_t startedMs, uint32_t& error) {
    return CallExactly(pid, startedMs, "NtSuspendProcess", error);
}

PauseResult ResumeProcessExactly(int32_t pid, int64_t startedMs, uint32_t& error) {
    return CallExactly(pid, startedMs, "NtResumeProcess", error);
}

PauseResult EndProcessExactly(int32_t pid, int64_t startedMs, uint32_t& error) {
    UniqueHandle process;
    const PauseResult opened = OpenExactly(pid, startedMs, PROCESS_TERMINATE, process, error);
    if (opened != PauseResult::Done) return opened;
    if (!TerminateProcess(process.get(), 1)) {
        error = GetLastError();
        return PauseResult::Failed;
    }
    return PauseResult::Done;
}

int64_t ProcessCreationMs(int32_t pid) {
    // An ended process whose object another handle keeps alive still answers
    // with its times: with the right to wait on it, such a one counts as gone.
    UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    if (process) return WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0 ? 0 : CreationMsOf(process.get());
    process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    return process ? CreationMsOf(process.get()) : 0;
}

PauseTarget DescribePauseTarget(int32_t pid, int64_t& startedMs) {
    PauseTarget t;
    t.pid = pid;
    startedMs = 0;
    t.isSelf = static_cast<DWORD>(pid) == GetCurrentProcessId();
    if (pid == 0 || pid == 4 || t.isSelf) return t;

    UniqueHandle query(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (query) {
        startedMs = CreationMsOf(query.get());
        std::wstring path(32768, L'\0');
        DWORD size = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(query.get(), 0, &path[0], &size)) {
            path.resize(size);
            t.path = path;
        }
        const std::vector<unsigned char> mine = UserSid(GetCurrentProcess());
        const std::vector<unsigned char> theirs = UserSid(query.get());
        // A user that cannot be read is not known to be ours.
        t.sameUser = !mine.empty() && mine == theirs;
    } else {
        t.sameUser = false;
    }
    DWORD mySession = 0, theirSession = 0;
    t.sameSession = ProcessIdToSessionId(GetCurrentProcessId(), &mySession) &&
                    ProcessIdToSessionId(static_cast<DWORD>(pid), &theirSession) && mySession == theirSession;
    UniqueHandle suspend(OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, static_cast<DWORD>(pid)));
    t.canSuspend = static_cast<bool>(suspend);
    return t;
}

std::wstring WindowsFolderPath() {
    wchar_t folder[MAX_PATH + 1];
    const UINT n = GetWindowsDirectoryW(folder, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(folder, n) : std::wstring(L"C:\\Windows");
}
