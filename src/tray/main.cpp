// Vellumgard.exe: a GUI-subsystem program with no visible window. With no
// arguments it is the tray agent; the verbs (--install, --uninstall,
// --version, --help) are handled before the core starts or the data folder is
// touched, and end the process with their own exit code.
#include <windows.h>

#include "tray/agent_hooks.h"
#include "tray/app_shell.h"
#include "tray/command_line.h"
#include "tray/installer.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const CommandLine command = ParseCommandLine(ProgramArguments());
    if (command.verb != Verb::RunAgent) ExitProcess(static_cast<UINT>(RunVerb(command)));
    InstallAgentHooks();
    const int code = RunTrayAgent(instance);
    // End here, with the exit line written: a worker that outlived the core's
    // bounded waits must not run on while the runtime destroys the globals it uses.
    ExitProcess(static_cast<UINT>(code));
}
