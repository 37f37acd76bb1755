#include "fsmon/fsmon_hooks.h"

#include "core/hooks.h"
#include "fsmon/canary_files.h"
#include "fsmon/canary_names.h"
#include "fsmon/content_check.h"
#include "fsmon/folder_watcher.h"
#include "fsmon/watch_set.h"

void InstallFileSystemHooks() {
    gSyncExtraWatchDirs = SyncExtraWatchDirs;
    gRebuildCanaryNames = RebuildCanaryNames;
    gPlantCanaries = PlantCanaries;
    gFolderWatcherMain = FolderWatcher;
    gStopExtraWatchers = StopAllExtraWatchers;
    gStopContentChecks = StopContentChecks;
}
