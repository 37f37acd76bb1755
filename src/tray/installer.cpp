// Installing for one user needs no administrator: the copy goes below the
// local application data folder, the sign-in entry is the per-user Run key
// and the shortcut goes to the user's own Start menu. Running agents are
// found by their tray window's class, and by the named mutex each agent holds
// from its first moment (its window comes only once its core has started),
// and asked to exit through the window's Exit command, so they stop as
// cleanly as from the menu. The installed copy cannot count on deleting its
// own running file: it hands that last step to a helper copy in the temp
// folder, which waits for it to end; a per-user
// RunOnce entry removes that helper's folder at the next sign-in, unless an
// installed agent's start has removed it before.
#include "tray/installer.h"

#include <windows.h>
// The shell headers need windows.h first.
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>

#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "tray/app_shell.h"
#include "tray/install_checks.h"
#include "tray/protect_config.h"
#include "tray/tray_seams.h"
#include "tray/tray_texts.h"
#include "tray/uninstall_cleanup.h"
#include "tray/uninstall_leftovers.h"

InstallerSeams gInstallerSeams;

namespace {

// An agent's own stop waits at most about 10 s for its workers.
constexpr DWORD kStopWaitMs = 20000;
// How long a freshly started agent may take to show its tray window.
constexpr DWORD kStartWaitMs = 15000;
// How long an agent whose mutex is there may take to show its window (its
// core starts first: seconds, more with a long history).
constexpr DWORD kWindowWaitMs = 60000;
constexpr DWORD kLockWaitMs = 30000;
constexpr wchar_t kRunKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunOnceKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr wchar_t kStartupApprovedPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
constexpr wchar_t kVerbMutexName[] = L"Local\\Vellumgard.install";

// One install or uninstall at a time for this user. An owner that ended
// without releasing it (abandoned) has ended: the lock is ours.
class VerbLock {
public:
    VerbLock() : m_(CreateMutexW(nullptr, FALSE, kVerbMutexName)) {
        if (!m_) return;
        const DWORD r = WaitForSingleObject(m_.get(), kLockWaitMs);
        owned_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    ~VerbLock() {
        if (owned_) ReleaseMutex(m_.get());
    }
    VerbLock(const VerbLock&) = delete;
    VerbLock& operator=(const VerbLock&) = delete;
    bool owned() const { return owned_; }

private:
    UniqueHandle m_;
    bool owned_ = false;
};

struct InstallPaths {
    std::wstring localAppData;
    std::wstring installDir;
    std::wstring installedExe;
    std::wstring shortcut;
    std::wstring dataDir;
    std::wstring selfExe;
};

struct RunningAgent {
    DWORD pid = 0;
    HWND window = nullptr;
    std::wstring exe;
};

std::wstring ModulePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (int i = 0; i < 6; ++i) {
        const DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
        if (n == 0) return std::wstring();
        if (n < buf.size()) return buf.substr(0, n);
        buf.resize(buf.size() * 2);
    }
    return std::wstring();
}

// The agent's own choice of base folder, minus its last resorts (the current
// and temp folders), which are no place to install to.
bool ResolveInstallPaths(InstallPaths& p) {
    std::wstring programs;
    if (!LocalAppDataFolder(p.localAppData) ||
        !ShellFolderPath(CSIDL_PROGRAMS | CSIDL_FLAG_CREATE, programs) || programs.empty()) {
        return false;
    }
    p.installDir = InstallDirBelow(p.localAppData);
    p.installedExe = InstalledExeBelow(p.localAppData);
    p.shortcut = JoinPath(programs, kShortcutName);
    p.dataDir = JoinPath(p.localAppData, L"Vellumgard");
    p.selfExe = ModulePath();
    return !p.selfExe.empty();
}

// Full, long form, so "C:\PROGRA~1\.." and "c:\program files\.." compare equal.
std::wstring CanonicalPath(const std::wstring& path) {
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD n = GetFullPathNameW(path.c_str(), ARRAYSIZE(full), full, nullptr);
    std::wstring out = (n > 0 && n < ARRAYSIZE(full)) ? std::wstring(full, n) : path;
    wchar_t longer[MAX_PATH * 2] = {};
    const DWORD m = GetLongPathNameW(out.c_str(), longer, ARRAYSIZE(longer));
    if (m > 0 && m < ARRAYSIZE(longer)) out.assign(longer, m);
    return out;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring ca = CanonicalPath(a), cb = CanonicalPath(b);
    return CompareStringOrdinal(ca.c_str(), static_cast<int>(ca.size()), cb.c_str(),
                                static_cast<int>(cb.size()), TRUE) == CSTR_EQUAL;
}

bool FileExists(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads a whole file; the running program's own file may be read too.
bool ReadFileAll(const std::wstring& path, std::string& bytes, DWORD& error) {
    bytes.clear();
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = GetLastError();
        return false;
    }
    char buf[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buf, sizeof buf, &got, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (got == 0) return true;
        bytes.append(buf, got);
    }
}

bool WriteFileAll(const std::wstring& path, const std::string& bytes, DWORD& error) {
    UniqueHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = GetLastError();
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            error = GetLastError();
            return false;
        }
        done += written;
    }
    if (!FlushFileBuffers(file.get())) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool Retryable(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A process that just ended may hold its file for a moment longer.
bool DeleteFileRetrying(const std::wstring& path, DWORD& error) {
    for (int attempt = 0;; ++attempt) {
        if (DeleteFileW(path.c_str())) return true;
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
        if (!Retryable(error) || attempt >= 25) return false;
        Sleep(200);
    }
}

// Removes a folder and everything below it. Links (junctions, symbolic
// links) are removed, never followed.
bool RemoveFolderTree(const std::wstring& folder, DWORD& error) {
    bool ok = true;
    WIN32_FIND_DATAW fd;
    std::vector<std::pair<std::wstring, DWORD>> entries;
    {
        UniqueFindHandle find(FindFirstFileW(JoinPath(folder, L"*").c_str(), &fd));
        if (find.valid()) {
            do {
                const std::wstring name = fd.cFileName;
                if (name != L"." && name != L"..") entries.emplace_back(name, fd.dwFileAttributes);
            } while (FindNextFileW(find.get(), &fd));
        }
    }
    for (const auto& entry : entries) {
        const std::wstring path = JoinPath(folder, entry.first);
        if (entry.second & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path.c_str(), entry.second & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        const bool directory = (entry.second & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (entry.second & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (directory && !link) {
            ok = RemoveFolderTree(path, error) && ok;
        } else if (directory) {
            if (!RemoveDirectoryW(path.c_str())) {
                error = GetLastError();
                ok = false;
            }
        } else {
            DWORD e = 0;
            if (!DeleteFileRetrying(path, e)) {
                error = e;
                ok = false;
            }
        }
    }
    if (!RemoveDirectoryW(folder.c_str())) {
        const DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) {
            error = e;
            ok = false;
        }
    }
    return ok;
}

std::wstring ProcessImagePath(DWORD pid) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::wstring();
    wchar_t buf[MAX_PATH * 2] = {};
    DWORD size = ARRAYSIZE(buf);
    if (!QueryFullProcessImageNameW(process.get(), 0, buf, &size)) return std::wstring();
    return std::wstring(buf, size);
}

BOOL CALLBACK CollectAgent(HWND window, LPARAM param) {
    wchar_t cls[64] = {};
    if (GetClassNameW(window, cls, ARRAYSIZE(cls)) == 0 || lstrcmpW(cls, kTrayClassName) != 0) return TRUE;
    RunningAgent agent;
    agent.window = window;
    GetWindowThreadProcessId(window, &agent.pid);
    if (agent.pid == 0 || agent.pid == GetCurrentProcessId()) return TRUE;
    agent.exe = ProcessImagePath(agent.pid);
    reinterpret_cast<std::vector<RunningAgent>*>(param)->push_back(agent);
    return TRUE;
}

// Every agent of this desktop: one tray window per agent process.
std::vector<RunningAgent> FindAgents() {
    std::vector<RunningAgent> agents;
    EnumWindows(CollectAgent, reinterpret_cast<LPARAM>(&agents));
    return agents;
}

void SplitAgents(const std::vector<RunningAgent>& all, const std::wstring& installedExe,
                 std::vector<RunningAgent>& installed, std::vector<RunningAgent>& others) {
    for (const RunningAgent& a : all) (SamePath(a.exe, installedExe) ? installed : others).push_back(a);
}

bool MutexExists(const std::wstring& name) {
    UniqueHandle m(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    return static_cast<bool>(m);
}

std::wstring ImageMutexFor(const std::wstring& exe) {
    return AgentImageMutexName(CanonicalPath(exe));
}

std::wstring DataMutexFor(const std::wstring& dataDir) {
    return AgentDataMutexName(CanonicalPath(dataDir));
}

// The agents running from the installed path. One whose mutex is there but
// whose window is not yet (its core is starting) is waited for, bounded;
// `starting` says one is still without a window after the wait.
void FindInstalledAgents(const InstallPaths& p, std::vector<RunningAgent>& installed,
                         std::vector<RunningAgent>& others, bool& starting) {
    installed.clear();
    others.clear();
    SplitAgents(FindAgents(), p.installedExe, installed, others);
    starting = false;
    if (!installed.empty()) return;
    const std::wstring name = ImageMutexFor(p.installedExe);
    const ULONGLONG deadline = GetTickCount64() + kWindowWaitMs;
    while (installed.empty() && MutexExists(name)) {
        if (GetTickCount64() > deadline) {
            starting = true;
            return;
        }
        Sleep(100);
        installed.clear();
        others.clear();
        SplitAgents(FindAgents(), p.installedExe, installed, others);
    }
}

std::vector<std::wstring> DescribeAgents(const std::vector<RunningAgent>& agents) {
    std::vector<std::wstring> out;
    for (const RunningAgent& a : agents)
        out.push_back((a.exe.empty() ? std::wstring(L"(path unknown)") : a.exe) + L" (process " +
                      std::to_wstring(a.pid) + L")");
    return out;
}

// Asks each agent to exit through its window's Exit command and waits,
// bounded, for every process to end. Every process is opened before any is
// asked, so a refusal there leaves all running; `asked` counts the agents
// that got the request, which may still exit after a failure or timeout.
StepOutcome StopAgents(const std::vector<RunningAgent>& agents, uint32_t& asked) {
    StepOutcome o{InstallStep::StopAgents, StepResult::Done, 0};
    if (agents.empty()) {
        // An agent's mutex is there but its window did not come: it cannot be asked.
        o.result = StepResult::TimedOut;
        return o;
    }
    std::vector<UniqueHandle> processes;
    std::vector<HWND> windows;
    for (const RunningAgent& a : agents) {
        UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, a.pid));
        if (!process) {
            const DWORD e = GetLastError();
            if (e == ERROR_INVALID_PARAMETER) continue;  // it has already ended
            o.result = StepResult::Failed;
            o.error = e;
            return o;
        }
        processes.push_back(std::move(process));
        windows.push_back(a.window);
    }
    for (HWND window : windows) {
        // A window of higher integrity (an elevated agent) refuses the message: access denied.
        // The code is taken before IsWindow, which may set its own.
        if (!PostMessageW(window, WM_COMMAND, MAKEWPARAM(kCmdExit, 0), 0)) {
            const DWORD e = GetLastError();
            if (IsWindow(window)) {
                o.result = StepResult::Failed;
                o.error = e;
                return o;
            }
            continue;  // it has closed its window: it is ending
        }
        ++asked;
    }
    const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
    for (const UniqueHandle& p : processes) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(p.get(), left) != WAIT_OBJECT_0) {
            o.result = StepResult::TimedOut;
            return o;
        }
    }
    return o;
}

