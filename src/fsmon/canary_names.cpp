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

bool IsCanaryTouchAt(bool canariesEnabled, int64_t warmupDeadline, int64_t now, const std::wstring& relativeName) {
    if (!canariesEnabled) return false;
    if (warmupDeadline != 0 && now < warmupDeadline) return false;
    return IsCanaryName(relativeName);
}
