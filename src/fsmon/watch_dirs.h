// Parsing of the extraWatchDirs setting: folders separated by ";" or "|",
// each possibly blank-padded, quoted, and written with either slash. Pure.
#pragma once

#include <string>
#include <vector>

std::wstring TrimBlanks(const std::wstring& text);
std::wstring NormaliseWatchDir(const std::wstring& entry);
// The non-empty normalised folders, in their order (duplicates kept).
std::vector<std::wstring> ParseWatchDirList(const std::wstring& text);

struct WatchDir {
    std::wstring path;  // normalised, in the letter case written
    std::wstring key;   // AsciiLower of the path: two folders are the same when their keys are
};
// The folders to watch: ParseWatchDirList without repeated keys (the first
// written form wins).
std::vector<WatchDir> DesiredWatchDirs(const std::wstring& text);
