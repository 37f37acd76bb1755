#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "core/event_log.h"
#include "core/hooks.h"
#include "core/paths.h"
#include "core/text.h"
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
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteTextFile(path, "x"));
    CloseHandle(h);
    EXPECT_TRUE(WriteTextFile(path, "x"));
}
