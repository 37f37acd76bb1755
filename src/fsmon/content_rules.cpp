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

std::vector<std::wstring> ContentCheckNames(const std::vector<BatchRecordName>& records) {
    // Each name's last action decides; the order is that of its first record.
    std::vector<std::wstring> order;
    std::unordered_map<std::wstring, std::pair<size_t, uint32_t>> last;  // folded -> (index in order, action)
    for (const BatchRecordName& record : records) {
        const std::wstring key = FoldAscii(record.name);
        auto it = last.find(key);
        if (it == last.end()) {
            last.emplace(key, std::make_pair(order.size(), record.action));
            order.push_back(record.name);
        } else {
            it->second.second = record.action;
        }
    }
    std::vector<std::wstring> names;
    for (const std::wstring& name : order)
        if (IsContentCheckAction(last[FoldAscii(name)].second)) names.push_back(name);
    return names;
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
    // Trees whose names all left the window are forgotten, so memory follows
    // the trees with recent findings only.
    for (auto it = tracker.trees.begin(); it != tracker.trees.end();) {
        std::vector<EncryptedTracker::Seen>& seen = it->second;
        seen.erase(std::remove_if(seen.begin(), seen.end(),
                                  [&](const EncryptedTracker::Seen& s) {
                                      return nowMs < s.ms || nowMs - s.ms > kEncryptedPairWindowMs;
                                  }),
                   seen.end());
        it = seen.empty() && it->first != treeKey ? tracker.trees.erase(it) : std::next(it);
    }
    std::vector<EncryptedTracker::Seen>& seen = tracker.trees[treeKey];
    const std::wstring key = FoldAscii(name);
    auto same =
        std::find_if(seen.begin(), seen.end(), [&](const EncryptedTracker::Seen& s) { return s.key == key; });
    if (same != seen.end()) {
        same->ms = nowMs;
        return false;
    }
    if (!seen.empty()) {
        tracker.trees.erase(treeKey);
        return true;
    }
    seen.push_back({key, nowMs});
    return false;
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
                                const ContentEvidence& evidence) {
    return "\"folder\":\"" + folderJson + "\",\"file\":\"" + fileJson + "\",\"verdict\":\"" +
           ContentVerdictName(evidence.verdict) + "\",\"expected\":\"" + JsonEscape(evidence.expected) +
           "\",\"found\":\"" + JsonEscape(evidence.found) +
           "\",\"entropy\":" + FormatEntropy(evidence.headEntropy);
}
