// The memory of process starts on real processes under Wine: the polling
// monitor remembers a copy of the stand-in program (tools/sleeper.cpp) from
// its start to its end with extendedDetection on and nothing with it off, and
// the check at ranking time finds the ends the WMI path cannot see.
#include "procmon/process_memory_win.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/handles.h"
#include "core/text.h"
#include "procmon/process_monitor.h"
#include "procmon/process_poller.h"
#include "support/stand_in.h"
#include "support/test_support.h"

namespace {

int64_t FileTimeOf(const FILETIME& ft) {
    return (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

using Child = StandIn;

int64_t StartedMs(const Child& child) {
    return child.created ? FileTimeToUnixMs(child.created) : 0;
}

// Copies the stand-in program to dir\name and starts it with this command
// line; it sleeps `sleepMs`.
bool StartCopy(const TempDir& dir, const std::wstring& name, const std::wstring& commandLine, DWORD sleepMs,
               Child& child) {
    return StartStandIn(StandInProgram(VG_SLEEPER_EXE), dir.Sub(name), commandLine, sleepMs, child);
}

// The remembered start of this copy (pid and creation time: Wine gives pids out again quickly).
bool FindStart(const Child& child, RememberedProcess& out) {
    for (const RememberedProcess& p : RecentProcesses(NowUnixMs())) {
        if (p.pid == child.pid && p.startedMs == StartedMs(child)) {
            out = p;
            return true;
        }
    }
    return false;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) return true;
        Sleep(50);
    }
    return condition();
}

bool LoggedStartOf(const Child& child) {
    const std::string pid = "\"pid\":" + std::to_string(child.pid) + ",";
    const std::string name =
        "\"name\":\"" + WideToUtf8(child.exe.substr(child.exe.find_last_of(L'\\') + 1)) + "\"";
    for (const std::string& line : ReadLogLines())
        if (line.find("\"proc_start\"") != std::string::npos && line.find(pid) != std::string::npos &&
            line.find(name) != std::string::npos)
            return true;
    return false;
}

DWORD WINAPI MonitorThread(LPVOID arg) {
    return ProcessMonitorMain(arg);
}

void UseExtendedDetection(bool on) {
    Config config;
    SetConfigDefaults(config);
    config.extendedDetection = on;
    config.enableProcessHeuristics = false;
    StoreCurrentConfig(config);
}

}  // namespace

// Under Wine WMI events fail, so with the setting on the monitor polls. A copy
// that starts and ends is remembered whole: its pid, creation time, parent
// (this test), image, command line and its end. Switched off while the
// monitor runs, the next copy is still logged but not remembered.
TEST(ProcessMemoryPolling, RemembersAStartedAndEndedProcessOnlyWithTheSettingOn) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UseExtendedDetection(true);
    gCoreState.stopRequested.store(0);
    ResetProcessMemory();

    const int64_t monitorStart = NowUnixMs();
    UniqueHandle thread(CreateThread(nullptr, 0, MonitorThread, nullptr, 0, nullptr));
    ASSERT_TRUE(thread);
    auto stop = [&] {
        gCoreState.stopRequested.store(1);
        return WaitForSingleObject(thread.get(), 15000) == WAIT_OBJECT_0;
    };
    if (!WaitFor([] { return LogTypes().size() >= 2; }, 60000)) {
        stop();
        FAIL() << "no fallback line";
    }
    EXPECT_GE(ProcessMemoryStartMs(), monitorStart);
    EXPECT_LE(ProcessMemoryStartMs(), NowUnixMs());

    Child remembered;
    const std::wstring commandLine = L"remembered.exe --pass \"two words\"";
    ASSERT_TRUE(StartCopy(dir, L"remembered.exe", commandLine, 600, remembered));
    ASSERT_EQ(WaitForSingleObject(remembered.process.get(), 10000), WAIT_OBJECT_0);
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(remembered.process.get(), &created, &exited, &kernel, &user));
    const int64_t exitedMs = FileTimeToUnixMs(FileTimeOf(exited));
    RememberedProcess p;
    const bool ended = WaitFor([&] { return FindStart(remembered, p) && p.endedMs != 0; }, 5000);

    UseExtendedDetection(false);
    Child unremembered;
    ASSERT_TRUE(StartCopy(dir, L"unremembered.exe", L"unremembered.exe", 300, unremembered));
    ASSERT_EQ(WaitForSingleObject(unremembered.process.get(), 10000), WAIT_OBJECT_0);
    const bool logged = WaitFor([&] { return LoggedStartOf(unremembered); }, 5000);
    Sleep(2 * kProcessPollPeriodMs);
    ASSERT_TRUE(stop());

    ASSERT_TRUE(ended) << "the start or its end was not remembered";
    EXPECT_EQ(p.parentPid, static_cast<int32_t>(GetCurrentProcessId()));
    EXPECT_EQ(p.name, L"remembered.exe");
    EXPECT_EQ(_wcsicmp(p.path.c_str(), remembered.exe.c_str()), 0) << WideToUtf8(p.path);
    EXPECT_EQ(p.commandLine, commandLine);
    EXPECT_GE(p.seenMs, p.startedMs);
    EXPECT_EQ(p.endedMs, exitedMs) << "the end is the exit time, not when it was noticed";

    EXPECT_TRUE(logged) << "the monitor stopped logging starts";
    RememberedProcess none;
    EXPECT_FALSE(FindStart(unremembered, none)) << "remembered with the setting off";
    EXPECT_FALSE(ProcessMemoryOn());
}

