// The real Vellumgard.exe's verbs in the Wine prefix's profile: --install
// (copy, sign-in entry, Start-menu shortcut, start; idempotent; upgrade),
// --uninstall (also from the installed copy itself, and with --purge),
// --version and the version resource, and arguments it does not understand.
// The sign-in entry is read back with Wine's own reg.exe, the shortcut with
// the shell's link object, the running agents from their tray windows.
//
// Starting at sign-in itself cannot be shown here: Wine has no sign-in that
// reads the Run key (nor RunOnce). Every Wine process has an elevated split
// token, so every install and uninstall here passes --allow-elevated, and one
// test checks the refusal without it.
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <thread>

#include "agent_fixture.h"
#include "core/clock.h"
#include "fsmon/canary_names.h"
#include "procmon/pause_records.h"
#include "procmon/process_pauser.h"
#include "support/stand_in.h"
#include "tray/install_checks.h"

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

const wchar_t kStartupApprovedKey[] =
    L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
const wchar_t kRunOnceKey[] = L"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// What reg.exe prints for one value; empty when there is none.
std::string QueryValue(const std::wstring& key, const std::wstring& name) {
    const ProgramRun r = RunProgram(RegExe(), L"query \"" + key + L"\" /v " + name, 30000);
    return r.finished && r.code == 0 ? r.out : std::string();
}

bool AddValue(const std::wstring& key, const std::wstring& name, const std::wstring& type,
              const std::wstring& data) {
    const ProgramRun r = RunProgram(
        RegExe(), L"add \"" + key + L"\" /v " + name + L" /t " + type + L" /d \"" + data + L"\" /f", 30000);
    return r.finished && r.code == 0;
}

void DeleteValue(const std::wstring& key, const std::wstring& name) {
    RunProgram(RegExe(), L"delete \"" + key + L"\" /v " + name + L" /f", 30000);
}

bool MutexExists(const std::wstring& name) {
    UniqueHandle m(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    return static_cast<bool>(m);
}

// Starts a program in its own folder, as the sign-in entry would.
bool StartDirectly(const std::wstring& exe, UniqueHandle& process, DWORD& pid) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    const std::wstring folder = exe.substr(0, exe.find_last_of(L'\\'));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &si, &pi))
        return false;
    process.reset(pi.hProcess);
    CloseHandle(pi.hThread);
    pid = pi.dwProcessId;
    return true;
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
        DeleteValue(kStartupApprovedKey, L"Vellumgard");
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
        const ProgramRun r = Invoke(buildExe, L"--install --quiet --allow-elevated");
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
    ProgramRun r = Invoke(buildExe, L"--install --quiet --allow-elevated");
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
    r = Invoke(buildExe, L"--install --quiet --allow-elevated");
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
    r = Invoke(buildExe, L"--install --quiet --allow-elevated");
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
    ProgramRun r = Invoke(buildExe, L"--install --protect --quiet --allow-elevated");
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
    r = Invoke(buildExe, L"--install --protect --quiet --allow-elevated");
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
    const ProgramRun r = Invoke(newer, L"--install --quiet --allow-elevated");
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
    const ProgramRun r = Invoke(newer, L"--install --quiet --allow-elevated");
    SetSuspended(stuck.pid, false);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 7u);
    EXPECT_TRUE(Contains(r.err, "did not exit within 20 seconds, so nothing was changed")) << r.err;
    EXPECT_TRUE(ReadFileBytes(installedExe) == ReadFileBytes(buildExe));
    EXPECT_EQ(InstallSteps(mark), std::vector<std::string>{"stop_agents/timeout"});
}

// The copy fails after the running agent was asked to exit (a folder stands
// where the new bytes are staged): the upgrade starts the copy that is still
// installed again, and says so and what runs now.
TEST_F(InstallTest, FailedCopyAfterAStopStartsTheInstalledCopyAgain) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent old;
    ASSERT_NO_FATAL_FAILURE(Install(old));
    UniqueHandle oldProcess(OpenProcess(SYNCHRONIZE, FALSE, old.pid));
    ASSERT_TRUE(oldProcess);
    ASSERT_TRUE(CreateDirectoryW((installedExe + L".new").c_str(), nullptr));
    TempDir dir;
    const std::wstring newer = dir.Sub(L"Vellumgard.exe");
    ASSERT_TRUE(WriteFileBytes(newer, ReadFileBytes(buildExe) + "x"));

    const LogMark mark = MarkLog(profile.logFile);
    const ProgramRun r = Invoke(newer, L"--install --quiet --allow-elevated");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 4u);
    EXPECT_TRUE(Contains(r.err, "Could not copy the program to")) << r.err;
    EXPECT_TRUE(Contains(r.err,
                         "Started the installed copy again (the version that was installed before); it "
                         "runs now."))
        << r.err;
    EXPECT_EQ(WaitForSingleObject(oldProcess.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReadFileBytes(installedExe) == ReadFileBytes(buildExe));
    const std::vector<TrayAgent> now = TrayAgentsFrom(installedExe);
    ASSERT_EQ(now.size(), 1u);
    EXPECT_NE(now.front().pid, old.pid);
    EXPECT_EQ(InstallSteps(mark),
              (std::vector<std::string>{"stop_agents/done", "copy/failed", "restart_agent/done"}));
}

