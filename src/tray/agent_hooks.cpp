#include "tray/agent_hooks.h"

#include "core/hooks.h"
#include "fsmon/fsmon_hooks.h"
#include "incidents/incident_store.h"
#include "procmon/incident_context.h"
#include "procmon/pause_worker.h"
#include "procmon/process_monitor.h"
#include "tray/paused_ui.h"

namespace {

// The core's stop ends both workers that act on incidents.
void StopContextAndPauseWorkers() {
    StopIncidentContext();
    StopPauseWorker();
}

}  // namespace

void InstallAgentHooks() {
    InstallFileSystemHooks();
    gProcessMonitorMain = ProcessMonitorMain;
    gIncidentCreated = QueueIncidentContext;
    gStopIncidentContext = StopContextAndPauseWorkers;
    gIncidentRequested = QueuePauseDecision;
    gProgramPaused = NoteProgramPaused;
}
