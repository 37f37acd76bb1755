// Plays ransomware-like and benign file patterns, and one attack that starts
// with a shadow-copy deletion, against the real agent and prints what the
// agent caught. Each pattern is played by a separate process started after
// the agent, as an encryptor runs: a copy of this program, named like a
// downloaded lure, started with --play. Runs under Wine in a sandbox prefix
// (scripts/scenarios.sh); each pattern gets a fresh data folder and a fresh
// document tree.
//
// The pausing patterns also start everyday programs beside the attack, each
// another copy started with --helper.
//
// Usage: scenario_runner.exe <path of Vellumgard.exe> [pattern numbers, e.g. 8,9,12 | quick]
//        ("quick": every pattern but those only the full set plays)
//        scenario_runner.exe --play <pattern number>   (the copy's side)
//        scenario_runner.exe --helper <export|unzip|sync|edit> <folder or file>
// Exit code 0 when every guaranteed detection appeared, no pausing pattern
// lost more than its limit and no everyday program was paused; 1 otherwise.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
#include "nlohmann/json.hpp"
#include "support/chacha20.h"
#include "support/test_support.h"
#include "tool_support.h"

namespace {

// The sandbox's document tree: 5 top folders x 3 subfolders x 20 documents,
// plus a few files at the top. Folders are made while the agent runs, one at
// a time with a pause, because under Wine a watch only covers subfolders it
// saw appear.
std::vector<std::wstring> BuildTree(const std::wstring& docs) {
    std::vector<std::wstring> files;
    const wchar_t* tops[] = {L"Projects", L"Invoices", L"Photos", L"Letters", L"Taxes"};
    for (int i = 0; i < 6; ++i) {
        const std::wstring f = docs + L"\\notes_" + std::to_wstring(i) + L".docx";
        WriteFileBytes(f, "top-level document " + std::to_string(i) + "\n");
        files.push_back(f);
    }
    for (const wchar_t* top : tops) {
        const std::wstring t = docs + L"\\" + top;
        CreateDirectoryW(t.c_str(), nullptr);
        Sleep(100);
        for (int s = 0; s < 3; ++s) {
            const std::wstring sub = t + L"\\" + std::to_wstring(2022 + s);
            CreateDirectoryW(sub.c_str(), nullptr);
            Sleep(100);
            for (int n = 0; n < 20; ++n) {
                const wchar_t* ext[] = {L".docx", L".xlsx", L".pdf", L".jpg", L".txt"};
                const std::wstring f = sub + L"\\file_" + std::to_wstring(n) + ext[n % 5];
                WriteFileBytes(f, std::string(200 + n * 10, static_cast<char>('a' + n % 26)));
                files.push_back(f);
            }
        }
    }
    return files;
}

// Every regular file below `root`, in directory order (folders first visited
// as the enumeration returns them).
void ListFiles(const std::wstring& root, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((root + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    std::vector<std::wstring> dirs;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) dirs.push_back(root + L"\\" + name);
        else out.push_back(root + L"\\" + name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    for (const std::wstring& d : dirs) ListFiles(d, out);
}

void ListFolders(const std::wstring& root, std::vector<std::wstring>& out) {
    out.push_back(root);
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((root + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    std::vector<std::wstring> dirs;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L".." && (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            dirs.push_back(root + L"\\" + name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    for (const std::wstring& d : dirs) ListFolders(d, out);
}

// Empties a folder but keeps it (the known folders may be links).
void ClearFolder(const std::wstring& root) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((root + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    std::vector<std::wstring> children;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..") children.push_back(root + L"\\" + name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    for (const std::wstring& c : children) RemoveTree(c);
}

struct IncidentOnDisk {
    int64_t created = 0;  // file time of incident.json
    std::string reason;
    int32_t severity = 0;
};

struct Outcome {
    std::string reasons;          // incident reasons that appeared, in order of first appearance
    std::string first = "-";      // the first incident's reason
    long changedBeforeFirst = -1; // files changed before the first incident.json existed
    double msToFirst = -1;        // first change -> first incident.json
    size_t changes = 0;
    std::string culprit = "-";    // the top suspect named for the incidents (extendedDetection)
    bool ok = true;
    std::string missing;
    // Pausing patterns only (-1: not measured).
    long damagedBeforeCritical = -1;  // changes begun before the first critical incident.json existed
    long damagedInAll = -1;           // documents no longer as they were, counted from the files
    double msDetectionToPause = -1;   // first critical incident.json -> the response paused line seen
};

using PlayFn = std::function<void(const std::wstring& docs, std::vector<int64_t>& changeTimes)>;

struct Pattern {
    const char* name = "";
    // Plays the pattern (in the separate process); records the file time of
    // each file change.
    PlayFn play;
    // Log lines that must appear (guaranteed by the rules, whatever the timing).
    std::vector<std::string> mustLog;
    // The first step starts a process (its time is changeTimes[0], no file
    // change).
    bool startsAProcess = false;
    // extendedDetection on, with the process monitor (it polls under Wine).
    bool extended = false;
    // Lays out the user's files while the agent runs; null: the document tree.
    std::function<void(const std::wstring& docs)> prepare;
    // Log lines that must not appear.
    std::vector<std::string> mustNotLog;
    // The program that plays it: a lure in Downloads, or an installed tool.
    bool benign = false;
    DWORD settleMs = 6000;  // quiet time before the pattern starts (the burst window empties)
    // Above 0: an encrypted_content incident must come before more than this
    // many files have been changed.
    long contentWithin = 0;
    // pauseSuspectPrograms on as well: the player goes on until it is stopped,
    // the runner waits for its pause, then counts the damaged documents.
    bool pause = false;
    // Above 0: fail when more documents than this are damaged in all.
    long lostLimit = 0;
    // Everyday writers and an editor run beside the attack; none may be paused.
    bool everyday = false;
    // Only in the full set (make scenarios), not in the test command's run.
    bool fullSetOnly = false;
    // Reported apart from the paced ones (no target).
    bool noTarget = false;
};

// The stand-in program (tools/sleeper.cpp), built beside the runner, copied
// to vssadmin.exe and run the way a script deletes the shadow copies: it
// lives a second, and the script waits for it before going on.
void RunShadowCopyDeletion() {
    wchar_t tools[MAX_PATH] = {};
    GetEnvironmentVariableW(L"VG_SCENARIO_TOOLS", tools, MAX_PATH);
    const std::wstring sleeper = JoinPath(tools, L"sleeper.exe");
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring folder = JoinPath(temp, L"vg_scenario_tools");
    EnsureDirectoryTree(folder);
    const std::wstring tool = JoinPath(folder, L"vssadmin.exe");
    CopyFileW(sleeper.c_str(), tool.c_str(), FALSE);
    SetEnvironmentVariableW(L"VG_SLEEP_MS", L"1000");
    std::wstring cmd = L"vssadmin.exe delete shadows /all /quiet";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(tool.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

void Rewrite(const std::wstring& path) {
    std::string bytes = ReadFileBytes(path);
    for (char& c : bytes) c = static_cast<char>(c ^ 0x5A);  // "encrypt"
    WriteFileBytes(path, bytes);
}

// --- real-format files, encrypted in place ---------------------------------

// Real files of common formats, checked in with the tests.
std::wstring ContentCorpus() {
    std::wstring path = Utf8ToWide("Z:" VG_SOURCE_DIR "/tests/corpora/content");
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::wstring ExtensionOf(const std::wstring& name) {
    const size_t dot = name.find_last_of(L'.');
    std::wstring ext = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
    for (wchar_t& c : ext) c = towlower(c);
    return ext;
}

// The documents an encryptor goes through: one corpus file of each common
// type, the first by name over 5 KiB (so a head-only pass leaves part of it
// as it was); at most `limit`.
std::vector<std::wstring> DocumentSamples(size_t limit) {
    std::vector<std::wstring> all;
    ListFiles(ContentCorpus(), all);
    std::sort(all.begin(), all.end());
    std::vector<std::wstring> picked;
    for (const wchar_t* ext : {L".docx", L".xlsx", L".pptx", L".pdf", L".jpg", L".png", L".odt", L".rtf", L".csv",
                               L".psd", L".txt", L".bmp", L".tif", L".webp", L".sqlite", L".7z", L".zip", L".json"}) {
        for (const std::wstring& f : all) {
            WIN32_FILE_ATTRIBUTE_DATA info;
            if (ExtensionOf(f) != ext || !GetFileAttributesExW(f.c_str(), GetFileExInfoStandard, &info) ||
                (info.nFileSizeHigh == 0 && info.nFileSizeLow <= 5120))
                continue;
            picked.push_back(f);
            break;
        }
        if (picked.size() == limit) break;
    }
    return picked;
}

// Copies the samples into Documents\Clients\<three subfolders>, made while
// the agent runs (under Wine a watch covers only subfolders it saw appear).
void PlaceDocuments(const std::wstring& docs) {
    const std::wstring top = docs + L"\\Clients";
    CreateDirectoryW(top.c_str(), nullptr);
    Sleep(100);
    const wchar_t* subs[] = {L"Northwind", L"Harbor Dental", L"Elm Street"};
    for (const wchar_t* sub : subs) {
        CreateDirectoryW((top + L"\\" + sub).c_str(), nullptr);
        Sleep(100);
    }
    const std::vector<std::wstring> samples = DocumentSamples(12);
    for (size_t i = 0; i < samples.size(); ++i) {
        const std::wstring name = samples[i].substr(samples[i].find_last_of(L'\\') + 1);
        CopyFileW(samples[i].c_str(), (top + L"\\" + subs[i % 3] + L"\\" + name).c_str(), FALSE);
    }
}

// ChaCha20 over the first `limit` bytes of the file (all when 0), written
// back over them through the same handle: the name, the size and the rest
// stay, as with the encryptors that work in place.
// `from` > 0 leaves the first bytes as they were (the signature, or the head).
void EncryptInPlace(const std::wstring& path, size_t limit, uint32_t fileNumber, size_t from = 0) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    GetFileSizeEx(f, &size);
    size_t n = static_cast<size_t>(size.QuadPart);
    if (limit != 0) n = std::min(n, limit);
    if (from >= n) {
        CloseHandle(f);
        return;
    }
    n -= from;
    std::vector<uint8_t> bytes(n);
    DWORD got = 0;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(from);
    SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    if (n > 0 && ReadFile(f, bytes.data(), static_cast<DWORD>(n), &got, nullptr) && got == n) {
        uint8_t key[32], nonce[12] = {};
        for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0xA7 * i + 0x3D);
        std::memcpy(nonce, &fileNumber, sizeof fileNumber);
        ChaCha20Xor(key, nonce, 1, bytes.data(), n);
        SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
        DWORD put = 0;
        WriteFile(f, bytes.data(), static_cast<DWORD>(n), &put, nullptr);
    }
    CloseHandle(f);
}

// One file every 0.7 s below Documents\Clients: under the burst threshold,
// away from the canaries at the top of each folder.
PlayFn SlowInPlace(size_t limit) {
    return [limit](const std::wstring& docs, std::vector<int64_t>& times) {
        std::vector<std::wstring> files;
        ListFiles(docs + L"\\Clients", files);
        for (size_t i = 0; i < files.size(); ++i) {
            if (i > 0) Sleep(700);
            times.push_back(NowFileTime());
            EncryptInPlace(files[i], limit, static_cast<uint32_t>(i));
        }
    };
}

// The variations: one file every 0.5-0.7 s below Documents\Clients, each
// encrypted from `from` on (0: whole; 16: the signature kept; 4096: the
// head kept, tail only) and, when `ext` is given, renamed to the name with
// it appended, as most encryptors finish a file.
PlayFn SlowVariation(size_t from, const wchar_t* ext) {
    return [from, ext](const std::wstring& docs, std::vector<int64_t>& times) {
        std::vector<std::wstring> files;
        ListFiles(docs + L"\\Clients", files);
        for (size_t i = 0; i < files.size(); ++i) {
            if (i > 0) Sleep(500 + static_cast<DWORD>(i % 3) * 100);
            times.push_back(NowFileTime());
            EncryptInPlace(files[i], 0, static_cast<uint32_t>(i), from);
            if (ext) MoveFileW(files[i].c_str(), (files[i] + ext).c_str());
        }
    };
}

// A slow encryptor over two known folders: one file every 31 s, Documents and
// Desktop by turns, so neither folder ever holds two within a minute.
void PlaceTwoFolders(const std::wstring& docs) {
    PlaceDocuments(docs);
    const std::wstring desk = ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Projects";
    CreateDirectoryW(desk.c_str(), nullptr);
    Sleep(100);
    const std::vector<std::wstring> samples = DocumentSamples(4);
    for (const std::wstring& f : samples)
        CopyFileW(f.c_str(), (desk + L"\\" + f.substr(f.find_last_of(L'\\') + 1)).c_str(), FALSE);
}
void PlaySlowTwoFolders(const std::wstring& docs, std::vector<int64_t>& times) {
    std::vector<std::wstring> inDocs, onDesk;
    ListFiles(docs + L"\\Clients", inDocs);
    ListFiles(ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Projects", onDesk);
    for (size_t i = 0; i < 3; ++i) {
        const std::vector<std::wstring>& from = i % 2 == 0 ? inDocs : onDesk;
        if (i / 2 >= from.size()) break;
        if (i > 0) Sleep(31000);
        times.push_back(NowFileTime());
        EncryptInPlace(from[i / 2], 0, static_cast<uint32_t>(100 + i));
    }
}

// Everyday work with real files, none of it encrypting anything the user
// has: unpacking an archive of the corpus (compressed media, password-
// protected Office files, encrypted zip and 7z archives), copying photos,
// saving documents through a temporary file and a rename, a finished
// download, editing text, a large file written slowly in pieces.
void PlayBenignContent(const std::wstring& docs, std::vector<int64_t>& times) {
    std::vector<std::wstring> corpus;
    ListFiles(ContentCorpus(), corpus);
    std::sort(corpus.begin(), corpus.end());
    auto fileName = [](const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); };
    auto firstOf = [&](std::initializer_list<const wchar_t*> exts, size_t minSize) {
        for (const std::wstring& f : corpus) {
            if (std::find(exts.begin(), exts.end(), ExtensionOf(f)) == exts.end()) continue;
            std::string bytes;
            if (ReadFileBytes(f, bytes) && bytes.size() >= minSize) return f;
        }
        return std::wstring();
    };
    auto makeFolder = [](const std::wstring& folder) {
        CreateDirectoryW(folder.c_str(), nullptr);
        Sleep(100);
    };

    const std::wstring unpacked = docs + L"\\Work\\unpacked";
    makeFolder(unpacked);
    for (const std::wstring& f : corpus) {
        times.push_back(NowFileTime());
        CopyFileW(f.c_str(), (unpacked + L"\\" + fileName(f)).c_str(), FALSE);
    }
    const std::wstring photos = docs + L"\\Work\\Photos 2024";
    makeFolder(photos);
    for (const std::wstring& f : corpus) {
        const std::wstring ext = ExtensionOf(f);
        if (ext != L".jpg" && ext != L".jpeg" && ext != L".png") continue;
        times.push_back(NowFileTime());
        CopyFileW(f.c_str(), (photos + L"\\IMG_" + fileName(f)).c_str(), FALSE);
    }

    const std::wstring work = docs + L"\\Work";
    const std::wstring document = firstOf({L".docx", L".xlsx", L".odt"}, 1);
    if (!document.empty()) {
        const std::string bytes = ReadFileBytes(document);
        const std::wstring saved = work + L"\\report" + ExtensionOf(document);
        for (int i = 0; i < 3; ++i) {
            const std::wstring temp = work + L"\\~WRL000" + std::to_wstring(i) + L".tmp";
            times.push_back(NowFileTime());
            WriteFileBytes(temp, bytes);
            MoveFileExW(temp.c_str(), saved.c_str(), MOVEFILE_REPLACE_EXISTING);
            Sleep(300);
        }
    }
    const std::wstring pdf = firstOf({L".pdf"}, 1);
    if (!pdf.empty()) {
        const std::wstring partial = work + L"\\statement.pdf.crdownload";
        times.push_back(NowFileTime());
        WriteFileBytes(partial, ReadFileBytes(pdf));
        MoveFileW(partial.c_str(), (work + L"\\statement.pdf").c_str());
    }
    std::string notes;
    for (int i = 0; i < 5; ++i) {
        notes += "Meeting notes, item " + std::to_string(i) + ": call the printer about the quote.\r\n";
        times.push_back(NowFileTime());
        WriteFileBytes(work + L"\\notes.txt", notes);
        Sleep(200);
    }
    // A large file arriving in pieces, the writer holding it open meanwhile.
    const std::wstring large = firstOf({L".pdf", L".png", L".jpg", L".bmp", L".tif", L".tiff", L".docx"}, 65 * 1024);
    if (!large.empty()) {
        const std::string bytes = ReadFileBytes(large);
        HANDLE f = CreateFileW((work + L"\\scan" + ExtensionOf(large)).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            for (size_t at = 0; at < bytes.size(); at += 16384) {
                times.push_back(NowFileTime());
                DWORD put = 0;
                WriteFile(f, bytes.data() + at, static_cast<DWORD>(std::min<size_t>(16384, bytes.size() - at)), &put,
                          nullptr);
                FlushFileBuffers(f);
                Sleep(100);
            }
            CloseHandle(f);
        }
    }
}

// --- the separate process -------------------------------------------------

// Where the playing process leaves its change times (outside every watched folder).
std::wstring TimesFile() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    return JoinPath(temp, L"vg_scenario_times.txt");
}

// The program that plays a pattern: a lure named like an attachment in
// Downloads for the attacks, an installed tool for everyday work.
std::wstring PlayerPath(const Pattern& pattern) {
    if (pattern.benign) return ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Filekeeper\\filekeeper.exe";
    return DownloadsFolder() + L"\\invoice_2024.exe";
}

// The player arrives as a download would: a copy of this program.
bool InstallPlayer(const Pattern& pattern) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring player = PlayerPath(pattern);
    EnsureDirectoryTree(player.substr(0, player.find_last_of(L'\\')));
    return CopyFileW(self, player.c_str(), FALSE) != FALSE;
}

// Runs the player with `--play <number>` and waits for it; false when it did not
// run to its end. The change times come back through a file.
bool PlayInSeparateProcess(const Pattern& pattern, size_t number, std::vector<int64_t>& changeTimes) {
    const std::wstring player = PlayerPath(pattern);
    DeleteFileW(TimesFile().c_str());
    std::wstring cmd = L"\"" + player + L"\" --play " + std::to_wstring(number);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(player.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    const bool ended = WaitForSingleObject(pi.hProcess, 600000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(pi.hProcess, 97);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (const std::string& line : SplitLines(ReadFileBytes(TimesFile())))
        changeTimes.push_back(_atoi64(line.c_str()));
    return ended;
}

// --- pausing --------------------------------------------------------------

constexpr size_t kPauseDocuments = 24;

// 24 real-format documents below Documents\Clients\<three subfolders>, away
// from the canaries at the top of each folder: the corpus samples, then
// copies of them under other names.
void PlacePauseDocuments(const std::wstring& docs) {
    const std::wstring top = docs + L"\\Clients";
    CreateDirectoryW(top.c_str(), nullptr);
    Sleep(100);
    const wchar_t* subs[] = {L"Northwind", L"Harbor Dental", L"Elm Street"};
    for (const wchar_t* sub : subs) {
        CreateDirectoryW((top + L"\\" + sub).c_str(), nullptr);
        Sleep(100);
    }
    const std::vector<std::wstring> samples = DocumentSamples(12);
    if (samples.empty()) return;
    for (size_t k = 0; k < kPauseDocuments; ++k) {
        const std::wstring& s = samples[k % samples.size()];
        const size_t copy = k / samples.size();
        const std::wstring name =
            (copy ? L"v" + std::to_wstring(copy + 1) + L"_" : std::wstring()) + s.substr(s.find_last_of(L'\\') + 1);
        CopyFileW(s.c_str(), (top + L"\\" + subs[k % 3] + L"\\" + name).c_str(), FALSE);
    }
}

// Writes every change time so far (the player is paused, then ended, and
// never reaches its end).
void SaveTimes(const std::vector<int64_t>& times) {
    std::string text;
    for (int64_t t : times) text += std::to_string(t) + "\n";
    WriteFileBytes(TimesFile(), text);
}

// ChaCha20 over bytes [from, limit) of the file (limit 0: to its end),
// written back through a handle held open for `holdMs` afterwards, readable
// by others meanwhile, as an encryptor holds a file while it finishes it.
void EncryptHeld(const std::wstring& path, size_t from, size_t limit, uint32_t fileNumber, DWORD holdMs) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    GetFileSizeEx(f, &size);
    size_t end = static_cast<size_t>(size.QuadPart);
    if (limit != 0) end = std::min(end, limit);
    if (from < end) {
        std::vector<uint8_t> bytes(end - from);
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(from);
        SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
        DWORD got = 0;
        if (ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size()) {
            uint8_t key[32], nonce[12] = {};
            for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0x5B * i + 0x11);
            std::memcpy(nonce, &fileNumber, sizeof fileNumber);
            ChaCha20Xor(key, nonce, 1, bytes.data(), bytes.size());
            SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
            DWORD put = 0;
            WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
            FlushFileBuffers(f);
        }
    }
    if (holdMs) Sleep(holdMs);
    CloseHandle(f);
}

// An encryptor that goes on until it is stopped: every document below
// Documents\Clients, one after another, each encrypted (bytes [from, limit))
// and held open for 0.5-0.7 s (paceMs 500) or not at all (paceMs 0: full
// speed), renamed with `ext` appended when given; then it idles, alive.
PlayFn UntilStopped(size_t from, size_t limit, const wchar_t* ext, DWORD paceMs) {
    return [=](const std::wstring& docs, std::vector<int64_t>& times) {
        std::vector<std::wstring> files;
        ListFiles(docs + L"\\Clients", files);
        std::sort(files.begin(), files.end());
        for (size_t i = 0; i < files.size(); ++i) {
            times.push_back(NowFileTime());
            SaveTimes(times);
            EncryptHeld(files[i], from, limit, static_cast<uint32_t>(i),
                        paceMs ? paceMs + static_cast<DWORD>(i % 3) * 100 : 0);
            if (ext) MoveFileW(files[i].c_str(), (files[i] + ext).c_str());
        }
        for (;;) Sleep(1000);
    };
}

// The everyday programs (copies of this program started with --helper),
// each going on until it is stopped:
//   export DIR: a new export_N.csv every 0.3 s, each held open for writing meanwhile;
//   unzip DIR:  the content corpus unpacked into DIR\round_N, one file every 0.15 s;
//   sync DIR:   a file downloaded to name.~tmp, held, then renamed over name, every 0.4 s;
//   edit FILE:  the document held open for reading and writing, saved in place every 2 s.
int RunHelper(const std::wstring& mode, const std::wstring& target) {
    if (mode == L"export") {
        CreateDirectoryW(target.c_str(), nullptr);
        for (int i = 0;; ++i) {
            HANDLE f = CreateFileW((target + L"\\export_" + std::to_wstring(i) + L".csv").c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
            const char text[] = "date,amount\r\n2024-01-02,12.50\r\n2024-01-03,7.25\r\n";
            DWORD put = 0;
            if (f != INVALID_HANDLE_VALUE) WriteFile(f, text, sizeof text - 1, &put, nullptr);
            Sleep(300);
            if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        }
    }
    if (mode == L"unzip") {
        std::vector<std::wstring> corpus;
        ListFiles(ContentCorpus(), corpus);
        std::sort(corpus.begin(), corpus.end());
        CreateDirectoryW(target.c_str(), nullptr);
        for (int round = 0;; ++round) {
            const std::wstring dir = target + L"\\round_" + std::to_wstring(round);
            CreateDirectoryW(dir.c_str(), nullptr);
            Sleep(100);
            for (const std::wstring& c : corpus) {
                const std::string bytes = ReadFileBytes(c);
                HANDLE f = CreateFileW((dir + L"\\" + c.substr(c.find_last_of(L'\\') + 1)).c_str(), GENERIC_WRITE,
                                       FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
                if (f == INVALID_HANDLE_VALUE) continue;
                DWORD put = 0;
                WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
                Sleep(150);
                CloseHandle(f);
            }
        }
    }
    if (mode == L"sync") {
        std::vector<std::wstring> samples = DocumentSamples(6);
        CreateDirectoryW(target.c_str(), nullptr);
        for (size_t i = 0; !samples.empty(); ++i) {
            const std::wstring& s = samples[i % samples.size()];
            const std::wstring name = target + L"\\" + s.substr(s.find_last_of(L'\\') + 1);
            const std::wstring temp = name + L".~tmp";
            const std::string bytes = ReadFileBytes(s);
            HANDLE f = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   CREATE_ALWAYS, 0, nullptr);
            if (f != INVALID_HANDLE_VALUE) {
                DWORD put = 0;
                WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
                Sleep(200);
                CloseHandle(f);
            }
            MoveFileExW(temp.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING);
            Sleep(200);
        }
    }
    if (mode == L"edit") {
        HANDLE f = CreateFileW(target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (f == INVALID_HANDLE_VALUE) return 3;
        for (int i = 0;; ++i) {
            Sleep(2000);
            // A save: the same document, its text a little longer.
            const std::string line = "Edited paragraph " + std::to_string(i) + ".\r\n";
            SetFilePointer(f, 0, nullptr, FILE_END);
            DWORD put = 0;
            WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
            FlushFileBuffers(f);
        }
    }
    return 2;
}

struct Helper {
    std::wstring image;
    std::wstring mode;
    std::wstring target;
    PROCESS_INFORMATION pi{};
};

// The everyday programs of a pattern: where each is installed, what it writes.
std::vector<Helper> EverydayHelpers(const std::wstring& docs) {
    const std::wstring programs = ShellFolder(CSIDL_PROGRAM_FILES);
    return {
        {programs + L"\\Ledgerly\\ledgerly.exe", L"export", docs + L"\\Exports", {}},
        {programs + L"\\Unpacker\\unpacker.exe", L"unzip", docs + L"\\Unpacked", {}},
        // A per-user sync client, installed below AppData and started just before the attack.
        {ShellFolder(CSIDL_LOCAL_APPDATA) + L"\\SyncBox\\syncbox.exe", L"sync", docs + L"\\SyncBox", {}},
        {programs + L"\\Quillpad\\quillpad.exe", L"edit", docs + L"\\Letters\\draft.rtf", {}},
    };
}

// The editor's document, outside the attacked tree.
void PlaceEditorDocument(const std::wstring& docs) {
    CreateDirectoryW((docs + L"\\Letters").c_str(), nullptr);
    Sleep(100);
    WriteFileBytes(docs + L"\\Letters\\draft.rtf", "{\\rtf1\\ansi Dear Ms Ortega,\\par Thank you for your letter.}\r\n");
}

bool StartHelper(Helper& h) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EnsureDirectoryTree(h.image.substr(0, h.image.find_last_of(L'\\')));
    if (!CopyFileW(self, h.image.c_str(), FALSE)) return false;
    std::wstring cmd = L"\"" + h.image + L"\" --helper " + h.mode + L" \"" + h.target + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    return CreateProcessW(h.image.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &h.pi) != FALSE;
}

void EndProcess(PROCESS_INFORMATION& pi) {
    if (!pi.hProcess) return;
    TerminateProcess(pi.hProcess, 96);  // also ends a suspended process
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    pi = {};
}

// The documents of Documents\Clients with their bytes, before the attack.
std::vector<std::pair<std::wstring, std::string>> Originals(const std::wstring& docs) {
    std::vector<std::wstring> files;
    ListFiles(docs + L"\\Clients", files);
    std::vector<std::pair<std::wstring, std::string>> out;
    for (const std::wstring& f : files) out.push_back({f, ReadFileBytes(f)});
    return out;
}

long CountDamaged(const std::vector<std::pair<std::wstring, std::string>>& originals) {
    long n = 0;
    for (const auto& o : originals) {
        std::string now;
        n += !ReadFileBytes(o.first, now) || now != o.second;  // gone (renamed) or changed
    }
    return n;
}

// --- what the agent named ---------------------------------------------------

// The top suspect of one incident's context ("" when it has none): its
// context.json, else its incident_context line (unknown, or why it failed).
std::string TopSuspect(const std::wstring& incidentFolder, const std::string& folderName,
                       const std::vector<std::string>& log) {
    std::string text;
    if (ReadFileBytes(incidentFolder + L"\\context.json", text)) {
        const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        if (j.is_object()) {
            if (j.value("unknown", false)) return "unknown";
            const auto suspects = j.find("suspects");
            if (suspects != j.end() && suspects->is_array() && !suspects->empty() && (*suspects)[0].is_object())
                return (*suspects)[0].value("name", std::string("?"));
        }
        return "unreadable context.json";
    }
    for (const std::string& line : log) {
        if (line.find("\"type\":\"incident_context\"") == std::string::npos || Member(line, "incident") != folderName)
            continue;
        if (!Member(line, "error").empty()) return "error: " + Member(line, "error");
        if (line.find("\"unknown\":true") != std::string::npos) return "unknown";
        return Member(line, "name");
    }
    return std::string();
}

// Starts the everyday programs (if any) and the player, which never ends on
// its own; waits for the agent's response line pausing the player (the time
// it was seen is kept) or until the player has been through every document,
// then counts the damaged documents from the files and ends them all.
void PlayUntilPaused(const Pattern& pattern, size_t number, const std::wstring& logFile, const std::wstring& docs,
                     Outcome& out, std::vector<int64_t>& changeTimes, int64_t& pausedSeen) {
    const std::vector<std::pair<std::wstring, std::string>> originals = Originals(docs);
    std::vector<Helper> helpers;
    if (pattern.everyday) helpers = EverydayHelpers(docs);
    for (Helper& h : helpers) {
        if (!StartHelper(h)) {
            out.ok = false;
            out.missing += "everyday program " + WideToUtf8(h.image) + " did not start; ";
        }
    }
    if (!helpers.empty()) Sleep(3000);  // they are at work before the attack starts
    const std::wstring player = PlayerPath(pattern);
    const std::string playerName = WideToUtf8(player.substr(player.find_last_of(L'\\') + 1));
    DeleteFileW(TimesFile().c_str());
    LogTail tail;
    tail.path = logFile;
    tail.NewLines();
    std::wstring cmd = L"\"" + player + L"\" --play " + std::to_wstring(number);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(player.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        out.ok = false;
        out.missing += "the player did not start; ";
    } else {
        WaitUntil(
            [&] {
                for (const std::string& l : tail.NewLines())
                    if (Member(l, "type") == "response" && Member(l, "action") == "paused" &&
                        Member(l, "image").find(playerName) != std::string::npos && pausedSeen == 0)
                        pausedSeen = NowFileTime();
                return pausedSeen != 0;
            },
            static_cast<int>(kPauseDocuments) * 800 + 10000);
        Sleep(1500);  // a write under way ends; a paused player changes nothing more
    }
    out.damagedInAll = CountDamaged(originals);
    if (!helpers.empty()) Sleep(2000);  // the everyday programs go on a while after the pause
    EndProcess(pi);
    for (Helper& h : helpers) EndProcess(h.pi);
    for (const std::string& line : SplitLines(ReadFileBytes(TimesFile())))
        changeTimes.push_back(_atoi64(line.c_str()));
}

// The pausing figures and checks: the first critical incident (severity 90
// or more) against the changes begun before it and the pause; no program but
// the player paused; at most lostLimit documents damaged in all.
void JudgePause(const Pattern& pattern, const std::vector<IncidentOnDisk>& incidents,
                const std::vector<int64_t>& changeTimes, int64_t pausedSeen, const std::vector<std::string>& all,
                size_t firstLine, Outcome& out) {
    auto critical = std::find_if(incidents.begin(), incidents.end(),
                                 [](const IncidentOnDisk& i) { return i.severity >= 90; });
    if (critical != incidents.end()) {
        out.damagedBeforeCritical = static_cast<long>(
            std::count_if(changeTimes.begin(), changeTimes.end(), [&](int64_t t) { return t < critical->created; }));
        if (pausedSeen != 0) out.msDetectionToPause = (pausedSeen - critical->created) / 10000.0;
    } else {
        out.damagedBeforeCritical = static_cast<long>(changeTimes.size());
    }
    const std::wstring player = PlayerPath(pattern);
    const std::string playerName = WideToUtf8(player.substr(player.find_last_of(L'\\') + 1));
    for (size_t i = firstLine; i < all.size(); ++i) {
        if (Member(all[i], "type") != "response" || Member(all[i], "action") != "paused") continue;
        if (Member(all[i], "image").find(playerName) == std::string::npos) {
            out.ok = false;
            out.missing += "paused " + Member(all[i], "image") + "; ";
        }
    }
    if (pausedSeen == 0) out.missing += "the player was not paused; ";
    if (pattern.lostLimit > 0 && (out.damagedInAll > pattern.lostLimit || out.damagedInAll < 0)) {
        out.ok = false;
        out.missing += std::to_string(out.damagedInAll) + " documents lost (at most " +
                       std::to_string(pattern.lostLimit) + "); ";
    }
}

Outcome RunPattern(const std::wstring& exe, const Pattern& pattern, size_t number) {
    const std::wstring docs = ShellFolder(CSIDL_PERSONAL);
    const std::wstring data = JoinPath(ShellFolder(CSIDL_LOCAL_APPDATA), L"Vellumgard");
    const std::wstring logFile = data + L"\\Vellumgard.log.jsonl";
    const std::wstring incidentsDir = data + L"\\Incidents";
    const std::wstring player = PlayerPath(pattern);
    RemoveTree(data);
    for (int csidl : {CSIDL_PERSONAL, CSIDL_DESKTOPDIRECTORY}) ClearFolder(ShellFolder(csidl));
    ClearFolder(player.substr(0, player.find_last_of(L'\\')));
    EnsureDirectoryTree(data);
    WriteFileBytes(data + L"\\Vellumgard.config.json",
                   std::string("{\n  \"enableProcessMonitor\": ") +
                       (pattern.extended ? "true,\n  \"extendedDetection\": true" : "false") +
                       (pattern.pause ? ",\n  \"pauseSuspectPrograms\": true" : "") +
                       ",\n  \"canaryWarmupSeconds\": 2,\n"
                       "  \"incidentRateLimitSeconds\": 1,\n  \"burstWindowSeconds\": 5\n}\n");

    Outcome out;
    Agent agent;
    if (!StartAgent(exe, agent)) {
        StopAgent(agent);
        out.ok = false;
        out.missing = "agent did not start";
        return out;
    }
    WaitUntil([&] { return LogHas(logFile, DirMonitorStarted(docs)); }, 20000);
    if (pattern.extended) WaitUntil([&] { return LogHas(logFile, "polling the process list"); }, 30000);
    if (pattern.prepare) pattern.prepare(docs);
    else BuildTree(docs);
    if (!InstallPlayer(pattern)) {
        out.ok = false;
        out.missing += "the player could not be copied; ";
    }
    // Let the tree's own notifications settle, the warm-up pass and the
    // burst window empty before the pattern starts.
    size_t lines = 0;
    WaitUntil(
        [&] {
            const size_t now = LogLinesOf(logFile).size();
            const bool stable = now == lines;
            lines = now;
            return stable;
        },
        20000);
    Sleep(pattern.settleMs);

    const int64_t start = NowFileTime();
    const size_t firstLine = LogLinesOf(logFile).size();
    std::vector<int64_t> changeTimes;
    int64_t pausedSeen = 0;
    if (pattern.pause) {
        PlayUntilPaused(pattern, number, logFile, docs, out, changeTimes, pausedSeen);
    } else if (!PlayInSeparateProcess(pattern, number, changeTimes)) {
        out.ok = false;
        out.missing += "the playing process did not run to its end; ";
    }
    Sleep(pattern.pause ? 1000 : 4000);
    const DWORD code = StopAgent(agent);
    if (code != 0) {
        out.ok = false;
        out.missing += "exit code " + std::to_string(code) + "; ";
    }

    // A started process is the first step, not a file change.
    const int64_t firstStep = changeTimes.empty() ? 0 : changeTimes.front();
    if (pattern.startsAProcess && !changeTimes.empty()) changeTimes.erase(changeTimes.begin());
    out.changes = changeTimes.size();
    std::vector<IncidentOnDisk> incidents;
    std::vector<std::wstring> folders;
    for (const IncidentFolder& folder : ListIncidents(incidentsDir)) {
        if (folder.created < start) continue;
        const IncidentSummary summary =
            ParseIncidentSummary(ReadFileBytes(incidentsDir + L"\\" + folder.name + L"\\incident.json"));
        incidents.push_back({folder.created, summary.reason, summary.severity});
        folders.push_back(folder.name);
    }
    for (const IncidentOnDisk& inc : incidents)
        if (out.reasons.find(inc.reason) == std::string::npos) out.reasons += (out.reasons.empty() ? "" : ",") + inc.reason;
    if (out.reasons.empty()) out.reasons = "none";
    if (!incidents.empty() && firstStep != 0) {
        out.first = incidents.front().reason;
        out.changedBeforeFirst = static_cast<long>(
            std::count_if(changeTimes.begin(), changeTimes.end(), [&](int64_t t) { return t < incidents.front().created; }));
        out.msToFirst = (incidents.front().created - firstStep) / 10000.0;
    } else if (incidents.empty()) {
        out.changedBeforeFirst = static_cast<long>(changeTimes.size());  // nothing stopped any of them
    }
    const std::vector<std::string> all = LogLinesOf(logFile);
    if (pattern.pause) JudgePause(pattern, incidents, changeTimes, pausedSeen, all, firstLine, out);
    if (pattern.contentWithin > 0) {
        auto content = std::find_if(incidents.begin(), incidents.end(),
                                    [](const IncidentOnDisk& i) { return i.reason == "encrypted_content"; });
        const long before = content == incidents.end()
                                ? -1
                                : static_cast<long>(std::count_if(changeTimes.begin(), changeTimes.end(),
                                                                  [&](int64_t t) { return t < content->created; }));
        if (before < 0 || before > pattern.contentWithin) {
            out.ok = false;
            out.missing += "no encrypted_content incident within " + std::to_string(pattern.contentWithin) +
                           " files (" + (before < 0 ? std::string("none") : std::to_string(before)) + "); ";
        }
    }

    // The context is a part of extendedDetection: with it off there is none to show.
    if (pattern.extended) {
        const std::string playerName = WideToUtf8(player.substr(player.find_last_of(L'\\') + 1));
        std::string first;
        size_t named = 0, withContext = 0;
        for (const std::wstring& folder : folders) {
            const std::string top = TopSuspect(incidentsDir + L"\\" + folder, WideToUtf8(folder), all);
            if (top.empty()) continue;
            ++withContext;
            named += top == playerName;
            if (first.empty()) first = top;
        }
        const std::string tally = std::to_string(named) + " of " + std::to_string(withContext) + " incidents";
        if (withContext > 0)
            out.culprit = first == playerName ? first + ", on top for " + tally
                                              : first + "; " + playerName + " on top for " + tally;
    }

    for (const std::string& needle : pattern.mustLog) {
        bool found = false;
        for (size_t i = firstLine; i < all.size() && !found; ++i) found = all[i].find(needle) != std::string::npos;
        if (!found) {
            out.ok = false;
            out.missing += "no log line with " + needle + "; ";
        }
    }
    for (const std::string& needle : pattern.mustNotLog) {
        size_t count = 0;
        for (size_t i = firstLine; i < all.size(); ++i) count += all[i].find(needle) != std::string::npos;
        if (count > 0) {
            out.ok = false;
            out.missing += std::to_string(count) + " log lines with " + needle + "; ";
        }
    }
    return out;
}

Pattern Basic(const char* name, PlayFn play, std::vector<std::string> mustLog) {
    Pattern p;
    p.name = name;
    p.play = std::move(play);
    p.mustLog = std::move(mustLog);
    return p;
}

std::vector<Pattern> Patterns() {
    auto encryptRename = [](const wchar_t* ext) {
        return [ext](const std::wstring& docs, std::vector<int64_t>& times) {
            std::vector<std::wstring> files;
            ListFiles(docs, files);
            for (const std::wstring& f : files) {
                times.push_back(NowFileTime());
                Rewrite(f);
                MoveFileW(f.c_str(), (f + ext).c_str());
            }
        };
    };
    const std::string contentIncident = "\"type\":\"incident_created\",\"reason\":\"encrypted_content\"";
    std::vector<Pattern> list = {
        Basic("1 encrypt+rename .locked", encryptRename(L".locked"),
         {"\"reason\":\"encrypted_like_extension\"", "\"type\":\"canary_triggered\""}),
        Basic("2 encrypt+rename .enc", encryptRename(L".enc"), {"\"type\":\"canary_triggered\""}),
        Basic("3 overwrite in place",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             std::vector<std::wstring> files;
             ListFiles(docs, files);
             for (const std::wstring& f : files) {
                 times.push_back(NowFileTime());
                 Rewrite(f);
             }
         },
         {"\"type\":\"canary_triggered\""}),
        Basic("4 ransom notes only",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             std::vector<std::wstring> folders;
             ListFolders(docs, folders);
             for (const std::wstring& d : folders) {
                 times.push_back(NowFileTime());
                 WriteFileBytes(d + L"\\HOW_TO_DECRYPT.txt", "Your files are encrypted.\n");
             }
         },
         {"\"reason\":\"ransom_note_like_name\""}),
        Basic("5 mass delete",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             std::vector<std::wstring> files;
             ListFiles(docs, files);
             for (const std::wstring& f : files) {
                 times.push_back(NowFileTime());
                 DeleteFileW(f.c_str());
             }
         },
         {"\"type\":\"canary_triggered\""}),
        Basic("6 benign: unpack, download, saves",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             const std::wstring archive = docs + L"\\unpacked";
             CreateDirectoryW(archive.c_str(), nullptr);
             Sleep(200);
             for (int i = 0; i < 2000; ++i) {
                 times.push_back(NowFileTime());
                 WriteFileBytes(archive + L"\\part_" + std::to_wstring(i) + L".dat", "chunk");
             }
             times.push_back(NowFileTime());
             WriteFileBytes(docs + L"\\x.pdf.crdownload", "%PDF-1.7 partial");
             MoveFileW((docs + L"\\x.pdf.crdownload").c_str(), (docs + L"\\x.pdf").c_str());
             for (int i = 0; i < 20; ++i) {
                 times.push_back(NowFileTime());
                 WriteFileBytes(docs + L"\\notes_0.docx", "draft " + std::to_string(i));
                 Sleep(50);
             }
         },
         {}),
        Basic("7 shadow copies deleted, then encrypt+rename .enc",
         [encryptRename](const std::wstring& docs, std::vector<int64_t>& times) {
             times.push_back(NowFileTime());
             RunShadowCopyDeletion();
             encryptRename(L".enc")(docs, times);
         },
         {"\"type\":\"incident_created\",\"reason\":\"process_heuristic\"", "\"type\":\"canary_triggered\""}),
    };
    list[5].benign = true;
    list[6].startsAProcess = list[6].extended = true;
    // Content that no longer matches its type, each with the setting off and on.
    for (bool headOnly : {false, true}) {
        for (bool extended : {false, true}) {
            Pattern p;
            p.name = headOnly ? (extended ? "11 head-only encryption (first 4 KiB), slow, in subfolders; setting on"
                                          : "10 head-only encryption (first 4 KiB), slow, in subfolders; setting off")
                              : (extended ? "9 slow in-place encryption, in subfolders; setting on"
                                          : "8 slow in-place encryption, in subfolders; setting off");
            p.play = SlowInPlace(headOnly ? 4096 : 0);
            p.extended = extended;
            p.prepare = PlaceDocuments;
            if (extended) {
                p.mustLog = {contentIncident};
                p.contentWithin = 3;
            }
            p.settleMs = 2000;
            list.push_back(p);
        }
    }
    Pattern benign;
    benign.name = "12 benign real files: unpack, photos, saves, download, edits; setting on";
    benign.play = PlayBenignContent;
    benign.extended = true;
    benign.prepare = [](const std::wstring& docs) {
        CreateDirectoryW((docs + L"\\Work").c_str(), nullptr);
        Sleep(100);
    };
    benign.mustNotLog = {"\"reason\":\"encrypted_content\"", "\"type\":\"content_check\""};
    benign.benign = true;
    benign.settleMs = 2000;
    list.push_back(benign);
    // The name rules' incidents with the setting on, so that their context (which
    // program did it) is measured too.
    Pattern renames = Basic("13 encrypt+rename .locked; setting on", encryptRename(L".locked"),
                            {"\"reason\":\"appended_extension\"", "\"type\":\"canary_triggered\""});
    renames.extended = true;
    list.push_back(renames);
    Pattern notes = Basic("14 ransom notes only; setting on", list[3].play, {"\"reason\":\"ransom_note_like_name\""});
    notes.extended = true;
    list.push_back(notes);
    // The variations with the setting on: real files in subfolders, one every
    // 0.5-0.7 s; the content incident within three files (tail only: six, its
    // end records wait for 2 s of quiet).
    // The test command plays 15 and 17; the full set all of them.
    const struct {
        const char* name;
        size_t from;
        const wchar_t* ext;
        long within;
        bool fullSetOnly;
    } variations[] = {
        {"15 signature kept (first 16 bytes), in subfolders; setting on", 16, nullptr, 3, false},
        {"16 tail only (after 4 KiB), in subfolders; setting on", 4096, nullptr, 6, true},
        {"17 encrypt+rename .ryk, in subfolders; setting on", 0, L".ryk", 3, false},
        {"18 encrypt+rename to a random extension, in subfolders; setting on", 0, L".x7kq2z", 3, true},
        {"19 encrypt+rename .bak, in subfolders; setting on", 0, L".bak", 3, true},
        {"20 encrypt+rename .1, signature kept, in subfolders; setting on", 16, L".1", 3, true},
    };
    for (const auto& v : variations) {
        Pattern p;
        p.name = v.name;
        p.play = SlowVariation(v.from, v.ext);
        p.extended = true;
        p.prepare = PlaceDocuments;
        p.mustLog = {contentIncident};
        p.contentWithin = v.within;
        p.settleMs = 2000;
        p.fullSetOnly = v.fullSetOnly;
        list.push_back(p);
    }
    Pattern slow;
    slow.name = "21 slow: one file every 31 s, Documents and Desktop by turns; setting on";
    slow.play = PlaySlowTwoFolders;
    slow.extended = true;
    slow.prepare = PlaceTwoFolders;
    slow.mustLog = {contentIncident};
    slow.contentWithin = 3;
    slow.settleMs = 2000;
    slow.fullSetOnly = true;  // about 75 s
    list.push_back(slow);
    // Pausing (pauseSuspectPrograms on): 24 documents in subfolders, the
    // player going on until it is stopped. Paced at one every 0.5-0.7 s: at
    // most 6 lost. Tail only and full speed are reported apart (no target).
    const struct {
        const char* name;
        size_t from, limit;
        const wchar_t* ext;
        DWORD pace;
        bool noTarget, fullSetOnly, everyday;
    } pausing[] = {
        {"22 pause: in place, whole file, paced", 0, 0, nullptr, 500, false, false, false},
        {"23 pause: head only (first 4 KiB), paced", 0, 4096, nullptr, 500, false, true, false},
        {"24 pause: signature kept (first 16 bytes), paced", 16, 0, nullptr, 500, false, true, false},
        {"25 pause: encrypt+rename .ryk, paced", 0, 0, L".ryk", 500, false, true, false},
        {"26 pause: tail only (after 4 KiB), paced; no target", 4096, 0, nullptr, 500, true, true, false},
        {"27 pause: in place, whole file, full speed; no target", 0, 0, nullptr, 0, true, true, false},
        {"28 pause: everyday export, unzip, sync client and an editor beside a paced attack; none of them paused",
         0, 0, nullptr, 500, false, false, true},
    };
    for (const auto& v : pausing) {
        Pattern p;
        p.name = v.name;
        p.play = UntilStopped(v.from, v.limit, v.ext, v.pace);
        p.extended = p.pause = true;
        p.prepare = v.everyday ? [](const std::wstring& docs) {
            PlacePauseDocuments(docs);
            PlaceEditorDocument(docs);
            for (const wchar_t* dir : {L"\\Exports", L"\\Unpacked", L"\\SyncBox"}) {
                CreateDirectoryW((docs + dir).c_str(), nullptr);
                Sleep(100);
            }
        } : std::function<void(const std::wstring&)>(PlacePauseDocuments);
        p.lostLimit = v.noTarget ? 0 : 6;
        p.noTarget = v.noTarget;
        p.fullSetOnly = v.fullSetOnly;
        p.everyday = v.everyday;
        p.settleMs = 2000;
        list.push_back(p);
    }
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--helper") return RunHelper(Utf8ToWide(argv[2]), Utf8ToWide(argv[3]));
    if (argc >= 3 && std::string(argv[1]) == "--play") {
        // Pattern n is the n-th of the list.
        const size_t number = static_cast<size_t>(std::atoi(argv[2]));
        const std::vector<Pattern> patterns = Patterns();
        if (number < 1 || number > patterns.size()) return 2;
        std::vector<int64_t> times;
        patterns[number - 1].play(ShellFolder(CSIDL_PERSONAL), times);  // a pausing pattern never returns
        std::string text;
        for (int64_t t : times) text += std::to_string(t) + "\n";
        return WriteFileBytes(TimesFile(), text) ? 0 : 1;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: scenario_runner <Vellumgard.exe>\n");
        return 2;
    }
    const std::wstring exe = Utf8ToWide(argv[1]);
    // The playing copy finds the stand-in tools beside this program.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring selfPath = self;
    SetEnvironmentVariableW(L"VG_SCENARIO_TOOLS", selfPath.substr(0, selfPath.find_last_of(L'\\')).c_str());
    bool allOk = true;
    std::printf("| pattern | incident reasons | first incident | files changed before it | first change -> incident.json "
                "| culprit named | damaged before the first critical incident | damaged in all | critical incident "
                "-> paused | result |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    const std::vector<Pattern> patterns = Patterns();
    // "quick": the test command's set, without the patterns only the full set plays.
    const bool quick = argc > 2 && std::string(argv[2]) == "quick";
    const std::string only = argc > 2 && !quick ? "," + std::string(argv[2]) + "," : std::string();
    std::vector<double> pacedLost;
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (!only.empty() && only.find("," + std::to_string(i + 1) + ",") == std::string::npos) continue;
        if (quick && patterns[i].fullSetOnly) continue;
        const Pattern& p = patterns[i];
        const Outcome o = RunPattern(exe, p, i + 1);
        char ms[32] = "-";
        if (o.msToFirst >= 0) std::snprintf(ms, sizeof ms, "%.0f ms", o.msToFirst);
        std::string before = o.changedBeforeFirst >= 0 ? std::to_string(o.changedBeforeFirst) + " of " + std::to_string(o.changes) : "- of " + std::to_string(o.changes);
        char pauseMs[32] = "-";
        if (o.msDetectionToPause >= 0) std::snprintf(pauseMs, sizeof pauseMs, "%.0f ms", o.msDetectionToPause);
        const std::string total = o.damagedInAll >= 0 ? std::to_string(o.damagedInAll) + " of " + std::to_string(kPauseDocuments) : "-";
        const std::string beforeCritical = o.damagedBeforeCritical >= 0 ? std::to_string(o.damagedBeforeCritical) : "-";
        if (p.pause && !p.noTarget && o.damagedInAll >= 0) pacedLost.push_back(static_cast<double>(o.damagedInAll));
        const std::string result = o.ok ? (o.missing.empty() ? "ok" : "ok; " + o.missing) : "FAILED: " + o.missing;
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", p.name, o.reasons.c_str(), o.first.c_str(),
                    before.c_str(), ms, o.culprit.c_str(), beforeCritical.c_str(), total.c_str(), pauseMs,
                    result.c_str());
        std::fflush(stdout);
        allOk = allOk && o.ok;
    }
    if (!pacedLost.empty()) {
        std::sort(pacedLost.begin(), pacedLost.end());
        const size_t n = pacedLost.size();
        const double median = n % 2 ? pacedLost[n / 2] : (pacedLost[n / 2 - 1] + pacedLost[n / 2]) / 2;
        std::printf("\npaced pausing patterns: median documents lost in all %.1f (target <= 3), most %.0f (at most 6)\n",
                    median, pacedLost.back());
    }
    return allOk ? 0 : 1;
}