StepOutcome Failed(InstallStep step, DWORD error) {
    return StepOutcome{step, StepResult::Failed, error};
}

// Writes this program's bytes next to the installed file, then moves them
// over it: a failed copy never leaves a cut-off program behind. Writing the
// bytes (rather than copying the file) also leaves out the downloaded file's
// mark, so the start at sign-in asks nothing.
StepOutcome CopyProgram(const InstallPaths& p, const std::string& bytes, bool replacing) {
    if (!EnsureDirectoryTree(p.installDir)) return Failed(InstallStep::Copy, GetLastError());
    const std::wstring staged = p.installedExe + L".new";
    DWORD error = 0;
    if (!WriteFileAll(staged, bytes, error)) {
        DeleteFileW(staged.c_str());
        return Failed(InstallStep::Copy, error);
    }
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(staged.c_str(), p.installedExe.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        error = GetLastError();
        if (!Retryable(error) || attempt >= 25) {
            DeleteFileW(staged.c_str());
            return Failed(InstallStep::Copy, error);
        }
        Sleep(200);
    }
    return StepOutcome{InstallStep::Copy, replacing ? StepResult::Replaced : StepResult::Done, 0};
}

bool ReadRunValue(HKEY key, std::wstring& value) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, kRunValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        value.clear();
        return true;
    }
    std::wstring buf(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, kRunValueName, nullptr, &type, reinterpret_cast<BYTE*>(&buf[0]), &got) !=
        ERROR_SUCCESS) {
        value.clear();
        return true;
    }
    buf.resize(got / sizeof(wchar_t));
    while (!buf.empty() && buf.back() == L'\0') buf.pop_back();
    value = type == REG_SZ ? buf : std::wstring();  // an expandable value is rewritten as plain text
    return true;
}

