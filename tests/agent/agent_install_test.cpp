// The real Vellumgard.exe's verbs in the Wine prefix's profile: --install
// (copy, sign-in entry, Start-menu shortcut, start; idempotent; upgrade),
// --uninstall (also from the installed copy itself, and with --purge),
// --version and the version resource, and arguments it does not understand.
// The sign-in entry is read back with Wine's own reg.exe, the shortcut with
// the shell's link object, the running agents from their tray windows.
//
// Starting at sign-in itself cannot be shown here: Wine has no sign-in that
// reads the Run key.
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <cstdlib>

#include "agent_fixture.h"

namespace {

std::wstring ShellFolder(int csidl) {
    wchar_t buf[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf))) return std::wstring();
    return buf;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One run of a program with its output in files: the program may start
// others (an agent, a helper) that must not keep a pipe of ours open.
struct ProgramRun {
    bool finished = false;
    DWORD code = 99;
    DWORD pid = 0;
    std::string out;
    std::string err;
};

UniqueHandle InheritableOutput(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

ProgramRun RunProgram(const std::wstring& exe, const std::wstring& args, int timeoutMs) {
    ProgramRun run;
    TempDir dir;
    const std::wstring outPath = dir.Sub(L"out.txt"), errPath = dir.Sub(L"err.txt");
    {
        UniqueHandle out = InheritableOutput(outPath), err = InheritableOutput(errPath);
        if (!out || !err) return run;
        std::wstring commandLine = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out.get();
        si.hStdError = err.get();
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                            &pi))
            return run;
        UniqueHandle process(pi.hProcess), thread(pi.hThread);
        run.pid = pi.dwProcessId;
        if (WaitForSingleObject(process.get(), static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
            run.finished = true;
            GetExitCodeProcess(process.get(), &run.code);
        } else {
            TerminateProcess(process.get(), 97);
            WaitForSingleObject(process.get(), 5000);
        }
    }
    run.out = ReadFileBytes(outPath);
    run.err = ReadFileBytes(errPath);
    return run;
}

const wchar_t kRunKey[] = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::wstring RegExe() {
    return JoinPath(ShellFolder(CSIDL_SYSTEM), L"reg.exe");
}

// The sign-in entry as Wine's reg.exe shows it; false when there is none.
bool ReadRunValue(std::string& value) {
    const ProgramRun r =
        RunProgram(RegExe(), std::wstring(L"query \"") + kRunKey + L"\" /v Vellumgard", 30000);
    value.clear();
    if (!r.finished || r.code != 0) return false;
    for (const std::string& line : SplitLines(r.out)) {
        const size_t name = line.find("Vellumgard");
        const size_t type = line.find("REG_SZ");
        if (name == std::string::npos || type == std::string::npos) continue;
        value = line.substr(type + 6);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
        return true;
    }
    return false;
}

bool SetRunValue(const std::wstring& data) {
    const ProgramRun r = RunProgram(
        RegExe(), std::wstring(L"add \"") + kRunKey + L"\" /v Vellumgard /t REG_SZ /d \"" + data + L"\" /f",
        30000);
    return r.finished && r.code == 0;
}

void DeleteRunValue() {
    RunProgram(RegExe(), std::wstring(L"delete \"") + kRunKey + L"\" /v Vellumgard /f", 30000);
}

// The target path of a shortcut file, through the shell's link object.
std::wstring ShortcutTarget(const std::wstring& lnk) {
    ComInit com(COINIT_APARTMENTTHREADED);
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.put_void())))
        return std::wstring();
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) ||
        FAILED(file->Load(lnk.c_str(), STGM_READ)))
        return std::wstring();
    wchar_t target[MAX_PATH] = {};
    if (FAILED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))) return std::wstring();
    return target;
}

struct TrayAgent {
    DWORD pid = 0;
    HWND window = nullptr;
    std::wstring exe;
};

BOOL CALLBACK CollectTrayAgent(HWND window, LPARAM param) {
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (std::wstring(cls) != L"VellumgardTrayClass") return TRUE;
    TrayAgent a;
    a.window = window;
    GetWindowThreadProcessId(window, &a.pid);
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, a.pid));
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (process && QueryFullProcessImageNameW(process.get(), 0, path, &size)) a.exe.assign(path, size);
    reinterpret_cast<std::vector<TrayAgent>*>(param)->push_back(a);
    return TRUE;
}

