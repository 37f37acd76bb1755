// Drives the real Vellumgard.exe from outside, the way a user does through
// its tray icon: starts it, posts tray callbacks and menu commands, finds,
// reads and answers its message boxes, waits for its exit, and reads what it
// appended to its log.
//
// The program keeps its data in the Wine prefix's own profile, so every test
// program using this driver must hold the ctest lock "vg_agent_profile".
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "core/handles.h"

// Where the program keeps its files and which folders it watches, as the
// shell names them in this profile.
struct AgentProfile {
    std::wstring dataDir;
    std::wstring logFile;
    std::wstring configFile;
    std::wstring reportFile;
    std::wstring incidentsDir;
    std::wstring desktop;
    std::wstring documents;
    std::wstring downloads;
};

AgentProfile GetAgentProfile();

// Files the tests drop into watched folders start with this, so a fresh
// start can remove them again.
extern const wchar_t kTestFilePrefix[];

// A fresh start: removes the data folder, the canaries and the tests' own
// files in the known folders.
void ResetAgentProfile(const AgentProfile& profile);

// Writes the configuration file (creating the data folder) before a start.
bool WriteAgentConfig(const AgentProfile& profile, const std::string& text);

// The build tree's Vellumgard.exe as Wine sees it (drive Z: is /).
std::wstring AgentExePath();

// A running agent. Going out of scope answers its boxes and tells it to
// exit; one that does not end is terminated.
struct Agent {
    Agent() = default;
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    UniqueHandle process;
    UniqueHandle thread;
    DWORD pid = 0;
    HWND window = nullptr;  // the hidden "VellumgardTrayClass" window
};

// Starts the program and waits for its tray window; false with the reason
// when it ended or showed no window in time.
bool StartAgent(Agent& agent, std::string& failure);
bool AgentRunning(const Agent& agent);

// The tray icon's callback (WM_APP + 1) carrying a mouse message such as
// WM_RBUTTONUP or WM_LBUTTONDBLCLK, and a menu command (1001 to 1007).
bool PostTrayCallback(const Agent& agent, UINT mouseMessage);
bool PostMenuCommand(const Agent& agent, UINT command);

// Which icon a message box shows. Unreadable when the platform hides it.
enum class BoxIcon { None, Information, Warning, Error, Unreadable };
const char* BoxIconName(BoxIcon icon);

struct AgentBox {
    HWND window = nullptr;
    std::wstring text;     // the message (static control 0xFFFF)
    std::wstring caption;  // the title bar
    BoxIcon icon = BoxIcon::Unreadable;
};

// The icon of an open box, read from the screen.
BoxIcon ReadBoxIcon(HWND box);

// The agent's open message boxes: top-level dialogs of its process.
std::vector<HWND> AgentBoxWindows(const Agent& agent);
// Waits for a box to be open and painted, then reads it.
bool WaitForAgentBox(const Agent& agent, int timeoutMs, AgentBox& box);
// Presses OK and waits until the box is gone.
bool DismissAgentBox(HWND box, int timeoutMs);
// Posts the command (or tray callback), reads the box it opens and
// dismisses it. False when no box appeared.
bool CommandBox(const Agent& agent, UINT command, AgentBox& box);
bool TrayCallbackBox(const Agent& agent, UINT mouseMessage, AgentBox& box);

// Whether the agent's window still answers: its Status box opens and
// closes again.
bool AgentAnswers(const Agent& agent);

// The agent's open popup menus (the tray menu), and Escape to close them.
std::vector<HWND> AgentMenuWindows(const Agent& agent);
bool CloseAgentMenu(const Agent& agent);

// Visible top-level windows of every process on the desktop.
std::vector<HWND> VisibleTopLevelWindows();
// A window's text (WM_GETTEXT, marshalled between processes).
std::wstring ReadWindowText(HWND window);
// Notification balloons on screen with this text. Under Wine the shell shows
// a balloon as a tooltip window of its own process whose window text is the
// balloon's body (the title is not readable from outside).
std::vector<HWND> BalloonWindows(const std::wstring& body);

// The texts of every Incidents\<name>\incident.json.
std::vector<std::string> ReadIncidentFiles(const std::wstring& incidentsDir);

bool WaitForAgentExit(Agent& agent, int timeoutMs, DWORD& exitCode);
// Exit from the tray menu, then the exit code (99 when it did not end).
DWORD ExitAgent(Agent& agent);

// Lines appended to the log after a mark. A log that became shorter than
// the mark (deleted and begun again) is read from its start.
struct LogMark {
    std::wstring file;
    size_t bytes = 0;
};
LogMark MarkLog(const std::wstring& logFile);
std::vector<std::string> LogLinesSince(const LogMark& mark);

// A member of a log line or JSON text: strings as they are, other values as
// their JSON text; "" when the line is not JSON or lacks the member.
std::string JsonMember(const std::string& json, const std::string& key);
// The "type" members of lines, in order.
std::vector<std::string> LogTypesOf(const std::vector<std::string>& lines);
size_t CountType(const std::vector<std::string>& lines, const std::string& type);

// Polls until the condition holds; its final value.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);
// Waits for a line after the mark for which the test holds.
bool WaitForLogLine(const LogMark& mark, const std::function<bool(const std::string&)>& test, int timeoutMs);
bool WaitForLogType(const LogMark& mark, const std::string& type, int timeoutMs);
