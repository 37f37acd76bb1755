#include "core/event_log.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

#include "core/handles.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"

namespace {

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
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over the case-folded path
    for (wchar_t c : path) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
        hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    }
    wchar_t name[64];
    FormatWide(name, 64, L"Local\\Vellumgard.log.%016I64x", hash);
    HANDLE m = CreateMutexW(nullptr, FALSE, name);
    if (!m) return nullptr;
    if (cached) CloseHandle(cached);
    cached = m;
    *cachedPath = path;
    return cached;
}

// Holds the cross-process log mutex for a scope. A holder that hangs for
// longer than the timeout is not waited for: the line is written anyway.
class LogFileLock {
public:
    explicit LogFileLock(HANDLE m) : m_(m) {
        if (!m_) return;
        const DWORD r = WaitForSingleObject(m_, 10000);
        owned_ = (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED);
    }
    ~LogFileLock() {
        if (owned_) ReleaseMutex(m_);
    }
    LogFileLock(const LogFileLock&) = delete;
    LogFileLock& operator=(const LogFileLock&) = delete;

private:
    HANDLE m_;
    bool owned_ = false;
};

}  // namespace

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
    const std::wstring path = gDataPaths.logFile;
    if (path.empty()) return;
    EnsureDirectoryTree(gDataPaths.dataDir);

    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes += line;
    bytes += '\n';

    std::lock_guard<std::mutex> guard(AppendMutex());
    LogFileLock crossProcess(LogFileMutex(path));
    UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool WriteTextFile(const std::wstring& path, const std::string& content) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bool complete = true;
    size_t done = 0;
    while (done < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.get(), content.data() + done, chunk, &written, nullptr) || written == 0) {
            complete = false;
            break;
        }
        done += written;
    }
    // The bytes went straight to the system with WriteFile (no runtime
    // buffer), so readers already see the whole content while the
    // synchronisation below runs.
    SyncExtraWatchDirsWithSnapshot();
    return complete;
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