std::vector<TrayAgent> TrayAgents() {
    std::vector<TrayAgent> agents;
    EnumWindows(CollectTrayAgent, reinterpret_cast<LPARAM>(&agents));
    return agents;
}

std::vector<TrayAgent> TrayAgentsFrom(const std::wstring& exe) {
    std::vector<TrayAgent> out;
    for (const TrayAgent& a : TrayAgents())
        if (SameText(a.exe, exe)) out.push_back(a);
    return out;
}

// Every agent on the desktop asked to exit through its menu command; one
// that does not end is terminated.
void StopAllAgents() {
    std::vector<UniqueHandle> processes;
    for (const TrayAgent& a : TrayAgents()) {
        UniqueHandle p(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, a.pid));
        PostMessageW(a.window, WM_COMMAND, 1007, 0);
        if (p) processes.push_back(std::move(p));
    }
    for (const UniqueHandle& p : processes)
        if (WaitForSingleObject(p.get(), 20000) != WAIT_OBJECT_0) TerminateProcess(p.get(), 98);
}

// The "install" lines after the mark as step/result pairs.
std::vector<std::string> InstallSteps(const LogMark& mark) {
    std::vector<std::string> steps;
    for (const std::string& line : LogLinesSince(mark))
        if (JsonMember(line, "type") == "install")
            steps.push_back(JsonMember(line, "step") + "/" + JsonMember(line, "result"));
    return steps;
}

FILETIME LastWrite(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &d);
    return d.ftLastWriteTime;
}

// Holds every thread of a process still, so its window answers nothing.
void SetSuspended(DWORD pid, bool suspend) {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    if (!snapshot || !Thread32First(snapshot.get(), &te)) return;
    do {
        if (te.th32OwnerProcessID != pid) continue;
        UniqueHandle t(OpenThread(THREAD_SUSPEND_RESUME, FALSE, te.th32ThreadID));
        if (!t) continue;
        if (suspend) {
            SuspendThread(t.get());
        } else {
            ResumeThread(t.get());
        }
    } while (Thread32Next(snapshot.get(), &te));
}

constexpr int kVerbTimeoutMs = 90000;

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* overrides = std::getenv("WINEDLLOVERRIDES");
        ASSERT_TRUE(overrides && Contains(overrides, "winemenubuilder.exe=d"))
            << "refusing to let a shortcut become a menu entry on the host";
        profile = GetAgentProfile();
        ASSERT_FALSE(profile.dataDir.empty());
        const std::wstring localAppData = ShellFolder(CSIDL_LOCAL_APPDATA);
        const std::wstring programs = ShellFolder(CSIDL_PROGRAMS);
        ASSERT_FALSE(localAppData.empty());
        ASSERT_FALSE(programs.empty());
        installDir = localAppData + L"\\Programs\\Vellumgard";
        installedExe = installDir + L"\\Vellumgard.exe";
        shortcut = programs + L"\\Vellumgard.lnk";
        buildExe = AgentExePath();
        Clean();
        std::string ignored;
        ASSERT_FALSE(ReadRunValue(ignored));
        ASSERT_FALSE(PathExists(installDir));
        ASSERT_TRUE(TrayAgents().empty());
    }

    void TearDown() override { Clean(); }

    void Clean() {
        StopAllAgents();
        DeleteRunValue();
        RemoveTree(installDir);
        DeleteFileW(shortcut.c_str());
        ResetAgentProfile(profile);
    }

    // A quick agent (no process monitor) for the installed copy to start.
    void QuickConfig() { ASSERT_TRUE(WriteAgentConfig(profile, kQuickConfig)); }

    ProgramRun Invoke(const std::wstring& exe, const std::wstring& args) {
        return RunProgram(exe, args, kVerbTimeoutMs);
    }

    // --install from the build tree, then the one agent it started.
    void Install(TrayAgent& agent) {
        const ProgramRun r = Invoke(buildExe, L"--install --quiet");
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.code, 0u) << r.out << r.err;
        const std::vector<TrayAgent> agents = TrayAgentsFrom(installedExe);
        ASSERT_EQ(agents.size(), 1u);
        agent = agents.front();
    }

    void ExpectUninstalled() {
        std::string value;
        EXPECT_FALSE(PathExists(installedExe));
        EXPECT_FALSE(PathExists(installDir));
        EXPECT_FALSE(ReadRunValue(value)) << value;
        EXPECT_FALSE(PathExists(shortcut));
        EXPECT_TRUE(TrayAgentsFrom(installedExe).empty());
    }

    AgentProfile profile;
    std::wstring installDir, installedExe, shortcut, buildExe;
};

}  // namespace

