// The extended file-name rules (setting extendedDetection): renames that
// append or replace an extension, new files written beside a just-deleted
// original, ransom-note names dropped into several folders, and an extension
// test that knows everyday file types. Pure: time comes in as a value, and
// the little memory the rules need lives in a per-watcher state the caller
// owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

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
constexpr size_t kNoteNamesLimit = 64;       // remembered note-like names
constexpr size_t kNoteFolderSlots = 4;       // folders remembered per note-like name

// The memory of one watcher. Every container is bounded; names are kept as
// 64-bit hashes of their lower-cased text, never as strings.
struct ExtendedNameState {
    struct Seen {
        uint64_t key = 0;
        int64_t time = 0;
    };
    struct NoteName {
        uint64_t name = 0;
        Seen folders[kNoteFolderSlots];
    };
    bool hasPendingOld = false;
    std::wstring pendingOld;  // the last renamed_old record's name
    int64_t pendingTime = 0;
    std::deque<Seen> deleted;            // removed names
    std::deque<Seen> writtenBases;       // X for a written "X.<appended part>" whose part is not everyday
    std::deque<Seen> userFileDeletedIn;  // folders where a document, image ... was deleted
    std::deque<Seen> unknownWrittenIn;   // folders where a file of an unknown type was written
    std::deque<NoteName> notes;          // note-like names and the folders they appeared in
};

struct ExtendedNameVerdict {
    bool note = false;                // a note rule fired
    const char* extReason = nullptr;  // the extension or rename rule that fired, if any
    const char* reason = nullptr;     // the one reason of the record's event; null: nothing fired
};

// The watcher's one call per change record, in record order, with the relative
// name as reported, the action value (1..5), the current time in seconds and
// the two switches (each already combined with enableDirFileHeuristics). The
// state is updated whatever the switches say, so turning one on takes effect
// at the next record. At most one reason per record: a note rule together with
// an extension or rename rule gives "ransom_note_and_encrypted_ext".
ExtendedNameVerdict EvaluateRecordExtended(ExtendedNameState& state, const std::wstring& name, int action,
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
// vocabulary (decrypt, ransom, your files, restore files ...), any file type.
// Weak: read me, how to, restore, recover, unlock, instructions, attention,
// in a note file type (.txt .html .htm .hta .rtf .url). Separators and ASCII
// case are ignored.
enum class NoteStrength { kNone, kWeak, kStrong };
NoteStrength NoteNameStrength(const std::wstring& relativeName);

// How many distinct folders a note-like name must appear in (within
// kNoteSpreadSeconds) before it counts.
constexpr size_t kStrongNoteFolders = 2;
constexpr size_t kWeakNoteFolders = 3;
