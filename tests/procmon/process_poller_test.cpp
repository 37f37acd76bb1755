// The polling fallback on real processes under Wine: the native list, the
// details of one process through each route, the enumerator that gives up,
// and the monitor thread with extendedDetection on, from the failed WMI
// set-up to the stop. Processes are copies of the stand-in program
// (tools/sleeper.cpp) under the names the cases need.
#include "procmon/process_poller.h"

#include <gtest/gtest.h>
#include <wbemidl.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "core/text.h"
#include "procmon/process_monitor.h"
#include "support/stand_in.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

int64_t CreationTime(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<int64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

using Child = StandIn;

ProcessListEntry EntryOf(const Child& child) {
    ProcessListEntry e;
    e.pid = static_cast<uint32_t>(child.pid);
    e.createTime = child.created;
    e.name = child.exe.substr(child.exe.find_last_of(L'\\') + 1);
    return e;
}

// Copies the stand-in program to dir\name and starts it with exactly this
// command line; it sleeps `sleepMs`.
bool StartCopy(const TempDir& dir, const std::wstring& name, const std::wstring& commandLine, DWORD sleepMs,
               Child& child) {
    return StartStandIn(StandInProgram(VG_SLEEPER_EXE), dir.Sub(name), commandLine, sleepMs, child);
}

const ProcessListEntry* Find(const std::vector<ProcessListEntry>& list, DWORD pid) {
    for (const ProcessListEntry& e : list)
        if (e.pid == pid) return &e;
    return nullptr;
}

std::vector<json> LogObjects() {
    std::vector<json> out;
    for (const std::string& line : ReadLogLines()) out.push_back(json::parse(line, nullptr, false));
    return out;
}

// "proc_start" lines of one copy. Tests running beside this one start
// processes in the same prefix, and Wine gives pids out again quickly, so a
// pid alone may name another process.
size_t CountStarts(const std::vector<json>& log, const Child& child) {
    const std::string name = WideToUtf8(child.exe.substr(child.exe.find_last_of(L'\\') + 1));
    size_t n = 0;
    for (const json& j : log)
        if (j["type"] == "proc_start" && j["pid"] == static_cast<int64_t>(child.pid) && j["name"] == name)
            ++n;
    return n;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) return true;
        Sleep(50);
    }
    return condition();
}

void EnterComWithSecurity(ComInit& com) {
    ASSERT_TRUE(com.ok());
    const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    ASSERT_TRUE(SUCCEEDED(security) || security == RPC_E_TOO_LATE);
}

// An enumerator that plays Next results, then requests the stop and times out.
struct ScriptedEvents : IEnumWbemClassObject {
    std::vector<HRESULT> script;  // results without an object
    size_t nextCalls = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG, IWbemClassObject** objects, ULONG* returned) override {
        *returned = 0;
        objects[0] = nullptr;
        const size_t i = nextCalls++;
        if (i >= script.size()) {
            gCoreState.stopRequested.store(1);
            return WBEM_S_TIMEDOUT;
        }
        return script[i];
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }
};

DWORD WINAPI MonitorThread(LPVOID arg) {
    return ProcessMonitorMain(arg);
}

}  // namespace

TEST(TakeProcessList, HoldsEachProcessWithItsPidCreationTimeAndName) {
    TempDir dir;
    Child child;
    ASSERT_TRUE(StartCopy(dir, L"listed_copy.exe", L"listed_copy.exe", 20000, child));
    ASSERT_NE(child.created, 0);

    const uint32_t size = AskProcessListSize();
    EXPECT_GT(size, 0u);
    // Sized from the size asked for, and grown from nothing.
    for (uint32_t hint : {size, 0u}) {
        std::vector<uint8_t> buffer;
        std::vector<ProcessListEntry> list;
        ASSERT_TRUE(TakeProcessList(buffer, hint, list)) << hint;
        const ProcessListEntry* copy = Find(list, child.pid);
        ASSERT_NE(copy, nullptr) << hint;
        EXPECT_EQ(copy->name, L"listed_copy.exe");
        EXPECT_EQ(copy->createTime, child.created);
        const ProcessListEntry* self = Find(list, GetCurrentProcessId());
        ASSERT_NE(self, nullptr);
        EXPECT_EQ(self->createTime, CreationTime(GetCurrentProcess()));
    }
}