// The first install copies, registers, adds the shortcut and starts the
// installed agent; an agent from elsewhere is left running and named. Again:
// nothing is written and no second agent starts. With the entry and the
// shortcut damaged: both are repaired, still without a second agent.
TEST_F(InstallTest, InstallsOnceAndRepairsWithoutASecondAgent) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    Agent other;
    std::string failure;
    ASSERT_TRUE(StartAgent(other, failure)) << failure;

    LogMark mark = MarkLog(profile.logFile);
    ProgramRun r = Invoke(buildExe, L"--install --quiet");
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "is installed for this user")) << r.out;
    EXPECT_TRUE(Contains(
        r.out, "left alone:\r\n  " + WideToUtf8(buildExe) + " (process " + std::to_string(other.pid) + ")"))
        << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;

    EXPECT_EQ(ReadFileBytes(installedExe), ReadFileBytes(buildExe));
    std::string value;
    ASSERT_TRUE(ReadRunValue(value));
    EXPECT_EQ(value, "\"" + WideToUtf8(installedExe) + "\"");
    EXPECT_TRUE(SameText(ShortcutTarget(shortcut), installedExe)) << WideToUtf8(ShortcutTarget(shortcut));
    std::vector<TrayAgent> installed = TrayAgentsFrom(installedExe);
    ASSERT_EQ(installed.size(), 1u);
    const DWORD installedPid = installed.front().pid;
    EXPECT_TRUE(AgentRunning(other));
    EXPECT_EQ(InstallSteps(mark),
              (std::vector<std::string>{"copy/done", "run_key/done", "shortcut/done", "start_agent/done"}));

    const FILETIME written = LastWrite(installedExe);
    mark = MarkLog(profile.logFile);
    r = Invoke(buildExe, L"--install --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "no second one was started")) << r.out;
    const FILETIME rewritten = LastWrite(installedExe);
    EXPECT_EQ(CompareFileTime(&written, &rewritten), 0);
    installed = TrayAgentsFrom(installedExe);
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed.front().pid, installedPid);
    EXPECT_EQ(InstallSteps(mark), (std::vector<std::string>{"copy/unchanged", "run_key/unchanged",
                                                            "shortcut/unchanged", "start_agent/unchanged"}));

    ASSERT_TRUE(SetRunValue(L"C:\\elsewhere\\Vellumgard.exe"));
    ASSERT_TRUE(DeleteFileW(shortcut.c_str()));
    mark = MarkLog(profile.logFile);
    r = Invoke(buildExe, L"--install --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    ASSERT_TRUE(ReadRunValue(value));
    EXPECT_EQ(value, "\"" + WideToUtf8(installedExe) + "\"");
    EXPECT_TRUE(SameText(ShortcutTarget(shortcut), installedExe));
    installed = TrayAgentsFrom(installedExe);
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed.front().pid, installedPid);
    EXPECT_EQ(InstallSteps(mark), (std::vector<std::string>{"copy/unchanged", "run_key/repaired",
                                                            "shortcut/done", "start_agent/unchanged"}));

    EXPECT_EQ(ExitAgent(other), 0u);
}

