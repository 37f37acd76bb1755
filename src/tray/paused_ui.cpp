#include "tray/paused_ui.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "core/text.h"
#include "procmon/context_json.h"
#include "procmon/pause_worker.h"
#include "tray/pause_texts.h"
#include "tray/tray_seams.h"
#include "tray/tray_window.h"

namespace {

std::atomic<HWND> gPausedNoticeWindow{nullptr};
std::mutex gBalloonLock;
std::vector<std::wstring> gPendingBalloons;  // program names, under gBalloonLock

std::wstring LocalTime(int64_t ms) {
    if (ms <= 0) return std::wstring();
    const uint64_t ticks = static_cast<uint64_t>(ms + 11644473600000LL) * 10000;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return std::wstring();
    wchar_t text[64];
    FormatWide(text, 64, L"%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay, local.wHour,
               local.wMinute, local.wSecond);
    return text;
}

}  // namespace

void StartPausedUi(HWND window) {
    gPausedNoticeWindow.store(window);
    LoadPausedList();
}

void NoteProgramPaused(const PausedProgram& program) {
    {
        std::lock_guard<std::mutex> hold(gBalloonLock);
        gPendingBalloons.push_back(LastPathComponent(program.path));
    }
    if (HWND window = gPausedNoticeWindow.load()) PostMessageW(window, kProgramPausedMessage, 0, 0);
}

void ShowPausedBalloons() {
    std::vector<std::wstring> names;
    {
        std::lock_guard<std::mutex> hold(gBalloonLock);
        names.swap(gPendingBalloons);
    }
    if (!TrayIconPresent()) return;
    for (const std::wstring& name : names) {
        CopyTruncated(gTrayIcon.szInfoTitle, ARRAYSIZE(gTrayIcon.szInfoTitle), PausedBalloonTitle());
        CopyTruncated(gTrayIcon.szInfo, ARRAYSIZE(gTrayIcon.szInfo), PausedBalloonBody(name));
        gTrayIcon.dwInfoFlags = NIIF_WARNING;
        gTrayIcon.uFlags = NIF_INFO;
        TrayNotifyIcon(NIM_MODIFY, &gTrayIcon);
    }
}

bool AnyProgramPaused() {
    return !PausedPrograms().empty();
}

void PausedProgramsCommand(HWND window) {
    for (const PausedProgram& p : PausedPrograms()) {
        const int answer =
            TrayMessageBox(window, PausedBoxText(p.path, LocalTime(p.startedMs), Utf8ToWide(p.evidence)),
                           MB_YESNOCANCEL | MB_ICONWARNING | MB_DEFBUTTON3);
        const PausedAnswer a = PausedAnswerFor(answer);
        AnswerPausedProgram(p, a == PausedAnswer::End      ? PausedDecision::End
                               : a == PausedAnswer::Resume ? PausedDecision::Resume
                                                           : PausedDecision::Keep);
    }
}
