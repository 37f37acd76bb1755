#include "core/event_log.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "core/handles.h"
#include "core/hooks.h"
#include "core/log_rotation.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"

namespace {

constexpr DWORD kLogLockWaitMs = 1000;
constexpr int kReplaceRetries = 10;
constexpr DWORD kReplaceRetryMs = 50;

// Serialises appends within this process.
std::mutex& AppendMutex() {
    static std::mutex* m = new std::mutex;  // process lifetime: workers may log during exit
    return *m;
}

// Serialises appends between processes (a second agent may write the same
// log). Append-only access alone does not make a write atomic everywhere:
// under Wine two processes appending at once overwrite each other's bytes.
// A named mutex per log path closes that gap. Guarded by AppendMutex().
HANDLE LogFileMutex(const std::wstring& path) {
    static std::wstring* cachedPath = new std::wstring;
    static HANDLE cached = nullptr;
    if (cached && *cachedPath == path) return cached;
    HANDLE m = CreateMutexW(nullptr, FALSE, LogMutexName(path).c_str());
    if (!m) return nullptr;
    if (cached) CloseHandle(cached);
    cached = m;
    *cachedPath = path;
    return cached;
}

// After a timeout the lock is only tried, not waited for, until a try
// succeeds: a hung holder costs one wait, not one wait per line nor one wait
// every few seconds. Guarded by AppendMutex().
bool gLogLockTryOnly = false;

// Holds the cross-process log mutex for a scope. A holder that keeps it for
// longer than the wait is not waited for: the line is written anyway.
class LogFileLock {
public:
    explicit LogFileLock(HANDLE m) : m_(m) {
        if (!m_) return;
        const DWORD r = WaitForSingleObject(m_, gLogLockTryOnly ? 0 : kLogLockWaitMs);
        owned_ = (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED);
        gLogLockTryOnly = !owned_;
    }
    ~LogFileLock() {
        if (owned_) ReleaseMutex(m_);
    }
    bool owned() const { return owned_; }
    LogFileLock(const LogFileLock&) = delete;
    LogFileLock& operator=(const LogFileLock&) = delete;

private:
    HANDLE m_;
    bool owned_ = false;
};

// Bytes to the file through the seam when a test has set one.
bool WriteBytes(HANDLE file, const char* data, DWORD size, DWORD& written) {
    written = 0;
    if (gSeams.writeFile) {
        uint32_t done = 0;
        const bool ok = gSeams.writeFile(file, data, size, &done);
        written = done;
        return ok;
    }
    return WriteFile(file, data, size, &written, nullptr) != FALSE;
}

constexpr wchar_t kTempSuffix[] = L".vgtmp";

// A sibling of the target, unique to this process and call:
// <target>.<pid>-<n>.vgtmp
std::wstring TempPathFor(const std::wstring& target) {
    static std::atomic<uint32_t> counter{0};
    return target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + kTempSuffix;
}

// Writes every byte to a new file and flushes it. False on any failure.
bool WriteWholeNewFile(HANDLE file, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteBytes(file, content.data() + done, chunk, written) || written == 0) return false;
        done += written;
    }
    return FlushFileBuffers(file) != FALSE;
}

// Moves the finished temporary file over the target. A target held open
// without delete sharing (a viewer holding the report) is retried briefly.
bool ReplaceTarget(const std::wstring& temp, const std::wstring& target) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
        if (!busy || attempt >= kReplaceRetries) return false;
        Sleep(kReplaceRetryMs);
    }
}

// Removes a temporary file that failed; one held open for a moment (a
// scanner reading it) is retried briefly, as the replace is. What still
// stays is removed by a later sweep (RemoveStaleTempFiles).
bool RemoveTempFile(const std::wstring& temp) {
    for (int attempt = 0;; ++attempt) {
        const bool removed =
            gSeams.deleteTempFile ? gSeams.deleteTempFile(temp.c_str()) : DeleteFileW(temp.c_str()) != FALSE;
        if (removed) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return true;
        const bool busy =
            error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
        if (!busy || attempt >= kReplaceRetries) return false;
        Sleep(kReplaceRetryMs);
    }
}

// The process id a temporary file's name carries, or 0.
DWORD TempFileOwner(const std::wstring& name) {
    const size_t end = name.size() - (sizeof kTempSuffix / sizeof(wchar_t) - 1);
    const size_t dash = name.rfind(L'-', end);
    if (dash == std::wstring::npos) return 0;
    const size_t dot = name.rfind(L'.', dash);
    if (dot == std::wstring::npos) return 0;
    DWORD pid = 0;
    for (size_t i = dot + 1; i < dash; ++i) {
        if (name[i] < L'0' || name[i] > L'9') return 0;
        pid = pid * 10 + static_cast<DWORD>(name[i] - L'0');
    }
    return pid;
}

