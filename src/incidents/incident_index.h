// The incident index: what the scanner knows about every incident folder,
// kept between scans so that a poll costs the incidents of the last 24 hours
// instead of the whole history.
//
// Pure. Every decision lives here (merging what the disk, the store and the
// change watch say, the 24-hour cut, the order of the result, when to look
// at the disk again); incident_scanner.cpp and incident_watch.cpp only
// gather what they are given and hand it over.
//
// The order of a scan's result is that of the exchange sort over the folders
// in the order the directory enumeration returns them; equal times keep an
// order that depends on that enumeration. NTFS and Wine both enumerate by
// name compared character by character after upper-casing, which for ASCII
// names is CompareFolderNames. The index checks that at every enumeration
// and, where it cannot be sure (other file systems, other names), uses the
// positions the last enumeration gave or asks for a new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "incidents/incident_scanner.h"

// What a directory entry says about an incident.json without opening it.
struct FileStamp {
    uint64_t size = 0;
    uint64_t lastWrite = 0;  // FILETIME, 100 ns units
};

inline bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.size == b.size && a.lastWrite == b.lastWrite;
}
inline bool operator!=(const FileStamp& a, const FileStamp& b) {
    return !(a == b);
}

enum class EntryState : uint8_t {
    Settled,  // read in full; unchanged for as long as its stamp is unchanged
    Short,    // read while it was being written: read again at every scan
    Noted,    // told by this process's store; read once the disk is looked at
};

constexpr uint64_t kUnranked = UINT64_MAX;

struct IndexedIncident {
    // Null once the incident is past the 24-hour cut: most of the history
    // then costs a name, a time and a stamp.
    std::unique_ptr<IncidentSummary> summary;
    bool timeOk = false;
    uint32_t censusSerial = 0;  // the last census that listed it (CompareCensusSlice)
    int64_t time = 0;
    FileStamp stamp;
    EntryState state = EntryState::Settled;
    uint64_t rank = kUnranked;  // position in the last full enumeration
};

struct IncidentIndex {
    // Keyed by folder name (not path). byTime points at these keys: nodes of
    // an unordered_map never move.
    std::unordered_map<std::wstring, IndexedIncident> entries;
    std::multimap<int64_t, const std::wstring*> byTime;  // entries with a parsable time
    std::set<std::wstring> shortNames;                   // entries in state Short
    // The last enumeration listed its ASCII names (two or more) in
    // CompareFolderNames order.
    bool asciiOrderVerified = false;
    // Entries older than this hold no summary.
    int64_t compactedBelow = INT64_MIN;
    // Counts the enumerations whose positions were taken: a census compared
    // against other positions than the current ones does not apply its own.
    uint64_t enumerations = 0;
};

// A folder as the periodic re-enumeration (the census) saw it.
struct CensusEntry {
    std::wstring name;
    bool hasFile = false;  // an incident.json that is a file
    FileStamp stamp;
};

// --- Names and order -------------------------------------------------------

// Entries whose name begins with a dot are never incidents (".", "..", and
// the scanner's own sync folder among them).
bool IsIncidentFolderName(const std::wstring& name);
bool IsAsciiName(const std::wstring& name);
// <0, 0, >0: ASCII letters compared upper-cased, then a shorter prefix
// first; names equal that way fall back to plain code-unit order.
int CompareFolderNames(const std::wstring& a, const std::wstring& b);

// The positions 0..n-1 in the order the exchange sort leaves them in (for
// each i, swap in every later element with a strictly greater time).
std::vector<size_t> ExchangeSortOrder(const std::vector<int64_t>& times);

// --- Entries ---------------------------------------------------------------

// An entry from the bytes of an incident.json whose stamp was taken just
// before reading it.
IndexedIncident ReadIncident(const std::string& content, const FileStamp& stamp);
// An entry from the text this process's store has just written.
IndexedIncident NotedIncident(const std::string& text);

// Adds or replaces; a replaced entry keeps its enumeration position. The
// summary of an entry behind the cut (or without a parsable time) is dropped.
void IndexPut(IncidentIndex& index, const std::wstring& name, IndexedIncident entry);
void IndexRemove(IncidentIndex& index, const std::wstring& name);
// True when a file with this stamp must be read: unknown, changed, or last
// read incomplete or not at all.
bool IndexNeedsRead(const IncidentIndex& index, const std::wstring& name, const FileStamp& stamp);
// Names of entries read while being written.
std::vector<std::wstring> ShortEntries(const IncidentIndex& index);

// After a full enumeration that found exactly `present` (in enumeration
// order): drops every other entry, and records positions and whether the
// order is the CompareFolderNames one.
void IndexKeepOnly(IncidentIndex& index, const std::vector<std::wstring>& present);
// Records positions from an enumeration without dropping anything; entries
// it did not list become unranked.
void ApplyEnumerationOrder(IncidentIndex& index, const std::vector<std::wstring>& enumerated);

// Drops the entries a full enumeration did not list, and takes its
// positions; after a listing that failed or was cut short it drops nothing
// and keeps the positions it had (the scan then lists again next time).
void IndexAfterListing(IncidentIndex& index, const std::vector<std::wstring>& present, bool listingComplete);

// True when the ASCII names among `names` (two or more) come in
// CompareFolderNames order.
bool ListedInFolderNameOrder(const std::vector<std::wstring>& names);

