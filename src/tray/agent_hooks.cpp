#include "tray/agent_hooks.h"

#include "core/hooks.h"
#include "fsmon/fsmon_hooks.h"
#include "incidents/incident_store.h"
#include "procmon/incident_context.h"
#include "procmon/process_monitor.h"

void InstallAgentHooks() {
    InstallFileSystemHooks();
    gProcessMonitorMain = ProcessMonitorMain;
    gIncidentCreated = QueueIncidentContext;
    gStopIncidentContext = StopIncidentContext;
}
