#include <windows.h>

#include <atomic>
#include <nlohmann/json.hpp>

#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/test_support.h"

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t tmp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, tmp);
    wchar_t name[64];
    FormatWide(name, 64, L"vgtest_%lu_%lu_%u", GetCurrentProcessId(), GetTickCount(), counter++);
    path = JoinPath(tmp, name);
    EnsureDirectoryTree(path);
}

TempDir::~TempDir() { RemoveTree(path); }

std::wstring TempDir::Sub(const std::wstring& name) const { return JoinPath(path, name); }

void UseDataPathsBelow(const std::wstring& base) {
    SetDataPathsBelow(base);
    EnsureDirectoryTree(gDataPaths.dataDir);
    EnsureDirectoryTree(gDataPaths.incidentsDir);
}

bool ReadFileBytes(const std::wstring& path, std::string& out) {
    out.clear();
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return true;
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string out;
    ReadFileBytes(path, out);
    return out;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool PathIsDirectory(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring& path) {
    if (path.empty()) return;
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(path, L"*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            RemoveTree(JoinPath(path, name));
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}

std::vector<std::string> ReadLogLines() { return SplitLines(ReadFileBytes(gDataPaths.logFile)); }

std::vector<std::string> LogTypes() {
    std::vector<std::string> types;
    for (const std::string& line : ReadLogLines()) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        types.push_back(j.is_object() && j.contains("type") ? j["type"].get<std::string>() : "<invalid>");
    }
    return types;
}
