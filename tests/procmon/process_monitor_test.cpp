#include "procmon/process_monitor.h"

#include <gtest/gtest.h>
#include <wbemidl.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "incidents/incident_store.h"
#include "procmon/extended_process_rules.h"
#include "procmon/image_version_names_win.h"
#include "procmon/process_heuristics.h"
#include "procmon/process_memory_win.h"
#include "support/stand_in.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

// A Win32_Process instance or creation event as WMI would hand it out: Get
// copies the stored VARIANT, every other method is unsupported. It is owned
// by the test, so the reference count only tells whether the code under test
// released what it took.
struct FakeWbemObject : IWbemClassObject {
    std::atomic<ULONG> refs{1};
    bool offersClassObject = true;
    std::vector<std::pair<std::wstring, VARIANT>> props;

    FakeWbemObject() = default;
    FakeWbemObject(const FakeWbemObject&) = delete;
    FakeWbemObject& operator=(const FakeWbemObject&) = delete;
    ~FakeWbemObject() {
        for (auto& p : props) VariantClear(&p.second);
    }

    VARIANT& Add(const std::wstring& name) {
        props.emplace_back(name, VARIANT());
        VariantInit(&props.back().second);
        return props.back().second;
    }
    void Text(const std::wstring& name, const std::wstring& text) {
        VARIANT& v = Add(name);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    void Int(const std::wstring& name, VARTYPE vt, LONG value) {
        VARIANT& v = Add(name);
        v.vt = vt;
        v.lVal = value;
    }
    void Object(const std::wstring& name, IUnknown* object) {
        VARIANT& v = Add(name);
        v.vt = VT_UNKNOWN;
        v.punkVal = object;
        if (object) object->AddRef();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (riid == IID_IUnknown || (offersClassObject && riid == IID_IWbemClassObject)) {
            AddRef();
            *out = static_cast<IWbemClassObject*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* val, CIMTYPE*, LONG*) override {
        for (auto& p : props) {
            if (p.first == name) return VariantCopy(val, &p.second);
        }
        return WBEM_E_NOT_FOUND;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
};

// An event enumerator that plays a script of Next results, then requests the
// stop and reports timeouts, as a quiet subscription would.
struct FakeEventEnum : IEnumWbemClassObject {
    struct Step {
        HRESULT hr;
        IWbemClassObject* event;  // null: nothing returned
    };
    std::atomic<ULONG> refs{1};
    std::vector<Step> script;
    size_t nextCalls = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE Reset() override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Next(LONG timeout, ULONG count, IWbemClassObject** objects,
                                   ULONG* returned) override {
        EXPECT_EQ(timeout, 5000);
        EXPECT_EQ(count, 1u);
        const size_t i = nextCalls++;
        *returned = 0;
        if (i >= script.size()) {
            gCoreState.stopRequested.store(1);
            return WBEM_S_TIMEDOUT;
        }
        if (script[i].event) {
            script[i].event->AddRef();
            objects[0] = script[i].event;
            *returned = 1;
        }
        return script[i].hr;
    }
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override { return WBEM_E_NOT_SUPPORTED; }
};

void UseSettings(bool heuristics, int32_t threshold) {
    Config config;
    SetConfigDefaults(config);
    config.enableProcessHeuristics = heuristics;
    config.processSuspiciousScoreThreshold = threshold;
    StoreCurrentConfig(config);
}

ProcessInfo MakeProcess(const std::wstring& name, const std::wstring& path, const std::wstring& commandLine,
                        int32_t pid = 4321) {
    ProcessInfo info;
    info.name = name;
    info.path = path;
    info.commandLine = commandLine;
    info.pid = pid;
    return info;
}

std::vector<json> LogObjects() {
    std::vector<json> out;
    for (const std::string& line : ReadLogLines()) out.push_back(json::parse(line, nullptr, false));
    return out;
}

// The incident.json of every incident folder.
std::vector<json> Incidents() {
    std::vector<json> out;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(gDataPaths.incidentsDir, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        out.push_back(
            json::parse(ReadFileBytes(JoinPath(JoinPath(gDataPaths.incidentsDir, name), L"incident.json")),
                        nullptr, false));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return out;
}

DWORD WINAPI MonitorThread(LPVOID arg) {
    return ProcessMonitorMain(arg);
}

}  // namespace

// Wine's WMI connects but cannot subscribe to events, so the real thread
// must give up at that step, cleanly and with a single error line.
TEST(ProcessMonitorMain, UnderWineSetUpStopsAtTheNotificationQuery) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UniqueHandle thread(CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr));
    ASSERT_TRUE(thread);
    if (WaitForSingleObject(thread.get(), 60000) != WAIT_OBJECT_0) {
        gCoreState.stopRequested.store(1);  // a working subscription: do not leave it running
        WaitForSingleObject(thread.get(), 15000);
        FAIL() << "the subscription was set up; this test expects Wine's WMI";
    }
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 1u);
    const std::vector<std::string> lines = ReadLogLines();
    ASSERT_EQ(lines.size(), 1u);
    const json line = json::parse(lines[0], nullptr, false);
    EXPECT_EQ(line["type"], "proc_mon_error");
    EXPECT_EQ(line["msg"], "ExecNotificationQuery failed");
}

