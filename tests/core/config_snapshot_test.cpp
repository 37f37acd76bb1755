// The current settings: publishing them, private snapshots, the lock-free
// scalars, and both with and without ConfigLock existing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/locks.h"
#include "core/text.h"

namespace {

// A text as itself, or, when long, as its length and a hash (a failure
// message should not print megabytes).
std::string Text(const std::wstring& text) {
    if (text.size() <= 200) return WideToUtf8(text);
    uint64_t hash = 1469598103934665603ull;
    for (const wchar_t ch : text) hash = (hash ^ static_cast<uint32_t>(ch)) * 1099511628211ull;
    std::ostringstream s;
    s << text.size() << " chars, hash " << std::hex << hash;
    return s.str();
}

// Every field, in record order, as one comparable line.
std::string Fields(const Config& c) {
    std::ostringstream s;
    s << c.enableProcessMonitor << c.enableDirMonitorDesktop << c.enableDirMonitorDocuments
      << c.enableDirMonitorDownloads << ' ' << c.burstWindowSeconds << ' ' << c.burstThreshold << ' '
      << c.fileBurstIncidentSeverity << ' ' << c.enableProcessHeuristics << ' ' << c.processSuspiciousScoreThreshold
      << ' ' << c.enableDirFileHeuristics << c.ransomNoteHeuristicsEnabled << c.encryptedExtHeuristicsEnabled << ' '
      << c.dirFileHeuristicIncidentSeverity << ' ' << c.incidentRateLimitSeconds << ' ' << c.enableCanaryFiles << ' '
      << c.canaryIncidentSeverity << ' ' << c.canaryWarmupSeconds << " [" << Text(c.canaryFileNames) << "] [" << Text(c.extraWatchDirs) << "]"
      << ' ' << c.extendedDetection;
    return s.str();
}

std::string LiveFields() {
    std::ostringstream s;
    s << gLiveConfig.enableProcessMonitor.load() << gLiveConfig.enableDirMonitorDesktop.load()
      << gLiveConfig.enableDirMonitorDocuments.load() << gLiveConfig.enableDirMonitorDownloads.load() << ' '
      << gLiveConfig.burstWindowSeconds.load() << ' ' << gLiveConfig.burstThreshold.load() << ' '
      << gLiveConfig.fileBurstIncidentSeverity.load() << ' ' << gLiveConfig.enableDirFileHeuristics.load()
      << gLiveConfig.ransomNoteHeuristicsEnabled.load() << gLiveConfig.encryptedExtHeuristicsEnabled.load() << ' '
      << gLiveConfig.dirFileHeuristicIncidentSeverity.load() << ' ' << gLiveConfig.extendedDetection.load();
    return s.str();
}

// The same twelve scalars taken from a record.
std::string LiveFieldsOf(const Config& c) {
    std::ostringstream s;
    s << c.enableProcessMonitor << c.enableDirMonitorDesktop << c.enableDirMonitorDocuments
      << c.enableDirMonitorDownloads << ' ' << c.burstWindowSeconds << ' ' << c.burstThreshold << ' '
      << c.fileBurstIncidentSeverity << ' ' << c.enableDirFileHeuristics << c.ransomNoteHeuristicsEnabled
      << c.encryptedExtHeuristicsEnabled << ' ' << c.dirFileHeuristicIncidentSeverity << ' ' << c.extendedDetection;
    return s.str();
}

// Two settings that differ in every field, each integer in all four bytes,
// and with texts long enough that an unguarded copy would be caught half done.
Config MakeA() {
    Config c;
    SetConfigDefaults(c);
    c.burstWindowSeconds = 0x01020304;
    c.burstThreshold = 0x05060708;
    c.fileBurstIncidentSeverity = 0x090A0B0C;
    c.processSuspiciousScoreThreshold = 0x0D0E0F10;
    c.dirFileHeuristicIncidentSeverity = 0x11121314;
    c.incidentRateLimitSeconds = 0x15161718;
    c.canaryIncidentSeverity = 0x191A1B1C;
    c.canaryWarmupSeconds = 0x1D1E1F20;
    c.canaryFileNames = std::wstring(30000, L'a') + L"|first.txt";
    c.extraWatchDirs = L"C:\\A|" + std::wstring(500, L'x');
    c.extendedDetection = true;
    return c;
}

Config MakeB() {
    Config c;  // every boolean false
    c.burstWindowSeconds = -0x61626364;
    c.burstThreshold = -0x65666768;
    c.fileBurstIncidentSeverity = -0x696A6B6C;
    c.processSuspiciousScoreThreshold = -0x6D6E6F70;
    c.dirFileHeuristicIncidentSeverity = -0x71727374;
    c.incidentRateLimitSeconds = -0x75767778;
    c.canaryIncidentSeverity = -0x797A7B7C;
    c.canaryWarmupSeconds = -0x7D7E7F70;
    c.canaryFileNames = L"second.txt|" + std::wstring(70000, L'b');
    c.extraWatchDirs = std::wstring(90, L'y');
    return c;
}

}  // namespace

