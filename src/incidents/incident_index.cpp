#include "incidents/incident_index.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <unordered_set>
#include <utility>

#include "core/text.h"

// --- Names and order -------------------------------------------------------

bool IsIncidentFolderName(const std::wstring& name) {
    return !name.empty() && name[0] != L'.';
}

bool IsAsciiName(const std::wstring& name) {
    for (wchar_t c : name)
        if (static_cast<uint32_t>(c) > 0x7F) return false;
    return true;
}

namespace {

uint32_t UpperAscii(wchar_t c) {
    const uint32_t u = static_cast<uint16_t>(c);
    return u >= 'a' && u <= 'z' ? u - 32 : u;
}

}  // namespace

int CompareFolderNames(const std::wstring& a, const std::wstring& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const uint32_t x = UpperAscii(a[i]), y = UpperAscii(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t x = static_cast<uint16_t>(a[i]), y = static_cast<uint16_t>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::vector<size_t> ExchangeSortOrder(const std::vector<int64_t>& times) {
    std::vector<int64_t> t = times;
    std::vector<size_t> order(t.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (size_t i = 0; i + 1 < t.size(); ++i) {
        for (size_t j = i + 1; j < t.size(); ++j) {
            if (t[j] > t[i]) {
                std::swap(t[i], t[j]);
                std::swap(order[i], order[j]);
            }
        }
    }
    return order;
}

// --- Entries ---------------------------------------------------------------

IndexedIncident ReadIncident(const std::string& content, const FileStamp& stamp) {
    IndexedIncident entry;
    entry.summary.reset(new IncidentSummary(ParseIncidentSummary(content)));
    entry.timeOk = ParseIncidentTime(entry.summary->ts, entry.time);
    entry.stamp = stamp;
    // A file caught between its creation and its write reads short.
    entry.state = content.size() == stamp.size ? EntryState::Settled : EntryState::Short;
    return entry;
}

IndexedIncident NotedIncident(const std::string& text) {
    IndexedIncident entry = ReadIncident(text, FileStamp{text.size(), 0});
    entry.state = EntryState::Noted;
    return entry;
}

namespace {

void EraseByTime(IncidentIndex& index, int64_t time, const std::wstring* key) {
    auto range = index.byTime.equal_range(time);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == key) {
            index.byTime.erase(it);
            return;
        }
    }
}

void DropSummary(IndexedIncident& entry) {
    entry.summary.reset();
}

}  // namespace

void IndexPut(IncidentIndex& index, const std::wstring& name, IndexedIncident entry) {
    if (!entry.timeOk || entry.time < index.compactedBelow) DropSummary(entry);
    if (entry.summary) entry.summary->incidentFolder = WideToUtf8(name);
    auto it = index.entries.find(name);
    if (it == index.entries.end()) {
        it = index.entries.emplace(name, std::move(entry)).first;
    } else {
        if (it->second.timeOk) EraseByTime(index, it->second.time, &it->first);
        entry.rank = it->second.rank;
        entry.censusSerial = it->second.censusSerial;
        it->second = std::move(entry);
    }
    if (it->second.timeOk) index.byTime.emplace(it->second.time, &it->first);
    if (it->second.state == EntryState::Short)
        index.shortNames.insert(name);
    else
        index.shortNames.erase(name);
}

void IndexRemove(IncidentIndex& index, const std::wstring& name) {
    const auto it = index.entries.find(name);
    if (it == index.entries.end()) return;
    if (it->second.timeOk) EraseByTime(index, it->second.time, &it->first);
    index.shortNames.erase(name);
    index.entries.erase(it);
}

bool IndexNeedsRead(const IncidentIndex& index, const std::wstring& name, const FileStamp& stamp) {
    const auto it = index.entries.find(name);
    return it == index.entries.end() || it->second.state != EntryState::Settled || it->second.stamp != stamp;
}

std::vector<std::wstring> ShortEntries(const IncidentIndex& index) {
    return std::vector<std::wstring>(index.shortNames.begin(), index.shortNames.end());
}

void IndexKeepOnly(IncidentIndex& index, const std::vector<std::wstring>& present) {
    const std::unordered_set<std::wstring> keep(present.begin(), present.end());
    std::vector<std::wstring> gone;
    for (const auto& e : index.entries)
        if (!keep.count(e.first)) gone.push_back(e.first);
    for (const std::wstring& name : gone) IndexRemove(index, name);
    ApplyEnumerationOrder(index, present);
}

void IndexAfterListing(IncidentIndex& index, const std::vector<std::wstring>& present, bool listingComplete) {
    if (listingComplete) IndexKeepOnly(index, present);
}

bool ListedInFolderNameOrder(const std::vector<std::wstring>& names) {
    size_t ascii = 0;
    const std::wstring* previous = nullptr;
    for (const std::wstring& name : names) {
        if (!IsAsciiName(name)) continue;
        if (previous && CompareFolderNames(*previous, name) >= 0) return false;
        previous = &name;
        ++ascii;
    }
    return ascii >= 2;
}

void ApplyEnumerationOrder(IncidentIndex& index, const std::vector<std::wstring>& enumerated) {
    for (auto& e : index.entries) e.second.rank = kUnranked;
    for (size_t i = 0; i < enumerated.size(); ++i) {
        const auto it = index.entries.find(enumerated[i]);
        if (it != index.entries.end()) it->second.rank = i;
    }
    index.asciiOrderVerified = ListedInFolderNameOrder(enumerated);
    ++index.enumerations;
}

void CompareCensusSlice(IncidentIndex& index, const std::vector<CensusEntry>& census, size_t begin,
                        size_t end, uint32_t serial, CensusDiff& diff) {
    if (!diff.begun) {
        diff.begun = true;
        diff.enumerations = index.enumerations;
    }
    for (size_t i = begin; i < end && i < census.size(); ++i) {
        const CensusEntry& c = census[i];
        const bool incident = c.hasFile && c.stamp.size <= kMaxIncidentJsonBytes;
        const auto it = index.entries.find(c.name);
        if (it == index.entries.end()) {
            if (incident) {
                diff.relook.push_back(c.name);
                diff.ranks.emplace_back(c.name, i);
            }
            continue;
        }
        it->second.censusSerial = serial;
        if (!incident || IndexNeedsRead(index, c.name, c.stamp)) diff.relook.push_back(c.name);
        if (it->second.rank != i) diff.ranks.emplace_back(c.name, i);
    }
}

void CompareUnlisted(const IncidentIndex& index, uint32_t serial, CensusDiff& diff) {
    for (const auto& e : index.entries) {
        if (e.second.censusSerial == serial) continue;
        diff.relook.push_back(e.first);
        if (e.second.rank != kUnranked) diff.ranks.emplace_back(e.first, kUnranked);
    }
}

void ApplyCensusRanks(IncidentIndex& index, const CensusDiff& diff) {
    if (diff.enumerations != index.enumerations) return;
    for (const auto& r : diff.ranks) {
        const auto it = index.entries.find(r.first);
        if (it != index.entries.end()) it->second.rank = r.second;
    }
    index.asciiOrderVerified = diff.asciiOrderVerified;
    ++index.enumerations;
}

CensusDiff CensusDifferences(IncidentIndex& index, const std::vector<CensusEntry>& census, uint32_t serial) {
    CensusDiff diff;
    CompareCensusSlice(index, census, 0, census.size(), serial, diff);
    CompareUnlisted(index, serial, diff);
    std::vector<std::wstring> names;
    names.reserve(census.size());
    for (const CensusEntry& c : census) names.push_back(c.name);
    diff.asciiOrderVerified = ListedInFolderNameOrder(names);
    return diff;
}

bool RetryRead(ReadRetries& retries, const std::wstring& name) {
    auto it = retries.failures.find(name);
    if (it == retries.failures.end()) {
        if (retries.failures.size() >= kMaxReadRetries) return false;
        it = retries.failures.emplace(name, 0).first;
    }
    if (++it->second >= kMaxReadAttempts) {
        retries.failures.erase(it);
        return false;
    }
    return true;
}

void ForgetRetry(ReadRetries& retries, const std::wstring& name) {
    retries.failures.erase(name);
}

std::vector<std::wstring> ReadsToRetry(const ReadRetries& retries) {
    std::vector<std::wstring> names;
    names.reserve(retries.failures.size());
    for (const auto& f : retries.failures) names.push_back(f.first);
    return names;
}

// --- The 24-hour cut -------------------------------------------------------

std::vector<std::wstring> MoveCut(IncidentIndex& index, int64_t cutoff) {
    std::vector<std::wstring> reload;
    if (cutoff >= index.compactedBelow) {
        const auto end = index.byTime.lower_bound(cutoff);
        for (auto it = index.byTime.lower_bound(index.compactedBelow); it != end; ++it) {
            IndexedIncident& entry = index.entries.find(*it->second)->second;
            DropSummary(entry);
        }
    } else {
        // The clock went back: incidents behind the old cut may be recent again.
        const auto end = index.byTime.lower_bound(index.compactedBelow);
        for (auto it = index.byTime.lower_bound(cutoff); it != end; ++it) {
            if (!index.entries.find(*it->second)->second.summary) reload.push_back(*it->second);
        }
    }
    index.compactedBelow = cutoff;
    return reload;
}

RecentResult CollectRecent(const IncidentIndex& index, int64_t cutoff, std::vector<IncidentSummary>& out) {
    out.clear();
    std::vector<std::pair<const std::wstring*, const IndexedIncident*>> recent;
    bool tie = false;
    const auto begin = index.byTime.lower_bound(cutoff);
    for (auto it = begin; it != index.byTime.end(); ++it) {
        const IndexedIncident* entry = &index.entries.find(*it->second)->second;
        if (!entry->summary) continue;  // never after MoveCut and its reloads
        if (it != begin && std::prev(it)->first == it->first) tie = true;
        recent.emplace_back(it->second, entry);
    }
    if (!tie) {
        // Distinct times: the exchange sort is a plain sort, whatever the input order.
        out.reserve(recent.size());
        for (auto it = recent.rbegin(); it != recent.rend(); ++it) out.push_back(*it->second->summary);
        return RecentResult::Ok;
    }

    bool allRanked = true, allAscii = true;
    for (const auto& r : recent) {
        allRanked = allRanked && r.second->rank != kUnranked;
        allAscii = allAscii && IsAsciiName(*r.first);
    }
    if (index.asciiOrderVerified && allAscii) {
        std::sort(recent.begin(), recent.end(),
                  [](const auto& a, const auto& b) { return CompareFolderNames(*a.first, *b.first) < 0; });
    } else if (allRanked) {
        std::sort(recent.begin(), recent.end(),
                  [](const auto& a, const auto& b) { return a.second->rank < b.second->rank; });
    } else {
        return RecentResult::NeedsEnumeration;
    }

    std::vector<int64_t> times;
    times.reserve(recent.size());
    for (const auto& r : recent) times.push_back(r.second->time);
    out.reserve(recent.size());
    for (size_t i : ExchangeSortOrder(times)) out.push_back(*recent[i].second->summary);
    return RecentResult::Ok;
}

// --- Change records --------------------------------------------------------

std::vector<ChangeRecord> ParseChangeRecords(const uint8_t* bytes, size_t length) {
    std::vector<ChangeRecord> records;
    size_t offset = 0;
    while (bytes && length >= 12 && offset <= length - 12) {
        ChangeRecord record;
        uint32_t next = 0, nameBytes = 0;
        std::memcpy(&next, bytes + offset, 4);
        std::memcpy(&record.action, bytes + offset + 4, 4);
        std::memcpy(&nameBytes, bytes + offset + 8, 4);
        const size_t start = offset + 12;
        const size_t take = std::min<size_t>(nameBytes / 2, (length - start) / 2);
        record.name.resize(take);
        for (size_t i = 0; i < take; ++i) {
            uint16_t unit = 0;
            std::memcpy(&unit, bytes + start + 2 * i, 2);
            record.name[i] = static_cast<wchar_t>(unit);
        }
        records.push_back(std::move(record));
        if (next == 0 || next > length - offset) break;
        offset += next;
    }
    return records;
}

bool RecordsRemove(const std::vector<ChangeRecord>& records, const std::wstring& name) {
    for (const ChangeRecord& r : records)
        if ((r.action == 2 || r.action == 4) && r.name == name) return true;
    return false;
}

std::wstring TopLevelName(const std::wstring& relative) {
    const size_t sep = relative.find_first_of(L"\\/");
    return sep == std::wstring::npos ? relative : relative.substr(0, sep);
}

// --- When to look at the disk ----------------------------------------------

ScanWork ChooseScanWork(bool indexBuilt, bool watchAlive, bool overflow) {
    return !indexBuilt || !watchAlive || overflow ? ScanWork::FullRefresh : ScanWork::Barrier;
}

uint32_t CensusPeriodMs(uint32_t lastCensusCostMs) {
    const uint64_t hundredfold = static_cast<uint64_t>(lastCensusCostMs) * 100;
    return static_cast<uint32_t>(
        std::min<uint64_t>(std::max<uint64_t>(hundredfold, kMinCensusPeriodMs), kMaxCensusPeriodMs));
}

bool CensusDue(uint32_t nowTick, uint32_t lastCensusTick, uint32_t periodMs) {
    return static_cast<uint32_t>(nowTick - lastCensusTick) >= periodMs;
}

void MarkYoung(YoungFolders& young, const std::wstring& name, uint32_t tick) {
    if (young.since.size() >= kMaxYoungFolders && !young.since.count(name)) return;
    young.since.emplace(name, tick);
}

void ForgetYoung(YoungFolders& young, const std::wstring& name) {
    young.since.erase(name);
}

std::vector<std::wstring> YoungToRecheck(YoungFolders& young, uint32_t nowTick) {
    std::vector<std::wstring> names;
    for (auto it = young.since.begin(); it != young.since.end();) {
        if (static_cast<uint32_t>(nowTick - it->second) >= kYoungFolderMs) {
            it = young.since.erase(it);
        } else {
            names.push_back(it->first);
            ++it;
        }
    }
    return names;
}
