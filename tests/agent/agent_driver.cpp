#include "agent_driver.h"

#include <shlobj.h>

#include <nlohmann/json.hpp>

#include "core/text.h"
#include "support/test_support.h"

const wchar_t kTestFilePrefix[] = L"vg_e2e_";

namespace {

constexpr UINT kTrayCallbackMessage = WM_APP + 1;
constexpr UINT kCmdStatus = 1001;
constexpr UINT kCmdExit = 1007;
constexpr int kBoxTextId = 0xFFFF;

std::wstring ShellFolder(int csidl) {
    wchar_t buf[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf))) return std::wstring();
    return buf;
}

// Downloads has no CSIDL; the agent asks the known-folder lookup, so do we.
std::wstring DownloadsFolder() {
    static const GUID kFolderIdDownloads = {
        0x374DE290, 0x123F, 0x4565, {0x91, 0x64, 0x39, 0xC4, 0x92, 0x5E, 0x46, 0x7B}};
    PWSTR path = nullptr;
    std::wstring out;
    if (SUCCEEDED(SHGetKnownFolderPath(kFolderIdDownloads, 0, nullptr, &path)) && path) out = path;
    CoTaskMemFree(path);
    return out;
}

std::wstring ClassOf(HWND window) {
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    return cls;
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

struct WindowSearch {
    DWORD pid;
    const wchar_t* cls;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    if (ProcessOf(window) == search->pid && ClassOf(window) == search->cls) search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD pid, const wchar_t* cls) {
    WindowSearch search{pid, cls, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowTextOf(HWND window) {
    wchar_t buf[8192] = {};
    // WM_GETTEXT is marshalled between processes; a hung box must not hang the test.
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, ARRAYSIZE(buf), reinterpret_cast<LPARAM>(buf),
                             SMTO_ABORTIFHUNG, 5000, &copied)) {
        return std::wstring();
    }
    return std::wstring(buf, copied);
}

void RemoveTestFiles(const std::wstring& folder) {
    if (folder.empty()) return;
    for (const wchar_t* canary : {L"vellumgard_do_not_touch.txt", L"important_backup_do_not_delete.txt"})
        RemoveTree(JoinPath(folder, canary));
    WIN32_FIND_DATAW fd;
    std::vector<std::wstring> names;
    {
        UniqueFindHandle find(
            FindFirstFileW(JoinPath(folder, std::wstring(kTestFilePrefix) + L"*").c_str(), &fd));
        if (!find.valid()) return;
        do {
            names.push_back(fd.cFileName);
        } while (FindNextFileW(find.get(), &fd));
    }
    for (const std::wstring& name : names) RemoveTree(JoinPath(folder, name));
}

}  // namespace

AgentProfile GetAgentProfile() {
    AgentProfile p;
    const std::wstring base = ShellFolder(CSIDL_LOCAL_APPDATA);
    if (!base.empty()) p.dataDir = JoinPath(base, L"Vellumgard");
    if (!p.dataDir.empty()) {
        p.logFile = JoinPath(p.dataDir, L"Vellumgard.log.jsonl");
        p.configFile = JoinPath(p.dataDir, L"Vellumgard.config.json");
        p.reportFile = JoinPath(p.dataDir, L"report.html");
        p.incidentsDir = JoinPath(p.dataDir, L"Incidents");
    }
    p.desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
    p.documents = ShellFolder(CSIDL_PERSONAL);
    p.downloads = DownloadsFolder();
    return p;
}

void ResetAgentProfile(const AgentProfile& profile) {
    RemoveTree(profile.dataDir);
    for (const std::wstring* folder : {&profile.desktop, &profile.documents, &profile.downloads})
        RemoveTestFiles(*folder);
}

bool WriteAgentConfig(const AgentProfile& profile, const std::string& text) {
    CreateDirectoryW(profile.dataDir.c_str(), nullptr);
    return WriteFileBytes(profile.configFile, text);
}

std::wstring AgentExePath() {
    std::wstring path = L"Z:" + Utf8ToWide(VG_AGENT_EXE);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

Agent::~Agent() {
    if (!process) return;
    if (AgentRunning(*this)) {
        for (HWND box : AgentBoxWindows(*this)) DismissAgentBox(box, 2000);
        if (window) PostMessageW(window, WM_COMMAND, kCmdExit, 0);
        if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 98);
    }
}