// --install --protect switches both settings on in the user's file, every
// other byte kept, and restarts the running installed agent so they take
// effect; again, nothing changes and the agent stays. --install alone leaves
// the file as it is.
TEST_F(InstallTest, ProtectWritesBothSettingsAndRestartsTheInstalledAgent) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent first;
    ASSERT_NO_FATAL_FAILURE(Install(first));
    const std::string before = ReadFileBytes(profile.configFile);
    ASSERT_EQ(before, kQuickConfig);

    LogMark mark = MarkLog(profile.logFile);
    ProgramRun r = Invoke(buildExe, L"--install --protect --quiet");
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Switched on extended detection")) << r.out;
    const std::string after = ReadFileBytes(profile.configFile);
    EXPECT_EQ(after, before.substr(0, before.size() - 3) +
                         ",\n  \"extendedDetection\": true,\n  \"pauseSuspectPrograms\": true\n}\n");
    EXPECT_EQ(InstallSteps(mark), (std::vector<std::string>{"protect/done", "stop_agents/done", "copy/unchanged",
                                                            "run_key/unchanged", "shortcut/unchanged",
                                                            "start_agent/done"}));
    std::vector<TrayAgent> installed = TrayAgentsFrom(installedExe);
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_NE(installed.front().pid, first.pid) << "restarted for the new settings";

    mark = MarkLog(profile.logFile);
    r = Invoke(buildExe, L"--install --protect --quiet");
    ASSERT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_EQ(InstallSteps(mark), (std::vector<std::string>{"protect/unchanged", "copy/unchanged",
                                                            "run_key/unchanged", "shortcut/unchanged",
                                                            "start_agent/unchanged"}));
    EXPECT_EQ(ReadFileBytes(profile.configFile), after);
    r = Invoke(buildExe, L"--protect --quiet");
    EXPECT_EQ(r.code, 2u) << "--protect goes with --install only";
    EXPECT_EQ(ReadFileBytes(profile.configFile), after);
}

// An install of other bytes asks the running installed agent to exit, waits
// for it, replaces the file and starts the new one.
TEST_F(InstallTest, InstallOfOtherBytesReplacesTheRunningInstalledAgent) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent old;
    ASSERT_NO_FATAL_FAILURE(Install(old));
    UniqueHandle oldProcess(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, old.pid));
    ASSERT_TRUE(oldProcess);

    // Bytes after the image change the file, not the program.
    TempDir dir;
    const std::wstring newer = dir.Sub(L"Vellumgard.exe");
    const std::string newerBytes = ReadFileBytes(buildExe) + std::string("vellumgard-upgrade-test", 23);
    ASSERT_TRUE(WriteFileBytes(newer, newerBytes));

    const LogMark mark = MarkLog(profile.logFile);
    const ProgramRun r = Invoke(newer, L"--install --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Replaced the program at")) << r.out;

    ASSERT_EQ(WaitForSingleObject(oldProcess.get(), 0), WAIT_OBJECT_0);
    DWORD oldCode = 99;
    GetExitCodeProcess(oldProcess.get(), &oldCode);
    EXPECT_EQ(oldCode, 0u);  // it went through its own Exit
    EXPECT_TRUE(ReadFileBytes(installedExe) == newerBytes);
    const std::vector<TrayAgent> now = TrayAgentsFrom(installedExe);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now.front().pid, old.pid);
    EXPECT_EQ(InstallSteps(mark),
              (std::vector<std::string>{"stop_agents/done", "copy/replaced", "run_key/unchanged",
                                        "shortcut/unchanged", "start_agent/done"}));
}

// An installed agent that does not answer: the upgrade gives up after its
// bounded wait, says so, exits 7 and changes nothing.
TEST_F(InstallTest, UpgradeGivesUpOnAnAgentThatDoesNotExitAndChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent stuck;
    ASSERT_NO_FATAL_FAILURE(Install(stuck));
    TempDir dir;
    const std::wstring newer = dir.Sub(L"Vellumgard.exe");
    ASSERT_TRUE(WriteFileBytes(newer, ReadFileBytes(buildExe) + "x"));

    SetSuspended(stuck.pid, true);
    const LogMark mark = MarkLog(profile.logFile);
    const ProgramRun r = Invoke(newer, L"--install --quiet");
    SetSuspended(stuck.pid, false);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 7u);
    EXPECT_TRUE(Contains(r.err, "did not exit within 20 seconds, so nothing was changed")) << r.err;
    EXPECT_TRUE(ReadFileBytes(installedExe) == ReadFileBytes(buildExe));
    EXPECT_EQ(InstallSteps(mark), std::vector<std::string>{"stop_agents/timeout"});
}

