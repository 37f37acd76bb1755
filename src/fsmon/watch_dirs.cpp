#include "fsmon/watch_dirs.h"

#include "fsmon/canary_names.h"
#include "fsmon/file_name_heuristics.h"

namespace {
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
}  // namespace

std::wstring TrimBlanks(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::wstring NormaliseWatchDir(const std::wstring& entry) {
    std::wstring s = TrimBlanks(entry);
    if (s.size() > 1 && ((s.front() == L'"' && s.back() == L'"') || (s.front() == L'\'' && s.back() == L'\''))) {
        s = s.substr(1, s.size() - 2);
    }
    for (wchar_t& c : s)
        if (c == L'/') c = L'\\';
    while (s.size() > 3 && (s.back() == L'\\' || s.back() == L' ' || s.back() == L'\t')) {
        if (s.back() == L'\\') {
            s.pop_back();
        } else {
            s = TrimBlanks(s);
        }
    }
    return s;
}

std::vector<std::wstring> ParseWatchDirList(const std::wstring& text) {
    std::wstring bars = text;
    for (wchar_t& c : bars)
        if (c == L';') c = L'|';
    std::vector<std::wstring> out;
    for (const std::wstring& piece : SplitOnBar(bars)) {
        std::wstring folder = NormaliseWatchDir(piece);
        if (!folder.empty()) out.push_back(std::move(folder));
    }
    return out;
}

std::vector<WatchDir> DesiredWatchDirs(const std::wstring& text) {
    std::vector<WatchDir> desired;
    for (std::wstring& path : ParseWatchDirList(text)) {
        std::wstring key = AsciiLower(path);
        bool seen = false;
        for (const WatchDir& d : desired) seen = seen || d.key == key;
        if (!seen) desired.push_back({std::move(path), std::move(key)});
    }
    return desired;
}
