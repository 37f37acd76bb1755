// What a folder watcher recovers after the system lost change records for it.
//
// When the change queue overflows (a completion with zero bytes), or under
// Wine when files appear in a new subfolder before the system watches it, the
// watcher lists its tree and reports each file that changed since the last
// batch it processed and that it has not reported since that change. Pure:
// times come in as values (file times, 100-ns units since 1601), and the
// listing is done by the caller (tree_listing.h).
//
// Which time tells a change: the change time (ChangeTime, the inode's ctime
// under Wine). The last-write time survives a rename, a copy and an unpack,
// and Wine reports the last-write time as the creation time; the change time
// moves on every one of those. The latest of the three is used, so a file
// system that has no change time still works by its write time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <unordered_map>

constexpr uint64_t kFileTimeTicksPerSecond = 10000000;

// The margin around a window, for the file system's clock and the
// granularity of its times: a local NTFS, ReFS or exFAT volume keeps times
// to 100 ns or 10 ms on the machine's own clock; FAT keeps write times to
// 2 s; a network share's times come from the server's clock. Unknown file
// systems get the FAT margin.
constexpr uint64_t kLocalMarginTicks = kFileTimeTicksPerSecond / 4;
constexpr uint64_t kCoarseMarginTicks = 2 * kFileTimeTicksPerSecond;
constexpr uint64_t kRemoteMarginTicks = 5 * kFileTimeTicksPerSecond;
uint64_t RecoveryMarginTicks(const std::wstring& fileSystemName, bool remote);

// How a change request completed. An overflow is a success with no bytes on
// Windows, and a failure with ERROR_NOTIFY_ENUM_DIR under Wine.
constexpr uint32_t kErrorNotifyEnumDir = 1022;
enum class CompletionKind { Batch, Overflow, Failed };
CompletionKind ClassifyCompletion(bool succeeded, uint32_t error, uint32_t bytes);

// When the watcher's change requests were issued. What an overflowing
// request lost happened after the request before it completed, and that
// completion came after its issue; the moment the watcher woke for it can be
// much later (it was busy with a slow batch: an incident write, a log-lock
// wait). So the window of a completed request, overflow or batch, starts at
// the issue of the request before it. Read it before the next request is
// issued.
struct RequestTimes {
    uint64_t outstanding = 0;  // the last request issued
    uint64_t before = 0;       // the one issued before it
};
// Both set to the watcher's start.
RequestTimes StartRequestTimes(uint64_t start);
void NoteRequestIssued(RequestTimes& times, uint64_t now);
// The window start of the outstanding request once it has completed.
uint64_t CompletedWindowStart(const RequestTimes& times);

// The names a watcher has handled (live or recovered) and when, as 64-bit
// hashes of their ASCII-folded text. A reconciliation judged by a window
// starting at W looks only at names handled from W less two margins on, and
// every window to come starts at the last completion or later, so older
// names are forgotten (ForgetReportedBefore); after a storm only its last few
// seconds stay. At most kReportedNamesLimit entries besides: beyond that the
// oldest go, and a forgotten name can at worst be reported once more.
constexpr size_t kReportedNamesLimit = 50000;
struct ReportedNames {
    struct Entry {
        uint64_t key = 0;
        uint64_t time = 0;
    };
    std::deque<Entry> order;                        // in the order handled
    std::unordered_map<uint64_t, uint64_t> latest;  // key -> last time handled
};
uint64_t NameKey(const std::wstring& relativeName);
void NoteReportedName(ReportedNames& names, const std::wstring& relativeName, uint64_t now);
// True when the name was handled at `since` or later.
bool ReportedSince(const ReportedNames& names, const std::wstring& relativeName, uint64_t since);
void ForgetReportedBefore(ReportedNames& names, uint64_t horizon);
size_t ReportedNameCount(const ReportedNames& names);

// One entry of a listed directory; name relative to the watched folder.
struct ListedEntry {
    std::wstring name;
    bool directory = false;
    bool reparsePoint = false;
    uint64_t creation = 0, lastWrite = 0, change = 0;
};

// The latest of the entry's three times.
uint64_t LatestChange(const ListedEntry& entry);

// Files only (a folder's times move with its content, and the live path does
// not report folders for what happens inside them). Recovered when the entry
// changed at windowStart - margin or later and its name was not handled
// since its change, less the margin; "added" when it was also created in the
// window, otherwise "modified".
//
// An entry changed at liveFrom or later is left alone: its live record is in
// the outstanding request (or, when that overflows, the next pass finds it),
// and recovering it now would report it twice.
enum class Recovery { None, Added, Modified };
constexpr uint64_t kNothingLive = UINT64_MAX;
Recovery JudgeListedEntry(const ListedEntry& entry, uint64_t windowStart, uint64_t margin,
                          const ReportedNames& reported, uint64_t liveFrom = kNothingLive);

// From when changes are the outstanding request's: the last completion the
// watcher woke for (everything after it is queued for the next request).
// A local volume stamps a change when it happens, never later; a coarse or
// remote one can stamp it up to the margin later, so there the margin is
// added.
uint64_t LiveFrom(uint64_t lastCompletion, uint64_t margin);