TEST(ExtractProcessInfo, ReadsRealWin32ProcessInstances) {
    ComInit com(COINIT_MULTITHREADED);
    ASSERT_TRUE(com.ok());
    const HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    ASSERT_TRUE(SUCCEEDED(security) || security == RPC_E_TOO_LATE);
    ComPtr<IWbemLocator> locator;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IWbemLocator, locator.put_void()));
    ComPtr<IWbemServices> services;
    UniqueBstr nameSpace(L"ROOT\\CIMV2"), language(L"WQL"), query(L"SELECT * FROM Win32_Process");
    ASSERT_HRESULT_SUCCEEDED(locator->ConnectServer(nameSpace.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                                    nullptr, services.put()));
    ComPtr<IEnumWbemClassObject> processes;
    ASSERT_HRESULT_SUCCEEDED(services->ExecQuery(language.get(), query.get(),
                                                 WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                                 nullptr, processes.put()));

    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    const std::wstring ownPath = modulePath;
    const std::wstring ownName = ownPath.substr(ownPath.find_last_of(L'\\') + 1);

    std::vector<ProcessInfo> found;
    size_t total = 0;
    for (;;) {
        ComPtr<IWbemClassObject> instance;
        ULONG returned = 0;
        if (FAILED(processes->Next(WBEM_INFINITE, 1, instance.put(), &returned)) || returned == 0) break;
        ++total;
        const ProcessInfo info = ExtractProcessInfo(instance.get());
        // Other processes may end while the list is read (tests run in parallel): only ours is checked.
        if (info.pid == static_cast<int32_t>(GetCurrentProcessId())) found.push_back(info);
    }
    EXPECT_GT(total, 1u);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(_wcsicmp(found[0].name.c_str(), ownName.c_str()), 0) << WideToUtf8(found[0].name);
    EXPECT_NE(AsciiLower(found[0].commandLine).find(AsciiLower(ownName)), std::wstring::npos)
        << WideToUtf8(found[0].commandLine);
    // Wine leaves ExecutablePath out; Windows delivers it.
    if (!found[0].path.empty()) {
        EXPECT_EQ(_wcsicmp(found[0].path.c_str(), ownPath.c_str()), 0) << WideToUtf8(found[0].path);
    }
}

TEST(ExtractProcessInfo, VariantRules) {
    struct Case {
        const char* what;
        void (*fill)(FakeWbemObject&);
        const wchar_t* name;
        const wchar_t* path;
        const wchar_t* cmd;
        int32_t pid;
    } cases[] = {
        {"all delivered",
         [](FakeWbemObject& o) {
             o.Text(L"Name", L"a.exe");
             o.Text(L"ExecutablePath", L"C:\\x\\a.exe");
             o.Text(L"CommandLine", L"a.exe -v");
             o.Int(L"ProcessId", VT_I4, 88);
         },
         L"a.exe", L"C:\\x\\a.exe", L"a.exe -v", 88},
        {"nothing delivered", [](FakeWbemObject&) {}, L"", L"", L"", 0},
        {"text ends at the first NUL",
         [](FakeWbemObject& o) {
             o.Text(L"Name", std::wstring(L"a.exe\0hidden", 12));
             o.Text(L"CommandLine", std::wstring(L"\0x", 2));
         },
         L"a.exe", L"", L"", 0},
        {"null values and a null BSTR",
         [](FakeWbemObject& o) {
             o.Add(L"Name").vt = VT_NULL;
             o.Add(L"ExecutablePath").vt = VT_BSTR;  // bstrVal stays null
             o.Add(L"ProcessId").vt = VT_NULL;
         },
         L"", L"", L"", 0},
        {"wrong types",
         [](FakeWbemObject& o) {
             o.Int(L"Name", VT_I4, 5);
             o.Text(L"ProcessId", L"123");
         },
         L"", L"", L"", 0},
        {"pid of another integer type", [](FakeWbemObject& o) { o.Int(L"ProcessId", VT_UI4, 77); }, L"", L"",
         L"", 0},
        {"negative pid", [](FakeWbemObject& o) { o.Int(L"ProcessId", VT_I4, -7); }, L"", L"", L"", -7},
    };
    for (const Case& c : cases) {
        FakeWbemObject instance;
        c.fill(instance);
        const ProcessInfo info = ExtractProcessInfo(&instance);
        EXPECT_EQ(info.name, c.name) << c.what;
        EXPECT_EQ(info.path, c.path) << c.what;
        EXPECT_EQ(info.commandLine, c.cmd) << c.what;
        EXPECT_EQ(info.pid, c.pid) << c.what;
        EXPECT_EQ(instance.refs.load(), 1u) << c.what;
    }
}

