// Why the shape: the native list query gives pid, creation time and image
// name of every process in one call, so only new processes are read in
// detail. Under Wine that call reads /proc for every thread of every process
// (about 8 ms of CPU with 150 processes, over 3% of a core at four lists a
// second), so each period first asks the query only for the size a list
// would need and looks whether a process of the last list has ended (one
// held handle each), and takes the list only when either says something
// changed (process_snapshot_diff.h has the rule). Wine 8 has no native
// command-line query (STATUS_INVALID_INFO_CLASS) and its WMI gives the
// command line of the calling process only, so there the command line is
// read from the process parameters in the process's memory.
#include "procmon/process_poller.h"

#include <algorithm>
#include <cstring>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "procmon/image_version_names_win.h"
#include "procmon/process_list_buffer.h"
#include "procmon/process_memory_win.h"
#include "procmon/process_monitor.h"

namespace {

constexpr ULONG kSystemProcessInformation = 5;
constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessCommandLineInformation = 60;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr size_t kMaxListBytes = 64u << 20;
constexpr ULONG kMaxCommandLineBytes = 1u << 20;
// Offsets in a 64-bit process: the PEB's process parameters, and their command line.
constexpr uint64_t kPebProcessParameters = 0x20;
constexpr uint64_t kParametersCommandLine = 0x70;
constexpr LONG kWmiNextTimeoutMs = 2000;
constexpr int kEmptyCommandLineRereads = 5;
constexpr DWORD kEmptyCommandLinePauseMs = 10;

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using NtQueryInformationProcessFn = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);

struct NtdllCalls {
    NtQuerySystemInformationFn querySystem = nullptr;
    NtQueryInformationProcessFn queryProcess = nullptr;
};

// ntdll is in every process; its exports are looked up once.
const NtdllCalls& Ntdll() {
    static const NtdllCalls calls = [] {
        NtdllCalls c;
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll) {
            c.querySystem = reinterpret_cast<NtQuerySystemInformationFn>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
            c.queryProcess = reinterpret_cast<NtQueryInformationProcessFn>(
                reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
        }
        return c;
    }();
    return calls;
}

// A counted UTF-16 string as a 64-bit process lays it out.
struct CountedText64 {
    uint16_t length;  // bytes
    uint16_t maximumLength;
    uint32_t padding;
    uint64_t buffer;
};

struct BasicProcessInfo {
    LONG exitStatus;
    uint64_t pebAddress;
    uint64_t affinityMask;
    LONG basePriority;
    uint64_t pid;
    uint64_t parentPid;
};

std::wstring UpToNul(const wchar_t* text, size_t units) {
    return std::wstring(text, std::find(text, text + units, L'\0'));
}

// The handle names the listed process and not a later one that got its pid.
bool SameProcess(HANDLE process, int64_t createTime) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
    const int64_t t = (static_cast<int64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return createTime == 0 || t == createTime;
}

bool ReadExactly(HANDLE process, uint64_t address, void* out, size_t bytes) {
    SIZE_T got = 0;
    return ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), out,
                             bytes, &got) &&
           got == bytes;
}

bool ConnectWmi(WmiProcessQuery& wmi) {
    if (wmi.tried) return static_cast<bool>(wmi.services);
    wmi.tried = true;
    ComPtr<IWbemLocator> locator;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                locator.put_void())) ||
        !locator)
        return false;
    ComPtr<IWbemServices> services;
    UniqueBstr nameSpace(L"ROOT\\CIMV2");
    if (FAILED(locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      services.put())) ||
        !services)
        return false;
    if (FAILED(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)))
        return false;
    wmi.services = std::move(services);
    return true;
}

// Creation time and parent of a listed process, for the memory of starts;
// the parent stays unknown once the process is gone.
ProcessOrigin OriginOf(const ProcessListEntry& entry) {
    ProcessOrigin origin;
    origin.startedMs = FileTimeToUnixMs(entry.createTime);
    const NtQueryInformationProcessFn query = Ntdll().queryProcess;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.pid));
    BasicProcessInfo basic{};
    ULONG got = 0;
    if (query && process && SameProcess(process.get(), entry.createTime) &&
        query(process.get(), kProcessBasicInformation, &basic, sizeof basic, &got) >= 0)
        origin.parentPid = static_cast<int32_t>(basic.parentPid);
    return origin;
}