TEST(ReadProcessDetails, GivesTheImagePathAndTheExactCommandLine) {
    TempDir dir;
    ComInit com(COINIT_MULTITHREADED);
    ASSERT_NO_FATAL_FAILURE(EnterComWithSecurity(com));
    // Nothing here scores as suspicious: an agent under test beside this one
    // may be polling the same prefix.
    const std::wstring commandLines[] = {
        L"details.exe list volumes /all /quiet",
        L"\"C:\\Program Files\\x\\details.exe\"  list\tvolumes \"caf\u00e9 \u65e5\u672c\" \"\" end",
        L"details.exe",
    };
    for (const std::wstring& commandLine : commandLines) {
        Child child;
        ASSERT_TRUE(StartCopy(dir, L"details.exe", commandLine, 20000, child));
        WmiProcessQuery wmi;
        CommandLineSource source = CommandLineSource::None;
        const ProcessInfo info = ReadProcessDetails(EntryOf(child), wmi, &source);
        EXPECT_EQ(info.name, L"details.exe");
        EXPECT_EQ(info.pid, static_cast<int32_t>(child.pid));
        EXPECT_EQ(_wcsicmp(info.path.c_str(), child.exe.c_str()), 0) << WideToUtf8(info.path);
        EXPECT_EQ(info.commandLine, commandLine) << WideToUtf8(info.commandLine);
        EXPECT_NE(source, CommandLineSource::None);
        EXPECT_FALSE(wmi.tried) << "WMI was asked although the process could be read";
    }
}

// Details belong to the listed process or to none. An ended process has no
// command line left to read (its image path may still be known); a pid that
// now names a later process gives nothing of that process.
TEST(ReadProcessDetails, AnEndedOrReplacedProcessGivesNothingOfAnotherProcess) {
    TempDir dir;
    ComInit com(COINIT_MULTITHREADED);
    ASSERT_NO_FATAL_FAILURE(EnterComWithSecurity(com));

    Child ended;
    ASSERT_TRUE(StartCopy(dir, L"brief.exe", L"brief.exe --once", 0, ended));
    ASSERT_EQ(WaitForSingleObject(ended.process.get(), 10000), WAIT_OBJECT_0);
    ended.process.reset();

    Child running;
    ASSERT_TRUE(StartCopy(dir, L"later.exe", L"later.exe --wait", 20000, running));
    ProcessListEntry replaced = EntryOf(running);
    replaced.createTime -= 10000000;  // the pid's earlier owner, a second older

    struct Case {
        const char* what;
        ProcessListEntry entry;
        std::wstring allowedPath;  // besides an empty one
    } cases[] = {
        {"ended", EntryOf(ended), ended.exe},
        {"replaced", replaced, L""},
    };
    for (const Case& c : cases) {
        WmiProcessQuery wmi;
        CommandLineSource source = CommandLineSource::Wmi;
        const ProcessInfo info = ReadProcessDetails(c.entry, wmi, &source);
        EXPECT_EQ(info.name, c.entry.name) << c.what;
        EXPECT_EQ(info.pid, static_cast<int32_t>(c.entry.pid)) << c.what;
        EXPECT_TRUE(info.path.empty() || _wcsicmp(info.path.c_str(), c.allowedPath.c_str()) == 0)
            << c.what << ": " << WideToUtf8(info.path);
        EXPECT_EQ(info.commandLine, L"") << c.what;
        EXPECT_EQ(source, CommandLineSource::None) << c.what;
        EXPECT_FALSE(wmi.tried) << c.what << ": WMI was asked about a process that is gone";
    }
}