TEST(HandleProcessEvent, OnlyAUsableTargetInstanceIsHandledAndEverythingIsReleased) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    UseSettings(false, 60);

    FakeWbemObject process;
    process.Text(L"Name", L"calc.exe");
    process.Int(L"ProcessId", VT_I4, 321);
    FakeWbemObject notAClassObject;
    notAClassObject.offersClassObject = false;

    struct Case {
        const char* what;
        void (*fill)(FakeWbemObject& event, FakeWbemObject& process, FakeWbemObject& other);
        bool handled;
    } cases[] = {
        {"no TargetInstance", [](FakeWbemObject&, FakeWbemObject&, FakeWbemObject&) {}, false},
        {"TargetInstance null",
         [](FakeWbemObject& e, FakeWbemObject&, FakeWbemObject&) { e.Add(L"TargetInstance").vt = VT_NULL; },
         false},
        {"VT_UNKNOWN without a pointer",
         [](FakeWbemObject& e, FakeWbemObject&, FakeWbemObject&) { e.Object(L"TargetInstance", nullptr); },
         false},
        {"a text",
         [](FakeWbemObject& e, FakeWbemObject&, FakeWbemObject&) { e.Text(L"TargetInstance", L"x"); }, false},
        {"not a class object",
         [](FakeWbemObject& e, FakeWbemObject&, FakeWbemObject& o) { e.Object(L"TargetInstance", &o); },
         false},
        {"a process",
         [](FakeWbemObject& e, FakeWbemObject& p, FakeWbemObject&) { e.Object(L"TargetInstance", &p); },
         true},
    };
    size_t expectedLines = 0;
    for (const Case& c : cases) {
        {
            FakeWbemObject event;
            c.fill(event, process, notAClassObject);
            HandleProcessEvent(&event);
            EXPECT_EQ(event.refs.load(), 1u) << c.what;
        }
        EXPECT_EQ(process.refs.load(), 1u) << c.what;
        EXPECT_EQ(notAClassObject.refs.load(), 1u) << c.what;
        if (c.handled) ++expectedLines;
        EXPECT_EQ(ReadLogLines().size(), expectedLines) << c.what;
    }
    const std::vector<json> log = LogObjects();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["type"], "proc_start");
    EXPECT_EQ(log[0]["name"], "calc.exe");
    EXPECT_EQ(log[0]["pid"], 321);
    EXPECT_EQ(log[0]["path"], "");
    EXPECT_EQ(log[0]["cmd"], "");
}

TEST(RunProcessEventLoop, HandlesEventsSkipsFailuresAndEndsOnStop) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    UseSettings(false, 60);

    FakeWbemObject first, second, firstEvent, secondEvent, emptyEvent;
    first.Text(L"Name", L"first.exe");
    first.Int(L"ProcessId", VT_I4, 1);
    second.Text(L"Name", L"second.exe");
    second.Int(L"ProcessId", VT_I4, 2);
    firstEvent.Object(L"TargetInstance", &first);
    secondEvent.Object(L"TargetInstance", &second);

    FakeEventEnum events;
    events.script = {
        {WBEM_S_NO_ERROR, &firstEvent},
        {WBEM_S_TIMEDOUT, nullptr},
        {static_cast<HRESULT>(WBEM_E_TRANSPORT_FAILURE), nullptr},  // a failing enumerator is asked again
        {WBEM_S_NO_ERROR, &emptyEvent},  // an event without TargetInstance is skipped
        {WBEM_S_FALSE, nullptr},
        {WBEM_S_NO_ERROR, &secondEvent},
    };
    RunProcessEventLoop(&events);

    EXPECT_EQ(events.nextCalls, events.script.size() + 1);
    // What is left: the test's own references, and each event's hold on its process.
    for (FakeWbemObject* o : {&firstEvent, &secondEvent, &emptyEvent}) EXPECT_EQ(o->refs.load(), 1u);
    EXPECT_EQ(first.refs.load(), 2u);
    EXPECT_EQ(second.refs.load(), 2u);
    EXPECT_EQ(events.refs.load(), 1u);

    const std::vector<json> log = LogObjects();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["name"], "first.exe");
    EXPECT_EQ(log[1]["name"], "second.exe");
    EXPECT_EQ(log[2]["type"], "proc_mon");
    EXPECT_EQ(log[2]["msg"], "Process monitor stopping");
}

