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

// The files one batch hands to the check, each once (names compared without
// ASCII case, as the file system does), in the order first named. A name
// whose last record in the batch removed it or renamed it away is left out:
// there is nothing left to read. Each file is judged against a claimed
// format: its own name's, or, when it was renamed from a user file's name
// (the rename pair) or written beside a user file the same batch deleted
// (the same name with an extension added or replaced, in the same folder),
// the old name's, whatever the new extension. Files with neither a checked
// name nor such an old name are left out.
struct BatchRecordName {
    std::wstring name;
    uint32_t action = 0;
};
// Besides the files to check, the list carries the names a later batch may
// pair with (the write and the delete of a replaced file may arrive in
// different batches): new files with unchecked names that found no deleted
// original, and deleted user files that found no new name (PairAcrossBatches).
enum class ContentItemKind { kCheck, kUnpairedNew, kUnpairedRemoved };
struct ContentCheckItem {
    std::wstring name;
    std::wstring claim;  // the old name the content is judged against; empty: its own
    ContentItemKind kind = ContentItemKind::kCheck;
    bool operator==(const ContentCheckItem& o) const {
        return name == o.name && claim == o.claim && kind == o.kind;
    }
};
std::vector<ContentCheckItem> ContentCheckNames(const std::vector<BatchRecordName>& records);

// The unpaired names of recent batches, per watched tree, for
// kReplacedPairWindowMs, at most kReplacedMemoryLimit of each kind over the
// agent (the oldest go first).
constexpr uint64_t kReplacedPairWindowMs = 10 * 1000;
constexpr size_t kReplacedMemoryLimit = 256;
struct ReplacedMemory {
    struct Entry {
        std::wstring tree;
        std::wstring name;
        uint64_t ms = 0;
    };
    std::vector<Entry> added, removed;
};
// The check items of one batch, its unpaired names paired with those of the
// tree's earlier batches (a new file whose original a later batch deleted is
// checked then, against the original's name); what stays unpaired is
// remembered. Returns only kCheck items.
std::vector<ContentCheckItem> PairAcrossBatches(ReplacedMemory& memory, const std::wstring& tree,
                                                const std::vector<ContentCheckItem>& items, uint64_t nowMs);

// One file to check. The folder is the watched folder as its watcher names
// it (the log's and the incident's "folder"); the tree is its resolved key,
// one tracker per watched tree whatever spelling reaches it.
struct ContentWork {
    std::wstring folder;
    std::wstring tree;
    std::wstring name;      // relative to folder
    std::wstring claim;     // see ContentCheckItem
    uint32_t attempts = 0;  // reads tried so far
    uint32_t rechecks = 0;  // judged again after a quiet time (TrailerRecheckMs)
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

// When encrypted-like files make an incident: two distinct files in one
// watched tree within kEncryptedPairWindowMs (as fast as ever), or, for an
// encryptor that goes slowly or spreads over several folders, three distinct
// files anywhere in the agent within kEncryptedSlowWindowMs. A file seen
// twice counts once; a tree's pair empties that tree's memory (in both), the
// slow rule empties all. Memory: per tree the
// names of the last minute, over the agent at most kEncryptedSlowMemory names
// of the last ten minutes.
constexpr uint64_t kEncryptedPairWindowMs = 60 * 1000;
constexpr uint64_t kEncryptedSlowWindowMs = 10 * 60 * 1000;
constexpr size_t kEncryptedSlowCount = 3;
constexpr size_t kEncryptedSlowMemory = 64;
struct EncryptedTracker {
    struct Seen {
        std::wstring key;  // the folded name (with its tree, in `anywhere`)
        uint64_t ms = 0;
    };
    std::unordered_map<std::wstring, std::vector<Seen>> trees;
    std::vector<Seen> anywhere;
};
// True when this file makes the incident.
bool NoteEncryptedLike(EncryptedTracker& tracker, const std::wstring& tree, const std::wstring& name,
                       uint64_t nowMs);

// A verdict that rests on the file's end alone waits until the file has been
// quiet (not written) for kTrailerQuietMs: a file still being written has no
// end record yet. The result: 0 judge now; above 0, check the file again
// after that many milliseconds; -1 leave it (still being written after
// kTrailerRechecks checks; its next write queues it again).
constexpr uint64_t kTrailerQuietMs = 2000;
constexpr uint32_t kTrailerRechecks = 3;
int64_t TrailerRecheckMs(bool trailerOnly, uint64_t quietMs, uint32_t rechecksSoFar);

// The head entropy as the log writes it: two decimals, within 0.00-8.00.
std::string FormatEntropy(double bitsPerByte);

// The members of a "content_check" line after the usual ones: folder, file
// (both already JSON-escaped), verdict, expected, found, entropy, and for a
// file judged against its old name, "claimed_from" (escaped too) last.
std::string ContentCheckMembers(const std::string& folderJson, const std::string& fileJson,
                                const ContentEvidence& evidence, const std::string& claimedFromJson = "");
