// The memory of damaged files: what it keeps, for how long, and its bound.
#include "fsmon/damaged_files.h"

#include <gtest/gtest.h>

#include <string>

TEST(DamagedFiles, KeepsTwoMinutesAndAtMostItsLimit) {
    ResetDamagedFiles();
    const int64_t t = 1700000000000LL;
    NoteDamagedFile(L"C:\\d\\a.docx", t);
    NoteDamagedFile(L"C:\\d\\b.docx", t + 1000);
    auto recent = RecentDamagedFiles(t + 1000);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].path, L"C:\\d\\a.docx");
    EXPECT_EQ(recent[1].loggedMs, t + 1000);
    recent = RecentDamagedFiles(t + kDamagedFileMemoryMs + 500);
    ASSERT_EQ(recent.size(), 1u) << "the older one is past the memory";
    EXPECT_EQ(recent[0].path, L"C:\\d\\b.docx");

    ResetDamagedFiles();
    for (size_t i = 0; i < kDamagedFileMemoryLimit + 10; ++i)
        NoteDamagedFile(L"C:\\d\\" + std::to_wstring(i), t + static_cast<int64_t>(i));
    recent = RecentDamagedFiles(t + static_cast<int64_t>(kDamagedFileMemoryLimit) + 10);
    ASSERT_EQ(recent.size(), kDamagedFileMemoryLimit);
    EXPECT_EQ(recent.front().path, L"C:\\d\\10") << "the oldest went first";
    ResetDamagedFiles();
    EXPECT_TRUE(RecentDamagedFiles(t).empty());
}