StepOutcome WriteRunKey(const InstallPaths& p) {
    UniqueRegKey key;
    LSTATUS s = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, nullptr, 0,
                                KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (s != ERROR_SUCCESS) return Failed(InstallStep::RunKey, static_cast<DWORD>(s));
    const std::wstring want = RunValueText(p.installedExe);
    std::wstring have;
    const bool existed = ReadRunValue(key.get(), have);
    if (existed && have == want) return StepOutcome{InstallStep::RunKey, StepResult::Unchanged, 0};
    s = RegSetValueExW(key.get(), kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(want.c_str()),
                       static_cast<DWORD>((want.size() + 1) * sizeof(wchar_t)));
    if (s != ERROR_SUCCESS) return Failed(InstallStep::RunKey, static_cast<DWORD>(s));
    return StepOutcome{InstallStep::RunKey, existed ? StepResult::Repaired : StepResult::Done, 0};
}

StepOutcome RemoveRunKey() {
    UniqueRegKey key;
    LSTATUS s = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, key.put());
    if (s == ERROR_FILE_NOT_FOUND) return StepOutcome{InstallStep::RemoveRunKey, StepResult::Absent, 0};
    if (s != ERROR_SUCCESS) return Failed(InstallStep::RemoveRunKey, static_cast<DWORD>(s));
    s = RegDeleteValueW(key.get(), kRunValueName);
    if (s == ERROR_FILE_NOT_FOUND) return StepOutcome{InstallStep::RemoveRunKey, StepResult::Absent, 0};
    if (s != ERROR_SUCCESS) return Failed(InstallStep::RemoveRunKey, static_cast<DWORD>(s));
    return StepOutcome{InstallStep::RemoveRunKey, StepResult::Done, 0};
}

