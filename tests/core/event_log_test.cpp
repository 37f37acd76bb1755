#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "core/event_log.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/seams.h"
#include "core/text.h"
#include "support/child_process.h"
#include "support/test_support.h"

using nlohmann::json;

TEST(EventLine, PiecesInOrderWithoutWhitespace) {
    EXPECT_EQ(BuildEventLine("2026-01-06T18:38:11", "startup", "\"msg\":\"Vellumgard core started (admin)\""),
              "{\"ts\":\"2026-01-06T18:38:11\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
              "\"type\":\"startup\",\"msg\":\"Vellumgard core started (admin)\"}");
    EXPECT_EQ(BuildEventLine("2026-01-06T18:38:11", "x", ""),
              "{\"ts\":\"2026-01-06T18:38:11\",\"product\":\"Vellumgard\",\"version\":\"Public v1\","
              "\"type\":\"x\"}");
}

TEST(EventLog, NothingIsWrittenBeforeThePathsExist) {
    gDataPaths = DataPaths();
    LogMessage("startup", "x");  // must not crash or write anywhere
    SUCCEED();
}

TEST(EventLog, MessagesAndTypesStayOnOneLine) {
    TempDir dir;
    FakeClock clock;
    UseDataPathsBelow(dir.path);
    LogMessage("a\"type", "quote\" backslash\\ cr\r lf\n ctl\x01\x1f end");
    LogMessage("no_msg", nullptr);
    LogEvent("bare", "");
    const std::string bytes = ReadFileBytes(gDataPaths.logFile);
    EXPECT_EQ(bytes.find('\r'), std::string::npos);
    const auto lines = SplitLines(bytes);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(bytes.back(), '\n');

    const json first = json::parse(lines[0]);
    EXPECT_EQ(first["type"], "a\"type");
    EXPECT_EQ(first["msg"], "quote\" backslash\\ cr\r lf\n ctl\x01\x1f end");
    EXPECT_EQ(first["ts"], "2026-03-14T09:26:53");
    EXPECT_EQ(json::parse(lines[1])["msg"], "");
    EXPECT_EQ(lines[2], "{\"ts\":\"2026-03-14T09:26:53\",\"product\":\"Vellumgard\",\"version\":\"Public v1\",\"type\":\"bare\"}");
}

TEST(EventLog, RecreatesADeletedDataFolderAndDropsWhatCannotBeWritten) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    LogMessage("one", "1");
    RemoveTree(gDataPaths.dataDir);
    LogMessage("two", "2");
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"two"}));

    // A folder in the way of the log file: the event is dropped, nothing crashes.
    DeleteFileW(gDataPaths.logFile.c_str());
    ASSERT_TRUE(CreateDirectoryW(gDataPaths.logFile.c_str(), nullptr));
    LogMessage("dropped", "x");
    RemoveDirectoryW(gDataPaths.logFile.c_str());
    LogMessage("three", "3");
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"three"}));

    // A data folder that cannot be created (a file in its place): dropped too.
    RemoveTree(gDataPaths.dataDir);
    ASSERT_TRUE(WriteFileBytes(gDataPaths.dataDir, "not a folder"));
    LogMessage("dropped", "x");
    EXPECT_EQ(ReadFileBytes(gDataPaths.dataDir), "not a folder");
}

TEST(EventLog, ConcurrentAppendsNeverTearOrInterleave) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    constexpr int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string pad(100 + t * 37, 'x');
            for (int i = 0; i < kLines; ++i)
                LogEvent("stress", "\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + ",\"pad\":\"" + pad + "\"");
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = ReadLogLines();
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines) {
        const json j = json::parse(line, nullptr, false);
        ASSERT_TRUE(j.is_object()) << line;
        seen.insert({j["t"].get<int>(), j["i"].get<int>()});
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
}

