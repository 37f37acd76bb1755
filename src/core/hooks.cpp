#include "core/hooks.h"

#include "core/config.h"

SyncExtraWatchDirsFn gSyncExtraWatchDirs = nullptr;
RebuildCanaryNamesFn gRebuildCanaryNames = nullptr;

void SyncExtraWatchDirsWithSnapshot() {
    if (!gSyncExtraWatchDirs) return;
    ConfigSnapshot snapshot;
    SnapshotConfig(snapshot);
    gSyncExtraWatchDirs(snapshot);
}

void SyncExtraWatchDirsWith(const Config& settings) {
    if (gSyncExtraWatchDirs) gSyncExtraWatchDirs(settings);
}

void RebuildCanaryNamesWith(const Config& settings) {
    if (gRebuildCanaryNames) gRebuildCanaryNames(settings);
}
