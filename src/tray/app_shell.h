// The program's shell: the administrator check, the start of the core, the
// hidden tray window and the message loop.
#pragma once

#include <windows.h>

constexpr wchar_t kTrayClassName[] = L"VellumgardTrayClass";

// Set once at start: the module (for the tray icon) and the tray window.
extern HINSTANCE gInstance;
extern HWND gMainWindow;

// True when the calling thread's effective token is in the local
// Administrators group (a filtered, non-elevated token is not).
bool IsUserAdmin();

bool RegisterTrayWindowClass(HINSTANCE instance);
// The hidden tool window; its creation adds the tray icon.
HWND CreateTrayWindow(HINSTANCE instance);

// Everything WinMain does once the subsystems are installed: start the core,
// create the tray window, run the message loop, log the exit. Returns the
// process exit code: 0 after Exit, 1 after a start-up failure.
int RunTrayAgent(HINSTANCE instance);