// The target of an existing shortcut; empty when it cannot be read.
std::wstring ShortcutTarget(const std::wstring& shortcut) {
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.put_void())))
        return std::wstring();
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) ||
        FAILED(file->Load(shortcut.c_str(), STGM_READ))) {
        return std::wstring();
    }
    wchar_t target[MAX_PATH] = {};
    if (FAILED(link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH))) return std::wstring();
    return target;
}

// Needs COM initialised on this thread.
StepOutcome WriteShortcut(const InstallPaths& p) {
    const bool existed = FileExists(p.shortcut);
    if (existed) {
        const std::wstring target = ShortcutTarget(p.shortcut);
        if (!target.empty() && SamePath(target, p.installedExe))
            return StepOutcome{InstallStep::Shortcut, StepResult::Unchanged, 0};
    }
    ComPtr<IShellLinkW> link;
    HRESULT hr =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
    if (FAILED(hr)) return Failed(InstallStep::Shortcut, static_cast<DWORD>(hr));
    link->SetPath(p.installedExe.c_str());
    link->SetWorkingDirectory(p.installDir.c_str());
    link->SetDescription(L"Vellumgard behaviour guard");
    link->SetIconLocation(p.installedExe.c_str(), 0);
    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(hr)) return Failed(InstallStep::Shortcut, static_cast<DWORD>(hr));
    const size_t sep = p.shortcut.find_last_of(L'\\');
    if (sep != std::wstring::npos) EnsureDirectoryTree(p.shortcut.substr(0, sep));
    hr = file->Save(p.shortcut.c_str(), TRUE);
    if (FAILED(hr)) return Failed(InstallStep::Shortcut, static_cast<DWORD>(hr));
    return StepOutcome{InstallStep::Shortcut, existed ? StepResult::Repaired : StepResult::Done, 0};
}

StepOutcome RemoveShortcut(const InstallPaths& p) {
    if (!FileExists(p.shortcut)) return StepOutcome{InstallStep::RemoveShortcut, StepResult::Absent, 0};
    DWORD error = 0;
    if (!DeleteFileRetrying(p.shortcut, error)) return Failed(InstallStep::RemoveShortcut, error);
    return StepOutcome{InstallStep::RemoveShortcut, StepResult::Done, 0};
}

bool HasTrayWindow(DWORD pid) {
    for (const RunningAgent& a : FindAgents())
        if (a.pid == pid) return true;
    return false;
}

// Starts the installed copy in its own folder and waits, bounded, for its
// tray window, so a second install right after sees it running.
StepOutcome StartInstalledAgent(const InstallPaths& p) {
    std::wstring commandLine = RunValueText(p.installedExe);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(p.installedExe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        p.installDir.c_str(), &si, &pi)) {
        return Failed(InstallStep::StartAgent, GetLastError());
    }
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    const ULONGLONG deadline = GetTickCount64() + kStartWaitMs;
    while (!HasTrayWindow(pi.dwProcessId)) {
        if (WaitForSingleObject(process.get(), 50) == WAIT_OBJECT_0) {
            // Its exit code is the agent's own, not a platform error code.
            DWORD code = 0;
            GetExitCodeProcess(process.get(), &code);
            return StepOutcome{InstallStep::StartAgent, StepResult::Exited, code};
        }
        if (GetTickCount64() > deadline) break;  // slow, but running: its window will come
    }
    return StepOutcome{InstallStep::StartAgent, StepResult::Done, 0};
}

// The system's start-up switch for our sign-in entry. Only read: turning an
// entry off there is the user's choice, and an install leaves it so.
StartupSwitch ReadStartupSwitch() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kStartupApprovedPath, 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return StartupSwitch::NotSet;
    uint8_t data[64] = {};
    DWORD type = 0, size = sizeof data;
    const LSTATUS s = RegQueryValueExW(key.get(), kRunValueName, nullptr, &type, data, &size);
    if (s == ERROR_FILE_NOT_FOUND) return StartupSwitch::NotSet;
    // Longer than we read: only the first byte matters.
    if (s == ERROR_MORE_DATA)
        size = sizeof data;
    else if (s != ERROR_SUCCESS)
        return StartupSwitch::NotSet;
    return DecodeStartupApproved(true, type, data, size);
}

