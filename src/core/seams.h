// Test seams: one process-wide record of replaceable functions. Every member
// is null in the shipped program, which then uses the real platform call;
// tests set members to drive the clocks or move the data folder into a
// sandbox. No virtual interfaces, just plain function pointers.
#pragma once

#include <cstdint>
#include <string>

#include "core/clock.h"

struct Seams {
    int64_t (*nowSeconds)() = nullptr;
    LocalTimeParts (*localTime)() = nullptr;
    uint32_t (*tickCount)() = nullptr;
    // Replaces the shell's folder lookup (SHGetFolderPathW) for the given
    // CSIDL; returns false to act as a failing lookup.
    bool (*shellFolder)(int csidl, std::wstring& out) = nullptr;
    // Replaces the run-time lookup of the Downloads folder.
    bool (*downloadsFolder)(std::wstring& out) = nullptr;
    // Replaces the write of WriteTextFile's content (file is a HANDLE).
    bool (*writeFile)(void* file, const void* data, uint32_t size, uint32_t* written) = nullptr;
    // Replaces the delete of WriteTextFile's temporary file after a failed
    // write; sets the last error when it fails.
    bool (*deleteTempFile)(const wchar_t* path) = nullptr;
};

extern Seams gSeams;
