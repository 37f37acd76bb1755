#include "core/paths.h"

#include <windows.h>
#include <shlobj.h>

#include "core/hooks.h"
#include "core/seams.h"
#include "core/text.h"

DataPaths gDataPaths;

bool ShellFolderPath(int csidl, std::wstring& out) {
    if (gSeams.shellFolder) return gSeams.shellFolder(csidl, out);
    wchar_t buf[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, buf))) return false;
    out = buf;
    return true;
}

namespace {

std::wstring ResolveBaseFolder() {
    std::wstring base;
    if (LocalAppDataFolder(base)) return base;

    // The current directory. When it cannot be read or does not fit, its
    // buffer holds nothing usable: fall back to the temp folder rather than
    // to whatever the buffer happens to contain.
    wchar_t cwd[MAX_PATH] = {};
    const DWORD got = GetCurrentDirectoryW(MAX_PATH, cwd);
    if (got >= 1 && got < MAX_PATH) return std::wstring(cwd, got);

    wchar_t tmp[MAX_PATH + 1] = {};
    const DWORD t = GetTempPathW(MAX_PATH + 1, tmp);
    if (t >= 1 && t <= MAX_PATH) return std::wstring(tmp, t);
    return std::wstring();
}

}  // namespace

bool LocalAppDataFolder(std::wstring& out) {
    if (ShellFolderPath(CSIDL_LOCAL_APPDATA, out) && !out.empty()) return true;
    wchar_t buf[MAX_PATH] = {};
    const DWORD env = GetEnvironmentVariableW(L"LOCALAPPDATA", buf, MAX_PATH);
    if (env < 1 || env >= MAX_PATH) return false;
    out.assign(buf, env);
    return true;
}

void SetDataPathsBelow(const std::wstring& base) {
    gDataPaths.dataDir = JoinPath(base, L"Vellumgard");
    gDataPaths.logFile = JoinPath(gDataPaths.dataDir, L"Vellumgard.log.jsonl");
    gDataPaths.configFile = JoinPath(gDataPaths.dataDir, L"Vellumgard.config.json");
    gDataPaths.reportFile = JoinPath(gDataPaths.dataDir, L"report.html");
    gDataPaths.incidentsDir = JoinPath(gDataPaths.dataDir, L"Incidents");
}

bool ResolveDataPaths() {
    SetDataPathsBelow(ResolveBaseFolder());
    EnsureDirectoryTree(gDataPaths.dataDir);
    EnsureDirectoryTree(gDataPaths.incidentsDir);
    SyncExtraWatchDirsWithSnapshot();
    return true;
}

bool EnsureDirectoryTree(const std::wstring& path) {
    if (path.empty()) return false;
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return true;

    const size_t sep = path.find_last_of(L"\\/");
    if (sep != std::wstring::npos) {
        const std::wstring parent = path.substr(0, sep);
        if (!parent.empty() && parent != path) EnsureDirectoryTree(parent);
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}
