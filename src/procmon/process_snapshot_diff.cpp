#include "procmon/process_snapshot_diff.h"

#include <algorithm>

std::vector<ProcessListEntry> NewProcesses(const std::vector<ProcessListEntry>& list,
                                           ProcessSnapshotState& state) {
    std::vector<std::pair<uint32_t, int64_t>> keys;
    keys.reserve(list.size());
    for (const ProcessListEntry& e : list) keys.emplace_back(e.pid, e.createTime);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

    std::vector<ProcessListEntry> fresh;
    if (state.primed) {
        for (const ProcessListEntry& e : list)
            if (!std::binary_search(state.known.begin(), state.known.end(),
                                    std::make_pair(e.pid, e.createTime)))
                fresh.push_back(e);
        // Start order; equal keys end up side by side and are reported once.
        std::stable_sort(
            fresh.begin(), fresh.end(), [](const ProcessListEntry& a, const ProcessListEntry& b) {
                return a.createTime != b.createTime ? a.createTime < b.createTime : a.pid < b.pid;
            });
        fresh.erase(std::unique(fresh.begin(), fresh.end(),
                                [](const ProcessListEntry& a, const ProcessListEntry& b) {
                                    return a.pid == b.pid && a.createTime == b.createTime;
                                }),
                    fresh.end());
    }
    state.known = std::move(keys);
    state.primed = true;
    return fresh;
}

std::vector<std::pair<uint32_t, int64_t>> EndedProcesses(const std::vector<ProcessListEntry>& list,
                                                         const ProcessSnapshotState& state) {
    std::vector<std::pair<uint32_t, int64_t>> keys;
    keys.reserve(list.size());
    for (const ProcessListEntry& e : list) keys.emplace_back(e.pid, e.createTime);
    std::sort(keys.begin(), keys.end());
    std::vector<std::pair<uint32_t, int64_t>> ended;
    for (const auto& key : state.known)
        if (!std::binary_search(keys.begin(), keys.end(), key)) ended.push_back(key);
    return ended;
}

bool ShouldTakeList(const ListGate& gate, uint32_t askedSize, bool everyListedProcessRuns, int64_t nowMs) {
    if (!gate.listed || askedSize == 0 || askedSize != gate.sizeBeforeList || !everyListedProcessRuns)
        return true;
    // A clock that went back counts as due.
    return nowMs < gate.listedAtMs || nowMs - gate.listedAtMs >= kWholeListEveryMs;
}

void NoteListTaken(ListGate& gate, uint32_t askedSize, int64_t nowMs) {
    gate.listed = true;
    gate.sizeBeforeList = askedSize;
    gate.listedAtMs = nowMs;
}

std::vector<ProcessKey> KeysToOpen(const std::vector<ProcessKey>& listed, const std::vector<ProcessKey>& held,
                                   std::vector<ProcessKey>& unopenable) {
    std::vector<ProcessKey> still;
    std::vector<ProcessKey> open;
    for (const ProcessKey& key : listed) {
        if (std::binary_search(unopenable.begin(), unopenable.end(), key))
            still.push_back(key);
        else if (!std::binary_search(held.begin(), held.end(), key))
            open.push_back(key);
    }
    unopenable = std::move(still);
    return open;
}
