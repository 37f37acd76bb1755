// The extraWatchDirs parsing on arbitrary text (UTF-8 or raw 16-bit units).
#include <cstdint>
#include <set>
#include <string>

#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "fsmon/watch_dirs.h"
#include "fuzz_support.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

bool IsQuoted(const std::wstring& s) {
    return s.size() > 1 && ((s.front() == L'"' && s.back() == L'"') || (s.front() == L'\'' && s.back() == L'\''));
}

void CheckEntry(const std::wstring& entry) {
    const std::wstring trimmed = TrimBlanks(entry);
    FUZZ_CHECK(trimmed.empty() || (!IsBlank(trimmed.front()) && !IsBlank(trimmed.back())));
    FUZZ_CHECK(entry.find(trimmed) != std::wstring::npos);

    const std::wstring dir = NormaliseWatchDir(entry);
    FUZZ_CHECK(dir.size() <= trimmed.size());
    FUZZ_CHECK(dir.find(L'/') == std::wstring::npos);
    // Blanks survive at the front only inside quotes; a folder longer than a
    // drive root never ends in a separator, a space or a tab.
    if (!IsQuoted(trimmed)) FUZZ_CHECK(dir.empty() || !IsBlank(dir.front()));
    if (dir.size() > 3) FUZZ_CHECK(dir.back() != L'\\' && dir.back() != L' ' && dir.back() != L'\t');
}

void CheckList(const std::wstring& text) {
    CheckEntry(text);
    const std::vector<std::wstring> dirs = ParseWatchDirList(text);
    for (const std::wstring& d : dirs) {
        FUZZ_CHECK(!d.empty());
        FUZZ_CHECK(d.find(L'|') == std::wstring::npos && d.find(L';') == std::wstring::npos);
        FUZZ_CHECK(d.find(L'/') == std::wstring::npos);
    }
    // The desired set: one entry per key, keys folded, the first written form of each.
    const std::vector<WatchDir> desired = DesiredWatchDirs(text);
    std::set<std::wstring> keys;
    for (const WatchDir& w : desired) {
        FUZZ_CHECK(w.key == AsciiLower(w.path));
        FUZZ_CHECK(keys.insert(w.key).second);
    }
    std::set<std::wstring> allKeys;
    size_t next = 0;
    for (const std::wstring& d : dirs) {
        if (!allKeys.insert(AsciiLower(d)).second) continue;
        FUZZ_CHECK(next < desired.size() && desired[next].path == d);
        ++next;
    }
    FUZZ_CHECK(next == desired.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = BytesOf(data, size);
    CheckList(Utf8ToWide(bytes));
    CheckList(WideFromUnits16(bytes));
    return 0;
}
