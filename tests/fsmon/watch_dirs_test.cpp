#include <gtest/gtest.h>

#include "fsmon/watch_dirs.h"

TEST(WatchDirs, ParseAndNormalise) {
    struct Case {
        std::wstring text;
        std::vector<std::wstring> want;
    } cases[] = {
        {L"C:\\Data; \"D:/Work/\"|'E:\\Old Stuff'", {L"C:\\Data", L"D:\\Work", L"E:\\Old Stuff"}},
        {L"C:\\Data\\\\", {L"C:\\Data"}},
        {L"C:\\", {L"C:\\"}},  // a drive root keeps its backslash
        {L"C:", {L"C:"}},
        {L"  ;; | \t\r\n ;|", {}},
        {L"", {}},
        {L"\"\"|''|\"", {L"\""}},  // an empty quoted pair vanishes; a lone quote stays
        {L"C:\\A \\ ", {L"C:\\A"}},  // trailing blanks and separators, interleaved
        {L"'C:\\x\"", {L"'C:\\x\""}},  // mismatched quotes stay
    };
    for (const Case& c : cases) EXPECT_EQ(ParseWatchDirList(c.text), c.want) << c.text;
    EXPECT_EQ(TrimBlanks(L" \t\r\nx y\n"), L"x y");
}

TEST(WatchDirs, FirstWrittenFormWinsPerKey) {
    const auto desired = DesiredWatchDirs(L"C:\\Data;c:\\data\\;C:/DATA|D:\\Other");
    ASSERT_EQ(desired.size(), 2u);
    EXPECT_EQ(desired[0].path, L"C:\\Data");
    EXPECT_EQ(desired[0].key, L"c:\\data");
    EXPECT_EQ(desired[1].path, L"D:\\Other");
}

TEST(WatchDirs, HundredsOfEntries) {
    std::wstring text;
    for (int i = 0; i < 500; ++i) text += L"C:\\dir" + std::to_wstring(i % 250) + L";";
    EXPECT_EQ(ParseWatchDirList(text).size(), 500u);
    EXPECT_EQ(DesiredWatchDirs(text).size(), 250u);
}
