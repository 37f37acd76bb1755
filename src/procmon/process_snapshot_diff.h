// The decisions of the polling process monitor: which entries of a process
// list are new since the previous list, and in which period the whole list is
// worth taking at all. Pure: the lists come in as plain values.
//
// A process is its pid and its creation time together: the system gives pids
// out again, and a reused pid with a later creation time is a new process.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ProcessListEntry {
    uint32_t pid = 0;
    int64_t createTime = 0;  // 100-ns units since 1601, as the list gives it
    std::wstring name;       // image file name, e.g. "vssadmin.exe"; may be empty
};

// What the previous list held.
struct ProcessSnapshotState {
    bool primed = false;                              // a list has been seen
    std::vector<std::pair<uint32_t, int64_t>> known;  // (pid, creation time), sorted
};

// The entries of `list` whose (pid, creation time) the previous list did not
// hold, each key once, ordered by creation time and then pid (the order they
// started in). The first list reports nothing: those processes ran before
// polling began. Afterwards `state` holds exactly the keys of `list`.
std::vector<ProcessListEntry> NewProcesses(const std::vector<ProcessListEntry>& list,
                                           ProcessSnapshotState& state);

// The (pid, creation time) keys the previous list held and `list` does not:
// the processes that ended since, in key order. Nothing before a first list.
// Call before NewProcesses, which moves `state` on to `list`.
std::vector<std::pair<uint32_t, int64_t>> EndedProcesses(const std::vector<ProcessListEntry>& list,
                                                         const ProcessSnapshotState& state);

// Whether a period takes the whole list. Each period first asks the list
// query only for the size a whole list would need (one cheap call), and the
// monitor holds a handle to each listed process it can open, which tells when
// it ended (those it cannot open are left out, see KeysToOpen). A
// start changes the size unless an end in the same period makes up for it,
// so the list is skipped only when the size is the one asked just before the
// last list and every process of that list is known to still run. It is
// taken when no list was taken yet, when the size is unknown (0) and, as a
// backstop, kWholeListEveryMs after the last one.
constexpr int64_t kWholeListEveryMs = 2000;

struct ListGate {
    bool listed = false;
    uint32_t sizeBeforeList = 0;  // the size asked for just before the last list
    int64_t listedAtMs = 0;       // monotonic milliseconds of the last list
};

// The watch on the processes of a list: each listed process is either held
// (its handle says when it ends) or known not to open. On Windows a
// non-administrator can never open the idle and system processes, protected
// processes or other accounts' processes; those are tried once per (pid,
// creation time) and then left out of the "every listed process still runs"
// test, so that they do not make every period take the whole list. Their end
// is seen by the size or by the backstop.
using ProcessKey = std::pair<uint32_t, int64_t>;

// The keys of a new list to try to open: those neither held already nor
// known not to open. `listed` and `held` are sorted and unique; `unopenable`
// (sorted) keeps only the keys still listed.
std::vector<ProcessKey> KeysToOpen(const std::vector<ProcessKey>& listed, const std::vector<ProcessKey>& held,
                                   std::vector<ProcessKey>& unopenable);

// everyListedProcessRuns: each process of the last list that could be opened
// is watched and none has ended, and none was gone before it could be opened.
bool ShouldTakeList(const ListGate& gate, uint32_t askedSize, bool everyListedProcessRuns, int64_t nowMs);
// Records a list taken after asking `askedSize`.
void NoteListTaken(ListGate& gate, uint32_t askedSize, int64_t nowMs);
