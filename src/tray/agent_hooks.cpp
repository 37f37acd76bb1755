#include "tray/agent_hooks.h"

#include "core/hooks.h"
#include "fsmon/fsmon_hooks.h"
#include "procmon/process_monitor.h"

void InstallAgentHooks() {
    InstallFileSystemHooks();
    gProcessMonitorMain = ProcessMonitorMain;
}
