// Points where the core sets off work that belongs to a higher subsystem.
// The core only holds plain function pointers; the agent installs them in
// one place (InstallAgentHooks, tray/agent_hooks.cpp) before the core starts,
// so the dependency arrows keep pointing down and the core's own tests can
// run with none of them installed.
#pragma once

struct Config;

// Brings the extra-folder watchers in line with the given settings.
using SyncExtraWatchDirsFn = void (*)(const Config& settings);
extern SyncExtraWatchDirsFn gSyncExtraWatchDirs;

// Rebuilds the canary file names from the given settings.
using RebuildCanaryNamesFn = void (*)(const Config& settings);
extern RebuildCanaryNamesFn gRebuildCanaryNames;

// Runs gSyncExtraWatchDirs, when installed, with a fresh ConfigSnapshot.
void SyncExtraWatchDirsWithSnapshot();
// Runs gSyncExtraWatchDirs, when installed, with the given settings.
void SyncExtraWatchDirsWith(const Config& settings);
// Runs gRebuildCanaryNames, when installed.
void RebuildCanaryNamesWith(const Config& settings);

#include <cstdint>
#include <string>

// Thread procedures the core starts. Until the subsystems install theirs,
// the core's placeholders end at once.
using WorkerMainFn = uint32_t (*)(void* arg);
// The process monitor; arg is unused.
extern WorkerMainFn gProcessMonitorMain;
// A folder watcher; arg is a WatcherStart* the thread takes ownership of.
extern WorkerMainFn gFolderWatcherMain;

// Plants the canary files in a folder about to be watched.
using PlantCanariesFn = void (*)(const std::wstring& folder, const Config& settings);
extern PlantCanariesFn gPlantCanaries;

// Called by CoreStop, after the known-folder workers were waited for: stops
// every extra-folder watcher and empties the watch set.
using StopExtraWatchersFn = void (*)();
extern StopExtraWatchersFn gStopExtraWatchers;

// Called by CoreStop after every watcher was stopped: ends the worker that
// checks the content of changed files.
using StopContentChecksFn = void (*)();
extern StopContentChecksFn gStopContentChecks;

// Called by CoreStop last among the workers (every part that creates
// incidents has stopped): ends the worker that gathers incident contexts.
using StopIncidentContextFn = void (*)();
extern StopIncidentContextFn gStopIncidentContext;