// Tells the memory of starts about listed processes that are gone, with the
// exit time their watch handle gives, else now.
void RememberEnds(const ProcessWatch& watch, const std::vector<ProcessKey>& ended) {
    for (const ProcessKey& key : ended) {
        int64_t endedMs = 0;
        const auto at = std::lower_bound(
            watch.handles.begin(), watch.handles.end(), key,
            [](const std::pair<ProcessKey, UniqueHandle>& h, const ProcessKey& k) { return h.first < k; });
        FILETIME created, exited, kernel, user;
        if (at != watch.handles.end() && at->first == key &&
            GetProcessTimes(at->second.get(), &created, &exited, &kernel, &user))
            endedMs =
                FileTimeToUnixMs((static_cast<int64_t>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime);
        RememberProcessEnd(static_cast<int32_t>(key.first), FileTimeToUnixMs(key.second),
                           endedMs != 0 ? endedMs : NowUnixMs());
    }
}

struct PollState {
    std::vector<uint8_t> buffer;
    ListGate gate;
    ProcessSnapshotState known;
    ProcessWatch watch;
    WmiProcessQuery wmi;
};

void PollOnce(PollState& s) {
    const bool remember = gLiveConfig.extendedDetection.load();
    // Every process started before this moment is in the list about to be asked for.
    const int64_t asOf = remember ? NowUnixMs() : 0;
    const uint32_t size = AskProcessListSize();
    const int64_t now = static_cast<int64_t>(GetTickCount64());
    if (!ShouldTakeList(s.gate, size, EveryListedProcessRuns(s.watch), now)) {
        if (remember) NoteProcessListCurrent(asOf);  // nothing started or ended since the last list
        return;
    }
    std::vector<ProcessListEntry> list;
    if (!TakeProcessList(s.buffer, size, list)) return;
    NoteListTaken(s.gate, size, now);
    // Before the watch and the known keys move on to this list.
    if (remember) RememberEnds(s.watch, EndedProcesses(list, s.known));
    WatchList(s.watch, list);
    for (const ProcessListEntry& entry : NewProcesses(list, s.known)) {
        const ProcessOrigin origin = remember ? OriginOf(entry) : ProcessOrigin();
        ProcessInfo info = ReadProcessDetails(entry, s.wmi);
        AddImageVersionNames(info);
        RememberStartedProcess(info, origin);
        HandleNewProcess(info);
    }
    if (remember) NoteProcessListCurrent(asOf);
}

}  // namespace

