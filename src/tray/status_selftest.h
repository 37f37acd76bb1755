// The Status and Self-test boxes: what the agent is doing, from the state the
// core filled at start, and a quick check of the data folder and the log.
#pragma once

#include <windows.h>

#include <string>

// The Status box text (menu "Status").
std::wstring BuildStatusText();
// Shows the double-click variant of the status, owned by the window.
void ShowStatusBox(HWND owner);

struct SelfTestResult {
    std::wstring text;
    bool passed = false;
};
// Ensures the data folder, appends one "self_test" event and checks that the
// log file exists afterwards.
SelfTestResult RunSelfTest();
