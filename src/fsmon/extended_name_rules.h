// The extended file-name rules (setting extendedDetection): renames that
// append or replace an extension, new files written beside a just-deleted
// original, the same new extension on several user files (a mass rename),
// ransom-note names, and an extension test that knows everyday file types.
// Pure: time comes in as a value, and the little memory the rules need lives
// in a per-watcher state the caller owns, plus a pool shared by every watched
// tree (fsmon/name_evidence_pool.h) for the evidence one tree cannot judge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "fsmon/name_evidence_pool.h"

// Change-record actions, as the watcher receives them.
constexpr int kActionAdded = 1;
constexpr int kActionRemoved = 2;
constexpr int kActionModified = 3;
constexpr int kActionRenamedOld = 4;
constexpr int kActionRenamedNew = 5;

// Reasons, as written in the "reason" member of "dir_file_heuristic".
inline constexpr char kReasonAppendedExtension[] = "appended_extension";
inline constexpr char kReasonReplacedExtension[] = "replaced_extension";
inline constexpr char kReasonRansomNoteLike[] = "ransom_note_like_name";
inline constexpr char kReasonEncryptedLikeExtension[] = "encrypted_like_extension";
inline constexpr char kReasonNoteAndExtension[] = "ransom_note_and_encrypted_ext";

// How long the rules remember what they saw.
constexpr int64_t kRenamePairSeconds = 5;    // a renamed_old waiting for its renamed_new
constexpr int64_t kWriteDeleteSeconds = 10;  // a deleted original and the new file beside it
constexpr int64_t kNoteSpreadSeconds = 120;  // one note name seen in several folders
constexpr size_t kRecentNamesLimit = 256;    // remembered deletions, and written files
constexpr int64_t kUnpackSeconds = 10;       // a new folder filling up: an unpacked tree
constexpr size_t kUnpackFiles = 5;           // new files under a new folder that make it an unpack

// The memory of one watcher. Every container is bounded; names are kept as
// 64-bit hashes of their lower-cased text, never as strings.
struct ExtendedNameState {
    struct Seen {
        uint64_t key = 0;
        int64_t time = 0;
        uint64_t extra = 0;  // the new extension's hash; for freshFolders the count of new files
    };
    bool hasPendingOld = false;
    std::wstring pendingOld;  // the last renamed_old record's name
    int64_t pendingTime = 0;
    std::deque<Seen> deleted;            // removed names
    std::deque<Seen> writtenBases;       // X for a written "X.<appended part>" whose part is not everyday
    std::deque<Seen> userFileDeletedIn;  // folders where a document, image ... was deleted
    std::deque<Seen> unknownWrittenIn;   // folders where a file of an unknown type was written
    std::deque<Seen> recentAdds;         // names added within kUnpackSeconds
    std::deque<Seen> freshFolders;       // added folders receiving new files, and how many
    std::deque<Seen> userFilesBack;      // stems of user files added or renamed in ("Docs\\report")
    NameEvidencePool own;                // the pool, when no shared one is given (tests, measurements)
};

struct ExtendedNameVerdict {
    bool note = false;                // a note rule fired
    const char* extReason = nullptr;  // the extension or rename rule that fired, if any
    const char* reason = nullptr;     // the one reason of the record's event; null: nothing fired
    // The rename rules' finding was a user file given a new extension: its
    // place in a mass rename (only with the extension switch on).
    MassRename massRename = MassRename::kNone;
    // With an extension or rename reason: the user file's original name when
    // it may still come back (a save's temporary name); empty otherwise.
    std::wstring original;
};

// The watcher's one call per change record, in record order, with the relative
// name as reported, the action value (1..5), the current time in seconds and
// the two switches (each already combined with enableDirFileHeuristics). The
// state is updated whatever the switches say, so turning one on takes effect
// at the next record. At most one reason per record: a note rule together with
// an extension or rename rule gives "ransom_note_and_encrypted_ext".
ExtendedNameVerdict EvaluateRecordExtended(ExtendedNameState& state, const std::wstring& name, int action,
                                           int64_t nowSeconds, bool noteEnabled, bool extEnabled);

// The same, with the pooled evidence kept in `shared` (its lock taken around
// each use and nothing else) and the names qualified by the watched tree, so
// that every watcher and extra folder adds to one count. A null `shared`
// keeps the pool in the state.
ExtendedNameVerdict EvaluateRecordInTree(ExtendedNameState& state, SharedNameEvidence* shared,
                                         const std::wstring& tree, const std::wstring& name, int action,
                                         int64_t nowSeconds, bool noteEnabled, bool extEnabled);

// The pieces, for tests and the measurement program.

// Whether an extension (without the dot, any case) is a known everyday file type.
bool IsEverydayExtension(const std::wstring& extension);

// A rename of oldName to newName (relative names): kReasonAppendedExtension,
// kReasonReplacedExtension or null for an everyday or unrelated rename.
const char* ClassifyRename(const std::wstring& oldName, const std::wstring& newName);

// Whether appending `part` (the text after "<old name>.") is an everyday
// change: backups, versions, dates, compression, a repeated extension, and,
// when transientAllowed, temporary and partial-download extensions.
bool IsEverydayAppendedPart(const std::wstring& part, const std::wstring& oldName, bool transientAllowed);

// The name's own extension test: a known encryptor extension, an encryptor's
// id-and-mail marker, or random-looking characters, never an everyday type.
bool HasEncryptedLikeExtensionExtended(const std::wstring& relativeName);

// How much a name alone looks like a ransom note. Strong: the unambiguous
// vocabulary (decrypt, ransom, your files, restore files ...), in a type a
// victim is meant to open (text, hypertext, a picture for the wallpaper, a
// PDF) or no type at all; alone: a strong name made of note words with at
// most one other word (a family name or a victim id) that speaks of the
// encryption or of getting files back. Weak: read me, how to,
// restore, recover, unlock, instructions, attention, in a note file type
// (.txt .html .htm .hta .rtf .url). Separators and ASCII case are ignored.
enum class NoteStrength { kNone, kWeak, kStrong, kAlone };
NoteStrength NoteNameStrength(const std::wstring& relativeName);

// How many distinct folders a note-like name must appear in (within
// kNoteSpreadSeconds, in any watched tree) before it counts. Below a folder
// that is being unpacked (kUnpackFiles new files, the last within
// kUnpackSeconds) only a name that stands alone counts.
constexpr size_t kAloneNoteFolders = 1;
constexpr size_t kStrongNoteFolders = 2;
constexpr size_t kWeakNoteFolders = 3;
