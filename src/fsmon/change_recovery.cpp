#include "fsmon/change_recovery.h"

#include <algorithm>

namespace {

constexpr uint32_t kActionModified = 3;

uint64_t Lookup(const std::unordered_map<uint64_t, uint64_t>& map, uint64_t key, bool& found) {
    const auto it = map.find(key);
    found = it != map.end();
    return found ? it->second : 0;
}

// FNV-1a over the ASCII-folded UTF-16 units, with "/" taken as "\".
uint64_t KeyOfRange(const std::wstring& name, size_t length) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < length; ++i) {
        wchar_t c = name[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
        if (c == L'/') c = L'\\';
        const uint16_t unit = static_cast<uint16_t>(c);
        hash = (hash ^ (unit & 0xFF)) * 1099511628211ull;
        hash = (hash ^ (unit >> 8)) * 1099511628211ull;
    }
    return hash;
}

std::wstring FoldAscii(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 32);
    return text;
}

}  // namespace

uint64_t RecoveryMarginTicks(const std::wstring& fileSystemName, bool remote) {
    if (remote) return kRemoteMarginTicks;
    const std::wstring fs = FoldAscii(fileSystemName);
    if (fs == L"ntfs" || fs == L"refs" || fs == L"exfat") return kLocalMarginTicks;
    return kCoarseMarginTicks;
}

CompletionKind ClassifyCompletion(bool succeeded, uint32_t error, uint32_t bytes) {
    if (succeeded) return bytes > 0 ? CompletionKind::Batch : CompletionKind::Overflow;
    return error == kErrorNotifyEnumDir ? CompletionKind::Overflow : CompletionKind::Failed;
}

RequestTimes StartRequestTimes(uint64_t start) {
    return RequestTimes{start, start};
}

void NoteRequestIssued(RequestTimes& times, uint64_t now) {
    times.before = times.outstanding;
    times.outstanding = now;
}

uint64_t CompletedWindowStart(const RequestTimes& times) {
    return times.before;
}

uint64_t NameKey(const std::wstring& relativeName) {
    return KeyOfRange(relativeName, relativeName.size());
}

namespace {

void ForgetOldest(ReportedNames& names) {
    const ReportedNames::Entry oldest = names.order.front();
    names.order.pop_front();
    const auto it = names.latest.find(oldest.key);
    if (it != names.latest.end() && it->second <= oldest.time) names.latest.erase(it);
}

}  // namespace

void NoteReportedName(ReportedNames& names, const std::wstring& relativeName, uint64_t now) {
    const uint64_t key = NameKey(relativeName);
    auto it = names.latest.find(key);
    if (it != names.latest.end()) {
        if (it->second >= now) return;  // already noted at this time (an "added" and its "modified")
        it->second = now;
    } else {
        names.latest.emplace(key, now);
    }
    names.order.push_back(ReportedNames::Entry{key, now});
    while (names.order.size() > kReportedNamesLimit) ForgetOldest(names);
}

bool ReportedSince(const ReportedNames& names, const std::wstring& relativeName, uint64_t since) {
    bool found = false;
    const uint64_t latest = Lookup(names.latest, NameKey(relativeName), found);
    return found && latest >= since;
}

void ForgetReportedBefore(ReportedNames& names, uint64_t horizon) {
    while (!names.order.empty() && names.order.front().time < horizon) ForgetOldest(names);
    // Give the memory back after a storm, not just the entries.
    if (names.order.empty()) {
        std::deque<ReportedNames::Entry>().swap(names.order);
        std::unordered_map<uint64_t, uint64_t>().swap(names.latest);
    } else if (names.latest.bucket_count() > 1024 && names.latest.size() * 8 < names.latest.bucket_count()) {
        names.order.shrink_to_fit();
        names.latest.rehash(0);
    }
}

size_t ReportedNameCount(const ReportedNames& names) {
    return names.latest.size();
}

uint64_t ReportedNamesHorizon(const RescanPlan& plan, const PendingAdded& pending, uint64_t nextWindow,
                              uint64_t margin) {
    uint64_t earliest = nextWindow;
    if (plan.running) earliest = std::min(earliest, plan.earliestWindow);
    if (plan.followUp) earliest = std::min(earliest, plan.followUpStart);
    for (const PendingAdded::Name& name : pending.names) earliest = std::min(earliest, name.windowStart);
    return earliest > 2 * margin ? earliest - 2 * margin : 0;
}

uint64_t LatestChange(const ListedEntry& entry) {
    return std::max(entry.change, std::max(entry.lastWrite, entry.creation));
}

Recovery JudgeListedEntry(const ListedEntry& entry, uint64_t windowStart, uint64_t margin,
                          const ReportedNames& reported, uint64_t liveFrom) {
    if (entry.directory) return Recovery::None;
    const uint64_t from = windowStart > margin ? windowStart - margin : 0;
    const uint64_t changed = LatestChange(entry);
    if (changed < from || changed >= liveFrom) return Recovery::None;
    const uint64_t handledFrom = changed > margin ? changed - margin : 0;
    if (ReportedSince(reported, entry.name, handledFrom)) return Recovery::None;
    return entry.creation >= from ? Recovery::Added : Recovery::Modified;
}

uint64_t LiveFrom(uint64_t lastCompletion, uint64_t margin) {
    return margin > kLocalMarginTicks ? lastCompletion + margin : lastCompletion;
}