// The walk of one reconciliation: the folders still to list, each judged by
// the window it was queued with. At most one pass runs per watcher; an
// overflow during a pass asks for one more pass over the whole tree when it
// ends (its window from the earliest such overflow). A pass stops after
// `limit` entries (a cut).
struct RescanItem {
    std::wstring dir;  // relative to the watched folder; empty for the folder itself
    uint64_t windowStart = 0;
    // Listed after an overflow: the tree is watched, so what changed after the
    // last completion comes live (LiveFrom). Not so in a new folder, which under
    // Wine may not be watched at all.
    bool liveCovered = false;
    // Only this folder's entries, and the subfolders that changed in the window.
    bool shallow = false;
};
struct RescanPlan {
    bool running = false;
    bool wholeTree = false;       // the running pass started at the watched folder
    std::deque<RescanItem> dirs;  // still to list
    bool followUp = false;        // an overflow during the pass
    uint64_t followUpStart = 0;
    size_t entries = 0;           // listed in this pass
    size_t recovered = 0;         // reported in this pass
    uint64_t earliestWindow = 0;  // of everything queued in this pass
    RescanItem listing;           // the folder being listed
};

struct PendingAdded;

// The oldest handled time any reconciliation, running or to come, can still
// ask about: from the earliest window in use (the next completion's, an
// older window of the plan, or that of a new folder still waiting to be
// listed), less two margins.
uint64_t ReportedNamesHorizon(const RescanPlan& plan, const PendingAdded& pending, uint64_t nextWindow,
                              uint64_t margin);

// After an overflow: starts a whole-tree pass, or asks the running one for a follow-up.
void PlanWholeTree(RescanPlan& plan, uint64_t windowStart);
// The watcher's call after an overflow. Back-to-back overflows make one
// pass: one that comes while a whole-tree pass waits to start, or while its
// follow-up is already asked for, merges into it. True when this overflow
// starts a pass or asks for the follow-up: only then is it logged and counted
// as a batch, so a pass counts at most one burst batch.
bool PlanOverflow(RescanPlan& plan, uint64_t windowStart);
// How long the watcher waits before it issues the next request, by the
// overflows in a row so far: none after the first, a pause after the next
// ones, so a volume that overflows every request does not keep it busy.
constexpr uint64_t kOverflowPauseMs = 250;
uint64_t ReissuePauseMs(uint32_t overflowsInARow);
// A new subfolder to list (with everything below it).
void PlanSubtree(RescanPlan& plan, const std::wstring& dir, uint64_t windowStart);
// Too many "added" names to look at one by one: the folder holding one of
// them is listed, without descending (once per folder while queued).
void PlanParentFolder(RescanPlan& plan, const std::wstring& name, uint64_t windowStart);
// The folder holding a relative name ("" for the watched folder itself).
std::wstring ParentOf(const std::wstring& relativeName);
// A folder found while listing `parent`, with the parent's window and kind.
// A folder that itself changed in the window (entries made, renamed or
// removed in it) is listed before the others, so a cut pass has covered the
// likeliest places first. Below a shallow folder only those that changed in
// the window are listed (they may be new).
void PlanChildFolder(RescanPlan& plan, const std::wstring& dir, uint64_t changed, const RescanItem& parent,
                     uint64_t margin);
// Counts listed entries; true when the pass has reached the limit.
bool CountListed(RescanPlan& plan, size_t count, size_t limit);
// Ends the pass (its folders done, or cut). True when a follow-up pass starts
// at once; otherwise the plan is idle.
bool EndPass(RescanPlan& plan);

// "added" records that may name a new folder. Under Wine the files made in a
// new subfolder before the system watches it are never reported, so each
// such name is looked at shortly after its record and, when it is a folder,
// listed. A later "modified" record of the name settles it as a file without
// looking; a record below it settles it as a folder. Bounded: when full, the
// newest name is not kept and the caller lists its parent folder instead.
constexpr size_t kPendingAddedLimit = 256;
constexpr uint64_t kPendingAddedDelayMs = 300;
struct PendingAdded {
    struct Name {
        std::wstring name;
        uint64_t key = 0;
        uint64_t dueMs = 0;        // monotonic milliseconds
        uint64_t windowStart = 0;  // file time
        bool knownFolder = false;  // a record below it was seen
    };
    std::list<Name> names;  // in due order
    std::unordered_map<uint64_t, std::list<Name>::iterator> byKey;
};
// False when the list is full (the name is not kept).
bool NoteAddedName(PendingAdded& pending, const std::wstring& name, uint64_t nowMs, uint64_t windowStart);
// Every later record passes here (see above).
void SettleByRecord(PendingAdded& pending, const std::wstring& name, uint32_t action);
// Takes the next name whose time has come; false when none is due.
bool TakeDueName(PendingAdded& pending, uint64_t nowMs, PendingAdded::Name& out);
// Milliseconds until the next name is due (0 when one is due), or -1 when none waits.
int64_t MsUntilNextDue(const PendingAdded& pending, uint64_t nowMs);
