// The install verbs' safety checks, as pure decisions: the elevated token
// they refuse, what a purge may do with the data folder's path, the system's
// start-up switch for our sign-in entry, the names of the mutexes each agent
// holds, the absolute folder the verbs need and the one-shot clean-up of a
// removal helper's folder. The Windows side (tray/installer.cpp,
// tray/app_shell.cpp) reads the platform and acts on these answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What GetTokenInformation(TokenElevationType) reports, by its numbers.
enum class ElevationType : uint32_t {
    Unknown = 0,  // the query failed
    Default = 1,  // no split token: UAC off, or a standard user
    Full = 2,     // the elevated half of an administrator's split token
    Limited = 3,  // the unelevated half
};

// An elevated prompt's agent could not be asked to exit by a later normal
// verb, and another administrator's elevation installs into that account: the
// verbs refuse a full split token unless the user says --allow-elevated.
bool RefuseElevated(ElevationType token, bool allowElevated);

// What a purge does with the data folder's own path, from its attributes
// (0xFFFFFFFF: not there). A link there (junction or symbolic link) is
// removed as a link and never followed; a plain file is not ours to delete.
enum class PurgeAction {
    Nothing,           // not there
    RemoveTree,        // a real folder: remove it and everything below it
    RemoveFolderLink,  // a junction or directory symbolic link: remove the link only
    RemoveFileLink,    // a file symbolic link: remove the link only
    Refuse,            // a plain file where the folder should be
};
PurgeAction PurgeActionFor(uint32_t attributes);

// The value named like ours under Explorer\StartupApproved\Run: binary data
// whose first byte's low bit says the user turned the entry off (observed:
// 02 .. on, 03 .. + the time it was turned off). Missing, empty or of another
// type: the system has no say, the entry runs.
enum class StartupSwitch { NotSet, On, Off };
StartupSwitch DecodeStartupApproved(bool present, uint32_t type, const uint8_t* data, size_t size);

// Named mutexes every agent holds while it runs, so the verbs see it before
// its tray window exists: one per image path, one per data folder. Named like
// the log's mutex: an FNV-1a hash of the case-folded path.
std::wstring AgentImageMutexName(const std::wstring& imagePath);
std::wstring AgentDataMutexName(const std::wstring& dataDir);

// "C:\..." or "\\server\share\...": the only local application data folder
// the verbs install into or purge below. A relative one would depend on the
// current folder.
bool IsAbsoluteFolderPath(const std::wstring& path);

// The per-user RunOnce value that removes a removal helper's folder at the
// next sign-in, should no installed agent start before then: its name (the
// folder's own name) and its command.
std::wstring HelperCleanupValueName(const std::wstring& helperFolder);
std::wstring HelperCleanupCommand(const std::wstring& cmdExe, const std::wstring& helperFolder);
