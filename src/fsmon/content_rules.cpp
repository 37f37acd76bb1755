#include "fsmon/content_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/text.h"

namespace {

// FILE_ACTION_* values, without <windows.h>.
constexpr uint32_t kActionAdded = 1;
constexpr uint32_t kActionModified = 3;
constexpr uint32_t kActionRenamedNew = 5;

// Windows error codes the reads meet.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorLockViolation = 33;
constexpr uint32_t kErrorDeletePending = 303;

std::wstring FoldAscii(const std::wstring& name) {
    std::wstring out = name;
    for (wchar_t& c : out)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return out;
}

}  // namespace

bool IsContentCheckAction(uint32_t action) {
    return action == kActionAdded || action == kActionModified || action == kActionRenamedNew;
}

namespace {

constexpr uint32_t kActionRemoved = 2;
constexpr uint32_t kActionRenamedOld = 4;

size_t NameStart(const std::wstring& path) {
    const size_t sep = path.find_last_of(L"\\/");
    return sep == std::wstring::npos ? 0 : sep + 1;
}

// The name without its last extension (folded), and whether it has one.
std::wstring Stem(const std::wstring& folded) {
    const size_t dot = folded.find_last_of(L'.');
    return dot == std::wstring::npos || dot < NameStart(folded) ? folded : folded.substr(0, dot);
}

// Whether a new file replaces a deleted user file: same folder, the old
// name with an extension added (a.docx -> a.docx.locked) or replaced
// (a.docx -> a.ryk). Both folded.
bool Replaces(const std::wstring& folded, const std::wstring& old) {
    if (old == folded) return false;
    const bool appended = folded.size() > old.size() + 1 && folded.compare(0, old.size(), old) == 0 &&
                          folded[old.size()] == L'.' &&
                          folded.find_first_of(L"\\/", old.size()) == std::wstring::npos;
    const std::wstring stem = Stem(old);
    return appended || (stem != old && Stem(folded) == stem);
}

const std::wstring* ReplacedOriginal(const std::wstring& folded, const std::vector<std::wstring>& removed,
                                     const std::vector<std::wstring>& removedFolded) {
    for (size_t i = 0; i < removed.size(); ++i) {
        if (IsContentCheckedName(removed[i]) && Replaces(folded, removedFolded[i])) return &removed[i];
    }
    return nullptr;
}

}  // namespace

std::vector<ContentCheckItem> ContentCheckNames(const std::vector<BatchRecordName>& records) {
    // Each name's last action decides; the order is that of its first record.
    std::vector<std::wstring> order;
    std::unordered_map<std::wstring, std::pair<size_t, uint32_t>> last;  // folded -> (index in order, action)
    std::unordered_map<std::wstring, std::wstring> renamedFrom;          // folded new name -> old name
    std::vector<std::wstring> removed, removedFolded;
    for (size_t r = 0; r < records.size(); ++r) {
        const BatchRecordName& record = records[r];
        const std::wstring key = FoldAscii(record.name);
        if (record.action == kActionRenamedOld && r + 1 < records.size() &&
            records[r + 1].action == kActionRenamedNew)
            renamedFrom[FoldAscii(records[r + 1].name)] = record.name;
        if (record.action == kActionRemoved) {
            removed.push_back(record.name);
            removedFolded.push_back(key);
        }
        auto it = last.find(key);
        if (it == last.end()) {
            last.emplace(key, std::make_pair(order.size(), record.action));
            order.push_back(record.name);
        } else {
            it->second.second = record.action;
        }
    }
    std::vector<ContentCheckItem> items;
    std::vector<std::wstring> pairedOriginals;  // folded
    for (const std::wstring& name : order) {
        const std::wstring key = FoldAscii(name);
        const uint32_t action = last[key].second;
        if (!IsContentCheckAction(action)) continue;
        ContentCheckItem item{name, L""};
        auto from = renamedFrom.find(key);
        if (action == kActionRenamedNew && from != renamedFrom.end() && IsContentCheckedName(from->second) &&
            FoldAscii(from->second) != key) {
            item.claim = from->second;
        } else if (!IsContentCheckedName(name)) {
            const std::wstring* original = ReplacedOriginal(key, removed, removedFolded);
            if (original) {
                item.claim = *original;
                pairedOriginals.push_back(FoldAscii(*original));
            } else {
                item.kind = ContentItemKind::kUnpairedNew;
            }
        }
        items.push_back(std::move(item));
    }
    // Deleted user files no new name of this batch replaced, each once, still deleted at the end.
    for (size_t i = 0; i < removed.size(); ++i) {
        const std::wstring& key = removedFolded[i];
        if (!IsContentCheckedName(removed[i]) || last[key].second != kActionRemoved ||
            std::find(pairedOriginals.begin(), pairedOriginals.end(), key) != pairedOriginals.end())
            continue;
        pairedOriginals.push_back(key);
        items.push_back({removed[i], L"", ContentItemKind::kUnpairedRemoved});
    }
    return items;
}

