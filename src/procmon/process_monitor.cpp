// Why the shape: all COM objects live on this one thread, in the
// multithreaded apartment it enters itself, and every one of them sits in an
// owner declared in acquisition order, so each exit path releases them in
// reverse order before COM is uninitialised. Next waits at most 5000 ms, which
// bounds how long a stop request goes unseen.
#include "procmon/process_monitor.h"

#include <cwchar>
#include <string>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "incidents/incident_store.h"
#include "procmon/extended_process_rules.h"
#include "procmon/image_version_names_win.h"
#include "procmon/process_heuristics.h"
#include "procmon/process_memory_win.h"
#include "procmon/process_poller.h"

namespace {

constexpr LONG kNextTimeoutMs = 5000;
// A broken enumerator fails at once on every call; pausing keeps it from
// spinning a core while still seeing a stop request well within 5000 ms.
constexpr DWORD kFailedNextPauseMs = 500;
constexpr LONG kQueryFlags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
// RunProcessMonitor's result when the enumerator gave up after a working set-up.
constexpr uint32_t kEventsGaveUp = 2;
constexpr wchar_t kCreationQuery[] =
    L"SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'";

// Text of a VT_BSTR up to its first NUL (never past its stored length);
// anything else is empty.
std::wstring VariantText(const VARIANT& v) {
    if (v.vt != VT_BSTR || v.bstrVal == nullptr) return std::wstring();
    return std::wstring(v.bstrVal, wcsnlen(v.bstrVal, SysStringLen(v.bstrVal)));
}

int32_t VariantInt32(const VARIANT& v) {
    return v.vt == VT_I4 ? static_cast<int32_t>(v.lVal) : 0;
}

uint32_t SetUpFailed(const char* message) {
    LogMessage("proc_mon_error", message);
    return 1;
}

uint32_t RunProcessMonitor(bool pollOnFailure) {
    ComInit com(COINIT_MULTITHREADED);
    if (!com.ok()) return SetUpFailed("CoInitializeEx failed");

    const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(security) && security != RPC_E_TOO_LATE) return SetUpFailed("CoInitializeSecurity failed");

    ComPtr<IWbemLocator> locator;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                locator.put_void())) ||
        !locator) {
        return SetUpFailed("CoCreateInstance(IWbemLocator) failed");
    }

    ComPtr<IWbemServices> services;
    HRESULT hr;
    {
        UniqueBstr nameSpace(L"ROOT\\CIMV2");
        hr = locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    services.put());
    }
    if (FAILED(hr) || !services) return SetUpFailed("ConnectServer failed");

    if (FAILED(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                 RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE))) {
        return SetUpFailed("CoSetProxyBlanket failed");
    }

    ComPtr<IEnumWbemClassObject> events;
    {
        UniqueBstr language(L"WQL");
        UniqueBstr query(kCreationQuery);
        hr = services->ExecNotificationQuery(language.get(), query.get(), kQueryFlags, nullptr, events.put());
    }
    if (FAILED(hr) || !events) return SetUpFailed("ExecNotificationQuery failed");

    LogMessage("proc_mon", "Process monitor started");
    if (RunProcessEventLoop(events.get(), pollOnFailure ? kFailedNextsBeforePolling : 0)) return 0;
    LogMessage("proc_mon_error", "IEnumWbemClassObject::Next failed " +
                                     std::to_string(kFailedNextsBeforePolling) + " times in a row");
    return kEventsGaveUp;
}

}  // namespace

uint32_t ProcessMonitorMain(void* /*arg*/) {
    // Nothing may unwind out of a thread procedure.
    try {
        // extendedDetection, read once as the thread starts: where WMI fails, poll the process list
        // instead of ending. Exit code 1 still means the set-up failed.
        const bool pollOnFailure = gLiveConfig.extendedDetection.load();
        BeginProcessMemory();
        const uint32_t code = RunProcessMonitor(pollOnFailure);
        if (!pollOnFailure || code == 0) return code;
        return RunProcessPolling(code == kEventsGaveUp ? 0 : 1);
    } catch (...) {
        return 1;
    }
}

bool RunProcessEventLoop(IEnumWbemClassObject* events, int failuresBeforeGivingUp) {
    int failuresInARow = 0;
    while (!StopRequested()) {
        ComPtr<IWbemClassObject> event;
        ULONG returned = 0;
        const HRESULT hr = events->Next(kNextTimeoutMs, 1, event.put(), &returned);
        if (SUCCEEDED(hr) && returned == 1 && event) {
            failuresInARow = 0;
            HandleProcessEvent(event.get());
        } else if (hr != WBEM_S_TIMEDOUT) {
            if (failuresBeforeGivingUp > 0 && ++failuresInARow >= failuresBeforeGivingUp) return false;
            Sleep(kFailedNextPauseMs);
        } else {
            failuresInARow = 0;
        }
    }
    LogMessage("proc_mon", "Process monitor stopping");
    return true;
}

void HandleProcessEvent(IWbemClassObject* event) {
    if (event == nullptr) return;
    UniqueVariant target;
    if (FAILED(event->Get(L"TargetInstance", 0, target.get(), nullptr, nullptr))) return;
    if (target.ref().vt != VT_UNKNOWN || target.ref().punkVal == nullptr) return;
    ComPtr<IWbemClassObject> instance;
    if (FAILED(target.ref().punkVal->QueryInterface(IID_IWbemClassObject, instance.put_void())) || !instance)
        return;
    ProcessInfo info = ExtractProcessInfo(instance.get());
    AddImageVersionNames(info);
    RememberStartedProcess(info, ExtractProcessOrigin(instance.get()));
    HandleNewProcess(info);
}

ProcessInfo ExtractProcessInfo(IWbemClassObject* instance) {
    ProcessInfo info;
    if (instance == nullptr) return info;
    UniqueVariant name, path, commandLine, pid;
    // Failed reads leave the VARIANT empty, which reads as "" or 0 below.
    instance->Get(L"Name", 0, name.get(), nullptr, nullptr);
    instance->Get(L"ExecutablePath", 0, path.get(), nullptr, nullptr);
    instance->Get(L"CommandLine", 0, commandLine.get(), nullptr, nullptr);
    instance->Get(L"ProcessId", 0, pid.get(), nullptr, nullptr);
    info.name = VariantText(name.ref());
    info.path = VariantText(path.ref());
    info.commandLine = VariantText(commandLine.ref());
    info.pid = VariantInt32(pid.ref());
    return info;
}

void HandleNewProcess(const ProcessInfo& info) {
    ConfigSnapshot settings;
    SnapshotConfig(settings);

    const std::string members = BuildProcStartMembers(info);
    const std::string claimed = BuildClaimedNameMembers(info);
    LogEvent("proc_start", members + claimed);
    if (!settings.enableProcessHeuristics) return;

    std::string fragment, decoded;
    const int32_t score = gLiveConfig.extendedDetection.load()
                              ? ScoreProcessExtended(info.name, info.originalFileName, info.internalName,
                                                     info.path, info.commandLine, fragment, decoded)
                              : ScoreProcess(info.name, info.path, info.commandLine, fragment);
    if (score < EffectiveScoreThreshold(settings.processSuspiciousScoreThreshold)) return;

    LogEvent("proc_suspicious", members + "," + fragment + (decoded.empty() ? "" : "," + decoded) + claimed);
    CreateIncident(kReasonProcess, SeverityForScore(score), L"");
}
