#include <windows.h>

#include <gtest/gtest.h>

#include "core/paths.h"
#include "core/seams.h"
#include "support/test_support.h"

namespace {

std::wstring gShellAnswer;
bool ShellSucceeds(int, std::wstring& out) {
    out = gShellAnswer;
    return true;
}
bool ShellFails(int, std::wstring&) { return false; }

struct SeamReset {
    ~SeamReset() { gSeams.shellFolder = nullptr; }
};

}  // namespace

TEST(ResolveDataPaths, ShellFolderWinsOverEnvironment) {
    TempDir dir;
    SeamReset reset;
    gShellAnswer = dir.Sub(L"shell");
    gSeams.shellFolder = ShellSucceeds;
    SetEnvironmentVariableW(L"LOCALAPPDATA", dir.Sub(L"env").c_str());
    ASSERT_TRUE(ResolveDataPaths());
    EXPECT_EQ(gDataPaths.dataDir, dir.Sub(L"shell") + L"\\Vellumgard");
    EXPECT_EQ(gDataPaths.logFile, gDataPaths.dataDir + L"\\Vellumgard.log.jsonl");
    EXPECT_EQ(gDataPaths.configFile, gDataPaths.dataDir + L"\\Vellumgard.config.json");
    EXPECT_EQ(gDataPaths.reportFile, gDataPaths.dataDir + L"\\report.html");
    EXPECT_EQ(gDataPaths.incidentsDir, gDataPaths.dataDir + L"\\Incidents");
    EXPECT_TRUE(PathIsDirectory(gDataPaths.dataDir));
    EXPECT_TRUE(PathIsDirectory(gDataPaths.incidentsDir));
}

TEST(ResolveDataPaths, BaseWithTrailingBackslashGetsNoSecond) {
    TempDir dir;
    SeamReset reset;
    gShellAnswer = dir.path + L"\\";
    gSeams.shellFolder = ShellSucceeds;
    ResolveDataPaths();
    EXPECT_EQ(gDataPaths.dataDir, dir.path + L"\\Vellumgard");
}

TEST(ResolveDataPaths, FallsBackToEnvironmentThenCurrentDirectory) {
    TempDir dir;
    SeamReset reset;
    gSeams.shellFolder = ShellFails;

    const std::wstring env = dir.Sub(L"env");
    SetEnvironmentVariableW(L"LOCALAPPDATA", env.c_str());
    ResolveDataPaths();
    EXPECT_EQ(gDataPaths.dataDir, env + L"\\Vellumgard");

    const std::wstring cwd = dir.Sub(L"cwd");
    EnsureDirectoryTree(cwd);
    ASSERT_TRUE(SetCurrentDirectoryW(cwd.c_str()));
    wchar_t actual[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, actual);

    const std::wstring tooLong(300, L'a');
    for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str()}) {
        SetEnvironmentVariableW(L"LOCALAPPDATA", value);
        ResolveDataPaths();
        EXPECT_EQ(gDataPaths.dataDir, std::wstring(actual) + L"\\Vellumgard");
    }
    SetCurrentDirectoryW(dir.path.c_str());  // let TempDir remove the tree
}

TEST(EnsureDirectoryTree, Cases) {
    TempDir dir;
    EXPECT_FALSE(EnsureDirectoryTree(L""));

    const std::wstring deep = dir.Sub(L"a\\b\\c");
    EXPECT_TRUE(EnsureDirectoryTree(deep));
    EXPECT_TRUE(PathIsDirectory(dir.Sub(L"a\\b")));
    EXPECT_TRUE(PathIsDirectory(deep));
    EXPECT_TRUE(EnsureDirectoryTree(deep));  // already there

    EXPECT_TRUE(EnsureDirectoryTree(dir.Sub(L"slash/child/")));  // forward slashes and a trailing one
    EXPECT_TRUE(PathIsDirectory(dir.Sub(L"slash\\child")));

    // A file of that name counts as success (the creation reports "exists").
    ASSERT_TRUE(WriteFileBytes(dir.Sub(L"file"), "x"));
    EXPECT_TRUE(EnsureDirectoryTree(dir.Sub(L"file")));
    EXPECT_FALSE(PathIsDirectory(dir.Sub(L"file")));

    // Below a file nothing can be created.
    EXPECT_FALSE(EnsureDirectoryTree(dir.Sub(L"file\\below")));
    // A drive that does not exist.
    EXPECT_FALSE(EnsureDirectoryTree(L"Q:\\no\\such\\drive"));
}