std::vector<ContentCheckItem> PairAcrossBatches(ReplacedMemory& memory, const std::wstring& tree,
                                                const std::vector<ContentCheckItem>& items, uint64_t nowMs) {
    const std::wstring treeKey = FoldAscii(tree);
    for (std::vector<ReplacedMemory::Entry>* list : {&memory.added, &memory.removed}) {
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [&](const ReplacedMemory::Entry& e) {
                                       return nowMs < e.ms || nowMs - e.ms > kReplacedPairWindowMs;
                                   }),
                    list->end());
    }
    const auto remember = [&](std::vector<ReplacedMemory::Entry>& list, const std::wstring& name) {
        const std::wstring key = FoldAscii(name);
        for (ReplacedMemory::Entry& e : list) {
            if (e.tree == treeKey && FoldAscii(e.name) == key) {
                e.ms = nowMs;
                return;
            }
        }
        if (list.size() >= kReplacedMemoryLimit) list.erase(list.begin());
        list.push_back({treeKey, name, nowMs});
    };
    std::vector<ContentCheckItem> out;
    for (const ContentCheckItem& item : items) {
        const std::wstring key = FoldAscii(item.name);
        if (item.kind == ContentItemKind::kCheck) {
            out.push_back(item);
        } else if (item.kind == ContentItemKind::kUnpairedNew) {
            auto original = std::find_if(memory.removed.begin(), memory.removed.end(),
                                         [&](const ReplacedMemory::Entry& e) {
                                             return e.tree == treeKey && Replaces(key, FoldAscii(e.name));
                                         });
            if (original != memory.removed.end()) {
                out.push_back({item.name, original->name, ContentItemKind::kCheck});
                memory.removed.erase(original);
            } else {
                remember(memory.added, item.name);
            }
        } else {
            auto replacement =
                std::find_if(memory.added.begin(), memory.added.end(), [&](const ReplacedMemory::Entry& e) {
                    return e.tree == treeKey && Replaces(FoldAscii(e.name), key);
                });
            if (replacement != memory.added.end()) {
                out.push_back({replacement->name, item.name, ContentItemKind::kCheck});
                memory.added.erase(replacement);
            } else {
                remember(memory.removed, item.name);
            }
        }
    }
    return out;
}

std::wstring WaitingKey(const std::wstring& tree, const std::wstring& name) {
    return FoldAscii(tree) + L'\n' + FoldAscii(name);
}

namespace {

// Makes room for one more item: the oldest waiting work goes, fresh first
// (a retry already had its chance once).
void MakeRoom(ContentQueue& queue, size_t limit) {
    if (limit == 0) limit = 1;
    while (queue.fresh.size() + queue.retries.size() >= limit) {
        if (!queue.fresh.empty()) {
            queue.waiting.erase(WaitingKey(queue.fresh.front().tree, queue.fresh.front().name));
            queue.fresh.pop_front();
        } else {
            queue.retries.pop_front();
        }
        ++queue.dropped;
    }
}

}  // namespace

bool PushContentWork(ContentQueue& queue, ContentWork work, size_t limit) {
    std::wstring key = WaitingKey(work.tree, work.name);
    if (queue.waiting.count(key)) return false;
    MakeRoom(queue, limit);
    work.dueMs = 0;
    queue.waiting.insert(std::move(key));
    queue.fresh.push_back(std::move(work));
    return true;
}

void PushContentRetry(ContentQueue& queue, ContentWork work, uint64_t nowMs, uint64_t delayMs, size_t limit) {
    MakeRoom(queue, limit);
    work.dueMs = nowMs + delayMs;
    queue.retries.push_back(std::move(work));
}

bool TakeContentWork(ContentQueue& queue, uint64_t nowMs, ContentWork& out) {
    if (!queue.retries.empty() && queue.retries.front().dueMs <= nowMs) {
        out = std::move(queue.retries.front());
        queue.retries.pop_front();
        return true;
    }
    if (queue.fresh.empty()) return false;
    out = std::move(queue.fresh.front());
    queue.fresh.pop_front();
    queue.waiting.erase(WaitingKey(out.tree, out.name));
    return true;
}

int64_t MsUntilContentWork(const ContentQueue& queue, uint64_t nowMs) {
    if (!queue.fresh.empty()) return 0;
    if (queue.retries.empty()) return -1;
    const uint64_t due = queue.retries.front().dueMs;
    return due <= nowMs ? 0 : static_cast<int64_t>(due - nowMs);
}

uint64_t TakeDropReport(ContentQueue& queue, bool force) {
    if (queue.dropped == 0) return 0;
    if (!force && !(queue.fresh.empty() && queue.retries.empty())) return 0;
    const uint64_t count = queue.dropped;
    queue.dropped = 0;
    return count;
}

