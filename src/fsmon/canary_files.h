// Planting canary files in watched folders, and the canary-touch test the
// folder watcher applies to each change record. Windows only.
#pragma once

#include <string>

#include "core/config.h"
#include "fsmon/self_paths.h"

// Creates a new file holding the text as UTF-8. Never overwrites: fails when
// anything of that name exists, or the folder is missing or not writable.
// True when the file was created and all of the text was written.
bool WriteNewTextFile(const std::wstring& path, const std::wstring& text);

// Plants every current canary name that is missing in the folder and logs
// "canary_created" for each one planted. Existing files are left alone.
// Fits gPlantCanaries.
void PlantCanaries(const std::wstring& folder, const Config& settings);

// The key of a file directly in a folder whose resolved key is given.
std::wstring OwnCanaryKey(const std::wstring& folderKey, const std::wstring& relativeName);

// Size and last-write time of a file as it is now.
FileStamp CurrentFileStamp(const std::wstring& path);

// True when a record of a canary is the agent's own planting (fsmon/self_paths.h).
bool IsOwnFreshCanary(const std::wstring& folderKey, const std::wstring& folder, const std::wstring& relativeName,
                      uint32_t action);

// True when a change to `relativeName` counts as a canary touch under the
// batch's settings, the core's warm-up deadline and the current time.
bool IsCanaryTouch(const ConfigSnapshot& settings, const std::wstring& relativeName);
