// The decisions of the content check (setting extendedDetection), apart from
// its thread and its file reads (fsmon/content_check.h): which records of a
// batch name a file to check, the bounded queue the watchers hand them to,
// what a failed read leads to, and when encrypted-like files make an incident.
// Pure: times come in as millisecond ticks, errors as plain numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fsmon/content_classifier.h"

// The change-record actions (FILE_ACTION_*) after which a file is checked:
// added, modified and the new name of a rename.
bool IsContentCheckAction(uint32_t action);

// The names one batch hands to the check, each once (names compared without
// ASCII case, as the file system does), in the order first named. A name
// whose last record in the batch removed it or renamed it away is left out:
// there is nothing left to read.
struct BatchRecordName {
    std::wstring name;
    uint32_t action = 0;
};
std::vector<std::wstring> ContentCheckNames(const std::vector<BatchRecordName>& records);

// One file to check. The folder is the watched folder as its watcher names
// it (the log's and the incident's "folder"); the tree is its resolved key,
// one tracker per watched tree whatever spelling reaches it.
struct ContentWork {
    std::wstring folder;
    std::wstring tree;
    std::wstring name;      // relative to folder
    uint32_t attempts = 0;  // reads tried so far
    uint64_t dueMs = 0;     // a retry waits until then
};

// The queue between the watchers and the worker. Beyond the limit the oldest
// waiting work goes and is counted; a file already waiting is not queued
// twice. Retries wait apart, in the order they fell due.
constexpr size_t kContentQueueLimit = 2048;
struct ContentQueue {
    std::deque<ContentWork> fresh;
    std::deque<ContentWork> retries;
    std::unordered_set<std::wstring> waiting;  // WaitingKey of every fresh item
    uint64_t dropped = 0;                      // since the last report
};
std::wstring WaitingKey(const std::wstring& tree, const std::wstring& name);
// False when the same file was already waiting (nothing added).
bool PushContentWork(ContentQueue& queue, ContentWork work, size_t limit);
// A retry goes behind the others, due `delayMs` from now; it counts against
// the same limit.
void PushContentRetry(ContentQueue& queue, ContentWork work, uint64_t nowMs, uint64_t delayMs, size_t limit);
// The next work whose time has come: a due retry first, then the oldest fresh.
bool TakeContentWork(ContentQueue& queue, uint64_t nowMs, ContentWork& out);
// Milliseconds until the next retry falls due; 0 when fresh work waits, -1
// when nothing waits at all.
int64_t MsUntilContentWork(const ContentQueue& queue, uint64_t nowMs);
// One report per storm: the count dropped since the last report, once the
// queue has run empty (or at once when `force`, as the worker stops); 0 when
// there is nothing to report. Taking it starts the count again.
uint64_t TakeDropReport(ContentQueue& queue, bool force);
void ClearContentQueue(ContentQueue& queue);

// A read that failed: how, from the system's error code. A writer holding the
// file without sharing (or a locked range) is "locked"; a file that went away
// (a temporary file renamed, a file deleted) is "gone".
enum class ReadFailure { Locked, Gone, Other };
ReadFailure ReadFailureOf(uint32_t win32Error);
// What follows a failed read: a locked file is tried once more after
// kContentRetryDelayMs, then left alone; anything else is left at once.
constexpr uint64_t kContentRetryDelayMs = 500;
constexpr uint32_t kContentReadAttempts = 2;
bool RetryContentRead(ReadFailure failure, uint32_t attemptsSoFar);

// Two distinct encrypted-like files in one watched tree within
// kEncryptedPairWindowMs make an incident; after one, the tree's count starts
// again. A file seen twice counts once. Memory: per tree at most the names of
// the window, and an incident empties it.
constexpr uint64_t kEncryptedPairWindowMs = 60 * 1000;
struct EncryptedTracker {
    struct Seen {
        std::wstring key;  // the folded name
        uint64_t ms = 0;
    };
    std::unordered_map<std::wstring, std::vector<Seen>> trees;
};
// True when this file makes the incident.
bool NoteEncryptedLike(EncryptedTracker& tracker, const std::wstring& tree, const std::wstring& name,
                       uint64_t nowMs);

// The head entropy as the log writes it: two decimals, within 0.00-8.00.
std::string FormatEntropy(double bitsPerByte);

// The members of a "content_check" line after the usual ones: folder, file
// (both already JSON-escaped), verdict, expected, found, entropy.
std::string ContentCheckMembers(const std::string& folderJson, const std::string& fileJson,
                                const ContentEvidence& evidence);
