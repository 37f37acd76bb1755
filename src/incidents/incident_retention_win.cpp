// The retention pass: list Incidents, read each candidate's incident.json,
// let the pure rules choose, remove the chosen folders whole. Links and
// junctions are never followed: a folder that is one is not a candidate, and
// one found inside a removed folder is removed as a link, not entered.
#include "incidents/incident_retention_win.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "core/clock.h"
#include "core/config.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_retention.h"
#include "incidents/incident_scanner.h"

namespace {

bool ReadSmallFile(const std::wstring& path, std::string& content) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMaxIncidentJsonBytes)
        return false;
    content.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    return ReadFile(file.get(), &content[0], static_cast<DWORD>(content.size()), &got, nullptr) &&
           got == content.size();
}

std::vector<RetentionCandidate> ListCandidates(const std::wstring& dir) {
    std::vector<RetentionCandidate> out;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW(JoinPath(dir, L"*").c_str(), &entry));
    if (!find.valid()) return out;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        RetentionCandidate c;
        c.name = entry.cFileName;
        if (!IsStoreIncidentFolderName(c.name)) continue;
        c.plainFolder = !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        std::string content;
        if (c.plainFolder && ReadSmallFile(JoinPath(JoinPath(dir, c.name), L"incident.json"), content)) {
            c.readable = true;
            c.timeOk = ParseIncidentTime(ReadJsonStringValue(content, "ts"), c.time);
        }
        out.push_back(std::move(c));
    } while (FindNextFileW(find.get(), &entry));
    return out;
}

// Removes the folder and everything in it; a link inside is removed itself.
bool RemoveFolderWhole(const std::wstring& dir) {
    WIN32_FIND_DATAW entry;
    {
        UniqueFindHandle find(FindFirstFileW(JoinPath(dir, L"*").c_str(), &entry));
        if (find.valid()) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = JoinPath(dir, name);
                const DWORD a = entry.dwFileAttributes;
                if (a & FILE_ATTRIBUTE_READONLY)
                    SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
                if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT))
                    RemoveFolderWhole(path);
                else if (a & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryW(path.c_str());
                else
                    DeleteFileW(path.c_str());
            } while (FindNextFileW(find.get(), &entry));
        }
    }
    return RemoveDirectoryW(dir.c_str()) != FALSE;
}

struct Pruner {
    UniqueHandle thread;
    UniqueHandle stop;
};
Pruner& ThePruner() {
    static Pruner* p = new Pruner;  // main thread only
    return *p;
}
std::atomic<bool> gPruneStopping{false};

DWORD WINAPI PrunerMain(void* stopEvent) {
    DWORD wait = kFirstPruneDelayMs;
    while (WaitForSingleObject(static_cast<HANDLE>(stopEvent), wait) == WAIT_TIMEOUT) {
        try {
            PruneIncidentsOnce(gDataPaths.incidentsDir, gLiveConfig.incidentRetentionDays.load(),
                               NowSeconds());
        } catch (...) {
            // Out of memory: the next pass tries again.
        }
        wait = kPrunePeriodMs;
    }
    return 0;
}

}  // namespace

size_t PruneIncidentsOnce(const std::wstring& incidentsDir, int32_t retentionDays, int64_t now) {
    if (retentionDays <= 0 || incidentsDir.empty()) return 0;
    std::vector<std::wstring> removed;  // full paths, as the index takes them
    for (const std::wstring& name :
         ChooseIncidentsToPrune(ListCandidates(incidentsDir), now, retentionDays)) {
        if (gPruneStopping.load()) break;
        std::wstring folder = JoinPath(incidentsDir, name);
        if (RemoveFolderWhole(folder)) removed.push_back(std::move(folder));
    }
    if (!removed.empty()) NoteIncidentFoldersRemoved(removed);
    LogEvent("incidents_pruned", IncidentsPrunedMembers(removed.size()));
    return removed.size();
}

void StartIncidentPruning() {
    Pruner& p = ThePruner();
    if (p.thread) return;
    gPruneStopping = false;
    p.stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!p.stop) return;
    p.thread.reset(CreateThread(nullptr, 0, PrunerMain, p.stop.get(), 0, nullptr));
}

void StopIncidentPruning() {
    Pruner& p = ThePruner();
    if (!p.thread) return;
    gPruneStopping = true;
    SetEvent(p.stop.get());
    // A pass removes one folder at a time; a thread still stuck is left to the process exit.
    if (WaitForSingleObject(p.thread.get(), 5000) == WAIT_OBJECT_0) {
        p.thread.reset();
        p.stop.reset();
    } else {
        p.thread.release();
        p.stop.release();
    }
}