TEST(RunProcessEventLoop, AStopAlreadyRequestedEndsItWithoutWaiting) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    gCoreState.stopRequested.store(1);
    FakeEventEnum events;
    RunProcessEventLoop(&events);
    EXPECT_EQ(events.nextCalls, 0u);
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"proc_mon"}));
}

TEST(HandleNewProcess, SuspiciousLineIsTheStartMembersPlusTheScore) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    UseSettings(true, 60);
    HandleNewProcess(MakeProcess(L"powershell.exe",
                                 L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
                                 L"powershell -EncodedCommand SQBFAFgA", 5120));
    const std::string head =
        "{\"ts\":\"2026-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",";
    const std::string members =
        "\"name\":\"powershell.exe\",\"pid\":5120,"
        "\"path\":\"C:\\\\Windows\\\\System32\\\\WindowsPowerShell\\\\v1.0\\\\powershell.exe\","
        "\"cmd\":\"powershell -EncodedCommand SQBFAFgA\"";
    const std::vector<std::string> lines = ReadLogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], head + "\"type\":\"proc_start\"," + members + "}");
    EXPECT_EQ(lines[1], head + "\"type\":\"proc_suspicious\"," + members +
                            ",\"score\":60,\"signals\":[\"script_engine_powershell\",\"encoded_command\"]}");
    EXPECT_EQ(json::parse(lines[2])["type"], "incident_created");
    const std::vector<json> incidents = Incidents();
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(incidents[0]["reason"], "process_heuristic");
    EXPECT_EQ(incidents[0]["severity"], 50);
    EXPECT_FALSE(incidents[0].contains("folder"));
}