TEST(CurrentConfig, StartsAllZeroAndEmpty) {
    ConfigSnapshot s = MakeA();
    SnapshotConfig(s);
    EXPECT_EQ(Fields(s), "0000 0 0 0 0 0 000 0 0 0 0 0 [] [] 0");
    EXPECT_EQ(LiveFields(), "0000 0 0 0 000 0 0");
}

// ConfigLock is created at core start and deleted at core stop; the current
// settings stay readable and writable before, during and after.
TEST(CurrentConfig, StoreAndSnapshotCarryEveryFieldInEveryLockState) {
    const Config a = MakeA(), b = MakeB();
    ASSERT_NE(Fields(a), Fields(b));
    ConfigSnapshot s;

    ASSERT_FALSE(gConfigLock.exists.load());
    StoreCurrentConfig(a);
    SnapshotConfig(s);
    EXPECT_EQ(Fields(s), Fields(a));
    EXPECT_EQ(LiveFields(), LiveFieldsOf(a));

    CreateCoreLock(gConfigLock);
    SnapshotConfig(s);
    EXPECT_EQ(Fields(s), Fields(a));
    StoreCurrentConfig(b);
    SnapshotConfig(s);
    EXPECT_EQ(Fields(s), Fields(b));
    EXPECT_EQ(LiveFields(), LiveFieldsOf(b));

    DeleteCoreLock(gConfigLock);
    SnapshotConfig(s);
    EXPECT_EQ(Fields(s), Fields(b));  // the values survive the lock
    StoreCurrentConfig(a);
    SnapshotConfig(s);
    EXPECT_EQ(Fields(s), Fields(a));
    EXPECT_EQ(LiveFields(), LiveFieldsOf(a));
}

TEST(CurrentConfig, SnapshotIsAPrivateCopy) {
    StoreCurrentConfig(MakeA());
    ConfigSnapshot first;
    SnapshotConfig(first);
    first.burstThreshold = 1;
    first.extraWatchDirs += L"|mine";
    ConfigSnapshot second;
    SnapshotConfig(second);
    EXPECT_EQ(Fields(second), Fields(MakeA()));

    StoreCurrentConfig(MakeB());
    EXPECT_EQ(first.burstThreshold, 1);
    EXPECT_EQ(second.canaryFileNames, MakeA().canaryFileNames);
}

// Readers on other threads while the settings flip between two records:
// every snapshot is one whole record and every lock-free scalar is one
// record's value, whether or not the core's lock currently exists (a late
// worker may still read after the core stop).
TEST(CurrentConfig, ConcurrentReadersNeverSeeAMix) {
    const Config a = MakeA(), b = MakeB();
    const std::string wholeA = Fields(a), wholeB = Fields(b);
    for (const bool lockExists : {true, false}) {
        SCOPED_TRACE(lockExists ? "lock exists" : "lock gone");
        if (lockExists) CreateCoreLock(gConfigLock);
        else DeleteCoreLock(gConfigLock);
        StoreCurrentConfig(a);

        std::atomic<bool> done{false};
        std::atomic<int> mixedSnapshots{0}, mixedScalars{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 3; ++t) {
            readers.emplace_back([&] {
                ConfigSnapshot s;
                do {
                    SnapshotConfig(s);
                    const std::string f = Fields(s);
                    if (f != wholeA && f != wholeB) ++mixedSnapshots;
                    const int32_t window = gLiveConfig.burstWindowSeconds.load();
                    const int32_t threshold = gLiveConfig.burstThreshold.load();
                    const int32_t severity = gLiveConfig.fileBurstIncidentSeverity.load();
                    const int32_t fileSeverity = gLiveConfig.dirFileHeuristicIncidentSeverity.load();
                    if ((window != a.burstWindowSeconds && window != b.burstWindowSeconds) ||
                        (threshold != a.burstThreshold && threshold != b.burstThreshold) ||
                        (severity != a.fileBurstIncidentSeverity && severity != b.fileBurstIncidentSeverity) ||
                        (fileSeverity != a.dirFileHeuristicIncidentSeverity &&
                         fileSeverity != b.dirFileHeuristicIncidentSeverity))
                        ++mixedScalars;
                } while (!done.load());
            });
        }
        for (int i = 0; i < 20000; ++i) StoreCurrentConfig(i % 2 ? a : b);
        done.store(true);
        for (auto& r : readers) r.join();
        EXPECT_EQ(mixedSnapshots.load(), 0);
        EXPECT_EQ(mixedScalars.load(), 0);
        ConfigSnapshot last;
        SnapshotConfig(last);
        EXPECT_EQ(Fields(last), wholeA);  // the final store (i = 19999) was a
    }
}
