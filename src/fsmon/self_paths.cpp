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
    }
    return filter;
}

bool IsOwnRecord(const SelfFilter& filter, const std::wstring& relativeName) {
    if (filter.everything) return true;
    const std::wstring& prefix = filter.relativePrefix;
    if (prefix.empty() || relativeName.size() < prefix.size()) return false;
    std::wstring name = AsciiLower(relativeName);
    for (wchar_t& c : name)
        if (c == L'/') c = L'\\';
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    return name.size() == prefix.size() || name[prefix.size()] == L'\\';
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
