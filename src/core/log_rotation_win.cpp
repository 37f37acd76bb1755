// Closing the current log under the append's cross-process lock: only one
// writer renames at a time, and no writer appends between the rename and the
// new file's first line. Renames never replace a file, so a step that fails
// leaves every file where it was and the next append plans again.
#include <windows.h>

#include "core/config.h"
#include "core/event_log.h"
#include "core/log_rotation.h"
#include "core/text.h"

namespace {

bool FileSize(const std::wstring& path, uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring PathOf(const std::wstring& logPath, int n) {
    return n == 0 ? logPath : RotatedLogPath(logPath, n);
}

}  // namespace

std::string RotateLogIfDue(const std::wstring& logPath, uint64_t appendBytes) {
    const LogRotationSettings settings =
        LogRotationFrom(gLiveConfig.logMaxMegabytes.load(), gLiveConfig.logKeepFiles.load());
    uint64_t size = 0;
    if (settings.maxBytes == 0 || !FileSize(logPath, size) || !LogRotationDue(settings, size, appendBytes))
        return std::string();
    std::vector<bool> closedExists;
    for (int n = 1; n <= settings.keepFiles; ++n) closedExists.push_back(Exists(RotatedLogPath(logPath, n)));
    for (const LogRotationStep& step : PlanLogRotation(settings.keepFiles, closedExists)) {
        const std::wstring from = PathOf(logPath, step.from);
        const bool done = step.to == 0
                              ? DeleteFileW(from.c_str()) != FALSE
                              : MoveFileExW(from.c_str(), PathOf(logPath, step.to).c_str(), 0) != FALSE;
        if (!done) return std::string();
    }
    const std::string closed = WideToUtf8(LogFileNameOf(RotatedLogPath(logPath, 1)));
    return BuildEventLine(NowLocalIso(), "log_rotated", "\"file\":\"" + JsonEscape(closed) + "\"") + "\n";
}
