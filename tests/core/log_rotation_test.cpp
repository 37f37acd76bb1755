// Rotation of the real log under Wine: the bound, the kept files, the first
// line of each new file, two processes appending across rotations, and
// readers that hold the log with and without delete sharing.
#include "core/log_rotation.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <nlohmann/json.hpp>

#include "core/config.h"
#include "core/event_log.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/child_process.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

std::wstring Closed(int n) {
    return RotatedLogPath(gDataPaths.logFile, n);
}

void UseRotation(int32_t megabytes, int32_t keep) {
    gLiveConfig.logMaxMegabytes.store(megabytes);
    gLiveConfig.logKeepFiles.store(keep);
}

// A line of about 1,090 bytes: a 1 MB bound is passed after some 960 lines.
void LogPadded(const char* type, int i) {
    LogEvent(type, "\"i\":" + std::to_string(i) + ",\"pad\":\"" + std::string(1000, type[0]) + "\"");
}

// Every line of the closed files (oldest first) and the current one.
std::vector<std::string> AllLines(int keep) {
    std::vector<std::string> all;
    for (int n = keep; n >= 1; --n)
        for (const std::string& l : SplitLines(ReadFileBytes(Closed(n)))) all.push_back(l);
    for (const std::string& l : SplitLines(ReadFileBytes(gDataPaths.logFile))) all.push_back(l);
    return all;
}

void Finish(PROCESS_INFORMATION& pi, bool kill) {
    if (kill) TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 120000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

constexpr wchar_t kHolderReady[] = L"Local\\VellumgardTestRotationLockHolderReady";

}  // namespace

TEST(LogRotation, WithoutTheSettingTheLogOnlyGrows) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    for (int i = 0; i < 1200; ++i) LogPadded("x", i);
    EXPECT_FALSE(PathExists(Closed(1)));
    EXPECT_EQ(ReadLogLines().size(), 1200u);
}

TEST(LogRotation, ClosesTheLogAtTheBoundAndKeepsTheNewestFiles) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UseRotation(1, 2);
    for (int i = 0; i < 4500; ++i) LogPadded("x", i);  // about 4.6 MB: four rotations
    EXPECT_TRUE(PathExists(Closed(1)));
    EXPECT_TRUE(PathExists(Closed(2)));
    EXPECT_FALSE(PathExists(Closed(3)));
    for (const std::wstring& path : {gDataPaths.logFile, Closed(1)}) {
        const std::string bytes = ReadFileBytes(path);
        EXPECT_LE(bytes.size(), 1u << 20);
        const json first = json::parse(SplitLines(bytes).front());
        EXPECT_EQ(first["type"], "log_rotated");
        EXPECT_EQ(first["file"], "Vellumgard.log.1.jsonl");
    }
    // What is kept is the newest lines, in order, each once.
    const std::vector<std::string> all = AllLines(2);
    int expected = -1;
    for (const std::string& line : all) {
        const json j = json::parse(line);
        if (j["type"] == "log_rotated") continue;
        if (expected >= 0) {
            EXPECT_EQ(j["i"], expected);
        }
        expected = j["i"].get<int>() + 1;
    }
    EXPECT_EQ(expected, 4500);
}

// Two agents append to the same log across several rotations: every line
// arrives whole and once, and each rotation leaves exactly one log_rotated.
TEST(LogRotation, TwoProcessesAppendingAcrossRotationsLoseNothing) {
    wchar_t child[8];
    if (GetEnvironmentVariableW(L"VG_ROTATE_CHILD", child, 8) > 0) GTEST_SKIP() << "child side";
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UseRotation(1, 20);
    PROCESS_INFORMATION pi = StartChild(L"LogRotationChild.Append", L"VG_ROTATE_CHILD", dir.path);
    for (int i = 0; i < 2000; ++i) LogPadded("parent", i);
    Finish(pi, false);

    std::map<std::string, std::vector<int>> seen;
    int rotations = 0, files = 1;
    while (PathExists(Closed(files))) ++files;
    for (const std::string& line : AllLines(files - 1)) {
        const json j = json::parse(line, nullptr, false);
        ASSERT_TRUE(j.is_object()) << line.substr(0, 80);
        if (j["type"] == "log_rotated") {
            ++rotations;
            continue;
        }
        seen[j["type"]].push_back(j["i"]);
    }
    EXPECT_EQ(rotations, files - 1);
    EXPECT_GE(rotations, 3);
    for (const char* who : {"parent", "child"}) {
        std::vector<int>& is = seen[who];
        ASSERT_EQ(is.size(), 2000u) << who;
        for (int i = 0; i < 2000; ++i) EXPECT_EQ(is[i], i) << who;  // in order: none lost or doubled
    }
}