// Each route alone. The process-memory route works wherever the agent may
// read the process (under Wine always: it runs as an administrator); the
// native query exists from Windows 8.1 (Wine 8 answers "invalid class"); WMI
// gives the command line of other processes on Windows, of the caller only
// under Wine.
TEST(CommandLineRoutes, EachRouteGivesTheExactTextOrNothing) {
    TempDir dir;
    ComInit com(COINIT_MULTITHREADED);
    ASSERT_NO_FATAL_FAILURE(EnterComWithSecurity(com));
    const std::wstring commandLine = L"route.exe list volumes /all /quiet";
    Child child;
    ASSERT_TRUE(StartCopy(dir, L"route.exe", commandLine, 20000, child));
    // Past its first milliseconds, when the command line may not be in place yet.
    WmiProcessQuery unused;
    ASSERT_EQ(ReadProcessDetails(EntryOf(child), unused).commandLine, commandLine);

    std::wstring text = L"stale";
    ASSERT_TRUE(CommandLineFromProcessMemory(child.process.get(), text));
    EXPECT_EQ(text, commandLine);

    UniqueHandle limited(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child.pid));
    ASSERT_TRUE(limited);
    text = L"stale";
    if (CommandLineFromNativeQuery(limited.get(), text))
        EXPECT_EQ(text, commandLine);
    else
        EXPECT_EQ(text, L"");
    EXPECT_FALSE(CommandLineFromNativeQuery(nullptr, text));

    WmiProcessQuery wmi;
    std::wstring path, viaWmi;
    ASSERT_TRUE(DetailsFromWmi(GetCurrentProcessId(), wmi, path, viaWmi));
    EXPECT_EQ(viaWmi, GetCommandLineW());
    EXPECT_TRUE(wmi.tried);
    if (DetailsFromWmi(child.pid, wmi, path, viaWmi))
        EXPECT_EQ(viaWmi, commandLine);
    else
        EXPECT_EQ(viaWmi, L"");
    EXPECT_FALSE(DetailsFromWmi(0xFFFFFFF0u, wmi, path, viaWmi)) << "no such pid";
}

// With extendedDetection on, a working subscription whose Next keeps failing
// hands over to polling: the loop gives up after the set count of failures in
// a row (a timeout or an event in between starts the count again) and logs
// nothing; with no count it keeps asking, as before.
TEST(RunProcessEventLoop, GivesUpAfterTheSetNumberOfFailedNextsInARow) {
    const HRESULT failed = static_cast<HRESULT>(WBEM_E_TRANSPORT_FAILURE);
    struct Case {
        const char* what;
        int limit;
        std::vector<HRESULT> script;
        bool stopped;
        size_t nextCalls;
    } cases[] = {
        {"the default count", kFailedNextsBeforePolling,
         std::vector<HRESULT>(kFailedNextsBeforePolling, failed), false,
         static_cast<size_t>(kFailedNextsBeforePolling)},
        {"every kind of failure counts", 3, {WBEM_S_FALSE, S_OK, failed}, false, 3},
        {"a timeout starts the count again", 3, {failed, failed, WBEM_S_TIMEDOUT, failed, failed}, true, 6},
        {"no count: never gives up", 0, {failed, failed, failed, failed}, true, 5},
    };
    for (const Case& c : cases) {
        TempDir dir;
        UseDataPathsBelow(dir.path);
        gCoreState.stopRequested.store(0);
        ScriptedEvents events;
        events.script = c.script;
        EXPECT_EQ(RunProcessEventLoop(&events, c.limit), c.stopped) << c.what;
        EXPECT_EQ(events.nextCalls, c.nextCalls) << c.what;
        EXPECT_EQ(LogTypes(), c.stopped ? std::vector<std::string>({"proc_mon"}) : std::vector<std::string>())
            << c.what;
    }
    EXPECT_EQ(kFailedNextsBeforePolling, 10);
}

