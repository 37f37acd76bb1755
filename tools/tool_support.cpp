#include "tool_support.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdlib>

#include "core/text.h"
#include "support/test_support.h"

std::wstring ShellFolder(int csidl) {
    wchar_t buf[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf);
    return buf;
}

std::wstring DownloadsFolder() {
    static const GUID kFolderIdDownloads = {
        0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
    wchar_t* path = nullptr;
    std::wstring out;
    if (SUCCEEDED(SHGetKnownFolderPath(kFolderIdDownloads, 0, nullptr, &path)) && path) out = path;
    CoTaskMemFree(path);
    return out;
}

int64_t NowFileTime() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs) {
    for (int waited = 0; waited < timeoutMs; waited += stepMs) {
        if (cond()) return true;
        Sleep(stepMs);
    }
    return cond();
}

namespace {

struct FindCtx {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindTray(HWND w, LPARAM p) {
    auto* ctx = reinterpret_cast<FindCtx*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (pid == ctx->pid && std::wstring(cls) == L"VellumgardTrayClass") {
        ctx->found = w;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindTrayWindow(DWORD pid) {
    FindCtx ctx{pid, nullptr};
    EnumWindows(FindTray, reinterpret_cast<LPARAM>(&ctx));
    return ctx.found;
}

bool StartAgent(const std::wstring& exe, Agent& agent) {
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &agent.pi)) {
        agent.pi = PROCESS_INFORMATION{};
        return false;
    }
    WaitUntil(
        [&] {
            agent.window = FindTrayWindow(agent.pi.dwProcessId);
            return agent.window != nullptr;
        },
        30000);
    return agent.window != nullptr;
}

DWORD StopAgent(Agent& agent) {
    if (!agent.pi.hProcess) return 99;
    if (agent.window) PostMessageW(agent.window, WM_COMMAND, kTrayCmdExit, 0);
    DWORD code = 99;
    if (WaitForSingleObject(agent.pi.hProcess, 30000) != WAIT_OBJECT_0) TerminateProcess(agent.pi.hProcess, 98);
    GetExitCodeProcess(agent.pi.hProcess, &code);
    CloseHandle(agent.pi.hThread);
    CloseHandle(agent.pi.hProcess);
    agent = Agent{};
    return code;
}

std::vector<IncidentFolder> ListIncidents(const std::wstring& incidentsDir) {
    std::vector<IncidentFolder> list;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((incidentsDir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return list;
    do {
        if (fd.cFileName[0] == L'.') continue;
        const std::wstring json = incidentsDir + L"\\" + fd.cFileName + L"\\incident.json";
        WIN32_FILE_ATTRIBUTE_DATA info;
        if (!GetFileAttributesExW(json.c_str(), GetFileExInfoStandard, &info)) continue;
        IncidentFolder inc;
        inc.name = fd.cFileName;
        inc.created = (static_cast<int64_t>(info.ftCreationTime.dwHighDateTime) << 32) |
                      info.ftCreationTime.dwLowDateTime;
        list.push_back(inc);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    std::sort(list.begin(), list.end(),
              [](const IncidentFolder& a, const IncidentFolder& b) { return a.created < b.created; });
    return list;
}

size_t CountIncidents(const std::wstring& incidentsDir) { return ListIncidents(incidentsDir).size(); }

std::string DirMonitorStarted(const std::wstring& folder) {
    return "Dir monitor started: " + JsonEscape(WideToUtf8(folder)) + "\"";
}

std::vector<std::string> LogLinesOf(const std::wstring& logFile) { return SplitLines(ReadFileBytes(logFile)); }

bool LogHas(const std::wstring& logFile, const std::string& needle) {
    for (const std::string& line : LogLinesOf(logFile))
        if (line.find(needle) != std::string::npos) return true;
    return false;
}

std::string Member(const std::string& line, const char* key) {
    const std::string k = std::string("\"") + key + "\":\"";
    const size_t at = line.find(k);
    if (at == std::string::npos) return std::string();
    const size_t start = at + k.size();
    size_t end = start;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
    return line.substr(start, std::min(end, line.size()) - start);
}

std::vector<std::string> LogTail::NewLines() {
    std::vector<std::string> lines;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return lines;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    std::vector<char> buf(1 << 20);
    DWORD got = 0;
    while (ReadFile(f, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) && got > 0) {
        offset += got;
        partial.append(buf.data(), got);
    }
    CloseHandle(f);
    size_t start = 0, end;
    while ((end = partial.find('\n', start)) != std::string::npos) {
        lines.push_back(partial.substr(start, end - start));
        start = end + 1;
    }
    partial.erase(0, start);
    return lines;
}

void DrainUntilQuiet(LogTail& tail, std::vector<std::string>& into, int quietMs, int timeoutMs) {
    int quiet = 0;
    for (int waited = 0; waited < timeoutMs && quiet < quietMs; waited += 200) {
        std::vector<std::string> lines = tail.NewLines();
        quiet = lines.empty() ? quiet + 200 : 0;
        into.insert(into.end(), lines.begin(), lines.end());
        Sleep(200);
    }
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

std::string HostFile(const std::string& unixPath) {
    std::wstring path = L"Z:" + Utf8ToWide(unixPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return ReadFileBytes(path);
}

std::wstring FindHostStat(const std::wstring& exe) {
    const std::string want = WideToUtf8(exe);
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &fd);
    if (find == INVALID_HANDLE_VALUE) return std::wstring();
    std::wstring found;
    do {
        if (fd.cFileName[0] < L'0' || fd.cFileName[0] > L'9') continue;
        const std::wstring dir = std::wstring(L"Z:\\proc\\") + fd.cFileName;
        const std::string cmdline = ReadFileBytes(dir + L"\\cmdline");
        if (cmdline.compare(0, want.size() + 1, want + std::string(1, '\0')) == 0) found = dir + L"\\stat";
    } while (found.empty() && FindNextFileW(find, &fd));
    FindClose(find);
    return found;
}

long long HostCpuTicks(const std::wstring& stat) {
    const std::string text = ReadFileBytes(stat);
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < text.size()) {
        const size_t space = text.find(' ', at);
        fields.push_back(text.substr(at, space == std::string::npos ? std::string::npos : space - at));
        if (space == std::string::npos) break;
        at = space + 1;
    }
    if (fields.size() < 13) return -1;
    return std::strtoll(fields[11].c_str(), nullptr, 10) + std::strtoll(fields[12].c_str(), nullptr, 10);
}
