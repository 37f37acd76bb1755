// The folder-watcher thread: watches one folder tree for changes and turns
// each change record into log events and, when warranted, incidents.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fsmon/notify_records.h"

// Thread procedure (WorkerMainFn). arg: a WatcherStart* the thread takes over,
// including its stop event (which it closes when it ends). 1 when the record
// is missing, the folder cannot be opened or the completion event cannot be
// made; otherwise 0.
uint32_t FolderWatcher(void* arg);

// Everything one completed batch leads to: per record the canary test, the
// "dir_change" event and the name tests; then one burst-detector call.
void ProcessChangeBatch(const std::wstring& folder, const std::vector<NotifyRecord>& records);

// Test seam: replaces ReadDirectoryChangesW when set.
using ReadDirectoryChangesFn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED,
                                             LPOVERLAPPED_COMPLETION_ROUTINE);
extern ReadDirectoryChangesFn gReadDirectoryChangesSeam;