void ClearContentQueue(ContentQueue& queue) {
    queue.fresh.clear();
    queue.retries.clear();
    queue.waiting.clear();
    queue.dropped = 0;
}

ReadFailure ReadFailureOf(uint32_t win32Error) {
    switch (win32Error) {
        case kErrorSharingViolation:
        case kErrorLockViolation:
            return ReadFailure::Locked;
        case kErrorFileNotFound:
        case kErrorPathNotFound:
        case kErrorDeletePending:
            return ReadFailure::Gone;
        default:
            return ReadFailure::Other;
    }
}

bool RetryContentRead(ReadFailure failure, uint32_t attemptsSoFar) {
    return failure == ReadFailure::Locked && attemptsSoFar < kContentReadAttempts;
}

bool NoteEncryptedLike(EncryptedTracker& tracker, const std::wstring& tree, const std::wstring& name,
                       uint64_t nowMs) {
    const std::wstring treeKey = FoldAscii(tree);
    const auto stale = [&](uint64_t window) {
        return [nowMs, window](const EncryptedTracker::Seen& s) {
            return nowMs < s.ms || nowMs - s.ms > window;
        };
    };
    // Trees whose names all left the window are forgotten, so memory follows
    // the trees with recent findings only.
    for (auto it = tracker.trees.begin(); it != tracker.trees.end();) {
        std::vector<EncryptedTracker::Seen>& seen = it->second;
        seen.erase(std::remove_if(seen.begin(), seen.end(), stale(kEncryptedPairWindowMs)), seen.end());
        it = seen.empty() && it->first != treeKey ? tracker.trees.erase(it) : std::next(it);
    }
    std::vector<EncryptedTracker::Seen>& anywhere = tracker.anywhere;
    anywhere.erase(std::remove_if(anywhere.begin(), anywhere.end(), stale(kEncryptedSlowWindowMs)),
                   anywhere.end());

    const std::wstring key = FoldAscii(name);
    const std::wstring wideKey = treeKey + L'\n' + key;
    auto again = std::find_if(anywhere.begin(), anywhere.end(),
                              [&](const EncryptedTracker::Seen& s) { return s.key == wideKey; });
    if (again != anywhere.end()) {
        again->ms = nowMs;
    } else {
        if (anywhere.size() >= kEncryptedSlowMemory) anywhere.erase(anywhere.begin());
        anywhere.push_back({wideKey, nowMs});
    }

    std::vector<EncryptedTracker::Seen>& seen = tracker.trees[treeKey];
    auto same =
        std::find_if(seen.begin(), seen.end(), [&](const EncryptedTracker::Seen& s) { return s.key == key; });
    if (same != seen.end()) {
        same->ms = nowMs;
    } else if (!seen.empty()) {
        // The tree's pair: its count, and its names in the agent's, start again.
        tracker.trees.erase(treeKey);
        const std::wstring prefix = treeKey + L'\n';
        anywhere.erase(std::remove_if(anywhere.begin(), anywhere.end(),
                                      [&](const EncryptedTracker::Seen& s) {
                                          return s.key.compare(0, prefix.size(), prefix) == 0;
                                      }),
                       anywhere.end());
        return true;
    } else {
        seen.push_back({key, nowMs});
    }
    if (anywhere.size() < kEncryptedSlowCount) return false;
    tracker.trees.clear();
    anywhere.clear();
    return true;
}

int64_t TrailerRecheckMs(bool trailerOnly, uint64_t quietMs, uint32_t rechecksSoFar) {
    if (!trailerOnly || quietMs >= kTrailerQuietMs) return 0;
    if (rechecksSoFar >= kTrailerRechecks) return -1;
    return static_cast<int64_t>(kTrailerQuietMs - quietMs);
}

std::string FormatEntropy(double bitsPerByte) {
    if (!(bitsPerByte >= 0)) bitsPerByte = 0;  // NaN too
    if (bitsPerByte > 8) bitsPerByte = 8;
    // Whole hundredths, so the text never depends on the C library's rounding mode.
    const int hundredths = static_cast<int>(std::lround(bitsPerByte * 100));
    char text[32];
    std::snprintf(text, sizeof text, "%d.%02d", hundredths / 100, hundredths % 100);
    return text;
}

std::string ContentCheckMembers(const std::string& folderJson, const std::string& fileJson,
                                const ContentEvidence& evidence, const std::string& claimedFromJson) {
    return "\"folder\":\"" + folderJson + "\",\"file\":\"" + fileJson + "\",\"verdict\":\"" +
           ContentVerdictName(evidence.verdict) + "\",\"expected\":\"" + JsonEscape(evidence.expected) +
           "\",\"found\":\"" + JsonEscape(evidence.found) +
           "\",\"entropy\":" + FormatEntropy(evidence.headEntropy) +
           (claimedFromJson.empty() ? "" : ",\"claimed_from\":\"" + claimedFromJson + "\"");
}
