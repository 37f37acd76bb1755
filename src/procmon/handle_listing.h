// Which files a process holds open, and with what access: the direct
// evidence the pauser needs (procmon/pause_rules.h).
//
// One system-wide listing of handles (NtQuerySystemInformation, extended
// handle information) is filtered to the asked processes; each handle is
// duplicated into this process (PROCESS_DUP_HANDLE) and named, never by its
// object address, which recent Windows versions hide from callers without
// the debug privilege. A handle's type is checked (a file on a disk) before
// its name is asked for: a name query on some handle types, a synchronous
// pipe above all, can block for ever. The checks and names run on a worker
// thread of their own that the caller waits for at most `deadlineMs`; a
// worker still stuck is abandoned (it owns everything it uses), and while
// kMaxStuckNameWorkers are still running no new listing starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kMaxStuckNameWorkers = 2;
constexpr uint32_t kHandleNameWaitMs = 1000;

struct ListedFileHandle {
    int32_t pid = 0;
    std::wstring path;    // NormalizeHandlePath applied
    uint32_t access = 0;  // the granted access
};

struct FileHandleListing {
    bool listed = false;    // false: the platform refused, or too many workers are stuck
    bool complete = false;  // every handle was checked before the deadline
    int64_t listedMs = 0;   // when the system listing was taken (ms since 1970 UTC)
    std::vector<ListedFileHandle> files;
};

FileHandleListing ListFileHandles(const std::vector<int32_t>& pids, uint32_t deadlineMs = kHandleNameWaitMs);

// Workers started and not yet finished (a test checks the cap).
size_t RunningNameWorkers();
