#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/canary_files.h"
#include "fsmon/canary_names.h"
#include "fsmon/file_name_heuristics.h"
#include "support/test_support.h"

using nlohmann::json;

namespace {

const char kExpectedCanaryBytes[] =
    "Vellumgard Canary File\n"
    "----------------------\n"
    "Do not edit, rename, or delete this file.\n"
    "If this file changes unexpectedly, Vellumgard will alert you.\n";

Config CanarySettings(const std::wstring& names = L"") {
    Config settings;
    settings.enableCanaryFiles = true;
    settings.canaryFileNames = names;
    return settings;
}

// The "canary_created" events of the log, parsed.
std::vector<json> CanaryEvents() {
    std::vector<json> events;
    for (const std::string& line : ReadLogLines()) {
        const json j = json::parse(line);
        if (j["type"] == "canary_created") events.push_back(j);
    }
    return events;
}

// The names directly inside a folder, as the file system spells them.
std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(JoinPath(folder, L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

struct Sandbox {
    TempDir dir;
    FakeClock clock;
    std::wstring watched;
    Sandbox() {
        UseDataPathsBelow(dir.Sub(L"data"));
        watched = dir.Sub(L"watched");
        EnsureDirectoryTree(watched);
    }
};

TEST(CanaryFiles, PlantsByteExactFilesOnceAndLogsEach) {
    Sandbox box;
    RebuildCanaryNames(CanarySettings());
    PlantCanaries(box.watched, CanarySettings());

    const std::wstring names[] = {L"vellumgard_do_not_touch.txt", L"important_backup_do_not_delete.txt"};
    for (const std::wstring& name : names) {
        const std::wstring path = JoinPath(box.watched, name);
        EXPECT_EQ(ReadFileBytes(path), std::string(kExpectedCanaryBytes));
        EXPECT_EQ(ReadFileBytes(path).size(), 150u);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 0u);
    }
    // Created and matched all lower case, whatever the case of the setting.
    std::vector<std::wstring> entries = Entries(box.watched);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, std::vector<std::wstring>({names[1], names[0]}));

    const std::vector<json> events = CanaryEvents();
    ASSERT_EQ(events.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(events[i]["folder"], WideToUtf8(box.watched));
        EXPECT_EQ(events[i]["file"], WideToUtf8(names[i]));
    }

    // Planting again finds both and neither rewrites nor logs.
    WriteFileBytes(JoinPath(box.watched, names[0]), "changed by someone");
    PlantCanaries(box.watched, CanarySettings());
    EXPECT_EQ(ReadFileBytes(JoinPath(box.watched, names[0])), "changed by someone");
    EXPECT_EQ(CanaryEvents().size(), 2u);
}

TEST(CanaryFiles, WhatIsInTheWayIsLeftAlone) {
    Sandbox box;
    RebuildCanaryNames(CanarySettings());
    // A user file under the first name in other case, a folder under the second.
    const std::wstring userFile = JoinPath(box.watched, L"VELLUMGARD_DO_NOT_TOUCH.TXT");
    ASSERT_TRUE(WriteFileBytes(userFile, "user data"));
    const std::wstring folder = JoinPath(box.watched, L"important_backup_do_not_delete.txt");
    ASSERT_TRUE(EnsureDirectoryTree(folder));
    ASSERT_TRUE(WriteFileBytes(JoinPath(folder, L"inner.txt"), "inner"));

    PlantCanaries(box.watched, CanarySettings());

    EXPECT_EQ(ReadFileBytes(userFile), "user data");
    EXPECT_TRUE(PathIsDirectory(folder));
    EXPECT_EQ(Entries(folder), std::vector<std::wstring>({L"inner.txt"}));
    EXPECT_EQ(ReadFileBytes(JoinPath(folder, L"inner.txt")), "inner");
    EXPECT_EQ(Entries(box.watched).size(), 2u);
    EXPECT_TRUE(CanaryEvents().empty());
}

TEST(CanaryFiles, NothingPlantedWhenDisabledEmptyOrMissing) {
    Sandbox box;
    RebuildCanaryNames(CanarySettings());
    Config disabled = CanarySettings();
    disabled.enableCanaryFiles = false;
    PlantCanaries(box.watched, disabled);
    EXPECT_TRUE(Entries(box.watched).empty());

    const std::wstring missing = box.dir.Sub(L"missing");
    PlantCanaries(missing, CanarySettings());
    EXPECT_FALSE(PathExists(missing));

    PlantCanaries(L"", CanarySettings());  // would otherwise land in the current directory
    EXPECT_FALSE(PathExists(L"vellumgard_do_not_touch.txt"));
    EXPECT_TRUE(CanaryEvents().empty());
}

TEST(CanaryFiles, FolderWithTrailingSeparatorGetsNoSecondOne) {
    Sandbox box;
    RebuildCanaryNames(CanarySettings(L"Decoy.txt"));
    const std::wstring suffixes[] = {L"\\", L"/"};
    for (const std::wstring& suffix : suffixes) {
        const std::wstring folder = box.dir.Sub(suffix == L"/" ? L"slash" : L"backslash");
        EnsureDirectoryTree(folder);
        PlantCanaries(folder + suffix, CanarySettings(L"Decoy.txt"));
        EXPECT_EQ(Entries(folder), std::vector<std::wstring>({L"decoy.txt"}));
    }
    const std::vector<json> events = CanaryEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["folder"], WideToUtf8(box.dir.Sub(L"backslash") + L"\\"));  // as passed in
    EXPECT_EQ(events[1]["folder"], WideToUtf8(box.dir.Sub(L"slash") + L"/"));
}

