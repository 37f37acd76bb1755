#include "fsmon/burst_detector.h"

#include <algorithm>
#include <limits>

#include "core/clock.h"
#include "core/config.h"
#include "core/locks.h"

namespace {

// Guarded by gBurstLock. Lives for the whole process; never freed so a
// worker outliving the core's stop can still touch it.
std::vector<int64_t>& BatchTimes() {
    static auto* times = new std::vector<int64_t>;
    return *times;
}

int32_t OrDefault(int32_t value, int32_t fallback) { return value > 0 ? value : fallback; }

}  // namespace

size_t AddBatchToWindow(std::vector<int64_t>& batchTimes, int64_t now, int32_t windowSeconds) {
    batchTimes.push_back(now);
    // Saturate instead of overflowing for clock values near the bottom of the range.
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    const int64_t cutoff = now < lowest + windowSeconds ? lowest : now - windowSeconds;
    batchTimes.erase(std::remove_if(batchTimes.begin(), batchTimes.end(),
                                    [cutoff](int64_t t) { return t < cutoff; }),
                     batchTimes.end());
    return batchTimes.size();
}

bool RecordChangeBatch(int32_t& severity) {
    if (!gBurstLock.exists.load()) return false;
    const int64_t now = NowSeconds();
    const int32_t window = OrDefault(gLiveConfig.burstWindowSeconds.load(), kDefaultBurstWindowSeconds);
    const int32_t threshold = OrDefault(gLiveConfig.burstThreshold.load(), kDefaultBurstThreshold);
    size_t count = 0;
    {
        CoreLockGuard guard(gBurstLock);
        count = AddBatchToWindow(BatchTimes(), now, window);
    }
    if (count < static_cast<size_t>(threshold)) return false;
    severity = OrDefault(gLiveConfig.fileBurstIncidentSeverity.load(), kDefaultFileBurstIncidentSeverity);
    return true;
}