bool ProcessIsRunning(DWORD pid) {
    if (pid == 0 || pid == GetCurrentProcessId()) return false;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}

}  // namespace

std::wstring LogMutexName(const std::wstring& logPath) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over the case-folded path
    for (wchar_t c : logPath) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
        hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    }
    wchar_t name[64];
    FormatWide(name, 64, L"Local\\Vellumgard.log.%016I64x", hash);
    return name;
}

std::string BuildEventLine(const std::string& ts, const std::string& type, const std::string& extraMembers) {
    std::string line;
    line.reserve(80 + type.size() + extraMembers.size());
    line += "{\"ts\":\"";
    line += ts;
    line += "\",\"product\":\"";
    line += kProductName;
    line += "\",\"version\":\"";
    line += kVersionText;
    line += "\",\"type\":\"";
    line += JsonEscape(type);
    line += '"';
    if (!extraMembers.empty()) {
        line += ',';
        line += extraMembers;
    }
    line += '}';
    return line;
}

void LogEvent(const std::string& type, const std::string& extraMembers) {
    AppendLogLine(BuildEventLine(NowLocalIso(), type, extraMembers));
}

void LogMessage(const std::string& type, const std::string& message) {
    LogEvent(type, "\"msg\":\"" + JsonEscape(message) + "\"");
}

void LogMessage(const std::string& type, const char* message) {
    LogMessage(type, std::string(message ? message : ""));
}

void AppendLogLine(const std::string& line) {
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes += line;
    bytes += '\n';
    AppendLogLines(bytes);
}

void AppendLogLines(const std::string& linesEachEndingInLF) {
    const std::wstring path = gDataPaths.logFile;
    if (path.empty() || linesEachEndingInLF.empty()) return;
    EnsureDirectoryTree(gDataPaths.dataDir);

    std::lock_guard<std::mutex> guard(AppendMutex());
    LogFileLock crossProcess(LogFileMutex(path));
    // Rotation only under the lock: without it two writers could rename at once.
    const std::string opening =
        crossProcess.owned() ? RotateLogIfDue(path, linesEachEndingInLF.size()) : std::string();
    const std::string joined = opening.empty() ? std::string() : opening + linesEachEndingInLF;
    const std::string& bytes = opening.empty() ? linesEachEndingInLF : joined;
    UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool WriteTextFile(const std::wstring& path, const std::string& content) {
    // The content goes to a sibling temporary file that replaces the target
    // only once every byte is on disk: a failure half-way (a full disk) leaves
    // the old file whole. MoveFileExW rather than ReplaceFileW: it also works
    // when the target does not exist yet (every new incident.json), and on
    // one volume it is a rename, so readers see the old or the new file.
    const std::wstring temp = TempPathFor(path);
    bool complete = false;
    {
        UniqueHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        complete = WriteWholeNewFile(file.get(), content);
    }
    if (complete) complete = ReplaceTarget(temp, path);
    if (!complete) {
        RemoveTempFile(temp);
        return false;  // as when the target could not be opened: no synchronisation
    }
    // The target holds the whole new content while the synchronisation runs.
    SyncExtraWatchDirsWithSnapshot();
    return true;
}

size_t RemoveStaleTempFiles(const std::wstring& folder, bool whileRunning) {
    if (folder.empty()) return 0;
    FILETIME nowFt;
    GetSystemTimeAsFileTime(&nowFt);
    const uint64_t now = (static_cast<uint64_t>(nowFt.dwHighDateTime) << 32) | nowFt.dwLowDateTime;
    std::vector<std::wstring> stale;
    WIN32_FIND_DATAW fd;
    const std::wstring pattern = JoinPath(folder, std::wstring(L"*") + kTempSuffix);
    HANDLE find = FindFirstFileW(pattern.c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring name = fd.cFileName;
        // Another agent writing the same folder right now keeps its file.
        const DWORD owner = TempFileOwner(name);
        if (ProcessIsRunning(owner)) continue;
        if (whileRunning && owner == GetCurrentProcessId()) {
            const uint64_t written = (static_cast<uint64_t>(fd.ftLastWriteTime.dwHighDateTime) << 32) |
                                     fd.ftLastWriteTime.dwLowDateTime;
            if (written + kOwnTempFileAgeSeconds * 10000000ull > now) continue;
        }
        stale.push_back(name);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    size_t removed = 0;
    for (const std::wstring& name : stale)
        if (DeleteFileW(JoinPath(folder, name).c_str())) ++removed;
    return removed;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    bytes.clear();
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char buf[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buf, sizeof buf, &got, nullptr) || got == 0) break;
        bytes.append(buf, got);
    }
    file.reset();
    SyncExtraWatchDirsWithSnapshot();
    return true;
}