void PlanWholeTree(RescanPlan& plan, uint64_t windowStart) {
    if (plan.running && plan.wholeTree) {
        plan.followUpStart = plan.followUp ? std::min(plan.followUpStart, windowStart) : windowStart;
        plan.followUp = true;
        return;
    }
    if (!plan.running) {
        plan.entries = 0;
        plan.recovered = 0;
        plan.earliestWindow = windowStart;
    }
    plan.earliestWindow = std::min(plan.earliestWindow, windowStart);
    // Queued subfolders the whole tree now covers with a window at least as wide go.
    plan.dirs.erase(std::remove_if(plan.dirs.begin(), plan.dirs.end(),
                                   [&](const RescanItem& item) { return item.windowStart >= windowStart; }),
                    plan.dirs.end());
    RescanItem root;
    root.windowStart = windowStart;
    root.liveCovered = true;
    plan.dirs.push_front(root);
    plan.running = true;
    plan.wholeTree = true;
}

bool PlanOverflow(RescanPlan& plan, uint64_t windowStart) {
    if (plan.running && plan.wholeTree) {
        const bool rootWaits =
            !plan.dirs.empty() && plan.dirs.front().dir.empty() && plan.dirs.front().liveCovered;
        if (rootWaits) {
            // Nothing listed yet: the waiting pass sees this overflow's changes too.
            plan.dirs.front().windowStart = std::min(plan.dirs.front().windowStart, windowStart);
            plan.earliestWindow = std::min(plan.earliestWindow, windowStart);
            return false;
        }
        if (plan.followUp) {
            plan.followUpStart = std::min(plan.followUpStart, windowStart);
            return false;
        }
    }
    PlanWholeTree(plan, windowStart);
    return true;
}

uint64_t ReissuePauseMs(uint32_t overflowsInARow) {
    return overflowsInARow >= 2 ? kOverflowPauseMs : 0;
}

void PlanSubtree(RescanPlan& plan, const std::wstring& dir, uint64_t windowStart) {
    if (!plan.running) {
        plan.entries = 0;
        plan.recovered = 0;
        plan.wholeTree = false;
        plan.running = true;
        plan.earliestWindow = windowStart;
    }
    plan.earliestWindow = std::min(plan.earliestWindow, windowStart);
    RescanItem item;
    item.dir = dir;
    item.windowStart = windowStart;
    plan.dirs.push_back(item);
}

std::wstring ParentOf(const std::wstring& relativeName) {
    const size_t cut = relativeName.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : relativeName.substr(0, cut);
}

void PlanParentFolder(RescanPlan& plan, const std::wstring& name, uint64_t windowStart) {
    const std::wstring dir = ParentOf(name);
    const uint64_t key = NameKey(dir);
    for (const RescanItem& item : plan.dirs)
        if (item.windowStart <= windowStart && NameKey(item.dir) == key)
            return;  // queued already, with a window at least as wide
    PlanSubtree(plan, dir, windowStart);
    plan.dirs.back().shallow = true;
}

void PlanChildFolder(RescanPlan& plan, const std::wstring& dir, uint64_t changed, const RescanItem& parent,
                     uint64_t margin) {
    const uint64_t from = parent.windowStart > margin ? parent.windowStart - margin : 0;
    RescanItem item;
    item.dir = dir;
    item.windowStart = parent.windowStart;
    item.liveCovered = parent.liveCovered;
    if (changed >= from)
        plan.dirs.push_front(item);
    else if (!parent.shallow)
        plan.dirs.push_back(item);
}

bool CountListed(RescanPlan& plan, size_t count, size_t limit) {
    plan.entries += count;
    return plan.entries >= limit;
}

bool EndPass(RescanPlan& plan) {
    plan.dirs.clear();
    plan.entries = 0;
    plan.recovered = 0;
    if (plan.followUp) {
        plan.followUp = false;
        plan.running = false;
        PlanWholeTree(plan, plan.followUpStart);
        return true;
    }
    plan.running = false;
    plan.wholeTree = false;
    return false;
}

bool NoteAddedName(PendingAdded& pending, const std::wstring& name, uint64_t nowMs, uint64_t windowStart) {
    const uint64_t key = NameKey(name);
    if (pending.byKey.count(key)) return true;  // already waiting
    if (pending.names.size() >= kPendingAddedLimit) return false;
    PendingAdded::Name entry;
    entry.name = name;
    entry.key = key;
    entry.dueMs = nowMs + kPendingAddedDelayMs;
    entry.windowStart = windowStart;
    pending.names.push_back(std::move(entry));
    pending.byKey.emplace(key, std::prev(pending.names.end()));
    return true;
}

void SettleByRecord(PendingAdded& pending, const std::wstring& name, uint32_t action) {
    if (pending.byKey.empty()) return;
    if (action == kActionModified) {
        const auto it = pending.byKey.find(NameKey(name));
        if (it != pending.byKey.end() && !it->second->knownFolder) {
            pending.names.erase(it->second);
            pending.byKey.erase(it);
        }
    }
    // Each folder above the record's name.
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != L'\\' && name[i] != L'/') continue;
        const auto it = pending.byKey.find(KeyOfRange(name, i));
        if (it != pending.byKey.end()) it->second->knownFolder = true;
    }
}

bool TakeDueName(PendingAdded& pending, uint64_t nowMs, PendingAdded::Name& out) {
    if (pending.names.empty() || pending.names.front().dueMs > nowMs) return false;
    out = std::move(pending.names.front());
    pending.byKey.erase(out.key);
    pending.names.pop_front();
    return true;
}

int64_t MsUntilNextDue(const PendingAdded& pending, uint64_t nowMs) {
    if (pending.names.empty()) return -1;
    const uint64_t due = pending.names.front().dueMs;
    return due > nowMs ? static_cast<int64_t>(due - nowMs) : 0;
}