HANDLE OpenForWatch(DWORD pid) {
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

void WatchList(ProcessWatch& watch, const std::vector<ProcessListEntry>& list, OpenForWatchFn open) {
    std::vector<ProcessKey> keys;
    for (const ProcessListEntry& e : list) keys.emplace_back(e.pid, e.createTime);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<ProcessKey> held;
    for (const auto& h : watch.handles) held.push_back(h.first);
    const std::vector<ProcessKey> toOpen = KeysToOpen(keys, held, watch.unopenable);

    std::vector<std::pair<ProcessKey, UniqueHandle>> next;
    bool gone = false;
    auto old = watch.handles.begin();
    auto fresh = toOpen.begin();
    for (const ProcessKey& key : keys) {
        UniqueHandle h;
        while (old != watch.handles.end() && old->first < key) ++old;
        if (old != watch.handles.end() && old->first == key) {
            h = std::move(old->second);
        } else if (fresh != toOpen.end() && *fresh == key) {
            ++fresh;
            h.reset(key.first == 0 ? nullptr : open(key.first));
            const DWORD error = h ? ERROR_SUCCESS : GetLastError();
            if (!h && key.first != 0 && error == ERROR_INVALID_PARAMETER) {
                gone = true;  // no such process any more
                continue;
            }
            if (!h) {
                watch.unopenable.insert(
                    std::lower_bound(watch.unopenable.begin(), watch.unopenable.end(), key), key);
                continue;
            }
            if (!SameProcess(h.get(), key.second)) {
                gone = true;  // the pid already names a later process
                continue;
            }
        } else {
            continue;  // known not to open
        }
        // An ended process still listed (someone holds it open) cannot end again.
        if (WaitForSingleObject(h.get(), 0) != WAIT_OBJECT_0) next.emplace_back(key, std::move(h));
    }
    watch.handles = std::move(next);
    watch.goneBeforeOpened = gone;
}

bool EveryListedProcessRuns(const ProcessWatch& watch) {
    if (watch.goneBeforeOpened) return false;
    std::vector<HANDLE> handles;
    handles.reserve(watch.handles.size());
    for (const auto& h : watch.handles) handles.push_back(h.second.get());
    for (size_t i = 0; i < handles.size(); i += MAXIMUM_WAIT_OBJECTS) {
        const DWORD count = static_cast<DWORD>(std::min<size_t>(MAXIMUM_WAIT_OBJECTS, handles.size() - i));
        if (WaitForMultipleObjects(count, handles.data() + i, FALSE, 0) != WAIT_TIMEOUT) return false;
    }
    return true;
}

uint32_t RunProcessPolling(uint32_t exitCode) {
    // COM only serves the WMI route for command lines nothing else could read.
    ComInit com(COINIT_MULTITHREADED);
    PollState state;
    state.wmi.tried = !com.ok();

    PollOnce(state);  // the first list reports nothing
    LogMessage("proc_mon_fallback", "Process monitor: polling the process list");
    ULONGLONG last = GetTickCount64();
    while (!StopRequested()) {
        const ULONGLONG spent = GetTickCount64() - last;
        if (spent < kProcessPollPeriodMs) Sleep(static_cast<DWORD>(kProcessPollPeriodMs - spent));
        if (StopRequested()) break;
        last = GetTickCount64();
        PollOnce(state);
    }
    LogMessage("proc_mon_fallback", "Process monitor stopping");
    return exitCode;
}

uint32_t AskProcessListSize() {
    const NtQuerySystemInformationFn query = Ntdll().querySystem;
    if (!query) return 0;
    ULONG needed = 0;
    return query(kSystemProcessInformation, nullptr, 0, &needed) == kStatusInfoLengthMismatch ? needed : 0;
}

bool TakeProcessList(std::vector<uint8_t>& buffer, uint32_t sizeHint, std::vector<ProcessListEntry>& out) {
    out.clear();
    const NtQuerySystemInformationFn query = Ntdll().querySystem;
    if (!query) return false;
    // Room for the processes that start between the size and the list.
    const size_t wanted =
        std::min<size_t>(static_cast<size_t>(sizeHint) + sizeHint / 4 + 4096, kMaxListBytes);
    if (buffer.size() < wanted) buffer.resize(wanted);
    for (int attempt = 0; attempt < 4; ++attempt) {
        ULONG written = 0;
        const LONG status =
            query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &written);
        if (status == kStatusInfoLengthMismatch) {
            const size_t grown =
                std::max<size_t>(static_cast<size_t>(written) + written / 4, buffer.size() * 2);
            if (grown > kMaxListBytes) return false;
            buffer.resize(grown);
            continue;
        }
        if (status < 0) return false;
        const size_t used = written > 0 && written <= buffer.size() ? written : buffer.size();
        // A list that cannot be walked whole is no list: its missing entries would
        // look like ended processes and be reported again later.
        if (WalkProcessList(buffer.data(), used, reinterpret_cast<uintptr_t>(buffer.data()), out))
            return true;
        out.clear();
        return false;
    }
    return false;
}

bool CommandLineFromNativeQuery(HANDLE limitedProcess, std::wstring& out) {
    out.clear();
    const NtQueryInformationProcessFn query = Ntdll().queryProcess;
    if (!query || !limitedProcess) return false;
    std::vector<uint64_t> storage(512);  // 4 KiB, aligned for the counted string in front
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ULONG bytes = static_cast<ULONG>(storage.size() * sizeof(uint64_t));
        ULONG needed = 0;
        const LONG status =
            query(limitedProcess, kProcessCommandLineInformation, storage.data(), bytes, &needed);
        if (status == kStatusInfoLengthMismatch || status == kStatusBufferTooSmall ||
            status == kStatusBufferOverflow) {
            if (needed <= bytes || needed > kMaxCommandLineBytes) return false;
            storage.resize((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
            continue;
        }
        if (status < 0) return false;
        CountedText64 text;
        std::memcpy(&text, storage.data(), sizeof text);
        const uint64_t base = reinterpret_cast<uintptr_t>(storage.data());
        if (text.length == 0) return true;
        if (text.buffer < base || text.buffer - base > bytes || text.length > bytes - (text.buffer - base))
            return false;
        out = UpToNul(reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(text.buffer)), text.length / 2);
        return true;
    }
    return false;
}