// --uninstall stops the installed agent and removes the copy, its folder,
// the sign-in entry and the shortcut. The data folder stays, unless --purge.
TEST_F(InstallTest, UninstallRemovesTheInstallAndStopsItsAgent) {
    for (const bool purge : {false, true}) {
        SCOPED_TRACE(purge ? "--purge" : "no --purge");
        ASSERT_NO_FATAL_FAILURE(QuickConfig());
        TrayAgent agent;
        ASSERT_NO_FATAL_FAILURE(Install(agent));
        UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, agent.pid));

        const LogMark mark = MarkLog(profile.logFile);
        const ProgramRun r =
            Invoke(buildExe, purge ? L"--uninstall --purge --quiet" : L"--uninstall --quiet");
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.code, 0u) << r.out << r.err;
        EXPECT_TRUE(Contains(r.out, "Vellumgard is uninstalled for this user.")) << r.out;
        ASSERT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(code, 0u);
        ExpectUninstalled();
        if (purge) {
            EXPECT_FALSE(PathExists(profile.dataDir));
            // Uninstalling again finds nothing, and its log lines do not bring the folder back.
            const ProgramRun again = Invoke(buildExe, L"--uninstall --quiet");
            EXPECT_EQ(again.code, 0u) << again.out << again.err;
            EXPECT_TRUE(Contains(again.out, "There was no installed copy at")) << again.out;
            EXPECT_TRUE(Contains(again.out, "There was no data folder.")) << again.out;
            EXPECT_FALSE(PathExists(profile.dataDir));
        } else {
            EXPECT_TRUE(PathIsDirectory(profile.dataDir));
            EXPECT_EQ(ReadFileBytes(profile.configFile), kQuickConfig);
            EXPECT_EQ(InstallSteps(mark),
                      (std::vector<std::string>{"stop_agents/done", "remove_run_key/done",
                                                "remove_shortcut/done", "remove_copy/done", "purge/kept"}));
        }
        Clean();
    }
}

// The data folder is purged only once no agent uses it: with one running
// from elsewhere it stays (exit 10); after that one exits, it goes.
TEST_F(InstallTest, PurgeWaitsUntilNoAgentUsesTheDataFolder) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    Agent other;
    std::string failure;
    ASSERT_TRUE(StartAgent(other, failure)) << failure;

    ProgramRun r = Invoke(buildExe, L"--uninstall --purge --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 10u);
    EXPECT_TRUE(Contains(r.err, "agents from other places still use it")) << r.err;
    EXPECT_TRUE(AgentRunning(other));
    EXPECT_EQ(ReadFileBytes(profile.configFile), kQuickConfig);

    EXPECT_EQ(ExitAgent(other), 0u);
    r = Invoke(buildExe, L"--uninstall --purge --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_FALSE(PathExists(profile.dataDir));
}

// The installed copy uninstalls itself: it does every step but removing its
// own file, which a helper copy in the temp folder does once it has ended.
// The next uninstall removes that helper copy.
TEST_F(InstallTest, UninstallFromTheInstalledCopyHandsTheFileToAHelper) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent agent;
    ASSERT_NO_FATAL_FAILURE(Install(agent));
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, agent.pid));

    const LogMark mark = MarkLog(profile.logFile);
    const ProgramRun r = Invoke(installedExe, L"--uninstall --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "a helper copy")) << r.out;
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(WaitUntil([&] { return !PathExists(installDir); }, 20000));
    ASSERT_TRUE(WaitForLogLine(
        mark, [](const std::string& l) { return JsonMember(l, "step") == "remove_copy"; }, 10000));
    ExpectUninstalled();
    EXPECT_EQ(InstallSteps(mark),
              (std::vector<std::string>{"stop_agents/done", "remove_run_key/done", "remove_shortcut/done",
                                        "hand_off/done", "purge/kept", "remove_copy/done"}));

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring helperDir = JoinPath(temp, L"Vellumgard-uninstall-" + std::to_wstring(r.pid));
    const ProgramRun again = Invoke(buildExe, L"--uninstall --quiet");
    EXPECT_EQ(again.code, 0u) << again.out << again.err;
    EXPECT_FALSE(PathExists(helperDir));
}

