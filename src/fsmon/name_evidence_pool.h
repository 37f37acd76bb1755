// Name evidence that one watched tree alone cannot judge: weaker note names
// seen in folders of any watched tree, and the same new extension given to
// user files anywhere (a mass rename). Pure decisions over a plain pool; the
// agent keeps one pool for all its watchers (gSharedNameEvidence) under a lock
// of its own, and no code path holds that lock while taking another: the
// callers take it around one pool call and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// How the mass-rename rule counts.
constexpr int64_t kMassRenameSeconds = 60;    // the files of one run fall within this window
constexpr size_t kMassRenameFiles = 3;        // distinct user files with one new extension
constexpr int64_t kRestoreSeconds = 10;       // an original name back this soon: a save, not a rename
constexpr size_t kMassRenameSlots = 8;        // files remembered per extension
constexpr size_t kMassRenameExtensions = 64;  // extensions remembered
constexpr size_t kPoolNoteNamesLimit = 64;    // note-like names remembered
constexpr size_t kPoolNoteFolderSlots = 4;    // folders remembered per note-like name
constexpr int32_t kMassRenameDefaultSeverity = 90;

struct NameEvidencePool {
    struct Seen {
        uint64_t key = 0;
        int64_t time = 0;
    };
    struct NoteName {
        uint64_t name = 0;
        Seen folders[kPoolNoteFolderSlots];
    };
    // One new extension and the user files that recently received it.
    struct RenameRun {
        uint64_t extension = 0;
        int64_t last = 0;
        int64_t reportedAt = INT64_MIN;  // when this run made its one incident
        Seen files[kMassRenameSlots];    // key: the original's tree-qualified name
    };
    std::deque<NoteName> notes;
    std::deque<RenameRun> renames;
};

// The agent's one pool, shared by every watcher and extra folder.
struct SharedNameEvidence {
    std::mutex lock;
    NameEvidencePool pool;
};
extern SharedNameEvidence gSharedNameEvidence;

// Notes a note-like name (hash of its file name) in a folder (hash of the
// tree-qualified folder); returns in how many distinct folders it was seen
// within `windowSeconds`.
size_t NoteNameSighting(NameEvidencePool& pool, uint64_t nameKey, uint64_t folderKey, int64_t now,
                        int64_t windowSeconds);

enum class MassRename {
    kNone,      // fewer than kMassRenameFiles user files so far
    kReport,    // this file completes a run: one incident
    kReported,  // the run already made its incident: no incident per file
};

// A user file (original's key) given `extensionKey` by a rename, or replaced
// by a file with that extension.
MassRename NoteRenamedUserFile(NameEvidencePool& pool, uint64_t extensionKey, uint64_t originalKey,
                               int64_t now);

// A name that appears again (added, or the new name of a rename): if it was
// renamed away within kRestoreSeconds, that was a save, and it leaves the count.
void NoteNameBack(NameEvidencePool& pool, uint64_t nameKey, int64_t now);

// The configured massRenameIncidentSeverity: absent, 0 or below gives 90.
int32_t MassRenameSeverity(int32_t configured);
