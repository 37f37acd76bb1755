#include "fsmon/self_paths.h"

#include <mutex>
#include <vector>

#include "fsmon/file_name_heuristics.h"

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

bool IsDriveRoot(const std::wstring& key) { return key.size() == 3 && key[1] == L':' && key[2] == L'\\'; }

struct OwnCanary {
    std::wstring key;
    int64_t plantedAt;
    FileStamp written;
};

bool WithinWindow(const OwnCanary& c, int64_t now) {
    return now >= c.plantedAt && now - c.plantedAt <= kOwnCanaryWindowSeconds;
}

// Planting happens on the start-up, tray and watcher threads; every watcher
// reads. A short list: entries leave once their window has passed.
std::mutex gOwnCanariesMutex;
std::vector<OwnCanary> gOwnCanaries;
constexpr size_t kMaxOwnCanaries = 256;

}  // namespace

std::wstring CanonicalPathKey(const std::wstring& path) {
    std::wstring key = path;
    for (wchar_t& c : key)
        if (c == L'/') c = L'\\';
    if (StartsWith(key, L"\\\\?\\UNC\\") || StartsWith(key, L"\\\\?\\unc\\")) {
        key = L"\\\\" + key.substr(8);
    } else if (StartsWith(key, L"\\\\?\\") || StartsWith(key, L"\\\\.\\")) {
        key = key.substr(4);
    }
    key = AsciiLower(key);
    while (key.size() > 1 && key.back() == L'\\' && !IsDriveRoot(key)) key.pop_back();
    if (key.size() == 2 && key[1] == L':') key += L'\\';  // "c:" names the drive's root here
    return key;
}

bool PathKeyIsInside(const std::wstring& parentKey, const std::wstring& childKey) {
    if (parentKey.empty() || childKey.size() < parentKey.size()) return false;
    if (childKey.compare(0, parentKey.size(), parentKey) != 0) return false;
    if (childKey.size() == parentKey.size()) return true;
    return parentKey.back() == L'\\' || childKey[parentKey.size()] == L'\\';
}

SelfFilter MakeSelfFilter(const std::wstring& watchedKey, const std::wstring& dataKey) {
    SelfFilter filter;
    if (watchedKey.empty() || dataKey.empty()) return filter;
    if (PathKeyIsInside(dataKey, watchedKey)) {
        filter.everything = true;
    } else if (PathKeyIsInside(watchedKey, dataKey)) {
        size_t start = watchedKey.size();
        if (watchedKey.back() != L'\\') ++start;
        filter.relativePrefix = dataKey.substr(start);
        size_t from = 0;
        while (from < filter.relativePrefix.size()) {
            size_t end = filter.relativePrefix.find(L'\\', from);
            if (end == std::wstring::npos) end = filter.relativePrefix.size();
            if (end > from)
                filter.steps.push_back({filter.relativePrefix.substr(from, end - from), std::wstring()});
            from = end + 1;
        }
    }
    return filter;
}

namespace {

bool SameAsciiFolded(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
    if (aLength != bLength) return false;
    for (size_t i = 0; i < aLength; ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x + 32);
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

bool IsOwnRecord(const SelfFilter& filter, const std::wstring& relativeName) {
    if (filter.everything) return true;
    if (filter.steps.empty()) return false;
    const SameNameFn same = filter.sameName ? filter.sameName : SameAsciiFolded;
    size_t from = 0;
    for (const SelfFilter::Step& step : filter.steps) {
        if (from >= relativeName.size()) return false;
        size_t end = relativeName.find_first_of(L"\\/", from);
        if (end == std::wstring::npos) end = relativeName.size();
        const wchar_t* part = relativeName.data() + from;
        const size_t length = end - from;
        const bool match =
            same(part, length, step.longName.data(), step.longName.size()) ||
            (!step.shortName.empty() && same(part, length, step.shortName.data(), step.shortName.size()));
        if (!match) return false;
        from = end + 1;
    }
    return true;
}

void NoteOwnCanary(const std::wstring& fileKey, int64_t now) {
    std::lock_guard<std::mutex> lock(gOwnCanariesMutex);
    std::vector<OwnCanary> kept;
    for (const OwnCanary& c : gOwnCanaries)
        if (WithinWindow(c, now) && c.key != fileKey) kept.push_back(c);
    if (kept.size() >= kMaxOwnCanaries) kept.erase(kept.begin());
    kept.push_back({fileKey, now, FileStamp()});
    gOwnCanaries.swap(kept);
}

void NoteOwnCanaryWritten(const std::wstring& fileKey, const FileStamp& stamp) {
    std::lock_guard<std::mutex> lock(gOwnCanariesMutex);
    for (OwnCanary& c : gOwnCanaries)
        if (c.key == fileKey) c.written = stamp;
}

bool IsFreshOwnCanary(const std::wstring& fileKey, int64_t now) {
    std::lock_guard<std::mutex> lock(gOwnCanariesMutex);
    for (const OwnCanary& c : gOwnCanaries)
        if (c.key == fileKey && WithinWindow(c, now)) return true;
    return false;
}

bool IsOwnCanaryChange(const std::wstring& fileKey, uint32_t action, int64_t now, const FileStamp& current) {
    if (action != 1 && action != 3) return false;  // only "added" and "modified" come from planting
    std::lock_guard<std::mutex> lock(gOwnCanariesMutex);
    for (const OwnCanary& c : gOwnCanaries) {
        if (c.key != fileKey || !WithinWindow(c, now)) continue;
        if (!c.written.known) return true;  // the agent is still writing it
        return current.known && current.size == c.written.size && current.lastWrite == c.written.lastWrite;
    }
    return false;
}

void ForgetOwnCanaries() {
    std::lock_guard<std::mutex> lock(gOwnCanariesMutex);
    gOwnCanaries.clear();
}