TEST(HandleNewProcess, SettingsDecideWhatIsSuspiciousAndScoreDecidesSeverity) {
    const ProcessInfo score60 =
        MakeProcess(L"powershell.exe", L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
                    L"powershell -enc AA");
    const ProcessInfo score55 =
        MakeProcess(L"wscript.exe", L"C:\\Windows\\System32\\wscript.exe", L"wscript -enc x");
    const ProcessInfo score35 = MakeProcess(L"tool.exe", L"C:\\Windows\\tool.exe", L"tool -Encoding utf8");
    const ProcessInfo score30 =
        MakeProcess(L"pwsh.exe", L"C:\\Program Files\\PowerShell\\7\\pwsh.exe", L"pwsh");
    const ProcessInfo score25 =
        MakeProcess(L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe", L"cmd /c cipher /w:c:");
    const ProcessInfo score70 = MakeProcess(
        L"powershell.exe", L"C:\\Users\\u\\AppData\\Local\\powershell.exe", L"powershell -enc AA");
    const ProcessInfo score85 = MakeProcess(L"wmic.exe", L"D:\\Tools\\wmic.exe", L"wmic shadowcopy delete");
    const ProcessInfo score230 =
        MakeProcess(L"pwsh-cscript-mshta.exe-regsvr32.exe-wmic.exe-delivery", L"C:\\Users\\u\\Desktop\\x.exe",
                    L"x -enc AAAA && vssadmin delete shadows");
    struct Case {
        const char* what;
        bool heuristics;
        int32_t threshold;
        const ProcessInfo* process;
        int32_t severity;  // 0: not suspicious
    } cases[] = {
        {"default threshold, score 60", true, 60, &score60, 50},
        {"default threshold, score 55", true, 60, &score55, 0},
        {"threshold one above the score", true, 61, &score60, 0},
        {"threshold 0 means 60, score 60", true, 0, &score60, 50},
        {"threshold 0 means 60, score 55", true, 0, &score55, 0},
        {"negative threshold means 60, score 60", true, -5, &score60, 50},
        {"negative threshold means 60, score 55", true, -5, &score55, 0},
        {"threshold 30, score 35", true, 30, &score35, 50},
        {"threshold 30, score 30", true, 30, &score30, 50},
        {"threshold 30, score 25", true, 30, &score25, 0},
        {"score 70", true, 60, &score70, 60},
        {"score 85", true, 60, &score85, 75},
        {"score 230", true, 60, &score230, 90},
        {"heuristics off, score 60", false, 60, &score60, 0},
        {"heuristics off, score 230, threshold 1", false, 1, &score230, 0},
    };
    for (const Case& c : cases) {
        TempDir dir;
        FakeClock clock;
        UseDataPathsBelow(dir.path);
        gIncidentReference.store(kNoIncidentYet);
        UseSettings(c.heuristics, c.threshold);
        HandleNewProcess(*c.process);

        const std::vector<json> log = LogObjects();
        const std::vector<json> incidents = Incidents();
        if (c.severity == 0) {
            ASSERT_EQ(log.size(), 1u) << c.what;
            EXPECT_EQ(log[0]["type"], "proc_start") << c.what;
            EXPECT_TRUE(incidents.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(log.size(), 3u) << c.what;
        EXPECT_EQ(log[1]["type"], "proc_suspicious") << c.what;
        for (const char* key : {"name", "pid", "path", "cmd"}) EXPECT_EQ(log[1][key], log[0][key]) << c.what;
        EXPECT_EQ(log[2]["type"], "incident_created") << c.what;
        ASSERT_EQ(incidents.size(), 1u) << c.what;
        EXPECT_EQ(incidents[0]["severity"], c.severity) << c.what;
    }
}

TEST(HandleNewProcess, MissingPathIsLoggedEmptyAndScoredAsOffTheWindowsDrive) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    UseSettings(true, 40);
    HandleNewProcess(MakeProcess(L"svchost.exe", L"", L"svchost.exe -k x"));
    const std::vector<json> log = LogObjects();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0]["path"], "");
    EXPECT_EQ(log[1]["path"], "");
    EXPECT_EQ(log[1]["score"], 45);
    EXPECT_EQ(log[1]["signals"], json({"non_windows_system_drive", "core_name_outside_system32"}));
}

TEST(HandleNewProcess, AwkwardTextKeepsEveryLineOneJsonObject) {
    struct Case {
        std::wstring text;
        std::string utf8;
    } cases[] = {
        {L"\"quoted\" C:\\dir\\x.exe", "\"quoted\" C:\\dir\\x.exe"},
        {L"tab\t lf\n cr\r bell\x07 esc\x1b", "tab\t lf\n cr\r bell\x07 esc\x1b"},
        {L"r\u00e9sum\u00e9 \u65e5\u672c \U0001F600",
         "r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80"},
        // A lone surrogate cannot be UTF-8; it is replaced, and the line stays valid.
        {std::wstring(L"bad\xD800x"), "bad\xef\xbf\xbdx"},
    };
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    UseSettings(true, 1);
    for (const Case& c : cases) {
        gIncidentReference.store(kNoIncidentYet);
        HandleNewProcess(MakeProcess(c.text, L"C:\\Users\\" + c.text, L"run " + c.text));
    }
    const std::vector<std::string> lines = ReadLogLines();
    ASSERT_EQ(lines.size(), 3 * std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (size_t k = 0; k < 2; ++k) {
            const std::string& line = lines[3 * i + k];
            const json j = json::parse(line, nullptr, false);
            ASSERT_TRUE(j.is_object()) << line;
            EXPECT_EQ(j["type"], k == 0 ? "proc_start" : "proc_suspicious");
            EXPECT_EQ(j["name"], cases[i].utf8);
            EXPECT_EQ(j["path"], "C:\\Users\\" + cases[i].utf8);
            EXPECT_EQ(j["cmd"], "run " + cases[i].utf8);
        }
    }
}

TEST(HandleNewProcess, TwoSuspiciousProcessesWithinTheRateLimitMakeOneIncident) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    UseSettings(true, 60);
    const ProcessInfo suspicious = MakeProcess(L"vssadmin.exe", L"C:\\Windows\\System32\\vssadmin.exe",
                                               L"vssadmin delete shadows /all /quiet");
    HandleNewProcess(suspicious);
    FakeClock::seconds += 59;
    HandleNewProcess(suspicious);
    EXPECT_EQ(LogTypes(),
              std::vector<std::string>({"proc_start", "proc_suspicious", "incident_created", "proc_start",
                                        "proc_suspicious", "incident_rate_limited"}));
    EXPECT_EQ(Incidents().size(), 1u);
}

