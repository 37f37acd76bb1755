// Telling the agent's own file activity apart from everyone else's: path keys
// that compare resolved paths rather than spellings, the filter that keeps a
// watcher from reporting changes inside the agent's data folder, and the
// record of canaries the agent has just planted. Pure, apart from
// ResolvePathKey (self_paths_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The comparable form of a resolved path: without the \\?\ (or \\?\UNC\)
// prefix, "/" as "\", no trailing separator except on a drive root, ASCII
// letters folded. Two spellings of one resolved path give one key.
std::wstring CanonicalPathKey(const std::wstring& path);

// True when childKey names parentKey itself or something below it. Both are
// CanonicalPathKey results.
bool PathKeyIsInside(const std::wstring& parentKey, const std::wstring& childKey);

// The key of a path as the system resolves it (final path of an open handle:
// 8.3 names, junctions, links and letter case all settled); the key of the
// text itself when the path cannot be opened.
std::wstring ResolvePathKey(const std::wstring& path);

// Which records of one watched tree lie inside the data folder. The system
// may name a folder of a record by its short (8.3) name and in any letter
// case, so each folder on the way is matched by its long or its short name,
// case-insensitively as the file system compares names.
using SameNameFn = bool (*)(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength);
struct SelfFilter {
    bool everything = false;       // the watched folder lies inside the data folder
    std::wstring relativePrefix;   // the data folder relative to the watched one, folded; empty if outside
    struct Step {
        std::wstring longName, shortName;  // shortName empty when it has none or it is the same
    };
    std::vector<Step> steps;        // the folders of relativePrefix, one by one
    SameNameFn sameName = nullptr;  // null: ASCII letters folded
};

SelfFilter MakeSelfFilter(const std::wstring& watchedKey, const std::wstring& dataKey);
// The filter for folders on disk: with each step's short name, and names
// compared as the file system does (self_paths_win.cpp).
SelfFilter MakeSelfFilterOnDisk(const std::wstring& watchedKey, const std::wstring& dataKey);

// True when a record's relative name lies inside the data folder.
bool IsOwnRecord(const SelfFilter& filter, const std::wstring& relativeName);

// Canaries the agent plants cause an "added" and a "modified" record in every
// watcher of that folder. Planting notes the file's key before creating it,
// and its size and last-write time once written. For a few seconds an
// "added" or "modified" record of that file is the agent's own while the
// file is still exactly as the agent left it (or still being written); any
// other change, or any change after the window, is a real touch.
constexpr int64_t kOwnCanaryWindowSeconds = 5;

struct FileStamp {
    bool known = false;  // false: not written yet, or the file could not be read
    uint64_t size = 0;
    uint64_t lastWrite = 0;
};

void NoteOwnCanary(const std::wstring& fileKey, int64_t now);
void NoteOwnCanaryWritten(const std::wstring& fileKey, const FileStamp& stamp);
// `current` is the file as it is now.
bool IsOwnCanaryChange(const std::wstring& fileKey, uint32_t action, int64_t now, const FileStamp& current);
// True when a canary of that key was planted within the window (a cheap
// test before the file is looked at).
bool IsFreshOwnCanary(const std::wstring& fileKey, int64_t now);
// Forgets every noted canary (tests).
void ForgetOwnCanaries();
