// Vellumgard.exe: a GUI-subsystem program with no visible window and no
// command-line arguments.
#include <windows.h>

#include "tray/agent_hooks.h"
#include "tray/app_shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    InstallAgentHooks();
    return RunTrayAgent(instance);
}