StepOutcome RemoveInstalledCopy(const InstallPaths& p) {
    StepOutcome o{InstallStep::RemoveCopy, StepResult::Done, 0};
    if (!FileExists(p.installedExe)) {
        o.result = StepResult::Absent;
    } else {
        DWORD error = 0;
        if (!DeleteFileRetrying(p.installedExe, error)) return Failed(InstallStep::RemoveCopy, error);
    }
    DeleteFileW((p.installedExe + L".new").c_str());
    RemoveDirectoryW(p.installDir.c_str());  // only when empty: files of others stay
    return o;
}

std::wstring TempFolder() {
    wchar_t buf[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathW(ARRAYSIZE(buf), buf);
    return (n > 0 && n <= MAX_PATH) ? std::wstring(buf, n) : std::wstring();
}

// Helper copies of earlier uninstalls: each removes the installed copy but
// cannot remove itself, so the next install or uninstall does. One still
// running keeps its file and is skipped.
void RemoveStaleHelpers(const std::wstring& selfExe) {
    const std::wstring temp = TempFolder();
    if (temp.empty()) return;
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW fd;
    {
        UniqueFindHandle find(
            FindFirstFileW(JoinPath(temp, std::wstring(kHelperFolderPrefix) + L"*").c_str(), &fd));
        if (!find.valid()) return;
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                folders.push_back(JoinPath(temp, fd.cFileName));
        } while (FindNextFileW(find.get(), &fd));
    }
    UniqueRegKey runOnce;
    RegOpenKeyExW(HKEY_CURRENT_USER, kRunOnceKeyPath, 0, KEY_SET_VALUE, runOnce.put());
    for (const std::wstring& folder : folders) {
        const std::wstring exe = JoinPath(folder, L"Vellumgard.exe");
        if (SamePath(exe, selfExe)) continue;
        DeleteFileW(exe.c_str());
        // Its sign-in clean-up has nothing left to do once the folder is gone.
        if (RemoveDirectoryW(folder.c_str()) && runOnce.get())
            RegDeleteValueW(runOnce.get(), HelperCleanupValueName(folder).c_str());
    }
}

std::wstring SystemCmdExe() {
    wchar_t buf[MAX_PATH] = {};
    const UINT n = GetSystemDirectoryW(buf, MAX_PATH);
    return (n > 0 && n < MAX_PATH) ? JoinPath(std::wstring(buf, n), L"cmd.exe") : std::wstring();
}