// --version prints the project version, which the version resource carries
// too; --help exits 0.
TEST_F(InstallTest, VersionIsTheProjectVersionEverywhere) {
    ProgramRun r = Invoke(buildExe, L"--version --quiet");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, std::string("Vellumgard ") + VG_EXPECTED_VERSION + "\r\n");
    r = Invoke(buildExe, L"--help --quiet");
    EXPECT_EQ(r.code, 0u);
    EXPECT_TRUE(Contains(r.out, "Exit codes:")) << r.out;

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(buildExe.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(buildExe.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(numbers, VG_EXPECTED_VERSION);
    const struct {
        const wchar_t* name;
        std::string value;  // empty: any non-empty text
    } strings[] = {{L"ProductName", "Vellumgard"},
                   {L"FileVersion", VG_EXPECTED_VERSION},
                   {L"ProductVersion", VG_EXPECTED_VERSION},
                   {L"OriginalFilename", "Vellumgard.exe"},
                   {L"FileDescription", ""},
                   {L"LegalCopyright", ""}};
    for (const auto& s : strings) {
        wchar_t* text = nullptr;
        len = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.name;
        ASSERT_TRUE(VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &len))
            << WideToUtf8(s.name);
        const std::string value = WideToUtf8(std::wstring(text, len > 0 ? len - 1 : 0));
        if (s.value.empty()) {
            EXPECT_FALSE(value.empty()) << WideToUtf8(s.name);
        } else {
            EXPECT_EQ(value, s.value) << WideToUtf8(s.name);
        }
    }
}

// Arguments it does not understand: exit 2 at once with the reason, and
// nothing installed, registered, created or started. Without --quiet the
// reason shows in an error box.
TEST_F(InstallTest, UnknownArgumentsExitAtOnceAndChangeNothing) {
    const struct {
        const wchar_t* args;
        const char* reason;
    } cases[] = {
        {L"--bogus --quiet", "Unknown argument \"--bogus\"."},
        {L"install --quiet", "Unknown argument \"install\"."},
        {L"--install --bogus --quiet", "Unknown argument \"--bogus\"."},
        {L"--install --uninstall --quiet", "Give only one of"},
        {L"--install --purge --quiet", "--purge goes with --uninstall only."},
        {L"--quiet", "go with a verb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.args));
        const ULONGLONG started = GetTickCount64();
        const ProgramRun r = RunProgram(buildExe, c.args, 15000);
        ASSERT_TRUE(r.finished);
        EXPECT_LT(GetTickCount64() - started, 10000u);
        EXPECT_EQ(r.code, 2u);
        EXPECT_TRUE(Contains(r.err, c.reason)) << r.err;
        EXPECT_TRUE(Contains(r.err, "Nothing was changed.")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        std::string value;
        EXPECT_FALSE(ReadRunValue(value));
        EXPECT_FALSE(PathExists(installDir));
        EXPECT_FALSE(PathExists(shortcut));
        EXPECT_FALSE(PathExists(profile.dataDir));
        EXPECT_TRUE(TrayAgents().empty());
    }

    std::wstring commandLine = L"\"" + buildExe + L"\" --bogus";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(buildExe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &pi));
    Agent verb;  // the driver's box helpers work on any process of ours
    verb.process.reset(pi.hProcess);
    verb.thread.reset(pi.hThread);
    verb.pid = pi.dwProcessId;
    AgentBox box;
    ASSERT_TRUE(WaitForAgentBox(verb, 15000, box));
    EXPECT_EQ(box.caption, L"Vellumgard");
    EXPECT_EQ(box.text.rfind(L"Unknown argument \"--bogus\". Nothing was changed.\n", 0), 0u)
        << WideToUtf8(box.text);
    EXPECT_EQ(box.icon, BoxIcon::Error) << BoxIconName(box.icon);
    ASSERT_TRUE(DismissAgentBox(box.window, 5000));
    DWORD code = 99;
    ASSERT_TRUE(WaitForAgentExit(verb, 10000, code));
    EXPECT_EQ(code, 2u);
    EXPECT_FALSE(PathExists(profile.dataDir));
}
