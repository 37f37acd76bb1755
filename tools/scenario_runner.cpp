// Plays ransomware-like and benign file patterns, and one attack that starts
// with a shadow-copy deletion, against the real agent and prints what the
// agent caught. Each pattern is played by a separate process started after
// the agent, as an encryptor runs: a copy of this program, named like a
// downloaded lure, started with --play. Runs under Wine in a sandbox prefix
// (scripts/scenarios.sh); each pattern gets a fresh data folder and a fresh
// document tree.
//
// Usage: scenario_runner.exe <path of Vellumgard.exe> [pattern numbers, e.g. 8,9,12]
//        scenario_runner.exe --play <pattern number>   (the copy's side)
// Exit code 0 when every guaranteed detection appeared, 1 otherwise.
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
    if (!PlayInSeparateProcess(pattern, number, changeTimes)) {
        out.ok = false;
        out.missing += "the playing process did not run to its end; ";
    }
    Sleep(4000);
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
        incidents.push_back(
            {folder.created,
             ParseIncidentSummary(ReadFileBytes(incidentsDir + L"\\" + folder.name + L"\\incident.json")).reason});
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
    const struct {
        const char* name;
        size_t from;
        const wchar_t* ext;
        long within;
    } variations[] = {
        {"15 signature kept (first 16 bytes), in subfolders; setting on", 16, nullptr, 3},
        {"16 tail only (after 4 KiB), in subfolders; setting on", 4096, nullptr, 6},
        {"17 encrypt+rename .ryk, in subfolders; setting on", 0, L".ryk", 3},
        {"18 encrypt+rename to a random extension, in subfolders; setting on", 0, L".x7kq2z", 3},
        {"19 encrypt+rename .bak, in subfolders; setting on", 0, L".bak", 3},
        {"20 encrypt+rename .1, signature kept, in subfolders; setting on", 16, L".1", 3},
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
    list.push_back(slow);
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--play") {
        // Pattern n is the n-th of the list.
        const size_t number = static_cast<size_t>(std::atoi(argv[2]));
        const std::vector<Pattern> patterns = Patterns();
        if (number < 1 || number > patterns.size()) return 2;
        std::vector<int64_t> times;
        patterns[number - 1].play(ShellFolder(CSIDL_PERSONAL), times);
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
                "| culprit named | result |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    const std::vector<Pattern> patterns = Patterns();
    const std::string only = argc > 2 ? "," + std::string(argv[2]) + "," : std::string();
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (!only.empty() && only.find("," + std::to_string(i + 1) + ",") == std::string::npos) continue;
        const Pattern& p = patterns[i];
        const Outcome o = RunPattern(exe, p, i + 1);
        char ms[32] = "-";
        if (o.msToFirst >= 0) std::snprintf(ms, sizeof ms, "%.0f ms", o.msToFirst);
        std::string before = o.changedBeforeFirst >= 0 ? std::to_string(o.changedBeforeFirst) + " of " + std::to_string(o.changes) : "- of " + std::to_string(o.changes);
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", p.name, o.reasons.c_str(), o.first.c_str(), before.c_str(),
                    ms, o.culprit.c_str(), o.ok ? "ok" : ("FAILED: " + o.missing).c_str());
        std::fflush(stdout);
        allOk = allOk && o.ok;
    }
    return allOk ? 0 : 1;
}
