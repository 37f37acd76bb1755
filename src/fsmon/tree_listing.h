// Reading a folder's entries with their times, a buffer at a time, for the
// watcher's reconciliation (fsmon/change_recovery.h). One call reads at most
// one buffer, so the watcher can look at its stop event and its change
// requests between calls however large the folder is.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "core/handles.h"
#include "fsmon/change_recovery.h"

struct FolderReader {
    UniqueHandle dir;
    std::wstring relativeDir;  // relative to the watched folder; empty for the folder itself
    uint64_t windowStart = 0;
    bool first = true;
    std::unique_ptr<uint64_t[]> buffer;  // 8-byte aligned, as the records need
};

// Opens `relativeDir` below `root`. False when it cannot be opened (it has
// gone since it was queued, or access is denied).
bool OpenFolderReader(FolderReader& reader, const std::wstring& root, const std::wstring& relativeDir,
                      uint64_t windowStart);

// Appends the next buffer of entries ("." and ".." left out), names relative
// to the watched folder. False when the folder has no more entries (the
// reader is then closed).
bool ReadFolderEntries(FolderReader& reader, std::vector<ListedEntry>& out);

// The current time as a file time.
uint64_t FileTimeNow();

// The reconciliation's margin for the volume holding `folder` (its file
// system's name and whether it is a network share); the FAT margin when the
// volume cannot be asked.
uint64_t RecoveryMarginOf(const std::wstring& folder);