// A one-shot per-user entry that removes the helper's folder at the next
// sign-in, for a final uninstall after which no installed agent starts. (A
// delayed move until reboot would need an administrator.)
void RegisterHelperCleanup(const std::wstring& folder) {
    const std::wstring cmd = SystemCmdExe();
    if (cmd.empty()) return;
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunOnceKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    const std::wstring command = HelperCleanupCommand(cmd, folder);
    RegSetValueExW(key.get(), HelperCleanupValueName(folder).c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
}

uint64_t CreationTimeOf(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The installed copy starts a helper copy of itself in the temp folder; the
// helper waits for this process (named by id and creation time) to end,
// then removes the installed file and folder.
StepOutcome HandOffRemoval(const InstallPaths& p, bool quiet, std::wstring& helperExe) {
    const std::wstring temp = TempFolder();
    if (temp.empty()) return Failed(InstallStep::HandOff, GetLastError());
    const std::wstring folder = JoinPath(temp, kHelperFolderPrefix + std::to_wstring(GetCurrentProcessId()));
    helperExe = JoinPath(folder, L"Vellumgard.exe");
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Failed(InstallStep::HandOff, GetLastError());
    if (!CopyFileW(p.selfExe.c_str(), helperExe.c_str(), FALSE))
        return Failed(InstallStep::HandOff, GetLastError());
    const uint64_t created = CreationTimeOf(GetCurrentProcess());
    std::wstring commandLine =
        RunValueText(helperExe) + L" " + FinishUninstallArgument(GetCurrentProcessId(), created);
    if (quiet) commandLine += L" --quiet";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(helperExe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &si, &pi)) {
        return Failed(InstallStep::HandOff, GetLastError());
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    RegisterHelperCleanup(folder);
    return StepOutcome{InstallStep::HandOff, StepResult::Done, 0};
}

// Install lines go to the data folder the agent uses. An install may create
// it (the agent it starts will); an uninstall writes only into one that
// exists, so it never brings back a folder it was asked to purge.
struct StepLog {
    std::wstring dataDir;
    bool mayCreate = false;
};

void LogStep(const StepLog& log, const StepOutcome& o) {
    if (!log.mayCreate && !DirectoryExists(log.dataDir)) return;
    LogEvent("install", InstallLogMembers(o));
}

void Record(VerbReport& report, const StepLog& log, const StepOutcome& o) {
    report.steps.push_back(o);
    LogStep(log, o);
}

// --protect: both settings on in the user's settings file (the default file
// when there is none), every other byte kept.
StepOutcome ProtectSettings(const std::wstring& configFile, const std::wstring& dataDir) {
    std::string content;
    DWORD error = 0;
    if (FileExists(configFile) && !ReadFileAll(configFile, content, error)) return Failed(InstallStep::Protect, error);
    std::string edited;
    if (!AddProtectSettings(content, edited)) return Failed(InstallStep::Protect, ERROR_INVALID_DATA);
    if (edited == content) return StepOutcome{InstallStep::Protect, StepResult::Unchanged, 0};
    EnsureDirectoryTree(dataDir);
    if (!WriteFileAll(configFile, edited, error)) return Failed(InstallStep::Protect, error);
    return StepOutcome{InstallStep::Protect, StepResult::Done, 0};
}

int RunInstall(const InstallPaths& p, bool protect, VerbReport& report) {
    StepLog log{p.dataDir, true};
    bool settingsChanged = false;
    if (protect) {
        const StepOutcome protectedSettings = ProtectSettings(report.configFile, p.dataDir);
        Record(report, log, protectedSettings);
        if (!StepSucceeded(protectedSettings.result)) return ExitCodeFor(report.steps);
        settingsChanged = protectedSettings.result == StepResult::Done;
    }
    ComInit com(COINIT_APARTMENTTHREADED);

    std::string self;
    DWORD error = 0;
    if (!ReadFileAll(p.selfExe, self, error)) {
        Record(report, log, Failed(InstallStep::Copy, error));
        return ExitCodeFor(report.steps);
    }
    InstallFacts facts;
    facts.installedExists = FileExists(p.installedExe);
    std::string installed;
    facts.sameBytes =
        facts.installedExists && ReadFileAll(p.installedExe, installed, error) && installed == self;
    std::vector<RunningAgent> installedAgents, others;
    bool starting = false;
    FindInstalledAgents(p, installedAgents, others, starting);
    report.otherAgents = DescribeAgents(others);
    facts.installedAgents = installedAgents.size() + (starting ? 1 : 0);
    const InstallPlan plan = PlanProtectedInstall(facts, settingsChanged);

    if (plan.stopAgents) {
        const StepOutcome stopped = StopAgents(installedAgents, report.agentsAsked);
        Record(report, log, stopped);
        if (!StepSucceeded(stopped.result)) return ExitCodeFor(report.steps);
    }
    if (plan.copy) {
        const StepOutcome copied = CopyProgram(p, self, facts.installedExists);
        Record(report, log, copied);
        if (!StepSucceeded(copied.result)) {
            // The user was protected before: the copy that is still installed runs again.
            if (plan.stopAgents) {
                StepOutcome again{InstallStep::RestartAgent, StepResult::Absent, 0};
                if (FileExists(p.installedExe)) {
                    again = StartInstalledAgent(p);
                    again.step = InstallStep::RestartAgent;
                }
                Record(report, log, again);
            }
            return ExitCodeFor(report.steps);
        }
    } else {
        Record(report, log, StepOutcome{InstallStep::Copy, StepResult::Unchanged, 0});
    }
    const StepOutcome runKey = WriteRunKey(p);
    Record(report, log, runKey);
    if (StepSucceeded(runKey.result) && ReadStartupSwitch() == StartupSwitch::Off)
        Record(report, log, StepOutcome{InstallStep::StartupApproved, StepResult::Disabled, 0});
    if (com.ok()) {
        Record(report, log, WriteShortcut(p));
    } else {
        Record(report, log, Failed(InstallStep::Shortcut, static_cast<DWORD>(com.result())));
    }
    Record(report, log,
           plan.startAgent ? StartInstalledAgent(p)
                           : StepOutcome{InstallStep::StartAgent, StepResult::Unchanged, 0});
    return ExitCodeFor(report.steps);
}

int RunUninstall(const InstallPaths& p, bool purge, bool quiet, VerbReport& report) {
    StepLog log{p.dataDir, false};
    std::vector<RunningAgent> installedAgents, others;
    bool starting = false;
    FindInstalledAgents(p, installedAgents, others, starting);
    report.otherAgents = DescribeAgents(others);

    if (installedAgents.empty() && !starting) {
        Record(report, log, StepOutcome{InstallStep::StopAgents, StepResult::Absent, 0});
    } else {
        const StepOutcome stopped = StopAgents(installedAgents, report.agentsAsked);
        Record(report, log, stopped);
        if (!StepSucceeded(stopped.result)) return ExitCodeFor(report.steps);
    }
    // No agent holds the paused list any more: each paused program is answered (or, quiet, left so).
    const StepOutcome paused = AnswerPausedPrograms(quiet, report);
    if (paused.result != StepResult::Absent) Record(report, log, paused);
    Record(report, log, RemoveRunKey());
    Record(report, log, RemoveShortcut(p));
    if (SamePath(p.selfExe, p.installedExe)) {
        Record(report, log, HandOffRemoval(p, quiet, report.helperExe));
    } else {
        Record(report, log, RemoveInstalledCopy(p));
    }

    // Every agent of this user writes there, from its first moment.
    const bool agentsUseIt = purge && (!FindAgents().empty() || MutexExists(DataMutexFor(p.dataDir)));
    const StepResult gate =
        PurgeGate(purge, DirectoryExists(p.dataDir), agentsUseIt, report.pausedLeft.size());
    // The canaries go first, while the settings that name them are still there.
    if (gate == StepResult::Done || (purge && gate == StepResult::Absent && !agentsUseIt)) {
        Record(report, log, RemoveUnchangedCanaries(report));
    } else {
        report.steps.push_back(LocateCanaries(report));
    }
    StepOutcome purged{InstallStep::Purge, gate, 0};
    if (gate == StepResult::Done) purged = PurgeDataFolder(p.dataDir);
    Record(report, log, purged);
    return ExitCodeFor(report.steps);
}

// The helper copy: wait for the installed copy that started it to end, then
// remove the installed file, unless an agent runs from it again.
int RunFinishUninstall(const CommandLine& command, const InstallPaths& p, VerbReport& report) {
    StepLog log{p.dataDir, false};
    UniqueHandle parent(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, command.parentPid));
    // No time limit: the installed copy may show its result box for as long as the user leaves it.
    if (parent && CreationTimeOf(parent.get()) == command.parentCreated &&
        WaitForSingleObject(parent.get(), INFINITE) != WAIT_OBJECT_0) {
        Record(report, log, Failed(InstallStep::RemoveCopy, GetLastError()));
        return ExitCodeFor(report.steps);
    }
    parent.reset();
    VerbLock lock;
    if (!lock.owned()) return kExitBusy;
    std::vector<RunningAgent> installedAgents, others;
    SplitAgents(FindAgents(), p.installedExe, installedAgents, others);
    if (SamePath(p.selfExe, p.installedExe)) {
        Record(report, log, Failed(InstallStep::RemoveCopy, ERROR_ACCESS_DENIED));
    } else if (!installedAgents.empty() || MutexExists(ImageMutexFor(p.installedExe))) {
        Record(report, log, StepOutcome{InstallStep::RemoveCopy, StepResult::InUse, 0});
    } else {
        Record(report, log, RemoveInstalledCopy(p));
    }
    return ExitCodeFor(report.steps);
}

ElevationType CurrentTokenElevation() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return ElevationType::Unknown;
    UniqueHandle token(raw);
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size))
        return ElevationType::Unknown;
    return static_cast<ElevationType>(type);
}

