// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"

// A clock the tests drive: installs itself into gSeams and restores the real
// clocks when it goes away.
struct FakeClock {
    FakeClock();
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    static int64_t seconds;        // NowSeconds()
    static LocalTimeParts local;   // NowLocalParts()
    static uint32_t tick;          // TickCount()
};

// Splits bytes on LF (a final line without LF counts; no empty last line).
std::vector<std::string> SplitLines(const std::string& bytes);

// True when the text is exactly one JSON value (parsed by a real parser).
bool IsValidJson(const std::string& text);

#ifdef _WIN32
// A fresh, empty folder below the sandbox's temp folder; removed with
// everything in it when the object goes away.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::wstring path;
    std::wstring Sub(const std::wstring& name) const;
};

// Points gDataPaths below the given base (the data folder is base\Vellumgard)
// and creates the data and Incidents folders.
void UseDataPathsBelow(const std::wstring& base);

bool ReadFileBytes(const std::wstring& path, std::string& out);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool PathIsDirectory(const std::wstring& path);
bool PathExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// The event log's lines, parsed types and helpers.
std::vector<std::string> ReadLogLines();
std::vector<std::string> LogTypes();
#endif