TEST(CanaryFiles, NamesThatReachOutsideTheFolderAreNotPlanted) {
    Sandbox box;
    ASSERT_TRUE(EnsureDirectoryTree(JoinPath(box.watched, L"sub")));
    const Config settings = CanarySettings(L"sub\\inner.txt|..\\escape.txt|sub/fwd.txt|x.txt:stream|..|ok.txt");
    RebuildCanaryNames(settings);
    PlantCanaries(box.watched, settings);
    std::vector<std::wstring> entries = Entries(box.watched);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, std::vector<std::wstring>({L"ok.txt", L"sub"}));
    EXPECT_TRUE(Entries(JoinPath(box.watched, L"sub")).empty());
    EXPECT_FALSE(PathExists(box.dir.Sub(L"escape.txt")));
    ASSERT_EQ(CanaryEvents().size(), 1u);
    EXPECT_EQ(CanaryEvents()[0]["file"], "ok.txt");
}

TEST(CanaryFiles, OddNamesNeverCrashAndEveryEventMatchesAFile) {
    Sandbox box;
    const std::wstring lone(1, wchar_t(0xD800));
    const std::wstring odd[] = {L"quote\"d.txt", L"ctl\x01.txt", L"lone" + lone + L".txt", std::wstring(32000, L'n'),
                                L"sp ace.txt", L"\u00E9t\u00E9.txt"};
    std::wstring setting;
    for (const std::wstring& name : odd) setting += name + L"|";
    RebuildCanaryNames(CanarySettings(setting));
    PlantCanaries(box.watched, CanarySettings(setting));

    for (const std::string& line : ReadLogLines()) EXPECT_TRUE(IsValidJson(line)) << line;
    // An event is written exactly for the names whose file now exists.
    size_t created = 0;
    for (const std::wstring& name : odd) {
        if (PathExists(JoinPath(box.watched, AsciiLower(name)))) ++created;
    }
    EXPECT_EQ(CanaryEvents().size(), created);
    EXPECT_TRUE(PathExists(JoinPath(box.watched, L"sp ace.txt")));
    EXPECT_EQ(ReadFileBytes(JoinPath(box.watched, L"\u00E9t\u00E9.txt")), std::string(kExpectedCanaryBytes));
}

struct WriteCase {
    const char* what;
    std::wstring text;
    std::string bytes;
};

TEST(WriteNewTextFile, WritesUtf8ToANewFileOnly) {
    TempDir dir;
    const WriteCase cases[] = {
        {"ascii", L"abc\n", "abc\n"},
        {"empty", L"", ""},
        {"non-ASCII", L"\u00E9\u20AC\U0001F600", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
    };
    int n = 0;
    for (const WriteCase& c : cases) {
        const std::wstring path = dir.Sub(L"new" + std::to_wstring(n++) + L".txt");
        EXPECT_TRUE(WriteNewTextFile(path, c.text)) << c.what;
        EXPECT_EQ(ReadFileBytes(path), c.bytes) << c.what;
        // A second write never replaces the first.
        EXPECT_FALSE(WriteNewTextFile(path, L"other")) << c.what;
        EXPECT_EQ(ReadFileBytes(path), c.bytes) << c.what;
    }
    const std::wstring folder = dir.Sub(L"folder");
    ASSERT_TRUE(EnsureDirectoryTree(folder));
    EXPECT_FALSE(WriteNewTextFile(folder, L"x"));
    EXPECT_TRUE(PathIsDirectory(folder));
    EXPECT_FALSE(WriteNewTextFile(dir.Sub(L"missing\\x.txt"), L"x"));
    EXPECT_FALSE(PathExists(dir.Sub(L"missing")));
}

struct TouchCase {
    const char* what;
    bool enabled;
    int64_t deadline;
    int64_t now;
    bool touch;
};

TEST(CanaryTouch, UsesTheCoreDeadlineAndTheClock) {
    FakeClock clock;
    RebuildCanaryNames(CanarySettings());
    const TouchCase cases[] = {
        {"warm-up running", true, 1700000010, 1700000009, false},
        {"warm-up just over", true, 1700000010, 1700000010, true},
        {"no deadline", true, 0, 1700000000, true},
        {"disabled", false, 0, 1700000000, false},
    };
    for (const TouchCase& c : cases) {
        Config settings = CanarySettings();
        settings.enableCanaryFiles = c.enabled;
        gCoreState.canaryWarmupDeadline.store(c.deadline);
        FakeClock::seconds = c.now;
        EXPECT_EQ(IsCanaryTouch(settings, L"Vellumgard_DO_NOT_TOUCH.txt"), c.touch) << c.what;
        EXPECT_FALSE(IsCanaryTouch(settings, L"Old\\vellumgard_do_not_touch.txt")) << c.what;
    }
}

}  // namespace
