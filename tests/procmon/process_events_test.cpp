#include "procmon/process_events.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

TEST(ProcStartMembers, ExactBytesForASystemProcess) {
    ProcessInfo info;
    info.name = L"notepad.exe";
    info.pid = 4242;
    info.path = L"C:\\Windows\\System32\\notepad.exe";
    info.commandLine = L"\"C:\\Windows\\System32\\notepad.exe\" a.txt";
    EXPECT_EQ(BuildProcStartMembers(info),
              "\"name\":\"notepad.exe\",\"pid\":4242,\"path\":\"C:\\\\Windows\\\\System32\\\\notepad.exe\","
              "\"cmd\":\"\\\"C:\\\\Windows\\\\System32\\\\notepad.exe\\\" a.txt\"");

    EXPECT_EQ(BuildProcStartMembers(ProcessInfo()), "\"name\":\"\",\"pid\":0,\"path\":\"\",\"cmd\":\"\"");
    info = ProcessInfo();
    info.pid = -2147483647 - 1;
    EXPECT_EQ(BuildProcStartMembers(info), "\"name\":\"\",\"pid\":-2147483648,\"path\":\"\",\"cmd\":\"\"");
}

TEST(ProcStartMembers, AwkwardTextStaysOneJsonObjectAndRoundTrips) {
    struct Case {
        std::wstring text;
        std::string utf8;
    } cases[] = {
        {L"quote\" backslash\\ slash/", "quote\" backslash\\ slash/"},
        {L"tab\t lf\n cr\r ctl\x01\x1f del\x7f", "tab\t lf\n cr\r ctl\x01\x1f del\x7f"},
        {L"caf\u00e9 \u65e5\u672c \u0414\u043e\u043a",
         "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xd0\x94\xd0\xbe\xd0\xba"},
    };
    for (const Case& c : cases) {
        ProcessInfo info;
        info.name = c.text;
        info.path = L"C:\\" + c.text;
        info.commandLine = c.text + L" --x";
        info.pid = 17;
        const std::string members = BuildProcStartMembers(info);
        EXPECT_EQ(members.find('\n'), std::string::npos);
        const auto j = nlohmann::json::parse("{" + members + "}", nullptr, false);
        ASSERT_TRUE(j.is_object()) << members;
        EXPECT_EQ(j["name"], c.utf8);
        EXPECT_EQ(j["path"], "C:\\" + c.utf8);
        EXPECT_EQ(j["cmd"], c.utf8 + " --x");
        EXPECT_EQ(j["pid"], 17);
    }
}

TEST(ScoreThreshold, ZeroOrBelowMeansSixty) {
    struct Case {
        int32_t configured, want;
    } cases[] = {{0, 60}, {-1, 60}, {-2147483647 - 1, 60}, {1, 1}, {30, 30}, {60, 60}, {61, 61}};
    for (const Case& c : cases) EXPECT_EQ(EffectiveScoreThreshold(c.configured), c.want) << c.configured;
}

TEST(SeverityForScore, Bands) {
    struct Case {
        int32_t score, severity;
    } cases[] = {{0, 50}, {60, 50}, {69, 50}, {70, 60}, {79, 60}, {80, 75}, {89, 75}, {90, 90}, {150, 90}};
    for (const Case& c : cases) EXPECT_EQ(SeverityForScore(c.score), c.severity) << c.score;
}

// The version resource's names are logged only when they stand for another
// program than the image name.
TEST(ClaimedNameMembers, OnlyWhenTheyNameAnotherProgram) {
    const struct {
        const wchar_t* original;
        const wchar_t* internal;
        std::string members;
    } cases[] = {
        {L"VSSADMIN.EXE.MUI", L"VSSADMIN",
         ",\"originalFileName\":\"VSSADMIN.EXE.MUI\",\"internalName\":\"VSSADMIN\""},
        {L"", L"vssadmin", ",\"originalFileName\":\"\",\"internalName\":\"vssadmin\""},
        {L"svc.exe", L"SVC", ""},
        {L"", L"", ""},
    };
    for (const auto& c : cases) {
        ProcessInfo info;
        info.name = L"svc.exe";
        info.pid = 1;
        info.originalFileName = c.original;
        info.internalName = c.internal;
        EXPECT_EQ(BuildClaimedNameMembers(info), c.members);
        EXPECT_EQ(BuildProcStartMembers(info), "\"name\":\"svc.exe\",\"pid\":1,\"path\":\"\",\"cmd\":\"\"");
    }
}
