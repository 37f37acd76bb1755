#include "fsmon/save_hold.h"

#include <cstring>

#include "fsmon/file_name_heuristics.h"

bool ShouldHoldFinding(const ExtendedNameVerdict& verdict) {
    if (!verdict.reason || verdict.note || verdict.massRename != MassRename::kNone) return false;
    if (verdict.original.empty()) return false;
    return std::strcmp(verdict.reason, kReasonAppendedExtension) == 0 ||
           std::strcmp(verdict.reason, kReasonReplacedExtension) == 0;
}

bool EndsTheHold(const ExtendedNameVerdict& verdict) {
    return verdict.massRename == MassRename::kReport;
}

bool HoldFinding(HeldFindings& held, const std::wstring& name, const ExtendedNameVerdict& verdict,
                 bool recovered, uint64_t nowMs) {
    if (held.items.size() >= kHeldFindingsLimit) return false;
    HeldFinding f;
    f.name = name;
    f.original = AsciiLower(verdict.original);
    f.reason = verdict.reason;
    f.recovered = recovered;
    f.dueMs = nowMs + kSaveHoldMs;
    held.items.push_back(std::move(f));  // one fixed delay: the deque stays in due order
    return true;
}

size_t DropRestored(HeldFindings& held, const std::wstring& name) {
    if (held.items.empty()) return 0;
    const std::wstring lower = AsciiLower(name);
    size_t dropped = 0;
    for (auto it = held.items.begin(); it != held.items.end();) {
        if (it->original == lower) {
            it = held.items.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

bool TakeDueFinding(HeldFindings& held, uint64_t nowMs, HeldFinding& out) {
    if (held.items.empty() || held.items.front().dueMs > nowMs) return false;
    out = std::move(held.items.front());
    held.items.pop_front();
    return true;
}

int64_t MsUntilNextFinding(const HeldFindings& held, uint64_t nowMs) {
    if (held.items.empty()) return -1;
    const uint64_t due = held.items.front().dueMs;
    return due <= nowMs ? 0 : static_cast<int64_t>(due - nowMs);
}
