#include "fsmon/canary_names.h"

#include <iterator>
#include <mutex>

#include "fsmon/file_name_heuristics.h"

const wchar_t* const kDefaultCanaryNames[2] = {L"Vellumgard_DO_NOT_TOUCH.txt", L"Important_Backup_DO_NOT_DELETE.txt"};

const wchar_t kCanaryFileText[] =
    L"Vellumgard Canary File\n"
    L"----------------------\n"
    L"Do not edit, rename, or delete this file.\n"
    L"If this file changes unexpectedly, Vellumgard will alert you.\n";

namespace {

// Held only to copy or swap the pointer; the lists themselves are immutable.
std::mutex gCanaryNamesMutex;
std::shared_ptr<const CanaryNameList> gCanaryNames = std::make_shared<const CanaryNameList>();

}  // namespace

std::vector<std::wstring> SplitOnBar(const std::wstring& text) {
    std::vector<std::wstring> pieces;
    std::wstring current;
    for (const wchar_t c : text) {
        if (c == L'|') {
            if (!current.empty()) pieces.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) pieces.push_back(current);
    return pieces;
}

CanaryNameList CanaryNamesFromSetting(const std::wstring& canaryFileNames) {
    CanaryNameList names = SplitOnBar(canaryFileNames);
    if (names.empty()) names.assign(std::begin(kDefaultCanaryNames), std::end(kDefaultCanaryNames));
    for (std::wstring& name : names) name = AsciiLower(name);
    return names;
}

std::shared_ptr<const CanaryNameList> CanaryNames() {
    std::lock_guard<std::mutex> lock(gCanaryNamesMutex);
    return gCanaryNames;
}

void RebuildCanaryNames(const Config& settings) {
    auto fresh = std::make_shared<const CanaryNameList>(CanaryNamesFromSetting(settings.canaryFileNames));
    std::lock_guard<std::mutex> lock(gCanaryNamesMutex);
    gCanaryNames.swap(fresh);
    // The old list is released after the lock, by `fresh`, or later by its last reader.
}

bool IsCanaryName(const std::wstring& relativeName) {
    const std::shared_ptr<const CanaryNameList> names = CanaryNames();
    const std::wstring folded = AsciiLower(relativeName);
    for (const std::wstring& name : *names) {
        if (name == folded) return true;
    }
    return false;
}

namespace {

// The part of a name the system compares with device names: up to the first
// dot, without trailing spaces, ASCII-folded.
std::wstring DeviceStem(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    return AsciiLower(stem);
}

bool IsDeviceName(const std::wstring& name) {
    const std::wstring stem = DeviceStem(name);
    for (const wchar_t* device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"})
        if (stem == device) return true;
    if (stem.size() == 4 && (stem.compare(0, 3, L"com") == 0 || stem.compare(0, 3, L"lpt") == 0)) {
        const wchar_t d = stem[3];
        // Digits, and the superscript one, two and three the system also maps.
        return (d >= L'0' && d <= L'9') || d == 0x00B9 || d == 0x00B2 || d == 0x00B3;
    }
    return false;
}

}  // namespace

bool IsPlantableCanaryName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (const wchar_t c : name) {
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' ||
            c == L'>' || c == L'|')
            return false;
    }
    if (name.back() == L'.' || name.back() == L' ') return false;
    return !IsDeviceName(name);
}

bool IsCanaryTouchAt(bool canariesEnabled, int64_t warmupDeadline, int64_t now, const std::wstring& relativeName) {
    if (!canariesEnabled) return false;
    if (warmupDeadline != 0 && now < warmupDeadline) return false;
    return IsCanaryName(relativeName);
}
