#include "core/log_rotation.h"

#include <algorithm>

LogRotationSettings LogRotationFrom(int32_t logMaxMegabytes, int32_t logKeepFiles) {
    LogRotationSettings s;
    s.maxBytes = logMaxMegabytes > 0 ? static_cast<uint64_t>(logMaxMegabytes) * 1024 * 1024 : 0;
    s.keepFiles = logKeepFiles > 0 ? std::min(logKeepFiles, kMaxLogKeepFiles) : kDefaultLogKeepFiles;
    return s;
}

bool LogRotationDue(const LogRotationSettings& settings, uint64_t currentBytes, uint64_t appendBytes) {
    if (settings.maxBytes == 0 || currentBytes == 0) return false;
    return currentBytes + appendBytes > settings.maxBytes;
}

std::wstring RotatedLogPath(const std::wstring& logPath, int n) {
    static const std::wstring kExt = L".jsonl";
    const std::wstring number = L"." + std::to_wstring(n);
    if (logPath.size() >= kExt.size() &&
        logPath.compare(logPath.size() - kExt.size(), kExt.size(), kExt) == 0)
        return logPath.substr(0, logPath.size() - kExt.size()) + number + kExt;
    return logPath + number;
}

std::vector<LogRotationStep> PlanLogRotation(int keepFiles, const std::vector<bool>& closedExists) {
    std::vector<LogRotationStep> steps;
    if (keepFiles < 1) keepFiles = 1;
    int run = 0;  // closed files 1..run exist
    while (run < static_cast<int>(closedExists.size()) && run < keepFiles && closedExists[run]) ++run;
    if (run == keepFiles) {
        steps.push_back({keepFiles, 0});
        --run;
    }
    for (int n = run; n >= 1; --n) steps.push_back({n, n + 1});
    steps.push_back({0, 1});
    return steps;
}

std::wstring LogFileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}
