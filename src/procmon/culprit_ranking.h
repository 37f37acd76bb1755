// Which remembered processes may have caused a file incident, best first,
// each with the reasons in plain words. Pure: the evidence comes in as values
// (the recent starts, the processes holding the touched file, the folders a
// user can write to), so every hard case is a row of a table test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "procmon/process_memory.h"

struct SuspectQuery {
    std::vector<RememberedProcess> recent;   // from RecentProcesses
    bool holdersKnown = false;               // false: the platform could not list holders (Wine)
    std::vector<RememberedProcess> holders;  // processes holding the touched file open (pid, name, path at least)
    int64_t damageStartMs = 0;  // first change of the burst, or the touched file's change
    int64_t incidentMs = 0;
    int64_t memoryStartMs = 0;  // ProcessMemoryStartMs()
    std::vector<std::wstring> userWritableFolders;  // Downloads, Temp, AppData, Desktop ... (full paths)
    std::wstring systemFolder;  // C:\Windows, to recognise system images
    // With extendedDetection on: a start time, with or without a user-writable
    // folder, names nobody by itself; a candidate is named only with one more
    // fact (it holds the touched file, it wrote a damaged file, its process
    // score reaches suspiciousScore, or its name poses as a document).
    bool needsSecondFact = false;
    int32_t suspiciousScore = 0;  // the effective processSuspiciousScoreThreshold
    // Processes seen holding a damaged file for writing (pid and creation time; 0: any).
    std::vector<RememberedProcess> writers;
};

struct Suspect {
    RememberedProcess process;
    int32_t points = 0;
    bool holdsFile = false;
    bool wroteDamage = false;        // seen holding a damaged file for writing
    std::vector<std::string> why;   // short plain-English reasons, UTF-8, e.g. "started 4 s before the first change"
};

struct SuspectRanking {
    std::vector<Suspect> suspects;  // at most 5, best first; empty when unknown
    bool unknown = false;           // evidence too weak to name anyone
    std::string unknownWhy;         // e.g. "no process started in the 10 minutes before the damage ..."
};

constexpr size_t kMaxSuspects = 5;

SuspectRanking RankSuspects(const SuspectQuery& query);

// The points each piece of evidence gives (negative ones count against).
constexpr int32_t kHoldsFilePoints = 100;           // holds the touched file open now
constexpr int32_t kStartedWithin10sPoints = 40;     // started at most 10 s before the first change
constexpr int32_t kStartedWithin1MinPoints = 30;    // ... at most a minute before
constexpr int32_t kStartedWithin5MinPoints = 20;    // ... at most 5 minutes before
constexpr int32_t kStartedEarlierPoints = 10;       // ... at most 10 minutes before
constexpr int32_t kStartedWhileDamagedPoints = 25;  // between the earliest first change and the incident
constexpr int32_t kStartedAfterPoints = -50;        // after the incident: it cannot have begun it
constexpr int32_t kEndedBeforePoints = -100;        // ended before the first change: not the one
constexpr int32_t kRunningPoints = 5;               // still running, or ended after the first change
constexpr int32_t kUserWritablePoints = 20;         // image in a folder any program of the user can write
constexpr int32_t kSystemFolderPoints = -10;        // image in the Windows folder
constexpr int32_t kDocumentNamePoints = 15;         // named like a document
constexpr int32_t kMaxScorePoints = 30;             // a third of the process score, at most this
constexpr int32_t kWroteDamagePoints = 100;         // held a damaged file open for writing
// Below this the evidence is weak and nobody is named: a start within the
// minute before the damage is the least that names a program by itself.
constexpr int32_t kMinSuspectPoints = 30;

// Whether an image name poses as a document: a double extension
// ("report.pdf.exe"), a hidden one (a right-to-left mark), or a word such
// documents are named by ("invoice_2024.exe"). `how` says which, in words.
bool LooksLikeDocumentName(const std::wstring& name, std::string& how);

// "4 s", "2 min", "1 min 5 s", "1 h 3 min": a duration for a reason.
std::string DescribeDuration(int64_t ms);