// Under Wine the subscription fails at ExecNotificationQuery: one
// "proc_mon_error" as always, then polling. What ran before it is not
// reported; what starts after it is, once, with its details; the stop is
// seen within a period and the thread ends with 1.
TEST(ProcessMonitorMain, WithExtendedDetectionAFailedSetUpPollsUntilTheStop) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    Config config;
    SetConfigDefaults(config);
    config.extendedDetection = true;
    StoreCurrentConfig(config);
    gCoreState.stopRequested.store(0);

    Child before;
    ASSERT_TRUE(StartCopy(dir, L"before.exe", L"before.exe --early", 30000, before));
    UniqueHandle thread(CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr));
    ASSERT_TRUE(thread);
    const bool polling = WaitFor([] { return LogTypes().size() >= 2; }, 60000);
    if (!polling) {
        gCoreState.stopRequested.store(1);
        WaitForSingleObject(thread.get(), 15000);
        FAIL() << "no fallback line";
    }

    Child after;
    ASSERT_TRUE(StartCopy(dir, L"after.exe", L"after.exe --flag \"two words\"", 5000, after));
    EXPECT_TRUE(WaitFor([&] { return CountStarts(LogObjects(), after) > 0; }, 5000));
    // A renamed copy of the shadow-copy tool: its version resource is read on this thread.
    Child renamed;
    ASSERT_TRUE(StartStandIn(StandInProgram(VG_SLEEPER_VSSADMIN_EXE), dir.Sub(L"svc.exe"),
                             L"svc.exe delete shadows /all /quiet", 5000, renamed));
    EXPECT_TRUE(WaitFor([&] { return CountStarts(LogObjects(), renamed) > 0; }, 5000));
    Sleep(3 * kProcessPollPeriodMs);  // more polls while they still run

    gCoreState.stopRequested.store(1);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 2000), WAIT_OBJECT_0)
        << "the stop was not seen within a period";
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 1u);

    const std::vector<json> log = LogObjects();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0]["type"], "proc_mon_error");
    EXPECT_EQ(log[0]["msg"], "ExecNotificationQuery failed");
    EXPECT_EQ(log[1]["type"], "proc_mon_fallback");
    EXPECT_EQ(log[1]["msg"], "Process monitor: polling the process list");
    EXPECT_EQ(log.back()["type"], "proc_mon_fallback");
    EXPECT_EQ(log.back()["msg"], "Process monitor stopping");
    for (const json& j : log) EXPECT_NE(j["type"], "proc_mon") << j.dump();

    EXPECT_EQ(CountStarts(log, before), 0u) << "a process running before polling began was reported";
    ASSERT_EQ(CountStarts(log, after), 1u);
    for (const json& j : log) {
        if (j["type"] != "proc_start" || j["pid"] != static_cast<int64_t>(after.pid)) continue;
        EXPECT_EQ(j["name"], "after.exe");
        EXPECT_EQ(_wcsicmp(Utf8ToWide(j["path"].get<std::string>()).c_str(), after.exe.c_str()), 0)
            << j.dump();
        EXPECT_EQ(j["cmd"], "after.exe --flag \"two words\"");
        EXPECT_FALSE(j.contains("originalFileName"));
    }
    ASSERT_EQ(CountStarts(log, renamed), 1u);
    size_t suspicious = 0;
    for (const json& j : log) {
        // Lines without a pid or a name (the monitor's own) are no process's;
        // operator[] of a const object must not be asked for a missing key.
        if (!j.contains("pid") || !j.contains("name")) continue;
        if (j["pid"] != static_cast<int64_t>(renamed.pid) || j["name"] != "svc.exe") continue;
        EXPECT_EQ(j.value("originalFileName", ""), "VSSADMIN.EXE.MUI") << j.dump();
        if (j["type"] != "proc_suspicious") continue;
        ++suspicious;
        const json& signals = j["signals"];
        EXPECT_NE(std::find(signals.begin(), signals.end(), "renamed_system_tool"), signals.end())
            << j.dump();
    }
    EXPECT_EQ(suspicious, 1u);
}

// A script running one tool after another: each copy starts as the one before
// ends, with the same name and so the same share of the list's size. The size
// alone would not move; the ended process tells the monitor to look, and every
// copy is reported once.
TEST(ProcessMonitorMain, EachOfAChainOfSameNamedProcessesIsReported) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    Config config;
    SetConfigDefaults(config);
    config.extendedDetection = true;
    config.enableProcessHeuristics = false;
    StoreCurrentConfig(config);
    gCoreState.stopRequested.store(0);

    UniqueHandle thread(CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr));
    ASSERT_TRUE(thread);
    if (!WaitFor([] { return LogTypes().size() >= 2; }, 60000)) {
        gCoreState.stopRequested.store(1);
        WaitForSingleObject(thread.get(), 15000);
        FAIL() << "no fallback line";
    }
    Child chain[5];
    for (int step = 0; step < 5; ++step) {
        ASSERT_TRUE(
            StartCopy(dir, L"chain.exe", L"chain.exe step " + std::to_wstring(step), 400, chain[step]));
        ASSERT_EQ(WaitForSingleObject(chain[step].process.get(), 10000), WAIT_OBJECT_0);
    }
    Sleep(2 * kProcessPollPeriodMs);
    gCoreState.stopRequested.store(1);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 2000), WAIT_OBJECT_0);

    const std::vector<json> log = LogObjects();
    for (const Child& step : chain) {
        // Wine may give an ended copy's pid to the next one.
        size_t same = 0;
        for (const Child& other : chain) same += other.pid == step.pid;
        EXPECT_EQ(CountStarts(log, step), same) << "pid " << step.pid;
    }
}