// An agent holds its path's mutex from its first moment, before its core has
// started and its window exists: an uninstall then waits for the window and
// asks it to exit, instead of taking it for absent.
TEST_F(InstallTest, AnAgentWithoutItsWindowYetIsFoundByItsMutex) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent first;
    ASSERT_NO_FATAL_FAILURE(Install(first));
    StopAllAgents();
    ASSERT_TRUE(TrayAgents().empty());

    wchar_t full[MAX_PATH * 2] = {};
    ASSERT_GT(GetLongPathNameW(installedExe.c_str(), full, MAX_PATH * 2), 0u);
    const std::wstring mutexName = AgentImageMutexName(full);
    ASSERT_FALSE(MutexExists(mutexName));
    UniqueHandle process;
    DWORD pid = 0;
    ASSERT_TRUE(StartDirectly(installedExe, process, pid));
    // A tight watch: the core's start, between the mutex and the window, is short.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (!MutexExists(mutexName) && GetTickCount64() < deadline) Sleep(0);
    SetSuspended(pid, true);  // held between its mutex and its window
    ASSERT_TRUE(MutexExists(mutexName));
    const bool windowYet = !TrayAgentsFrom(installedExe).empty();

    ProgramRun r;
    std::thread verb([&] { r = Invoke(buildExe, L"--uninstall --quiet --allow-elevated"); });
    Sleep(3000);
    const bool stillThere = PathExists(installedExe);
    SetSuspended(pid, false);
    verb.join();
    ASSERT_FALSE(windowYet) << "the agent showed its window before it could be held";
    EXPECT_TRUE(stillThere) << "the copy was removed while its agent was starting";
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "Asked the installed agent to exit; it has ended.")) << r.out;
    ASSERT_EQ(WaitForSingleObject(process.get(), 0), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
    ExpectUninstalled();
}

// An entry the user turned off in the system's start-up settings: --install
// says so, and leaves the switch as it was.
TEST_F(InstallTest, InstallSaysTheUserTurnedTheStartAtSignInOff) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    const wchar_t kOff[] = L"030000001122334455667788";
    ASSERT_TRUE(AddValue(kStartupApprovedKey, L"Vellumgard", L"REG_BINARY", kOff));
    const LogMark mark = MarkLog(profile.logFile);
    const ProgramRun r = Invoke(buildExe, L"--install --quiet --allow-elevated");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "is installed for this user, but its start at sign-in is turned off."))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "turned off in the system's start-up settings")) << r.out;
    EXPECT_TRUE(Contains(QueryValue(kStartupApprovedKey, L"Vellumgard"), WideToUtf8(kOff)));
    std::string value;
    EXPECT_TRUE(ReadRunValue(value));
    EXPECT_EQ(InstallSteps(mark),
              (std::vector<std::string>{"copy/done", "run_key/done", "startup_approved/disabled",
                                        "shortcut/done", "start_agent/done"}));

    // Turned on again (02): nothing to say.
    ASSERT_TRUE(AddValue(kStartupApprovedKey, L"Vellumgard", L"REG_BINARY", L"020000000000000000000000"));
    const ProgramRun again = Invoke(buildExe, L"--install --quiet --allow-elevated");
    EXPECT_EQ(again.code, 0u);
    EXPECT_TRUE(Contains(again.out, "starts at every sign-in.")) << again.out;
    EXPECT_FALSE(Contains(again.out, "turned off")) << again.out;
}