TEST(LogRotationChild, Append) {
    wchar_t base[MAX_PATH];
    if (GetEnvironmentVariableW(L"VG_ROTATE_CHILD", base, MAX_PATH) == 0)
        GTEST_SKIP() << "runs as a child only";
    SetDataPathsBelow(base);
    UseRotation(1, 20);
    for (int i = 0; i < 2000; ++i) LogPadded("child", i);
}

// A reader that holds the log without delete sharing blocks the rename: the
// lines go on to the current file, and the first append after it lets go
// rotates. A reader that shares delete (as the report does) keeps reading the
// bytes it opened while the log rotates under it.
TEST(LogRotation, ReadersHoldingTheLog) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UseRotation(1, 4);
    for (int i = 0; i < 900; ++i) LogPadded("x", i);
    ASSERT_FALSE(PathExists(Closed(1)));

    HANDLE strict = CreateFileW(gDataPaths.logFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(strict, INVALID_HANDLE_VALUE);
    for (int i = 900; i < 1000; ++i) LogPadded("x", i);  // past the bound
    EXPECT_FALSE(PathExists(Closed(1)));
    EXPECT_EQ(ReadLogLines().size(), 1000u);
    CloseHandle(strict);
    LogPadded("x", 1000);
    ASSERT_TRUE(PathExists(Closed(1)));
    EXPECT_EQ(SplitLines(ReadFileBytes(Closed(1))).size(), 1000u);
    EXPECT_EQ(LogTypes(), std::vector<std::string>({"log_rotated", "x"}));

    for (int i = 1001; i < 1900; ++i) LogPadded("x", i);
    HANDLE shared = CreateFileW(gDataPaths.logFile.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(shared, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(shared, &size));
    for (int i = 2000; i < 2300; ++i) LogPadded("x", i);
    EXPECT_TRUE(PathExists(Closed(2)));
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(shared, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr));
    CloseHandle(shared);
    EXPECT_EQ(got, bytes.size());
    // The bytes it opened, whole: the start of the file now closed.
    EXPECT_TRUE(ReadFileBytes(Closed(1)).compare(0, bytes.size(), bytes) == 0);
}

// An append made after the lock timed out never rotates.
TEST(LogRotation, AnAppendWithoutTheLockNeverRotates) {
    TempDir dir;
    UseDataPathsBelow(dir.path);
    UseRotation(1, 4);
    for (int i = 0; i < 900; ++i) LogPadded("x", i);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kHolderReady);
    PROCESS_INFORMATION holder =
        StartChild(L"LogRotationChild.HoldLock", L"VG_ROTATION_HOLD_LOCK", LogMutexName(gDataPaths.logFile));
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    for (int i = 900; i < 1000; ++i) LogPadded("x", i);  // past the bound
    Finish(holder, true);
    CloseHandle(ready);
    EXPECT_FALSE(PathExists(Closed(1)));
    EXPECT_EQ(ReadLogLines().size(), 1000u);
    LogPadded("x", 1000);  // the lock again (abandoned counts as taken): now it rotates
    EXPECT_TRUE(PathExists(Closed(1)));
}

TEST(LogRotationChild, HoldLock) {
    wchar_t name[MAX_PATH];
    if (GetEnvironmentVariableW(L"VG_ROTATION_HOLD_LOCK", name, MAX_PATH) == 0)
        GTEST_SKIP() << "runs as a child only";
    HANDLE m = CreateMutexW(nullptr, FALSE, name);
    ASSERT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHolderReady);
    SetEvent(ready);
    Sleep(60000);
}