bool StartAgent(Agent& agent, std::string& failure) {
    const std::wstring exe = AgentExePath();
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        failure = "CreateProcessW failed: " + std::to_string(GetLastError());
        return false;
    }
    agent.process.reset(pi.hProcess);
    agent.thread.reset(pi.hThread);
    agent.pid = pi.dwProcessId;
    for (int waited = 0; waited < 30000; waited += 50) {
        const std::vector<HWND> windows = TopLevelWindows(agent.pid, L"VellumgardTrayClass");
        if (!windows.empty()) {
            agent.window = windows.front();
            return true;
        }
        if (WaitForSingleObject(agent.process.get(), 50) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(agent.process.get(), &code);
            failure = "the agent ended during start-up with code " + std::to_string(code);
            return false;
        }
    }
    failure = "no tray window appeared";
    return false;
}

bool AgentRunning(const Agent& agent) {
    return agent.process && WaitForSingleObject(agent.process.get(), 0) == WAIT_TIMEOUT;
}

bool PostTrayCallback(const Agent& agent, UINT mouseMessage) {
    return PostMessageW(agent.window, kTrayCallbackMessage, 1, MAKELPARAM(mouseMessage, 0)) != FALSE;
}

bool PostMenuCommand(const Agent& agent, UINT command) {
    return PostMessageW(agent.window, WM_COMMAND, MAKEWPARAM(command, 0), 0) != FALSE;
}

const char* BoxIconName(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None:
            return "none";
        case BoxIcon::Information:
            return "information";
        case BoxIcon::Warning:
            return "warning";
        case BoxIcon::Error:
            return "error";
        case BoxIcon::Unreadable:
            break;
    }
    return "unreadable";
}

std::vector<HWND> AgentBoxWindows(const Agent& agent) {
    std::vector<HWND> boxes;
    for (HWND w : TopLevelWindows(agent.pid, L"#32770"))
        if (IsWindowVisible(w)) boxes.push_back(w);
    return boxes;
}

bool WaitForAgentBox(const Agent& agent, int timeoutMs, AgentBox& box) {
    box = AgentBox{};
    HWND found = nullptr;
    if (!WaitUntil(
            [&] {
                const std::vector<HWND> boxes = AgentBoxWindows(agent);
                found = boxes.empty() ? nullptr : boxes.front();
                return found != nullptr;
            },
            timeoutMs)) {
        return false;
    }
    // The text is set while the dialog initialises; let it finish.
    WaitUntil([&] { return !WindowTextOf(GetDlgItem(found, kBoxTextId)).empty(); }, 3000);
    box.window = found;
    box.caption = WindowTextOf(found);
    box.text = WindowTextOf(GetDlgItem(found, kBoxTextId));
    box.icon = ReadBoxIcon(found);
    return true;
}

bool DismissAgentBox(HWND box, int timeoutMs) {
    if (!IsWindow(box)) return true;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    return WaitUntil([&] { return !IsWindow(box); }, timeoutMs);
}

bool CommandBox(const Agent& agent, UINT command, AgentBox& box) {
    if (!PostMenuCommand(agent, command)) return false;
    if (!WaitForAgentBox(agent, 15000, box)) return false;
    return DismissAgentBox(box.window, 5000);
}

bool TrayCallbackBox(const Agent& agent, UINT mouseMessage, AgentBox& box) {
    if (!PostTrayCallback(agent, mouseMessage)) return false;
    if (!WaitForAgentBox(agent, 15000, box)) return false;
    return DismissAgentBox(box.window, 5000);
}

bool AgentAnswers(const Agent& agent) {
    AgentBox box;
    return AgentRunning(agent) && CommandBox(agent, kCmdStatus, box) && box.caption == L"Vellumgard";
}

std::vector<HWND> AgentMenuWindows(const Agent& agent) {
    std::vector<HWND> menus;
    for (HWND w : TopLevelWindows(agent.pid, L"#32768"))
        if (IsWindowVisible(w)) menus.push_back(w);
    return menus;
}