// With extendedDetection the extended score replaces ScoreProcess and a decoded
// command follows the specified members; without it every line is as before.
// A reload between two processes takes effect at the second.
TEST(HandleNewProcess, ExtendedDetectionSwitchesTheScoreAndAddsTheDecodedCommand) {
    const std::wstring ps = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
    const ProcessInfo encoded = MakeProcess(L"powershell.exe", ps, L"powershell -e VwByAGkAdABlAC0ATwB1AHQAcAB1AHQAIABoAGkA");
    const ProcessInfo encoding = MakeProcess(L"tool.exe", L"C:\\Windows\\tool.exe", L"tool -Encoding utf8");
    const ProcessInfo noPath = MakeProcess(L"svchost.exe", L"", L"svchost.exe -k x");
    const ProcessInfo masquerade = MakeProcess(L"svchost.exe", L"C:\\Users\\u\\AppData\\Roaming\\svchost.exe", L"");
    struct Case {
        const char* what;
        bool extended;
        int32_t threshold;
        const ProcessInfo* process;
        const char* suspicious;  // what follows the start members in "proc_suspicious"; nullptr: not suspicious
    } cases[] = {
        {"encoded -e, extended", true, 60, &encoded,
         ",\"score\":60,\"signals\":[\"script_engine_powershell\",\"encoded_command\"],\"decoded\":\"Write-Output "
         "hi\""},
        {"encoded -e, specified", false, 60, &encoded, nullptr},
        {"-Encoding, extended", true, 30, &encoding, nullptr},
        {"-Encoding, specified", false, 30, &encoding, ",\"score\":35,\"signals\":[\"encoded_command\"]"},
        {"no path, extended", true, 40, &noPath, nullptr},
        {"no path, specified", false, 40, &noPath,
         ",\"score\":45,\"signals\":[\"non_windows_system_drive\",\"core_name_outside_system32\"]"},
        {"core name in a user folder, extended", true, 60, &masquerade,
         ",\"score\":70,\"signals\":[\"user_space_location\",\"core_name_masquerade\"]"},
        {"core name in a user folder, specified", false, 60, &masquerade, nullptr},
    };
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    size_t seen = 0;
    for (const Case& c : cases) {
        FakeClock::seconds += 3600;  // well past any rate limit
        Config config;
        SetConfigDefaults(config);
        config.processSuspiciousScoreThreshold = c.threshold;
        config.extendedDetection = c.extended;
        StoreCurrentConfig(config);
        HandleNewProcess(*c.process);

        const std::vector<std::string> lines = ReadLogLines();
        ASSERT_GT(lines.size(), seen) << c.what;
        const std::string members = BuildProcStartMembers(*c.process);
        EXPECT_NE(lines[seen].find("\"type\":\"proc_start\"," + members + "}"), std::string::npos) << c.what;
        if (!c.suspicious) {
            EXPECT_EQ(lines.size(), seen + 1) << c.what;
        } else {
            ASSERT_EQ(lines.size(), seen + 3) << c.what;
            const std::string tail = "\"type\":\"proc_suspicious\"," + members + c.suspicious + "}";
            ASSERT_GE(lines[seen + 1].size(), tail.size()) << c.what;
            EXPECT_EQ(lines[seen + 1].substr(lines[seen + 1].size() - tail.size()), tail) << c.what;
            EXPECT_EQ(json::parse(lines[seen + 2])["type"], "incident_created") << c.what;
        }
        seen = lines.size();
    }
}

