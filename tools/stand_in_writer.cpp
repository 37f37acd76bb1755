// Stands in for a program that writes the user's files, in the pausing tests
// and scenarios. "writer encrypt DIR PACE_MS" encrypts every file below DIR
// in place with ChaCha20, one file after another, holding each open for
// writing for PACE_MS before it closes it and takes the next; it never stops
// on its own. "writer everyday DIR PACE_MS" writes new files export_N.csv in
// DIR instead, one every PACE_MS, each held open for writing meanwhile (an
// export or a sync client: it writes many files but damages none).
// It starts `child` copies of itself when asked ("... CHILDREN"), to show that
// the processes it started are paused with it.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "support/chacha20.h"

namespace {

void ListFiles(const std::wstring& dir, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = dir + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(path, out);
        else
            out.push_back(path);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

void EncryptHeld(const std::wstring& path, DWORD holdMs) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::vector<uint8_t> data;
    uint8_t buf[64 * 1024];
    DWORD got = 0;
    while (ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) data.insert(data.end(), buf, buf + got);
    const uint8_t key[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                             16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
    const uint8_t nonce[12] = {9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8};
    ChaCha20Xor(key, nonce, 1, data.data(), data.size());
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD wrote = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &wrote, nullptr);
    FlushFileBuffers(file);
    Sleep(holdMs);  // an encryptor holds the file while it finishes it
    CloseHandle(file);
}

void WriteNewHeld(const std::wstring& path, DWORD holdMs) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const char text[] = "date,amount\n2024-01-02,12.50\n2024-01-03,7.25\n";
    DWORD wrote = 0;
    WriteFile(file, text, sizeof text - 1, &wrote, nullptr);
    Sleep(holdMs);
    CloseHandle(file);
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 4) return 2;
    const std::wstring mode = argv[1], dir = argv[2];
    const DWORD pace = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    const int children = argc > 4 ? static_cast<int>(std::wcstol(argv[4], nullptr, 10)) : 0;
    for (int i = 0; i < children; ++i) {
        // The child writes nothing: it only has to be seen and paused with its parent.
        wchar_t self[MAX_PATH + 1] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring cmd = L"\"" + std::wstring(self) + L"\" idle \"" + dir + L"\" 100";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(self, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
    }
    if (mode == L"encrypt") {
        std::vector<std::wstring> files;
        ListFiles(dir, files);
        std::sort(files.begin(), files.end());
        for (const std::wstring& f : files) EncryptHeld(f, pace);
    } else if (mode == L"everyday") {
        for (int i = 0;; ++i) WriteNewHeld(dir + L"\\export_" + std::to_wstring(i) + L".csv", pace);
    }
    for (;;) Sleep(1000);  // it goes on until it is stopped
}
