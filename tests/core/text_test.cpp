#include <gtest/gtest.h>

#include "core/text.h"
#include "support/test_support.h"

TEST(JoinPath, Cases) {
    struct Case {
        const wchar_t* folder;
        const wchar_t* name;
        const wchar_t* want;
    } cases[] = {
        {L"C:\\Data", L"x.txt", L"C:\\Data\\x.txt"},
        {L"C:\\Data\\", L"x.txt", L"C:\\Data\\x.txt"},
        {L"C:/Data/", L"x.txt", L"C:/Data/x.txt"},
        {L"", L"x.txt", L"x.txt"},
        {L"C:\\Data", L"", L"C:\\Data"},
        {L"C:\\Data\\", L"\\x.txt", L"C:\\Data\\\\x.txt"},  // the name is never inspected
        {L"", L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(JoinPath(c.folder, c.name), c.want) << c.folder << " + " << c.name;
}

TEST(JsonEscape, ByteTable) {
    struct Case {
        std::string in;
        std::string want;
    } cases[] = {
        {"\t\"\\\x01", "\\t\\\"\\\\\\u0001"},
        {"\x0b", "\\u000b"},
        {"\x1b", "\\u001b"},
        {"\x08\x0c\n\r", "\\b\\f\\n\\r"},
        {std::string("\0", 1), "\\u0000"},
        {"\xc3\xa9", "\xc3\xa9"},
        {"\x7f", "\x7f"},
        {"\xff\x80", "\xff\x80"},  // invalid UTF-8 passes through untouched
        {"a/b", "a/b"},            // the slash is not escaped
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonEscape(c.in), c.want);
}

TEST(JsonEscape, EveryByteGivesValidJsonStringContent) {
    std::string all;
    for (int b = 0; b < 0x80; ++b) all += static_cast<char>(b);
    const std::string escaped = JsonEscape(all);
    EXPECT_TRUE(IsValidJson("\"" + escaped + "\""));
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
}

TEST(NowLocalIso, PadsEveryFieldTo19Characters) {
    FakeClock clock;
    FakeClock::local = {2026, 1, 6, 8, 3, 9};
    EXPECT_EQ(NowLocalIso(), "2026-01-06T08:03:09");
    FakeClock::local = {2026, 12, 31, 23, 59, 59};
    EXPECT_EQ(NowLocalIso(), "2026-12-31T23:59:59");
}

TEST(NowLocalIso, RealClockGivesTheFixedForm) {
    const std::string ts = NowLocalIso();
    ASSERT_EQ(ts.size(), 19u);
    EXPECT_EQ(ts[4], '-');
    EXPECT_EQ(ts[7], '-');
    EXPECT_EQ(ts[10], 'T');
    EXPECT_EQ(ts[13], ':');
    EXPECT_EQ(ts[16], ':');
}

TEST(Utf8, BasicRoundTrips) {
    EXPECT_EQ(WideToUtf8(L""), "");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xE9))), "\xc3\xa9");
    EXPECT_EQ(Utf8ToWide("\xc3\xa9"), std::wstring(1, wchar_t(0xE9)));
    EXPECT_EQ(WideToUtf8(L"abc"), "abc");
    // An embedded NUL is converted like any other character (explicit lengths).
    EXPECT_EQ(WideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}