// Two agents may run at once: a child copy of this test program appends to
// the same log while this process does.
TEST(EventLog, TwoProcessesAppendingKeepEveryLineWhole) {
    wchar_t child[8];
    if (GetEnvironmentVariableW(L"VG_APPEND_CHILD", child, 8) > 0) GTEST_SKIP() << "child side";
    TempDir dir;
    UseDataPathsBelow(dir.path);

    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    SetEnvironmentVariableW(L"VG_APPEND_CHILD", dir.path.c_str());
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --gtest_filter=EventLogChild.Append";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    SetEnvironmentVariableW(L"VG_APPEND_CHILD", nullptr);
    for (int i = 0; i < 1000; ++i) LogEvent("parent", "\"i\":" + std::to_string(i) + ",\"pad\":\"" + std::string(300, 'p') + "\"");
    WaitForSingleObject(pi.hProcess, 60000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    int parent = 0, child_lines = 0;
    for (const std::string& line : ReadLogLines()) {
        const json j = json::parse(line, nullptr, false);
        ASSERT_TRUE(j.is_object()) << line;
        (j["type"] == "parent" ? parent : child_lines)++;
    }
    EXPECT_EQ(parent, 1000);
    EXPECT_EQ(child_lines, 1000);
}

TEST(EventLogChild, Append) {
    wchar_t base[MAX_PATH];
    if (GetEnvironmentVariableW(L"VG_APPEND_CHILD", base, MAX_PATH) == 0) GTEST_SKIP() << "runs as a child only";
    SetDataPathsBelow(base);
    for (int i = 0; i < 1000; ++i) LogEvent("child", "\"i\":" + std::to_string(i) + ",\"pad\":\"" + std::string(300, 'c') + "\"");
}

namespace {
int gSyncCalls = 0;
std::string gContentSeenBySync;
std::wstring gSyncPath;
void RecordSync(const Config&) {
    ++gSyncCalls;
    ReadFileBytes(gSyncPath, gContentSeenBySync);
}
}  // namespace

TEST(WriteTextFile, ReplacesContentAndSynchronisesWhileTheFileHoldsIt) {
    TempDir dir;
    gSyncPath = dir.Sub(L"f.txt");
    gSyncExtraWatchDirs = RecordSync;
    ASSERT_TRUE(WriteTextFile(gSyncPath, "first version, longer"));
    ASSERT_TRUE(WriteTextFile(gSyncPath, "second\n"));
    EXPECT_EQ(ReadFileBytes(gSyncPath), "second\n");
    EXPECT_EQ(gSyncCalls, 2);
    EXPECT_EQ(gContentSeenBySync, "second\n");  // never empty while the synchronisation runs

    EXPECT_FALSE(WriteTextFile(dir.Sub(L"missing\\f.txt"), "x"));
    EXPECT_EQ(gSyncCalls, 2);  // no synchronisation after a failed open
    gSyncExtraWatchDirs = nullptr;
}

TEST(WriteTextFile, FailsWhenAnotherProcessHoldsTheFileWithoutSharing) {
    TempDir dir;
    const std::wstring path = dir.Sub(L"locked.html");
    ASSERT_TRUE(WriteTextFile(path, "old report"));
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteTextFile(path, "x"));
    CloseHandle(h);
    EXPECT_EQ(ReadFileBytes(path), "old report");
    EXPECT_TRUE(WriteTextFile(path, "x"));
    EXPECT_EQ(ReadFileBytes(path), "x");
}

namespace {

constexpr wchar_t kHolderReady[] = L"Local\\VellumgardTestLockHolderReady";

}  // namespace