// The WMI path and the memory of process starts: with extendedDetection on,
// each start is remembered with the parent and creation time the instance
// gives and the monitor's score; with it off nothing is, and the log is the
// same either way.
TEST(HandleProcessEvent, WithExtendedDetectionTheStartIsRememberedWithItsOrigin) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    const std::wstring date = L"20240229120000.250000+060";
    const std::wstring path = L"C:\\Users\\u\\Downloads\\invoice_2024.exe";
    const std::wstring commandLine = L"invoice_2024.exe vssadmin delete shadows /all";
    FakeWbemObject process;
    process.Text(L"Name", L"invoice_2024.exe");
    process.Text(L"ExecutablePath", path);
    process.Text(L"CommandLine", commandLine);
    process.Int(L"ProcessId", VT_I4, 4242);
    process.Int(L"ParentProcessId", VT_I4, 77);
    process.Text(L"CreationDate", date);
    FakeWbemObject event;
    event.Object(L"TargetInstance", &process);

    std::vector<std::string> logs[2];
    for (bool extended : {false, true}) {
        ResetProcessMemory();
        Config config;
        SetConfigDefaults(config);
        config.enableProcessHeuristics = false;
        config.extendedDetection = extended;
        StoreCurrentConfig(config);
        const size_t before = ReadLogLines().size();
        const int64_t earliest = NowUnixMs();
        HandleProcessEvent(&event);
        const std::vector<std::string> lines = ReadLogLines();
        logs[extended].assign(lines.begin() + before, lines.end());

        const std::vector<RememberedProcess> recent = RecentProcesses(NowUnixMs());
        if (!extended) {
            EXPECT_TRUE(recent.empty()) << "remembered with the setting off";
            EXPECT_EQ(ProcessMemoryStartMs(), 0);
            continue;
        }
        ASSERT_EQ(recent.size(), 1u);
        const RememberedProcess& p = recent[0];
        EXPECT_EQ(p.pid, 4242);
        EXPECT_EQ(p.parentPid, 77);
        EXPECT_EQ(p.startedMs, CimDateTimeToUnixMs(date));
        EXPECT_NE(p.startedMs, 0);
        EXPECT_GE(p.seenMs, earliest);
        EXPECT_EQ(p.endedMs, 0);
        EXPECT_EQ(p.name, L"invoice_2024.exe");
        EXPECT_EQ(p.path, path);
        EXPECT_EQ(p.commandLine, commandLine);
        std::string fragment, decoded;
        EXPECT_EQ(p.score, ScoreProcessExtended(p.name, path, commandLine, fragment, decoded));
        EXPECT_GT(p.score, 0);
        EXPECT_EQ(p.signals, SignalNames(fragment));
        EXPECT_FALSE(p.signals.empty());
        EXPECT_GE(ProcessMemoryStartMs(), earliest);
    }
    EXPECT_EQ(logs[true], logs[false]) << "the setting changed what the monitor logs";
    EXPECT_EQ(process.refs.load(), 2u);
}

TEST(ExtractProcessOrigin, ParentAndCreationTimeOrUnknown) {
    struct Case {
        const char* what;
        void (*fill)(FakeWbemObject& instance);
        int32_t parentPid;
        bool started;
    } cases[] = {
        {"both",
         [](FakeWbemObject& o) {
             o.Int(L"ParentProcessId", VT_I4, 1234);
             o.Text(L"CreationDate", L"20240229110000.000000+000");
         },
         1234, true},
        {"neither", [](FakeWbemObject&) {}, -1, false},
        {"null values",
         [](FakeWbemObject& o) {
             o.Add(L"ParentProcessId").vt = VT_NULL;
             o.Add(L"CreationDate").vt = VT_NULL;
         },
         -1, false},
        {"wrong types",
         [](FakeWbemObject& o) {
             o.Text(L"ParentProcessId", L"1234");
             o.Int(L"CreationDate", VT_I4, 5);
         },
         -1, false},
        {"a date that is not one",
         [](FakeWbemObject& o) { o.Text(L"CreationDate", L"2024022911****.000000+000"); }, -1, false},
    };
    for (const Case& c : cases) {
        FakeWbemObject instance;
        c.fill(instance);
        const ProcessOrigin origin = ExtractProcessOrigin(&instance);
        EXPECT_EQ(origin.parentPid, c.parentPid) << c.what;
        EXPECT_EQ(origin.startedMs != 0, c.started) << c.what;
        EXPECT_EQ(instance.refs.load(), 1u) << c.what;
    }
    EXPECT_EQ(ExtractProcessOrigin(nullptr).parentPid, -1);
}

