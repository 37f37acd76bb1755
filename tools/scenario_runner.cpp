// Plays ransomware-like and benign file patterns, and one attack that starts
// with a shadow-copy deletion, against the real agent, from outside it, and
// prints what the agent caught. Runs under Wine in a sandbox
// prefix (scripts/scenarios.sh); each pattern gets a fresh data folder and a
// fresh document tree.
//
// Usage: scenario_runner.exe <path of Vellumgard.exe>
// Exit code 0 when every guaranteed detection appeared, 1 otherwise.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/text.h"
#include "incidents/incident_scanner.h"
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

std::vector<IncidentOnDisk> IncidentsOnDisk(const std::wstring& incidentsDir) {
    std::vector<IncidentOnDisk> list;
    for (const IncidentFolder& folder : ListIncidents(incidentsDir))
        list.push_back({folder.created,
                        ParseIncidentSummary(ReadFileBytes(incidentsDir + L"\\" + folder.name + L"\\incident.json")).reason});
    return list;
}

struct Outcome {
    std::string reasons;          // incident reasons that appeared, in order of first appearance
    std::string first = "-";      // the first incident's reason
    long changedBeforeFirst = -1; // files changed before the first incident.json existed
    double msToFirst = -1;        // first change -> first incident.json
    size_t changes = 0;
    bool ok = true;
    std::string missing;
};

struct Pattern {
    const char* name;
    // Plays the pattern; records the file time of each file change.
    std::function<void(const std::wstring& docs, std::vector<int64_t>& changeTimes)> play;
    // Log lines that must appear (guaranteed by the rules, whatever the timing).
    std::vector<std::string> mustLog;
    // The first step starts a process (its time is changeTimes[0], no file
    // change); the agent polls the process list (extendedDetection).
    bool startsAProcess = false;
};

// The stand-in program (tools/sleeper.cpp), built beside this runner, copied
// to vssadmin.exe and run the way a script deletes the shadow copies: it
// lives a second, and the script waits for it before going on.
void RunShadowCopyDeletion() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring sleeper = self;
    sleeper = sleeper.substr(0, sleeper.find_last_of(L'\\') + 1) + L"sleeper.exe";
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

Outcome RunPattern(const std::wstring& exe, const Pattern& pattern) {
    const std::wstring docs = ShellFolder(CSIDL_PERSONAL);
    const std::wstring data = JoinPath(ShellFolder(CSIDL_LOCAL_APPDATA), L"Vellumgard");
    const std::wstring logFile = data + L"\\Vellumgard.log.jsonl";
    RemoveTree(data);
    for (int csidl : {CSIDL_PERSONAL, CSIDL_DESKTOPDIRECTORY}) ClearFolder(ShellFolder(csidl));
    EnsureDirectoryTree(data);
    WriteFileBytes(data + L"\\Vellumgard.config.json",
                   std::string("{\n  \"enableProcessMonitor\": ") +
                       (pattern.startsAProcess ? "true,\n  \"extendedDetection\": true" : "false") +
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
    WaitUntil([&] { return LogHas(logFile, "Dir monitor started: " + WideToUtf8(docs) + "\""); }, 20000);
    if (pattern.startsAProcess) WaitUntil([&] { return LogHas(logFile, "polling the process list"); }, 30000);
    BuildTree(docs);
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
    Sleep(6000);

    const int64_t start = NowFileTime();
    const size_t firstLine = LogLinesOf(logFile).size();
    std::vector<int64_t> changeTimes;
    pattern.play(docs, changeTimes);
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
    for (const IncidentOnDisk& inc : IncidentsOnDisk(data + L"\\Incidents"))
        if (inc.created >= start) incidents.push_back(inc);
    for (const IncidentOnDisk& inc : incidents)
        if (out.reasons.find(inc.reason) == std::string::npos) out.reasons += (out.reasons.empty() ? "" : ",") + inc.reason;
    if (out.reasons.empty()) out.reasons = "none";
    if (!incidents.empty() && firstStep != 0) {
        out.first = incidents.front().reason;
        out.changedBeforeFirst = static_cast<long>(
            std::count_if(changeTimes.begin(), changeTimes.end(), [&](int64_t t) { return t < incidents.front().created; }));
        out.msToFirst = (incidents.front().created - firstStep) / 10000.0;
    }
    const std::vector<std::string> all = LogLinesOf(logFile);
    for (const std::string& needle : pattern.mustLog) {
        bool found = false;
        for (size_t i = firstLine; i < all.size() && !found; ++i) found = all[i].find(needle) != std::string::npos;
        if (!found) {
            out.ok = false;
            out.missing += "no log line with " + needle + "; ";
        }
    }
    return out;
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
    return {
        {"1 encrypt+rename .locked", encryptRename(L".locked"),
         {"\"reason\":\"encrypted_like_extension\"", "\"type\":\"canary_triggered\""}},
        {"2 encrypt+rename .enc", encryptRename(L".enc"), {"\"type\":\"canary_triggered\""}},
        {"3 overwrite in place",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             std::vector<std::wstring> files;
             ListFiles(docs, files);
             for (const std::wstring& f : files) {
                 times.push_back(NowFileTime());
                 Rewrite(f);
             }
         },
         {"\"type\":\"canary_triggered\""}},
        {"4 ransom notes only",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             std::vector<std::wstring> folders;
             ListFolders(docs, folders);
             for (const std::wstring& d : folders) {
                 times.push_back(NowFileTime());
                 WriteFileBytes(d + L"\\HOW_TO_DECRYPT.txt", "Your files are encrypted.\n");
             }
         },
         {"\"reason\":\"ransom_note_like_name\""}},
        {"5 mass delete",
         [](const std::wstring& docs, std::vector<int64_t>& times) {
             std::vector<std::wstring> files;
             ListFiles(docs, files);
             for (const std::wstring& f : files) {
                 times.push_back(NowFileTime());
                 DeleteFileW(f.c_str());
             }
         },
         {"\"type\":\"canary_triggered\""}},
        {"6 benign: unpack, download, saves",
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
         {}},
        {"7 shadow copies deleted, then encrypt+rename .enc",
         [encryptRename](const std::wstring& docs, std::vector<int64_t>& times) {
             times.push_back(NowFileTime());
             RunShadowCopyDeletion();
             encryptRename(L".enc")(docs, times);
         },
         {"\"type\":\"incident_created\",\"reason\":\"process_heuristic\"", "\"type\":\"canary_triggered\""},
         true},
    };
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: scenario_runner <Vellumgard.exe>\n");
        return 2;
    }
    const std::wstring exe = Utf8ToWide(argv[1]);
    bool allOk = true;
    std::printf("| pattern | incident reasons | first incident | files changed before it | first change -> incident.json | result |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Pattern& p : Patterns()) {
        const Outcome o = RunPattern(exe, p);
        char ms[32] = "-";
        if (o.msToFirst >= 0) std::snprintf(ms, sizeof ms, "%.0f ms", o.msToFirst);
        std::string before = o.changedBeforeFirst >= 0 ? std::to_string(o.changedBeforeFirst) + " of " + std::to_string(o.changes) : "- of " + std::to_string(o.changes);
        std::printf("| %s | %s | %s | %s | %s | %s |\n", p.name, o.reasons.c_str(), o.first.c_str(), before.c_str(), ms,
                    o.ok ? "ok" : ("FAILED: " + o.missing).c_str());
        std::fflush(stdout);
        allOk = allOk && o.ok;
    }
    return allOk ? 0 : 1;
}
