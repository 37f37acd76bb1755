#include "incidents/incident_retention.h"

#include <algorithm>

namespace {

bool Digits(const std::wstring& s, size_t from, size_t count) {
    if (from + count > s.size()) return false;
    for (size_t i = from; i < from + count; ++i)
        if (s[i] < L'0' || s[i] > L'9') return false;
    return true;
}

constexpr int64_t kDaySeconds = 86400;

}  // namespace

bool IsStoreIncidentFolderName(const std::wstring& name) {
    // 01234567_890123_
    if (name.size() < 17 || !Digits(name, 0, 8) || name[8] != L'_' || !Digits(name, 9, 6) || name[15] != L'_')
        return false;
    size_t at = 16;
    size_t tick = 0;
    while (at < name.size() && name[at] >= L'0' && name[at] <= L'9') ++at, ++tick;
    if (tick < 1 || tick > 10) return false;
    if (at == name.size()) return true;
    if (name[at] != L'_') return false;
    const std::wstring suffix = name.substr(at + 1);
    if (suffix.empty() || suffix.size() > 3 || suffix[0] == L'0' || !Digits(suffix, 0, suffix.size()))
        return false;
    const int n = std::stoi(suffix);
    return n >= 2 && n <= 999;
}

std::vector<std::wstring> ChooseIncidentsToPrune(std::vector<RetentionCandidate> candidates, int64_t now,
                                                 int32_t retentionDays) {
    std::vector<std::wstring> names;
    if (retentionDays <= 0) return names;
    // The last 24 hours stay whatever the setting; so does anything stamped in the future.
    const int64_t cutoff = std::min(now - int64_t(retentionDays) * kDaySeconds, now - kDaySeconds);
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const RetentionCandidate& c) {
                                        return !c.plainFolder || !c.readable || !c.timeOk ||
                                               c.time >= cutoff || !IsStoreIncidentFolderName(c.name);
                                    }),
                     candidates.end());
    std::sort(candidates.begin(), candidates.end(),
              [](const RetentionCandidate& a, const RetentionCandidate& b) {
                  return a.time != b.time ? a.time < b.time : a.name < b.name;
              });
    for (RetentionCandidate& c : candidates) names.push_back(std::move(c.name));
    return names;
}

std::string IncidentsPrunedMembers(size_t count) {
    return "\"count\":" + std::to_string(count);
}