// The version resource as the stand-in programs carry it: one naming itself the
// shadow-copy tool, one with none; a missing file, a file that is no image and
// an empty path give nothing.
TEST(ReadImageVersionNames, TheResourcesNamesOrNothing) {
    TempDir dir;
    const std::wstring renamed = JoinPath(dir.path, L"svc.exe");
    ASSERT_TRUE(CopyFileW(StandInProgram(VG_SLEEPER_VSSADMIN_EXE).c_str(), renamed.c_str(), FALSE));
    const std::wstring text = JoinPath(dir.path, L"notes.exe");
    WriteFileBytes(text, "not an image");
    const struct {
        const char* what;
        std::wstring path;
        bool found;
        const wchar_t* original;
        const wchar_t* internal;
    } cases[] = {
        {"renamed copy of the tool", renamed, true, L"VSSADMIN.EXE.MUI", L"VSSADMIN"},
        {"no version resource", StandInProgram(VG_SLEEPER_EXE), false, L"", L""},
        {"missing file", JoinPath(dir.path, L"gone.exe"), false, L"", L""},
        {"not an image", text, false, L"", L""},
        {"empty path", L"", false, L"", L""},
    };
    for (const auto& c : cases) {
        std::wstring original = L"left over", internal = L"left over";
        EXPECT_EQ(ReadImageVersionNames(c.path, original, internal), c.found) << c.what;
        EXPECT_EQ(original, c.original) << c.what;
        EXPECT_EQ(internal, c.internal) << c.what;
    }
}

// A copy of the shadow-copy tool named svc.exe: with extendedDetection the
// monitor reads its version resource, logs both names and scores it as the
// tool; the same copy without the resource, and the setting off, stay below
// the threshold with the start line as before.
TEST(HandleProcessEvent, ARenamedSystemToolIsScoredAsWhatItClaims) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    const std::wstring withClaim = JoinPath(dir.path, L"svc.exe");
    const std::wstring without = JoinPath(dir.path, L"svd.exe");
    ASSERT_TRUE(CopyFileW(StandInProgram(VG_SLEEPER_VSSADMIN_EXE).c_str(), withClaim.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(StandInProgram(VG_SLEEPER_EXE).c_str(), without.c_str(), FALSE));
    const struct {
        const char* what;
        bool extended;
        std::wstring path;
        bool suspicious;
    } cases[] = {
        {"resource, extended", true, withClaim, true},
        {"resource, specified", false, withClaim, false},
        {"no resource, extended", true, without, false},
    };
    size_t seen = 0;
    for (const auto& c : cases) {
        FakeClock::seconds += 3600;
        Config config;
        SetConfigDefaults(config);
        config.extendedDetection = c.extended;
        StoreCurrentConfig(config);
        const std::wstring name = c.path.substr(c.path.rfind(L'\\') + 1);
        FakeWbemObject process;
        process.Text(L"Name", name);
        process.Text(L"ExecutablePath", c.path);
        process.Text(L"CommandLine", name + L" delete shadows /all /quiet");
        process.Int(L"ProcessId", VT_I4, 808);
        FakeWbemObject event;
        event.Object(L"TargetInstance", &process);
        HandleProcessEvent(&event);

        const std::vector<std::string> lines = ReadLogLines();
        ASSERT_GT(lines.size(), seen) << c.what;
        const json start = json::parse(lines[seen]);
        EXPECT_EQ(start["type"], "proc_start") << c.what;
        EXPECT_EQ(start["name"], WideToUtf8(name)) << c.what;
        const bool claims = c.extended && c.path == withClaim;
        EXPECT_EQ(start.contains("originalFileName"), claims) << c.what;
        if (claims) {
            EXPECT_EQ(start["originalFileName"], "VSSADMIN.EXE.MUI");
            EXPECT_EQ(start["internalName"], "VSSADMIN");
            const std::string startMembers = lines[seen].substr(lines[seen].find("\"name\""));
            EXPECT_LT(startMembers.find("\"cmd\""), startMembers.find("\"originalFileName\""));
        }
        if (!c.suspicious) {
            EXPECT_EQ(lines.size(), seen + 1) << c.what;
        } else {
            ASSERT_EQ(lines.size(), seen + 3) << c.what;
            const json suspicious = json::parse(lines[seen + 1]);
            EXPECT_EQ(suspicious["type"], "proc_suspicious");
            EXPECT_EQ(suspicious["originalFileName"], "VSSADMIN.EXE.MUI");
            EXPECT_GT(lines[seen + 1].find("\"originalFileName\""), lines[seen + 1].find("\"signals\""));
            const json& signals = suspicious["signals"];
            for (const char* signal : {"backup_or_boot_tool", "shadowcopy_command", "renamed_system_tool"})
                EXPECT_NE(std::find(signals.begin(), signals.end(), signal), signals.end()) << signal;
            EXPECT_EQ(json::parse(lines[seen + 2])["type"], "incident_created");
        }
        seen = lines.size();
    }
}