// Every Wine process holds an elevated split token: without --allow-elevated
// both verbs refuse with exit code 14 and change nothing.
TEST_F(InstallTest, AnElevatedTokenIsRefusedWithoutTheOption) {
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    UniqueHandle token(raw);
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size));
    if (type != TokenElevationTypeFull) GTEST_SKIP() << "this Wine gives no elevated split token";

    for (const wchar_t* args : {L"--install --quiet", L"--uninstall --purge --quiet"}) {
        SCOPED_TRACE(WideToUtf8(args));
        const ProgramRun r = Invoke(buildExe, args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(r.code, 14u);
        EXPECT_TRUE(Contains(r.err, "was started elevated")) << r.err;
        EXPECT_TRUE(Contains(r.err, "--allow-elevated")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        std::string value;
        EXPECT_FALSE(ReadRunValue(value));
        EXPECT_FALSE(PathExists(installDir));
        EXPECT_FALSE(PathExists(profile.dataDir));
        EXPECT_TRUE(TrayAgents().empty());
    }
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
        const ProgramRun r = Invoke(buildExe, purge ? L"--uninstall --purge --quiet --allow-elevated"
                                                    : L"--uninstall --quiet --allow-elevated");
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
            const ProgramRun again = Invoke(buildExe, L"--uninstall --quiet --allow-elevated");
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

    ProgramRun r = Invoke(buildExe, L"--uninstall --purge --quiet --allow-elevated");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 10u);
    EXPECT_TRUE(Contains(r.err, "agents from other places still use it")) << r.err;
    EXPECT_TRUE(AgentRunning(other));
    EXPECT_EQ(ReadFileBytes(profile.configFile), kQuickConfig);

    EXPECT_EQ(ExitAgent(other), 0u);
    r = Invoke(buildExe, L"--uninstall --purge --quiet --allow-elevated");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_FALSE(PathExists(profile.dataDir));
}

// A program the agent paused still runs: --uninstall --quiet leaves it
// paused, keeps the list and refuses --purge (exit 15, the data folder
// stays) while uninstalling the rest; once it has ended (this test still
// holds a handle to it, which keeps its times readable), its line no longer
// counts and the purge goes ahead.
TEST_F(InstallTest, QuietUninstallKeepsPausedProgramsAndRefusesThePurge) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent agent;
    ASSERT_NO_FATAL_FAILURE(Install(agent));

    TempDir dir;
    StandIn paused;
    const std::wstring exe = dir.Sub(L"vg_paused_writer.exe");
    SetEnvironmentVariableW(L"VG_SLEEP_MS", L"60000");
    ASSERT_TRUE(StartStandIn(StandInProgram(VG_SLEEPER_EXE), exe, L"\"" + exe + L"\"", 60000, paused));
    PausedProgram p;
    p.pid = paused.pid;
    p.startedMs = FileTimeToUnixMs(paused.created);
    p.pausedMs = NowUnixMs();
    p.path = exe;
    p.evidence = "wrote report.docx.locked";
    uint32_t error = 0;
    ASSERT_EQ(SuspendProcessExactly(p.pid, p.startedMs, error), PauseResult::Done) << error;
    PausedProgram gone = p;
    gone.pid = 0x7FFFFFF0;  // paused once, ended since
    const std::wstring list = JoinPath(profile.dataDir, L"paused_programs.txt");
    const std::string listText = FormatPausedList({gone, p});
    ASSERT_TRUE(WriteFileBytes(list, listText));

    const LogMark mark = MarkLog(profile.logFile);
    ProgramRun r = Invoke(buildExe, L"--uninstall --purge --quiet --allow-elevated");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 15u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, WideToUtf8(exe) + " (process " + std::to_string(p.pid) + ")")) << r.err;
    EXPECT_TRUE(Contains(r.err, "it lists programs Vellumgard paused that still run")) << r.err;
    EXPECT_EQ(ReadFileBytes(list), listText);
    EXPECT_NE(WaitForSingleObject(paused.process.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(ReadFileBytes(profile.configFile), kQuickConfig);
    ExpectUninstalled();
    EXPECT_EQ(InstallSteps(mark), (std::vector<std::string>{"stop_agents/done", "paused_programs/kept",
                                                            "remove_run_key/done", "remove_shortcut/done",
                                                            "remove_copy/done", "purge/programs_paused"}));

    // Without --purge the quiet uninstall succeeds and still says what stays paused.
    r = Invoke(buildExe, L"--uninstall --quiet --allow-elevated");
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "These programs Vellumgard paused stay paused:")) << r.out;

    ASSERT_EQ(EndProcessExactly(p.pid, p.startedMs, error), PauseResult::Done) << error;
    ASSERT_EQ(WaitForSingleObject(paused.process.get(), 5000), WAIT_OBJECT_0);
    r = Invoke(buildExe, L"--uninstall --purge --quiet --allow-elevated");
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_FALSE(PathExists(profile.dataDir));
}

