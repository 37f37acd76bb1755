#include "tray/uninstall_cleanup.h"

#include <windows.h>
// The shell headers need windows.h first.
#include <shlobj.h>

#include "core/core_lifecycle.h"
#include "core/event_log.h"
#include "core/handles.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "procmon/pause_worker.h"
#include "procmon/process_pauser.h"
#include "tray/pause_texts.h"
#include "tray/tray_seams.h"
#include "tray/uninstall_leftovers.h"

namespace {

// The creation time as local time, "YYYY-MM-DD HH:MM:SS"; empty when unknown.
std::wstring LocalTimeText(int64_t unixMs) {
    if (unixMs <= 0) return std::wstring();
    const uint64_t ticks = (static_cast<uint64_t>(unixMs) + 11644473600000ull) * 10000ull;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME u{}, local{};
    if (!FileTimeToSystemTime(&utc, &u) || !SystemTimeToTzSpecificLocalTime(nullptr, &u, &local))
        return std::wstring();
    wchar_t buf[32];
    FormatWide(buf, 32, L"%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
               local.wMinute, local.wSecond);
    return buf;
}

std::vector<std::wstring> Described(const std::vector<PausedProgram>& programs) {
    std::vector<std::wstring> out;
    for (const PausedProgram& p : programs) out.push_back(DescribePausedProgram(p));
    return out;
}

// Every file that may be a planted canary: each configured name in the
// three known folders (whether watched now or not) and the extra folders.
std::vector<std::wstring> CanaryCandidates() {
    std::string config;
    ReadWholeFile(gDataPaths.configFile, config);
    const CanarySearch search = CanarySearchFromConfig(config);
    std::vector<std::wstring> folders;
    std::wstring folder;
    if (ShellFolderPath(CSIDL_DESKTOPDIRECTORY, folder)) folders.push_back(folder);
    if (ShellFolderPath(CSIDL_PERSONAL, folder)) folders.push_back(folder);
    if (DownloadsFolder(folder)) folders.push_back(folder);
    for (const std::wstring& extra : search.extraFolders) folders.push_back(extra);

    std::vector<std::wstring> seen, paths;
    for (const std::wstring& f : folders) {
        const std::wstring key = AsciiLower(f);
        bool repeated = false;
        for (const std::wstring& s : seen) repeated = repeated || s == key;
        if (repeated || f.empty()) continue;
        seen.push_back(key);
        for (const std::wstring& name : search.names) {
            const std::wstring path = JoinPath(f, name);
            const DWORD a = GetFileAttributesW(path.c_str());
            if (a == INVALID_FILE_ATTRIBUTES ||
                (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
                continue;
            paths.push_back(path);
        }
    }
    return paths;
}

// Reads up to one byte more than a canary holds.
bool ReadSome(HANDLE file, std::string& bytes) {
    const size_t limit = CanaryFileBytes().size() + 1;
    bytes.assign(limit, '\0');
    size_t got = 0;
    while (got < limit) {
        DWORD n = 0;
        if (!ReadFile(file, &bytes[got], static_cast<DWORD>(limit - got), &n, nullptr)) return false;
        if (n == 0) break;
        got += n;
    }
    bytes.resize(got);
    return true;
}

enum class CanaryFate { Removed, Changed, Failed };

// Opened for reading and deleting with no one else allowed to write or
// delete meanwhile, so the bytes compared are the bytes deleted.
CanaryFate RemoveIfUnchanged(const std::wstring& path, bool remove, DWORD& error) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | (remove ? DELETE : 0), FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        error = GetLastError();
        return CanaryFate::Failed;
    }
    std::string bytes;
    if (!ReadSome(file.get(), bytes)) {
        error = GetLastError();
        return CanaryFate::Failed;
    }
    if (!IsUnchangedCanary(bytes)) return CanaryFate::Changed;
    if (!remove) return CanaryFate::Removed;
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
        error = GetLastError();
        return CanaryFate::Failed;
    }
    return CanaryFate::Removed;
}

// The creation time of a process that still runs; 0 once it has ended,
// even while handles to it keep its record (and its times) alive.
int64_t RunningCreationMs(int32_t pid) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    if (process && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return 0;
    return ProcessCreationMs(pid);
}

}  // namespace

std::vector<PausedProgram> ListedStillPaused() {
    std::string text;
    if (!ReadWholeFile(PausedListPath(), text)) return {};
    const std::vector<PausedProgram> listed = ParsePausedList(text);
    std::vector<int64_t> creation;
    for (const PausedProgram& p : listed) creation.push_back(RunningCreationMs(p.pid));
    return StillPausedPrograms(listed, creation);
}

StepOutcome AnswerPausedPrograms(bool quiet, VerbReport& report) {
    StepOutcome o{InstallStep::PausedPrograms, StepResult::Absent, 0};
    report.pausedList = PausedListPath();
    std::vector<PausedProgram> still = ListedStillPaused();
    if (still.empty()) return o;
    if (!quiet) {
        LoadPausedList();  // the pause worker's own list, which its answers keep up to date
        for (const PausedProgram& p : PausedPrograms()) {
            const int box = TrayMessageBox(
                nullptr, PausedBoxText(p.path, LocalTimeText(p.startedMs), Utf8ToWide(p.evidence)),
                MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON3);
            const PausedAnswer answer = PausedAnswerFor(box);
            AnswerPausedProgram(p, answer == PausedAnswer::End      ? PausedDecision::End
                                   : answer == PausedAnswer::Resume ? PausedDecision::Resume
                                                                    : PausedDecision::Keep);
        }
        still = ListedStillPaused();
    }
    report.pausedLeft = Described(still);
    o.result = still.empty() ? StepResult::Done : StepResult::Kept;
    return o;
}

StepOutcome LocateCanaries(VerbReport& report) {
    StepOutcome o{InstallStep::Canaries, StepResult::Absent, 0};
    for (const std::wstring& path : CanaryCandidates()) {
        DWORD error = 0;
        const CanaryFate fate = RemoveIfUnchanged(path, false, error);
        if (fate == CanaryFate::Changed) {
            report.canariesChanged.push_back(path);
        } else {
            report.canariesLeft.push_back(path);  // unreadable ones are named too
        }
        o.result = StepResult::Kept;
    }
    return o;
}

StepOutcome RemoveUnchangedCanaries(VerbReport& report) {
    StepOutcome o{InstallStep::Canaries, StepResult::Absent, 0};
    for (const std::wstring& path : CanaryCandidates()) {
        DWORD error = 0;
        const CanaryFate fate = RemoveIfUnchanged(path, true, error);
        if (o.result == StepResult::Absent) o.result = StepResult::Done;
        if (fate == CanaryFate::Removed) {
            report.canariesRemoved.push_back(path);
        } else if (fate == CanaryFate::Changed) {
            report.canariesChanged.push_back(path);
        } else if (o.result != StepResult::Failed) {
            o.result = StepResult::Failed;
            o.error = error;
            report.canaryFailed = path;
        }
    }
    return o;
}