// With the setting off the monitor thread does not poll under Wine and
// remembers nothing; what an earlier run remembered is forgotten at its start.
TEST(ProcessMemoryPolling, AMonitorStartedWithTheSettingOffRemembersNothing) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UseExtendedDetection(false);
    gCoreState.stopRequested.store(0);
    RememberedProcess earlier;
    earlier.pid = 99;
    earlier.startedMs = earlier.seenMs = NowUnixMs();
    RememberProcessStart(earlier, earlier.seenMs);
    SetProcessMemoryOn(true, earlier.seenMs);

    EXPECT_EQ(ProcessMonitorMain(nullptr), 1u) << "WMI events fail under Wine";
    EXPECT_TRUE(RecentProcesses(NowUnixMs()).empty());
    EXPECT_EQ(ProcessMemoryStartMs(), 0);
    EXPECT_FALSE(ProcessMemoryOn());
}

// Each case is a remembered record about a real process; whether the check
// finds that the record's process has ended.
TEST(RefreshProcessEnds, FindsEndsByPidAndCreationTime) {
    TempDir dir;
    Child running, ended;
    ASSERT_TRUE(StartCopy(dir, L"running.exe", L"running.exe", 20000, running));
    ASSERT_TRUE(StartCopy(dir, L"ended.exe", L"ended.exe", 0, ended));
    ASSERT_EQ(WaitForSingleObject(ended.process.get(), 10000), WAIT_OBJECT_0);
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(ended.process.get(), &created, &exited, &kernel, &user));
    const int64_t endedExitMs = FileTimeToUnixMs(FileTimeOf(exited));
    ASSERT_NE(StartedMs(running), 0);

    struct Case {
        const char* what;
        int32_t pid;
        int64_t startedMs, seenMs;
        bool endFound;
        int64_t endedMs;  // when found and known exactly; 0: any time up to now
    } cases[] = {
        {"running", running.pid, StartedMs(running), StartedMs(running) + 5, false, 0},
        {"ended (its handle still open here)", ended.pid, StartedMs(ended), StartedMs(ended) + 5, true,
         endedExitMs},
        {"the pid now names a process created later", running.pid, StartedMs(running) - 60000,
         StartedMs(running) - 59000, true, 0},
        {"no creation time, noticed before the pid's process was created", running.pid, 0,
         StartedMs(running) - 1000, true, 0},
        {"no creation time, noticed after it was created", running.pid, 0, StartedMs(running) + 5, false, 0},
        {"a pid nobody has", 0x7FFFFFF0, StartedMs(running), StartedMs(running) + 5, true, 0},
    };
    for (const Case& c : cases) {
        ResetProcessMemory();
        RememberedProcess p;
        p.pid = c.pid;
        p.startedMs = c.startedMs;
        p.seenMs = c.seenMs;
        RememberProcessStart(p, NowUnixMs());
        const int64_t before = NowUnixMs();
        RefreshProcessEnds(NowUnixMs());
        const std::vector<RememberedProcess> recent = RecentProcesses(NowUnixMs());
        ASSERT_EQ(recent.size(), 1u) << c.what;
        EXPECT_EQ(recent[0].endedMs != 0, c.endFound) << c.what;
        if (c.endFound && c.endedMs != 0) {
            EXPECT_EQ(recent[0].endedMs, c.endedMs) << c.what;
        } else if (c.endFound) {
            EXPECT_GE(recent[0].endedMs, std::min(before, c.seenMs)) << c.what;
        }
    }
}
