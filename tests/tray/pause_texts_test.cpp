// The paused program's menu command, balloon and box.
#include "tray/pause_texts.h"

#include <gtest/gtest.h>

#include <string>

TEST(PausedMenu, TheCommandOnlyWhileSomethingIsPausedJustBeforeTheSeparator) {
    const std::vector<TrayMenuItem> plain = TrayMenuItemsFor(false);
    ASSERT_EQ(plain.size(), kTrayMenuItemCount);
    for (size_t i = 0; i < kTrayMenuItemCount; ++i) {
        EXPECT_EQ(plain[i].id, kTrayMenuItems[i].id) << i;
        EXPECT_EQ(plain[i].flags, kTrayMenuItems[i].flags) << i;
    }

    const std::vector<TrayMenuItem> paused = TrayMenuItemsFor(true);
    ASSERT_EQ(paused.size(), kTrayMenuItemCount + 1);
    size_t separator = 0;
    while (separator < paused.size() && paused[separator].flags != kMenuItemSeparator) ++separator;
    ASSERT_GT(separator, 0u);
    ASSERT_LT(separator, paused.size());
    EXPECT_EQ(paused[separator - 1].id, kCmdPausedPrograms);
    EXPECT_EQ(std::wstring(paused[separator - 1].text), L"Paused programs\u2026");
    EXPECT_EQ(paused.back().id, static_cast<uint32_t>(kCmdExit));
    for (const TrayMenuItem& item : kTrayMenuItems) EXPECT_NE(item.id, kCmdPausedPrograms) << "a new id";
}

TEST(PausedBalloon, NamesTheProgramAndFitsTheBalloon) {
    EXPECT_LT(PausedBalloonTitle().size(), 64u);
    const std::wstring body = PausedBalloonBody(L"invoice_2024.exe");
    EXPECT_EQ(body.find(L"invoice_2024.exe"), 0u) << "the name first";
    EXPECT_NE(body.find(L"Paused programs\u2026"), std::wstring::npos);
    EXPECT_NE(PausedBalloonBody(L"").find(L"A program"), std::wstring::npos);

    const std::wstring longName(400, L'x');
    const std::wstring cut = PausedBalloonBody(longName);
    EXPECT_LT(cut.size(), 256u) << "the balloon holds 255 units and a terminator";
    EXPECT_NE(cut.find(std::wstring(kPausedNameMaxUnits, L'x')), std::wstring::npos);
    EXPECT_EQ(cut.find(std::wstring(kPausedNameMaxUnits + 1, L'x')), std::wstring::npos);
}

TEST(PausedBox, ShowsPathStartAndEvidenceAndMapsTheAnswers) {
    const std::wstring text =
        PausedBoxText(L"C:\\Users\\ann\\Downloads\\invoice.exe", L"2026-03-14T12:00:00+01:00",
                      L"C:\\Users\\ann\\Documents\\a.docx (write data)");
    for (const wchar_t* part :
         {L"C:\\Users\\ann\\Downloads\\invoice.exe", L"Started: 2026-03-14T12:00:00+01:00",
          L"Evidence: C:\\Users\\ann\\Documents\\a.docx (write data)", L"Yes: end", L"No: let it run again",
          L"Cancel: keep it paused"})
        EXPECT_NE(text.find(part), std::wstring::npos) << std::string(part, part + wcslen(part));
    EXPECT_NE(PausedBoxText(L"x.exe", L"", L"e").find(L"Started: unknown"), std::wstring::npos);

    EXPECT_EQ(PausedAnswerFor(6), PausedAnswer::End);     // IDYES
    EXPECT_EQ(PausedAnswerFor(7), PausedAnswer::Resume);  // IDNO
    for (int other : {2, 0, 1, 3})                        // IDCANCEL, a failed box, anything else
        EXPECT_EQ(PausedAnswerFor(other), PausedAnswer::Keep) << other;
}