namespace {

// The seam: opening fails for the chosen pids with the chosen error; every
// attempt is counted.
std::vector<DWORD> gRefusedPids;
DWORD gRefusal = ERROR_ACCESS_DENIED;
std::vector<DWORD> gOpened;

HANDLE OpenRefusingChosen(DWORD pid) {
    gOpened.push_back(pid);
    if (std::find(gRefusedPids.begin(), gRefusedPids.end(), pid) != gRefusedPids.end()) {
        SetLastError(gRefusal);
        return nullptr;
    }
    return OpenForWatch(pid);
}

size_t Attempts(DWORD pid) {
    return static_cast<size_t>(std::count(gOpened.begin(), gOpened.end(), pid));
}

}  // namespace

// A listed process the agent may not open (on Windows: the idle and system
// processes, protected ones, other accounts') is tried once and left out of
// the "every listed process still runs" test, so the size shortcut keeps
// working; the processes it can open still tell when they end. A process gone
// before it could be opened (no such pid, or the pid names a later process)
// makes the next period take the list.
TEST(WatchList, ProcessesThatCannotBeOpenedAreTriedOnceAndLeftOut) {
    TempDir dir;
    Child refused, watched;
    ASSERT_TRUE(StartCopy(dir, L"refused_copy.exe", L"refused_copy.exe", 20000, refused));
    ASSERT_TRUE(StartCopy(dir, L"watched_copy.exe", L"watched_copy.exe", 20000, watched));
    ProcessListEntry idle;  // pid 0 is never opened at all
    const std::vector<ProcessListEntry> list = {idle, EntryOf(refused), EntryOf(watched)};
    gRefusedPids = {static_cast<DWORD>(refused.pid)};
    gRefusal = ERROR_ACCESS_DENIED;
    gOpened.clear();

    ProcessWatch watch;
    WatchList(watch, list, OpenRefusingChosen);
    EXPECT_TRUE(EveryListedProcessRuns(watch));
    EXPECT_EQ(watch.handles.size(), 1u);
    EXPECT_EQ(watch.unopenable.size(), 2u);
    EXPECT_EQ(Attempts(0), 0u);
    WatchList(watch, list, OpenRefusingChosen);
    EXPECT_TRUE(EveryListedProcessRuns(watch));
    EXPECT_EQ(Attempts(refused.pid), 1u) << "tried again while still listed";
    EXPECT_EQ(Attempts(watched.pid), 1u) << "a held process was opened again";

    // Once unlisted, the refused key is forgotten and tried again when it is listed.
    WatchList(watch, {EntryOf(watched)}, OpenRefusingChosen);
    WatchList(watch, list, OpenRefusingChosen);
    EXPECT_EQ(Attempts(refused.pid), 2u);

    // Gone before it could be opened: no such process, or the pid names a later one.
    for (const bool reusedPid : {false, true}) {
        ProcessWatch fresh;
        ProcessListEntry entry = EntryOf(refused);
        gRefusal = ERROR_INVALID_PARAMETER;
        if (reusedPid) {
            entry = EntryOf(watched);
            entry.createTime -= 1;
        }
        WatchList(fresh, {entry}, OpenRefusingChosen);
        EXPECT_FALSE(EveryListedProcessRuns(fresh)) << reusedPid;
        EXPECT_TRUE(fresh.unopenable.empty()) << reusedPid;
    }

    // An opened process that ends is seen at once.
    TerminateProcess(watched.process.get(), 0);
    WaitForSingleObject(watched.process.get(), 5000);
    EXPECT_FALSE(EveryListedProcessRuns(watch));
    gRefusedPids.clear();
}
