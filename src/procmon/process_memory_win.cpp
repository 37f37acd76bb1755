#include "procmon/process_memory_win.h"

#include <cwchar>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/handles.h"
#include "procmon/extended_process_rules.h"

namespace {

int64_t FileTimeValue(const FILETIME& ft) {
    return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The end of one remembered process as the platform tells it now: 0 while it
// runs or when it cannot be told.
int64_t EndNow(const RememberedProcess& p, int64_t nowMs) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(p.pid)));
    if (!process) return GetLastError() == ERROR_INVALID_PARAMETER ? nowMs : 0;  // no such pid any more
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
    const int64_t createdMs = FileTimeToUnixMs(FileTimeValue(created));
    // The pid names a later process: ours ended, when exactly is not known.
    if (p.startedMs != 0 ? createdMs != p.startedMs : createdMs > p.seenMs) return nowMs;
    DWORD code = 0;
    if (!GetExitCodeProcess(process.get(), &code) || code == STILL_ACTIVE) return 0;
    const int64_t exitedMs = FileTimeToUnixMs(FileTimeValue(exited));
    return exitedMs != 0 ? exitedMs : nowMs;
}

}  // namespace

void BeginProcessMemory() {
    ResetProcessMemory();
    if (gLiveConfig.extendedDetection.load()) SetProcessMemoryOn(true, NowUnixMs());
}

void RememberStartedProcess(const ProcessInfo& info, const ProcessOrigin& origin) {
    const int64_t now = NowUnixMs();
    if (!gLiveConfig.extendedDetection.load()) {
        SetProcessMemoryOn(false, now);
        return;
    }
    SetProcessMemoryOn(true, now);
    RememberedProcess p;
    p.pid = info.pid;
    p.parentPid = origin.parentPid;
    p.startedMs = origin.startedMs;
    p.seenMs = now;
    p.name = info.name;
    p.path = info.path;
    p.commandLine = info.commandLine;
    std::string fragment, decoded;
    p.score = ScoreProcessExtended(info.name, info.originalFileName, info.internalName, info.path,
                                   info.commandLine, fragment, decoded);
    p.signals = SignalNames(fragment);
    RememberProcessStart(p, now);
}

ProcessOrigin ExtractProcessOrigin(IWbemClassObject* instance) {
    ProcessOrigin origin;
    if (instance == nullptr) return origin;
    UniqueVariant parent, created;
    if (SUCCEEDED(instance->Get(L"ParentProcessId", 0, parent.get(), nullptr, nullptr)) &&
        parent.ref().vt == VT_I4)
        origin.parentPid = static_cast<int32_t>(parent.ref().lVal);
    if (SUCCEEDED(instance->Get(L"CreationDate", 0, created.get(), nullptr, nullptr)) &&
        created.ref().vt == VT_BSTR && created.ref().bstrVal != nullptr) {
        const BSTR text = created.ref().bstrVal;
        origin.startedMs = CimDateTimeToUnixMs(std::wstring(text, wcsnlen(text, SysStringLen(text))));
    }
    return origin;
}

void RefreshProcessEnds(int64_t nowMs) {
    for (const RememberedProcess& p : RecentProcesses(nowMs)) {
        if (p.endedMs != 0 || p.pid <= 0) continue;
        int64_t ended = EndNow(p, nowMs);
        if (ended == 0) continue;
        // Matched by pid alone, an end before the start was noticed would miss it.
        if (p.startedMs == 0 && ended < p.seenMs) ended = p.seenMs;
        RememberProcessEnd(p.pid, p.startedMs, ended);
    }
}