// Another process takes the log's lock and never lets go (until it is killed).
TEST(EventLog, AHungLockHolderCostsOneWaitNotOnePerLine) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kHolderReady);
    PROCESS_INFORMATION holder = StartChild(L"EventLogChild.HoldLock", L"VG_HOLD_LOCK", LogMutexName(gDataPaths.logFile));
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);

    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 10; ++i) LogEvent("while_held", "\"i\":" + std::to_string(i));
    const ULONGLONG elapsed = GetTickCount64() - start;
    // Still held well after the first timeout: the lock stays on tries alone
    // until one succeeds, rather than being waited for again every few seconds.
    Sleep(5500);
    const ULONGLONG later = GetTickCount64();
    for (int i = 10; i < 15; ++i) LogEvent("while_held", "\"i\":" + std::to_string(i));
    const ULONGLONG laterElapsed = GetTickCount64() - later;
    TerminateProcess(holder.hProcess, 0);
    WaitForSingleObject(holder.hProcess, 10000);
    CloseHandle(holder.hThread);
    CloseHandle(holder.hProcess);
    CloseHandle(ready);

    const auto lines = ReadLogLines();
    ASSERT_EQ(lines.size(), 15u);  // every line still arrives, whole
    for (int i = 0; i < 15; ++i) EXPECT_EQ(json::parse(lines[i])["i"], i);
    // One wait of about a second, then tries without waiting: ten waits would take ten seconds.
    EXPECT_GE(elapsed, 900u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_LT(laterElapsed, 500u) << "the lock was waited for again while its holder still hung";

    // With the holder gone (an abandoned lock counts as taken) lines go on.
    LogEvent("after", "");
    EXPECT_EQ(LogTypes().back(), "after");
}

TEST(EventLogChild, HoldLock) {
    wchar_t name[MAX_PATH];
    if (GetEnvironmentVariableW(L"VG_HOLD_LOCK", name, MAX_PATH) == 0) GTEST_SKIP() << "runs as a child only";
    HANDLE m = CreateMutexW(nullptr, FALSE, name);
    ASSERT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHolderReady);
    SetEvent(ready);
    Sleep(60000);
}

namespace {
int gWriteCalls = 0;
bool FailHalfWay(void* file, const void* data, uint32_t size, uint32_t* written) {
    ++gWriteCalls;
    DWORD done = 0;
    WriteFile(static_cast<HANDLE>(file), data, size / 2, &done, nullptr);
    *written = done;
    return false;  // the disk filled up
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if (fd.cFileName[0] != L'.') names.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}
}  // namespace

TEST(WriteTextFile, AWriteThatFailsHalfWayLeavesTheOldFileWhole) {
    TempDir dir;
    const std::wstring path = dir.Sub(L"Vellumgard.config.json");
    ASSERT_TRUE(WriteTextFile(path, "{\"old\":true}"));
    gSeams.writeFile = FailHalfWay;
    EXPECT_FALSE(WriteTextFile(path, std::string(10000, 'n')));
    EXPECT_FALSE(WriteTextFile(dir.Sub(L"new.json"), "brand new"));
    gSeams.writeFile = nullptr;
    EXPECT_EQ(gWriteCalls, 2);
    EXPECT_EQ(ReadFileBytes(path), "{\"old\":true}");
    EXPECT_EQ(FilesIn(dir.path), std::vector<std::wstring>({L"Vellumgard.config.json"}));  // no temporary, no new.json
}

TEST(WriteTextFile, LeftoverTemporaryFilesOfEndedProcessesAreRemoved) {
    TempDir dir;
    // A process that is still running keeps its file; an ended one's goes.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kHolderReady);
    PROCESS_INFORMATION running = StartChild(L"EventLogChild.HoldLock", L"VG_HOLD_LOCK", L"Local\\VellumgardTestUnrelated");
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    const std::wstring live = L"report.html." + std::to_wstring(running.dwProcessId) + L"-3.vgtmp";
    const std::wstring dead = L"report.html.4000000-1.vgtmp";
    const std::wstring ours = L"incident.json." + std::to_wstring(GetCurrentProcessId()) + L"-9.vgtmp";
    for (const std::wstring& name : {live, dead, ours, std::wstring(L"keep.txt"), std::wstring(L"odd.vgtmp")})
        ASSERT_TRUE(WriteFileBytes(dir.Sub(name), "partial"));

    EXPECT_EQ(RemoveStaleTempFiles(dir.path), 3u);  // dead, ours (a previous run with this id) and odd
    auto left = FilesIn(dir.path);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, std::vector<std::wstring>({L"keep.txt", live}));
    TerminateProcess(running.hProcess, 0);
    WaitForSingleObject(running.hProcess, 10000);
    CloseHandle(running.hThread);
    CloseHandle(running.hProcess);
    CloseHandle(ready);
}