bool CommandLineFromProcessMemory(HANDLE readableProcess, std::wstring& out) {
    out.clear();
    const NtQueryInformationProcessFn query = Ntdll().queryProcess;
    if (!query || !readableProcess) return false;
    BasicProcessInfo basic{};
    ULONG got = 0;
    if (query(readableProcess, kProcessBasicInformation, &basic, sizeof basic, &got) < 0 ||
        basic.pebAddress == 0)
        return false;
    uint64_t parameters = 0;
    if (!ReadExactly(readableProcess, basic.pebAddress + kPebProcessParameters, &parameters,
                     sizeof parameters) ||
        parameters == 0)
        return false;
    CountedText64 text{};
    if (!ReadExactly(readableProcess, parameters + kParametersCommandLine, &text, sizeof text)) return false;
    if (text.length == 0) return true;
    if (text.buffer == 0) return false;
    std::wstring units(text.length / 2, L'\0');
    if (!ReadExactly(readableProcess, text.buffer, &units[0], units.size() * sizeof(wchar_t))) return false;
    out = UpToNul(units.data(), units.size());
    return true;
}

bool DetailsFromWmi(DWORD pid, WmiProcessQuery& wmi, std::wstring& path, std::wstring& commandLine) {
    path.clear();
    commandLine.clear();
    if (!ConnectWmi(wmi)) return false;
    const std::wstring text =
        L"SELECT Name, ExecutablePath, CommandLine, ProcessId FROM Win32_Process WHERE ProcessId = " +
        std::to_wstring(pid);
    ComPtr<IEnumWbemClassObject> found;
    {
        UniqueBstr language(L"WQL");
        UniqueBstr query(text.c_str());
        if (FAILED(wmi.services->ExecQuery(language.get(), query.get(),
                                           WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr,
                                           found.put())) ||
            !found)
            return false;
    }
    ComPtr<IWbemClassObject> instance;
    ULONG returned = 0;
    if (FAILED(found->Next(kWmiNextTimeoutMs, 1, instance.put(), &returned)) || returned != 1 || !instance)
        return false;
    const ProcessInfo info = ExtractProcessInfo(instance.get());
    if (info.pid != static_cast<int32_t>(pid)) return false;
    path = info.path;
    commandLine = info.commandLine;
    return !commandLine.empty();
}

ProcessInfo ReadProcessDetails(const ProcessListEntry& entry, WmiProcessQuery& wmi,
                               CommandLineSource* source) {
    ProcessInfo info;
    info.name = entry.name;
    info.pid = static_cast<int32_t>(entry.pid);
    CommandLineSource from = CommandLineSource::None;
    // WMI is asked only about a process that still runs (or that we may not open).
    bool running = false;

    UniqueHandle limited(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.pid));
    const bool ours = limited && SameProcess(limited.get(), entry.createTime);
    if (ours) {
        DWORD code = 0;
        running = GetExitCodeProcess(limited.get(), &code) && code == STILL_ACTIVE;
        std::vector<wchar_t> path(32768);
        DWORD size = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(limited.get(), 0, path.data(), &size))
            info.path = UpToNul(path.data(), size);
    } else if (!limited) {
        running = GetLastError() == ERROR_ACCESS_DENIED;
    }

    UniqueHandle readable;
    for (int attempt = 0;; ++attempt) {
        if (ours && CommandLineFromNativeQuery(limited.get(), info.commandLine)) {
            from = CommandLineSource::NativeQuery;
        } else {
            if (!readable)
                readable.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.pid));
            if (readable && SameProcess(readable.get(), entry.createTime) &&
                CommandLineFromProcessMemory(readable.get(), info.commandLine))
                from = CommandLineSource::ProcessMemory;
        }
        // A process caught in its first milliseconds may not have its command line in
        // place yet (seen under Wine): read a running one again, briefly.
        if (!info.commandLine.empty() || !ours || !running || attempt == kEmptyCommandLineRereads) break;
        from = CommandLineSource::None;
        Sleep(kEmptyCommandLinePauseMs);
        DWORD code = 0;
        running = GetExitCodeProcess(limited.get(), &code) && code == STILL_ACTIVE;
    }

    if (from == CommandLineSource::None && running) {
        std::wstring path, commandLine;
        if (DetailsFromWmi(entry.pid, wmi, path, commandLine)) {
            info.commandLine = commandLine;
            from = CommandLineSource::Wmi;
        }
        if (info.path.empty()) info.path = path;
    }
    if (source) *source = from;
    return info;
}