// This process's own image, when it is the installed copy of this user.
bool RunningFromInstalledPath(std::wstring& selfExe) {
    std::wstring localAppData;
    selfExe = ModulePath();
    return !selfExe.empty() && LocalAppDataFolder(localAppData) && IsAbsoluteFolderPath(localAppData) &&
           SamePath(selfExe, InstalledExeBelow(localAppData));
}

bool UsableHandle(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

void WriteText(HANDLE h, const std::wstring& text) {
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        DWORD written = 0;
        WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string utf8 = WideToUtf8(text);
    DWORD written = 0;
    WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// A GUI program gets no console: write to the output it was handed
// (redirected), else to the console of the program that started it.
void WriteToConsole(const std::wstring& text, bool isError) {
    const std::wstring out = WithCrLf(text.empty() || text.back() != L'\n' ? text + L"\n" : text);
    HANDLE h = GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (UsableHandle(h)) {
        WriteText(h, out);
        return;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    UniqueHandle console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    // The shell has printed its prompt already: start on a line of our own.
    if (console) WriteText(console.get(), L"\r\n" + out);
    FreeConsole();
}

void ShowResult(const std::wstring& text, bool failed, bool quiet) {
    WriteToConsole(text, failed);
    if (!quiet) TrayMessageBox(nullptr, text, MB_OK | (failed ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace

std::vector<std::wstring> ProgramArguments() {
    int count = 0;
    UniqueArgv argv(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> args;
    if (!argv.get()) return args;
    for (int i = 1; i < count; ++i) args.emplace_back(argv.get()[i]);
    return args;
}

int RunVerb(const CommandLine& command) {
    switch (command.verb) {
        case Verb::Install:
        case Verb::Uninstall:
            if (RefuseElevated(CurrentTokenElevation(), command.allowElevated)) {
                ShowResult(ElevatedText(), true, command.quiet);
                return kExitElevated;
            }
            break;
        default:
            break;
    }
    switch (command.verb) {
        case Verb::Version:
            ShowResult(VersionText(), false, command.quiet);
            return kExitOk;
        case Verb::Help:
            ShowResult(HelpText(), false, command.quiet);
            return kExitOk;
        case Verb::Invalid:
            ShowResult(UsageErrorText(command.error), true, command.quiet);
            return kExitUsage;
        case Verb::RunAgent:
            return kExitUsage;  // not a verb: WinMain runs the agent itself
        case Verb::Install:
        case Verb::Uninstall:
        case Verb::FinishUninstall:
            break;
    }

    InstallPaths paths;
    if (!ResolveInstallPaths(paths)) {
        ShowResult(NoFoldersText(), true, command.quiet);
        return kExitNoFolders;
    }
    if (!IsAbsoluteFolderPath(paths.localAppData)) {
        ShowResult(RelativeFolderText(paths.localAppData), true, command.quiet);
        return kExitNoFolders;
    }
    // The agent's log, without creating anything: the steps decide that.
    SetDataPathsBelow(paths.localAppData);
    VerbReport report;
    report.verb = command.verb;
    report.installedExe = paths.installedExe;
    report.shortcut = paths.shortcut;
    report.dataDir = paths.dataDir;
    report.stopWaitSeconds = kStopWaitMs / 1000;
    report.configFile = gDataPaths.configFile;

    int code = kExitOk;
    if (command.verb == Verb::FinishUninstall) {
        code = RunFinishUninstall(command, paths, report);
        // The installed copy has shown the result already; speak only of a failure.
        if (code != kExitOk && !command.quiet)
            TrayMessageBox(nullptr, code == kExitBusy ? BusyText() : ReportText(report),
                           MB_OK | MB_ICONERROR);
        return code;
    }
    {
        VerbLock lock;
        if (!lock.owned()) {
            ShowResult(BusyText(), true, command.quiet);
            return kExitBusy;
        }
        RemoveStaleHelpers(paths.selfExe);
        code = command.verb == Verb::Install ? RunInstall(paths, command.protect, report)
                                             : RunUninstall(paths, command.purge, command.quiet, report);
    }
    // The lock is released first: a helper copy waits for this process to end anyway.
    ShowResult(ReportText(report), code != kExitOk, command.quiet);
    return code;
}

StepOutcome PurgeDataFolder(const std::wstring& dataDir) {
    const uint32_t attributes = gInstallerSeams.fileAttributes ? gInstallerSeams.fileAttributes(dataDir)
                                                               : GetFileAttributesW(dataDir.c_str());
    StepOutcome o{InstallStep::Purge, StepResult::Done, 0};
    const PurgeAction action = PurgeActionFor(attributes);
    switch (action) {
        case PurgeAction::Nothing:
            o.result = StepResult::Absent;
            break;
        case PurgeAction::Refuse:
            o.result = StepResult::Failed;
            o.error = ERROR_DIRECTORY;
            break;
        case PurgeAction::RemoveFolderLink:
        case PurgeAction::RemoveFileLink: {
            const bool folder = action == PurgeAction::RemoveFolderLink;
            uint32_t error = 0;
            bool removed = false;
            if (gInstallerSeams.removeLink) {
                removed = gInstallerSeams.removeLink(dataDir, folder, error);
            } else {
                // On a link, both remove the link and never touch its target.
                removed = folder ? RemoveDirectoryW(dataDir.c_str()) : DeleteFileW(dataDir.c_str());
                if (!removed) error = GetLastError();
            }
            o.result = removed ? StepResult::LinkRemoved : StepResult::Failed;
            o.error = removed ? 0 : error;
            break;
        }
        case PurgeAction::RemoveTree: {
            DWORD error = 0;
            o.result = RemoveFolderTree(dataDir, error) ? StepResult::Done : StepResult::Failed;
            o.error = error;
            break;
        }
    }
    return o;
}

void HoldAgentMutexes() {
    // Process lifetime on purpose: the system closes them when the agent ends.
    // CreateMutexW opens an existing one too, so a second agent still starts.
    const std::wstring self = ModulePath();
    if (!self.empty()) CreateMutexW(nullptr, FALSE, ImageMutexFor(self).c_str());
    std::wstring localAppData;
    if (LocalAppDataFolder(localAppData))
        CreateMutexW(nullptr, FALSE, DataMutexFor(JoinPath(localAppData, L"Vellumgard")).c_str());
}

void RemoveLeftoverHelpersIfInstalled() {
    std::wstring self;
    if (RunningFromInstalledPath(self)) RemoveStaleHelpers(self);
}
