// The extra folders that follow the configuration's extraWatchDirs: one
// folder-watcher thread per folder key, started and stopped by
// SyncExtraWatchDirs at every synchronisation point.
#pragma once

#include <string>

struct Config;

// Brings the running extra-folder watchers in line with the settings. Safe to
// call on any thread, also on a watcher's own thread and while other
// synchronisations run. Starts nothing once the core's stop has begun.
void SyncExtraWatchDirs(const Config& settings);

// True when a running (or starting) watcher has that folder key.
bool IsExtraDirWatched(const std::wstring& key);

// Stops every extra-folder watcher (up to 3000 ms each) and empties the set;
// called by CoreStop.
void StopAllExtraWatchers();

// How many watchers the set holds (tests and benchmarks).
size_t ExtraWatcherCount();
