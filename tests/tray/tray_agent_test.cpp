// The application shell: its start-up failure path in-process, and the real
// Vellumgard.exe started in a sandbox profile, found by its window and told
// to exit through its menu command.
#include <gtest/gtest.h>
#include <windows.h>
// The shell headers need windows.h first.
#include <shlobj.h>

#include <string>
#include <vector>

#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "tray/app_shell.h"
#include "tray_harness.h"

namespace {

// The build tree's path of the program, as Wine sees it (drive Z: is /).
std::wstring AgentExePath() {
    std::wstring path = L"Z:" + Utf8ToWide(VG_AGENT_EXE);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

struct FindContext {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindAgentWindow(HWND window, LPARAM param) {
    auto* ctx = reinterpret_cast<FindContext*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (pid == ctx->pid && std::wstring(cls) == L"VellumgardTrayClass") {
        ctx->found = window;
        return FALSE;
    }
    return TRUE;
}

// The data folder the program resolves without seams: under Wine the shell's
// local application-data folder of the (throwaway) prefix.
std::wstring AgentDataDir() {
    wchar_t base[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, base))) return std::wstring();
    return JoinPath(base, L"Vellumgard");
}

std::string JsonField(const std::string& line, const std::string& key) {
    const std::string needle = "\"" + key + "\":\"";
    const size_t at = line.find(needle);
    if (at == std::string::npos) return "<none>";
    const size_t start = at + needle.size();
    return line.substr(start, line.find('"', start) - start);
}

}  // namespace

// The class already exists: the shell says so and ends with 1, having
// started the core (which it leaves running).
TEST(AppShell, FailedClassRegistrationEndsWithOne) {
    TrayHarness tray(true, std::string(), false);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VellumgardTrayClass";
    ASSERT_NE(RegisterClassExW(&wc), 0);

    EXPECT_EQ(RunTrayAgent(GetModuleHandleW(nullptr)), 1);
    ASSERT_EQ(gBoxCalls.size(), 1u);
    EXPECT_EQ(gBoxCalls[0].text, L"Failed to register window class.");
    EXPECT_EQ(gBoxCalls[0].caption, L"Vellumgard");
    EXPECT_EQ(gBoxCalls[0].owner, nullptr);
    EXPECT_EQ(gBoxCalls[0].flags, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_TRUE(gNotifyCalls.empty());
    EXPECT_EQ(LogTypes().back(), "startup");
}

// The program's file: a GUI-subsystem executable with the tray icon (one
// 32-bit image) and a manifest that never asks for elevation.
TEST(AgentExe, ResourcesAndSubsystem) {
    const std::wstring exe = AgentExePath();
    const std::string bytes = ReadFileBytes(exe);
    ASSERT_GT(bytes.size(), 0x200u);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    UniqueModule module(
        LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_NE(module.get(), nullptr);

#pragma pack(push, 2)
    struct GroupIconEntry {
        BYTE width, height, colors, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
    struct GroupIcon {
        WORD reserved, type, count;
        GroupIconEntry entries[1];
    };
#pragma pack(pop)
    HRSRC group = FindResourceW(module.get(), MAKEINTRESOURCEW(107), RT_GROUP_ICON);
    ASSERT_NE(group, nullptr);
    const auto* icon = static_cast<const GroupIcon*>(LockResource(LoadResource(module.get(), group)));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->count, 1);
    EXPECT_EQ(icon->entries[0].bitCount, 32);

    HICON loaded = static_cast<HICON>(LoadImageW(module.get(), MAKEINTRESOURCEW(107), IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(loaded, nullptr);
    if (loaded) DestroyIcon(loaded);

    HRSRC manifest = FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module.get(), manifest)));
    const std::string xml(text, SizeofResource(module.get(), manifest));
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos) << xml;
}

// Start, Exit from the menu command, exit code 0, and the log ends with the
// core's "shutdown" followed by the tray's. The program uses the prefix's
// own data folder, so only the lines it appended are looked at (ctest keeps
// the tests that start the program apart through a resource lock).
TEST(AgentExe, StartsAndExitsThroughTheExitCommand) {
    const std::wstring dataDir = AgentDataDir();
    ASSERT_FALSE(dataDir.empty());
    const std::wstring logFile = JoinPath(dataDir, L"Vellumgard.log.jsonl");
    const size_t logBefore = ReadFileBytes(logFile).size();

    TempDir workDir;
    const std::wstring exe = AgentExePath();
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                               workDir.path.c_str(), &si, &pi))
        << GetLastError();
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);

    FindContext ctx{pi.dwProcessId, nullptr};
    for (int i = 0; i < 600 && !ctx.found; ++i) {
        if (WaitForSingleObject(process.get(), 100) == WAIT_OBJECT_0) break;
        EnumWindows(FindAgentWindow, reinterpret_cast<LPARAM>(&ctx));
    }
    if (!ctx.found) TerminateProcess(process.get(), 99);
    ASSERT_NE(ctx.found, nullptr) << "no tray window appeared";

    ASSERT_TRUE(PostMessageW(ctx.found, WM_COMMAND, 1007, 0));
    ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);

    const std::string log = ReadFileBytes(logFile);
    ASSERT_GE(log.size(), logBefore);
    const auto lines = SplitLines(log.substr(logBefore));
    ASSERT_GE(lines.size(), 3u) << "log at " << WideToUtf8(logFile);
    bool started = false;
    for (const std::string& line : lines) started = started || JsonField(line, "type") == "startup";
    EXPECT_TRUE(started);
    const std::string& core = lines[lines.size() - 2];
    const std::string& tray = lines.back();
    EXPECT_EQ(JsonField(core, "type"), "shutdown");
    EXPECT_EQ(JsonField(core, "msg"), "Vellumgard core shutting down");
    EXPECT_EQ(JsonField(tray, "type"), "shutdown");
    EXPECT_EQ(JsonField(tray, "msg"), "Vellumgard tray exiting");
    EXPECT_EQ(tray.rfind("{\"ts\":\"", 0), 0u);
    EXPECT_NE(
        tray.find("\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"type\":\"shutdown\",\"msg\":"),
        std::string::npos);
}