bool CloseAgentMenu(const Agent& agent) {
    // The menu's modal loop reads the keyboard messages of the agent's thread.
    PostMessageW(agent.window, WM_KEYDOWN, VK_ESCAPE, 0);
    return WaitUntil([&] { return AgentMenuWindows(agent).empty(); }, 5000);
}

namespace {

BOOL CALLBACK CollectVisible(HWND window, LPARAM param) {
    if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> VisibleTopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

std::wstring ReadWindowText(HWND window) {
    return WindowTextOf(window);
}

std::vector<HWND> BalloonWindows(const std::wstring& body) {
    std::vector<HWND> balloons;
    for (HWND w : VisibleTopLevelWindows())
        if (ClassOf(w) == L"tooltips_class32" && WindowTextOf(w) == body) balloons.push_back(w);
    return balloons;
}

std::vector<std::string> ReadIncidentFiles(const std::wstring& incidentsDir) {
    std::vector<std::string> texts;
    WIN32_FIND_DATAW fd;
    UniqueFindHandle find(FindFirstFileW(JoinPath(incidentsDir, L"*").c_str(), &fd));
    if (!find.valid()) return texts;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L".." || !(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        std::string text;
        if (ReadFileBytes(JoinPath(JoinPath(incidentsDir, name), L"incident.json"), text))
            texts.push_back(text);
    } while (FindNextFileW(find.get(), &fd));
    return texts;
}

bool WaitForAgentExit(Agent& agent, int timeoutMs, DWORD& exitCode) {
    exitCode = 99;
    if (!agent.process) return false;
    if (WaitForSingleObject(agent.process.get(), static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(agent.process.get(), &exitCode);
    return true;
}

DWORD ExitAgent(Agent& agent) {
    DWORD code = 99;
    if (!PostMenuCommand(agent, kCmdExit)) return code;
    WaitForAgentExit(agent, 30000, code);
    return code;
}

LogMark MarkLog(const std::wstring& logFile) {
    return LogMark{logFile, ReadFileBytes(logFile).size()};
}

std::vector<std::string> LogLinesSince(const LogMark& mark) {
    const std::string bytes = ReadFileBytes(mark.file);
    if (bytes.size() < mark.bytes) return SplitLines(bytes);
    return SplitLines(bytes.substr(mark.bytes));
}

std::string JsonMember(const std::string& json, const std::string& key) {
    const auto j = nlohmann::json::parse(json, nullptr, false);
    if (!j.is_object() || !j.contains(key)) return std::string();
    const auto& value = j[key];
    return value.is_string() ? value.get<std::string>() : value.dump();
}

std::vector<std::string> LogTypesOf(const std::vector<std::string>& lines) {
    std::vector<std::string> types;
    for (const std::string& line : lines) types.push_back(JsonMember(line, "type"));
    return types;
}

size_t CountType(const std::vector<std::string>& lines, const std::string& type) {
    size_t n = 0;
    for (const std::string& line : lines) n += JsonMember(line, "type") == type ? 1 : 0;
    return n;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) return true;
        Sleep(50);
    }
    return condition();
}

bool WaitForLogLine(const LogMark& mark, const std::function<bool(const std::string&)>& test, int timeoutMs) {
    return WaitUntil(
        [&] {
            for (const std::string& line : LogLinesSince(mark))
                if (test(line)) return true;
            return false;
        },
        timeoutMs);
}

bool WaitForLogType(const LogMark& mark, const std::string& type, int timeoutMs) {
    return WaitForLogLine(
        mark, [&](const std::string& line) { return JsonMember(line, "type") == type; }, timeoutMs);
}

// Another process's icon handle cannot be read here (Wine keeps icon data
// per process), so the icon is told from the screen: the pixels under the
// box's icon control are compared with each candidate system icon drawn on
// the same background, and the nearest one wins if it is near enough.
namespace {

struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> data;  // 0x00RRGGBB, top row first
};

// A 32-bit top-down DIB section with a memory DC selected into it.
struct Canvas {
    Canvas(HDC reference, int width, int height) {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        dc = CreateCompatibleDC(reference);
        bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (dc && bitmap) old = SelectObject(dc, bitmap);
        w = width;
        h = height;
    }
    ~Canvas() {
        if (old) SelectObject(dc, old);
        if (bitmap) DeleteObject(bitmap);
        if (dc) DeleteDC(dc);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    bool ok() const { return dc && bitmap && bits; }
    Pixels Read() const {
        GdiFlush();
        Pixels p{w, h, {}};
        const auto* src = static_cast<const uint32_t*>(bits);
        for (int i = 0; i < w * h; ++i) p.data.push_back(src[i] & 0xFFFFFF);
        return p;
    }

    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    void* bits = nullptr;
    int w = 0;
    int h = 0;
};

// Mean difference per channel, 0 to 255.
double MeanDifference(const Pixels& a, const Pixels& b) {
    if (a.data.size() != b.data.size() || a.data.empty()) return 255.0;
    double sum = 0;
    for (size_t i = 0; i < a.data.size(); ++i) {
        for (int shift : {0, 8, 16}) {
            const int x = static_cast<int>((a.data[i] >> shift) & 0xFF);
            const int y = static_cast<int>((b.data[i] >> shift) & 0xFF);
            sum += x > y ? x - y : y - x;
        }
    }
    return sum / (3.0 * static_cast<double>(a.data.size()));
}

BoxIcon ClassifyIconOnScreen(const RECT& r) {
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    if (w <= 0 || h <= 0 || w > 256 || h > 256) return BoxIcon::Unreadable;
    HDC screen = GetDC(nullptr);
    if (!screen) return BoxIcon::Unreadable;
    BoxIcon result = BoxIcon::Unreadable;
    {
        Canvas shot(screen, w, h);
        // The dialog's face just left of the control is the background the icon was drawn on.
        const COLORREF face = GetPixel(screen, r.left - 2, r.top + h / 2);
        if (shot.ok() && face != CLR_INVALID && BitBlt(shot.dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY)) {
            const Pixels seen = shot.Read();
            const struct {
                BoxIcon icon;
                LPCWSTR id;
            } candidates[] = {{BoxIcon::Information, IDI_INFORMATION},
                              {BoxIcon::Warning, IDI_WARNING},
                              {BoxIcon::Error, IDI_ERROR}};
            double best = 255.0, second = 255.0;
            for (const auto& c : candidates) {
                Canvas drawn(screen, w, h);
                if (!drawn.ok()) continue;
                HBRUSH brush = CreateSolidBrush(face);
                RECT all{0, 0, w, h};
                FillRect(drawn.dc, &all, brush);
                DeleteObject(brush);
                DrawIconEx(drawn.dc, 0, 0, LoadIconW(nullptr, c.id), w, h, 0, nullptr, DI_NORMAL);
                const double d = MeanDifference(seen, drawn.Read());
                if (d < best) {
                    second = best;
                    best = d;
                    result = c.icon;
                } else if (d < second) {
                    second = d;
                }
            }
            // Near one candidate and clearly apart from the others, or unknown.
            if (!(best < 12.0 && second > 2.0 * best + 4.0)) result = BoxIcon::Unreadable;
        }
    }
    ReleaseDC(nullptr, screen);
    return result;
}

}  // namespace

BoxIcon ReadBoxIcon(HWND box) {
    // Windows numbers the icon control 0x14, Wine 0x440.
    HWND control = nullptr;
    for (int id : {0x14, 0x440}) {
        HWND c = GetDlgItem(box, id);
        if (c && ClassOf(c) == L"Static" && (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            control = c;
            break;
        }
    }
    if (!control) return BoxIcon::None;
    DWORD_PTR icon = 0;
    if (!SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &icon))
        return BoxIcon::Unreadable;
    if (!icon || !IsWindowVisible(control)) return BoxIcon::None;
    RECT r{};
    GetWindowRect(control, &r);
    // The box may still be painting: look again for a little while.
    BoxIcon seen = BoxIcon::Unreadable;
    WaitUntil(
        [&] {
            seen = ClassifyIconOnScreen(r);
            return seen != BoxIcon::Unreadable;
        },
        2000);
    return seen;
}
