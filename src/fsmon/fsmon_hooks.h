// Installs the file-system subsystem into the core's hook points: the
// extra-folder synchronisation, the canary-name rebuild and planting, the
// folder-watcher thread procedure, the stop of the extra watchers and of the
// content check.
#pragma once

void InstallFileSystemHooks();
