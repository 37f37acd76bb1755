// Runs tools/native_storm.py, a native Linux process, from a program under
// Wine (Wine starts Unix programs given by their Unix path), and reads what
// it reports. For the watcher benchmarks only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/text.h"
#include "support/test_support.h"

#ifndef VG_SOURCE_DIR
#error "VG_SOURCE_DIR names the source tree (for tools/native_storm.py)"
#endif

struct NativeStormResult {
    uint64_t created = 0;
    int64_t startNs = 0, endNs = 0, renameNs = 0;  // ns since 1970, the clock file times use
};

// The Unix path Wine maps a Windows path to ("" when it cannot say). Folders
// that do not exist yet are appended to the nearest one that does.
inline std::string UnixPathOf(const std::wstring& windowsPath) {
    using Fn = char*(__cdecl*)(const wchar_t*);
    static Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn) return std::string();
    std::wstring head = windowsPath, tail;
    for (;;) {
        if (char* unix = fn(head.c_str())) {
            std::string out = unix;
            HeapFree(GetProcessHeap(), 0, unix);
            for (wchar_t& c : tail) c = c == L'\\' ? L'/' : c;
            return out + WideToUtf8(tail);
        }
        const size_t cut = head.find_last_of(L'\\');
        if (cut == std::wstring::npos || cut < 3) return std::string();
        tail = head.substr(cut) + tail;
        head.resize(cut);
    }
}

// A file time (100 ns since 1601) from ns since 1970.
inline uint64_t FileTimeFromUnixNs(int64_t ns) {
    return static_cast<uint64_t>(ns / 100) + 116444736000000000ull;
}

inline int64_t JsonNumber(const std::string& text, const char* key) {
    const std::string k = std::string("\"") + key + "\":";
    const size_t at = text.find(k);
    return at == std::string::npos ? 0 : _atoi64(text.c_str() + at + k.size());
}

// Makes `folder` (a Windows path), pauses, creates `count` files in it; with
// renameAt >= 0 also budget.xlsx -> budget.xlsx.locked after that file.
// Waits for the storm to end (at most timeoutMs). False when it did not run.
inline bool RunNativeStorm(const std::wstring& folder, int count, double pauseSeconds, int renameAt,
                           NativeStormResult& out, DWORD timeoutMs = 600000) {
    // The result file lies outside every watched folder.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring done =
        std::wstring(temp) + L"vg_native_storm_" + std::to_wstring(GetCurrentProcessId()) + L".done";
    DeleteFileW(done.c_str());
    const std::string unixFolder = UnixPathOf(folder), unixDone = UnixPathOf(done);
    if (unixFolder.empty() || unixDone.empty()) return false;
    char args[64];
    std::snprintf(args, sizeof args, " %d --pause %.2f --rename-at %d", count, pauseSeconds, renameAt);
    std::wstring cmd = Utf8ToWide("/usr/bin/python3 " VG_SOURCE_DIR "/tools/native_storm.py \"" + unixFolder +
                                  "\"" + args + " --done \"" + unixDone + "\"");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // The exit of a Unix child is not reliably seen from here: the storm
    // writes its result file last.
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        std::string text;
        if (ReadFileBytes(done, text) && !text.empty()) {
            out.created = static_cast<uint64_t>(JsonNumber(text, "created"));
            out.startNs = JsonNumber(text, "start_ns");
            out.endNs = JsonNumber(text, "end_ns");
            out.renameNs = JsonNumber(text, "rename_ns");
            DeleteFileW(done.c_str());
            return true;
        }
        Sleep(20);
    }
    return false;
}