// The agent plants canaries in the known folders and an extra folder.
// --uninstall alone names them and leaves them; --purge then removes each
// one still exactly as planted, before the data folder, and leaves the one
// the user changed.
TEST_F(InstallTest, PurgeRemovesTheUnchangedCanariesAndUninstallNamesThem) {
    TempDir extra;
    ASSERT_TRUE(WriteAgentConfig(profile,
                                 "{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n"
                                 "  \"extraWatchDirs\": " +
                                     JsonPath(extra.path) + "\n}\n"));
    TrayAgent agent;
    ASSERT_NO_FATAL_FAILURE(Install(agent));
    const std::wstring names[] = {L"vellumgard_do_not_touch.txt", L"important_backup_do_not_delete.txt"};
    const std::vector<std::wstring> folders = {profile.desktop, profile.documents, profile.downloads,
                                               extra.path};
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const std::wstring& f : folders)
                for (const std::wstring& n : names)
                    if (!PathExists(JoinPath(f, n))) return false;
            return true;
        },
        30000))
        << "the agent planted its canaries";

    ProgramRun r = Invoke(buildExe, L"--uninstall --quiet --allow-elevated");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "canary files stay where it planted them")) << r.out;
    for (const std::wstring& f : folders)
        for (const std::wstring& n : names) {
            EXPECT_TRUE(Contains(r.out, "  " + WideToUtf8(JoinPath(f, n)) + "\r\n"))
                << WideToUtf8(JoinPath(f, n));
            EXPECT_EQ(ReadFileBytes(JoinPath(f, n)), WideToUtf8(kCanaryFileText));
        }

    const std::wstring changed = JoinPath(extra.path, names[0]);
    ASSERT_TRUE(WriteFileBytes(changed, "my own list, kept under this name\n"));
    r = Invoke(buildExe, L"--uninstall --purge --quiet --allow-elevated");
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_FALSE(PathExists(profile.dataDir));
    for (const std::wstring& f : folders)
        for (const std::wstring& n : names)
            if (JoinPath(f, n) != changed) {
                EXPECT_FALSE(PathExists(JoinPath(f, n))) << WideToUtf8(JoinPath(f, n));
            }
    EXPECT_EQ(ReadFileBytes(changed), "my own list, kept under this name\n");
    EXPECT_TRUE(Contains(r.out, "were left alone:\r\n  " + WideToUtf8(changed))) << r.out;
}

// The installed copy uninstalls itself: it does every step but removing its
// own file, which a helper copy in the temp folder does once it has ended.
// A RunOnce entry would remove the helper's folder at the next sign-in; the
// next start of an installed agent removes it first, and the entry with it.
TEST_F(InstallTest, UninstallFromTheInstalledCopyHandsTheFileToAHelper) {
    ASSERT_NO_FATAL_FAILURE(QuickConfig());
    TrayAgent agent;
    ASSERT_NO_FATAL_FAILURE(Install(agent));
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, agent.pid));

    const LogMark mark = MarkLog(profile.logFile);
    const ProgramRun r = Invoke(installedExe, L"--uninstall --quiet --allow-elevated");
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
    const std::wstring helperName = L"Vellumgard-uninstall-" + std::to_wstring(r.pid);
    const std::wstring helperDir = JoinPath(temp, helperName);
    EXPECT_TRUE(PathExists(helperDir));
    const std::string entry = QueryValue(kRunOnceKey, helperName);
    EXPECT_TRUE(Contains(entry, "/c rd /s /q \"" + WideToUtf8(helperDir) + "\"")) << entry;

    // An installed agent starts (as at sign-in, with no verb before it).
    ASSERT_TRUE(CreateDirectoryW(installDir.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(installedExe, ReadFileBytes(buildExe)));
    UniqueHandle started;
    DWORD pid = 0;
    ASSERT_TRUE(StartDirectly(installedExe, started, pid));
    ASSERT_TRUE(WaitUntil([&] { return !TrayAgentsFrom(installedExe).empty(); }, 30000));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(helperDir); }, 10000));
    EXPECT_TRUE(QueryValue(kRunOnceKey, helperName).empty());
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

    // The application manifest carries the same version.
    HMODULE image = LoadLibraryExW(buildExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(image);
    HRSRC manifest = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_TRUE(manifest);
    const char* text = static_cast<const char*>(LockResource(LoadResource(image, manifest)));
    const std::string xml(text, SizeofResource(image, manifest));
    FreeLibrary(image);
    EXPECT_TRUE(Contains(xml, std::string("name=\"Vellumgard\" version=\"") + VG_EXPECTED_VERSION + ".0\""))
        << xml;
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
        {L"--install --bogus --quiet --allow-elevated", "Unknown argument \"--bogus\"."},
        {L"--install --uninstall --quiet --allow-elevated", "Give only one of"},
        {L"--install --purge --quiet --allow-elevated", "--purge goes with --uninstall only."},
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
