// The folder watcher.
//
// One change request is outstanding at a time: after a wait times out, the
// watcher waits again on the same request rather than issuing a new one.
// When it stops with a request still outstanding, it cancels the request and
// waits for the cancellation to complete before the buffer and OVERLAPPED go
// away, so the system never writes into freed memory.
#include "fsmon/folder_watcher.h"

#include <memory>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/text.h"
#include "fsmon/burst_detector.h"
#include "fsmon/canary_files.h"
#include "fsmon/file_name_heuristics.h"
#include "incidents/incident_store.h"

ReadDirectoryChangesFn gReadDirectoryChangesSeam = nullptr;

namespace {

constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kNotifyFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;  // 0x51
constexpr DWORD kWaitMs = 3000;

bool IssueChangeRequest(HANDLE dir, void* buffer, OVERLAPPED* ov) {
    auto read = gReadDirectoryChangesSeam ? gReadDirectoryChangesSeam : ReadDirectoryChangesW;
    DWORD ignored = 0;
    if (read(dir, buffer, kBufferBytes, TRUE, kNotifyFilter, &ignored, ov, nullptr)) return true;
    return GetLastError() == ERROR_IO_PENDING;
}

std::string FieldMembers(const std::string& folderJson, const std::string& fileJson, const char* key,
                         const char* value) {
    return "\"folder\":\"" + folderJson + "\",\"file\":\"" + fileJson + "\",\"" + key + "\":\"" + value + "\"";
}

}  // namespace

void ProcessChangeBatch(const std::wstring& folder, const std::vector<NotifyRecord>& records) {
    if (records.empty()) return;
    ConfigSnapshot settings;
    SnapshotConfig(settings);
    const std::string folderJson = JsonEscape(WideToUtf8(folder));

    for (const NotifyRecord& record : records) {
        const std::string fileJson = JsonEscape(WideToUtf8(record.name));
        const char* action = ActionText(record.action);

        if (IsCanaryTouch(settings, record.name)) {
            LogEvent("canary_triggered", FieldMembers(folderJson, fileJson, "action", action));
            const int32_t severity = settings.canaryIncidentSeverity <= 0 ? 90 : settings.canaryIncidentSeverity;
            CreateIncidentWithFile(kReasonCanary, severity, folder, record.name);
        }

        LogEvent("dir_change", FieldMembers(folderJson, fileJson, "action", action));

        const bool heuristics = gLiveConfig.enableDirFileHeuristics.load();
        const bool note =
            heuristics && gLiveConfig.ransomNoteHeuristicsEnabled.load() && IsRansomNoteLikeName(record.name);
        const bool ext =
            heuristics && gLiveConfig.encryptedExtHeuristicsEnabled.load() && HasEncryptedLikeExtension(record.name);
        if (note || ext) {
            const char* reason = note && ext ? "ransom_note_and_encrypted_ext"
                                 : note      ? "ransom_note_like_name"
                                             : "encrypted_like_extension";
            LogEvent("dir_file_heuristic", FieldMembers(folderJson, fileJson, "reason", reason));
            const int32_t configured = gLiveConfig.dirFileHeuristicIncidentSeverity.load();
            CreateIncidentWithFile(kReasonDirFile, configured <= 0 ? 65 : configured, folder, record.name);
        }
    }
    NoteChangeBatch(folder);
}

uint32_t FolderWatcher(void* arg) {
    if (!arg) return 1;
    std::wstring folder;
    UniqueHandle stopEvent;
    {
        std::unique_ptr<WatcherStart> start(static_cast<WatcherStart*>(arg));
        folder = start->folder;
        stopEvent.reset(static_cast<HANDLE>(start->stopEvent));
    }
    if (folder.empty()) return 0;

    UniqueHandle dir(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!dir) {
        LogMessage("dir_mon_error", "Dir monitor: failed to open folder: " + WideToUtf8(folder));
        return 1;
    }
    UniqueHandle completion(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!completion) return 1;

    // Heap-held so their lifetime is explicit; DWORD elements give the
    // 4-byte alignment the records need.
    std::unique_ptr<DWORD[]> buffer(new DWORD[kBufferBytes / sizeof(DWORD)]);
    std::unique_ptr<OVERLAPPED> ov(new OVERLAPPED{});
    ov->hEvent = completion.get();
    LogMessage("dir_mon", "Dir monitor started: " + WideToUtf8(folder));

    HANDLE waits[2] = {completion.get(), stopEvent.get()};
    const DWORD waitCount = stopEvent ? 2 : 1;
    bool pending = false;
    while (!StopRequested()) {
        if (!pending) {
            ResetEvent(completion.get());
            if (!IssueChangeRequest(dir.get(), buffer.get(), ov.get())) {
                LogMessage("dir_mon_error", "ReadDirectoryChangesW failed");
                break;
            }
            pending = true;
        }
        const DWORD r = WaitForMultipleObjects(waitCount, waits, FALSE, kWaitMs);
        if (r == WAIT_TIMEOUT) continue;  // the same request stays outstanding
        if (r != WAIT_OBJECT_0) break;    // stop event, or a failed wait
        pending = false;
        DWORD bytes = 0;
        if (GetOverlappedResult(dir.get(), ov.get(), &bytes, FALSE) && bytes > 0) {
            ProcessChangeBatch(folder,
                               ParseNotifyBuffer(reinterpret_cast<const uint8_t*>(buffer.get()),
                                                 bytes < kBufferBytes ? bytes : kBufferBytes));
        }
        // Zero bytes (the changes overflowed the buffer) or a failed request:
        // the batch is dropped and a new request is issued.
    }

    if (pending) {
        CancelIo(dir.get());
        DWORD ignored = 0;
        GetOverlappedResult(dir.get(), ov.get(), &ignored, TRUE);
    }
    LogMessage("dir_mon", "Dir monitor stopping");
    return 0;
}