// What a census shows that the index does not, found off the scan's thread
// one slice at a time (the scan's lock is let go in between, so a poll never
// waits for the whole history), and applied by the scan at the cost of the
// differences alone.
struct CensusDiff {
    std::vector<std::wstring> relook;                      // changed or new files, files gone, unlisted
    std::vector<std::pair<std::wstring, uint64_t>> ranks;  // positions that differ (kUnranked: unlisted)
    bool asciiOrderVerified = false;
    uint64_t enumerations = 0;  // the index's count when the comparison began
    bool begun = false;
};
// Compares census[begin, end) (positions in the census) with the index and
// marks the entries it lists with `serial` (never 0, one per census).
void CompareCensusSlice(IncidentIndex& index, const std::vector<CensusEntry>& census, size_t begin,
                        size_t end, uint32_t serial, CensusDiff& diff);
// After every slice: the entries no slice listed are looked at again.
void CompareUnlisted(const IncidentIndex& index, uint32_t serial, CensusDiff& diff);
// Takes the census's positions, unless an enumeration gave newer ones since
// the comparison began. Called after the differences were looked at, so new
// folders get theirs.
void ApplyCensusRanks(IncidentIndex& index, const CensusDiff& diff);
// The whole comparison at once (for tests and small folders).
CensusDiff CensusDifferences(IncidentIndex& index, const std::vector<CensusEntry>& census, uint32_t serial);

// Files that are there but could not be opened or read: the entry stays as
// it was and the name is read again at the next scans; after
// kMaxReadAttempts failures in a row it counts as unreadable (dropped, as a
// fresh scan would). A full set takes no more names (those are dropped).
constexpr uint32_t kMaxReadAttempts = 3;
constexpr size_t kMaxReadRetries = 4096;
struct ReadRetries {
    std::map<std::wstring, uint32_t> failures;  // name -> failed reads in a row
};
// True while the entry is to be kept and the read tried again.
bool RetryRead(ReadRetries& retries, const std::wstring& name);
// Read at last, or gone: no more retries.
void ForgetRetry(ReadRetries& retries, const std::wstring& name);
std::vector<std::wstring> ReadsToRetry(const ReadRetries& retries);

// --- The 24-hour cut -------------------------------------------------------

// Moves the cut. Entries that fell behind it drop their summary; when the
// clock went back, returns the names whose summary must be read again.
std::vector<std::wstring> MoveCut(IncidentIndex& index, int64_t cutoff);

enum class RecentResult {
    Ok,
    NeedsEnumeration,  // equal times whose enumeration order is not known
};
// The incidents at or after the cut, newest first, exactly as the exchange
// sort over the enumeration order gives them.
RecentResult CollectRecent(const IncidentIndex& index, int64_t cutoff, std::vector<IncidentSummary>& out);

// --- Change records --------------------------------------------------------

struct ChangeRecord {
    uint32_t action = 0;  // 1 added, 2 removed, 3 modified, 4 renamed from, 5 renamed to
    std::wstring name;    // relative to the watched folder
};
// The records of a change-notification buffer (layout: next offset, action,
// name length in bytes, UTF-16 name). Never reads outside [bytes, bytes + length).
std::vector<ChangeRecord> ParseChangeRecords(const uint8_t* bytes, size_t length);
// True when a record says `name` went away (removed, or renamed to another name).
bool RecordsRemove(const std::vector<ChangeRecord>& records, const std::wstring& name);
// "X" of "X", "X\incident.json" or "X\a\b".
std::wstring TopLevelName(const std::wstring& relative);

// --- When to look at the disk ----------------------------------------------

enum class ScanWork {
    FullRefresh,  // enumerate and stat every folder, read what changed
    Barrier,      // make the watch deliver everything up to now, then as Incremental
    Incremental,  // look only at the folders the store and the watch named
};
// indexBuilt: a full refresh has run since the current watch was armed.
// Every other scan passes a barrier first: an incident.json edited in place
// changes no folder's time, so only the watch's records tell, and they may
// still be on their way.
ScanWork ChooseScanWork(bool indexBuilt, bool watchAlive, bool overflow);

// The census runs at most every this many milliseconds, and rarely enough
// that it costs under 1% of a core on its own.
constexpr uint32_t kMinCensusPeriodMs = 5 * 60 * 1000;
constexpr uint32_t kMaxCensusPeriodMs = 60 * 60 * 1000;
uint32_t CensusPeriodMs(uint32_t lastCensusCostMs);
bool CensusDue(uint32_t nowTick, uint32_t lastCensusTick, uint32_t periodMs);

// Folders the watch named whose incident.json was missing or incomplete when
// looked at: looked at again at every scan for a while, since under Wine a
// file written before the folder's own watch was set up is never reported.
constexpr uint32_t kYoungFolderMs = 30 * 1000;
constexpr size_t kMaxYoungFolders = 1024;
struct YoungFolders {
    std::map<std::wstring, uint32_t> since;  // name -> tick when first found so
};
void MarkYoung(YoungFolders& young, const std::wstring& name, uint32_t tick);
void ForgetYoung(YoungFolders& young, const std::wstring& name);
// The names still young at nowTick; the others are forgotten.
std::vector<std::wstring> YoungToRecheck(YoungFolders& young, uint32_t nowTick);
