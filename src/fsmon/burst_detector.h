// Raises a "file_burst" incident when the watched folders, taken together,
// complete at least burstThreshold change batches within burstWindowSeconds.
// One sliding window for the whole process, guarded by gBurstLock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t kDefaultBurstWindowSeconds = 30;
constexpr int32_t kDefaultBurstThreshold = 50;
constexpr int32_t kDefaultFileBurstIncidentSeverity = 80;

// Appends `now` to the batch times, drops every entry older than
// now - windowSeconds (an entry exactly that old stays; later ones, from a
// clock set back, stay too) keeping the order, and returns how many are left.
size_t AddBatchToWindow(std::vector<int64_t>& batchTimes, int64_t now, int32_t windowSeconds);

// Records one completed batch in the process-wide window, with the settings
// read from gLiveConfig at this call. True when the window now holds a burst;
// `severity` then holds the incident's severity. Does nothing and returns
// false while gBurstLock does not exist.
bool RecordChangeBatch(int32_t& severity);

// Called by a watcher after each completed, non-empty batch: records it and
// asks the incident store for a "file_burst" incident naming `folder` when
// the window holds a burst. The store is called outside gBurstLock.
void NoteChangeBatch(const std::wstring& folder);
