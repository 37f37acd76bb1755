// Canary file names and the rule that makes a change record a canary touch.
// Pure: the list is rebuilt on the configuration-loading thread while watcher
// threads read it, so each rebuild builds a new list aside and publishes it
// whole; a reader holds on to the list it fetched, never a half-built one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"

using CanaryNameList = std::vector<std::wstring>;

// Used when the setting names none, in this order (folded when stored).
extern const wchar_t* const kDefaultCanaryNames[2];

// The four lines of every canary file, LF-terminated: 150 ASCII characters.
extern const wchar_t kCanaryFileText[];

// The non-empty pieces of `text` between bars, in order, nothing trimmed.
std::vector<std::wstring> SplitOnBar(const std::wstring& text);

// The folded canary names a canaryFileNames setting stands for: its pieces,
// or the defaults when it has none.
CanaryNameList CanaryNamesFromSetting(const std::wstring& canaryFileNames);

// The current list (empty until first built). The result stays valid and
// unchanged for as long as the caller keeps it.
std::shared_ptr<const CanaryNameList> CanaryNames();

// Replaces the current list from the settings. Fits gRebuildCanaryNames.
void RebuildCanaryNames(const Config& settings);

// True when the relative name, folded, equals one of the current names.
bool IsCanaryName(const std::wstring& relativeName);

// True when the name can be planted as a file directly in a folder: never a
// path (separators, drive or stream colons), a wildcard, a dot-only name, a
// name the system strips (ending in a dot or a space) or a device name (CON,
// NUL, COM1.txt, ...), which would write somewhere else or nowhere. Such names
// are still matched by IsCanaryName.
bool IsPlantableCanaryName(const std::wstring& name);

// The canary-touch rule with its inputs passed in: canaries enabled, the
// warm-up over (deadline 0 = none set, or now at or past it), a canary name.
bool IsCanaryTouchAt(bool canariesEnabled, int64_t warmupDeadline, int64_t now, const std::wstring& relativeName);
