#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/config.h"
#include "core/text.h"
#include "fsmon/canary_names.h"

namespace {

using Names = std::vector<std::wstring>;

struct SplitCase {
    std::wstring text;
    Names pieces;
};

TEST(SplitOnBar, KeepsNonEmptyPiecesUntrimmed) {
    const SplitCase cases[] = {
        {L"", {}},
        {L"|", {}},
        {L"||", {}},
        {L"a", {L"a"}},
        {L"A.txt||B.txt|", {L"A.txt", L"B.txt"}},
        {L"|x|", {L"x"}},
        {L" A.txt | B.txt ", {L" A.txt ", L" B.txt "}},
        {L"a\\b|c\"d|\t", {L"a\\b", L"c\"d", L"\t"}},
        {std::wstring(L"a\0b|c", 5), {std::wstring(L"a\0b", 3), L"c"}},
    };
    for (const SplitCase& c : cases) EXPECT_EQ(SplitOnBar(c.text), c.pieces);
}

Config WithNames(const std::wstring& canaryFileNames) {
    Config settings;
    settings.canaryFileNames = canaryFileNames;
    return settings;
}

const Names kDefaults = {L"vellumgard_do_not_touch.txt", L"important_backup_do_not_delete.txt"};

struct RebuildCase {
    const char* what;
    std::wstring setting;
    Names names;
};

TEST(CanaryNames, BuiltFromTheSettingOrTheDefaults) {
    EXPECT_TRUE(CanaryNames()->empty());  // nothing before the first build
    const RebuildCase cases[] = {
        {"empty", L"", kDefaults},
        {"only bars", L"||", kDefaults},
        {"default file text", L"Vellumgard_DO_NOT_TOUCH.txt|Important_Backup_DO_NOT_DELETE.txt", kDefaults},
        {"one name replaces both defaults", L"Decoy.txt", {L"decoy.txt"}},
        {"pieces folded, blanks kept", L" A.txt||B.txt|", {L" a.txt", L"b.txt"}},
        {"duplicates kept, non-ASCII not folded", L"X|x|\u00C9.TXT", {L"x", L"x", L"\u00C9.txt"}},
    };
    for (const RebuildCase& c : cases) {
        RebuildCanaryNames(WithNames(c.setting));
        EXPECT_EQ(*CanaryNames(), c.names) << c.what;
    }
}

struct MatchCase {
    std::wstring name;
    bool canary;
};

TEST(CanaryNames, MatchesWholeFoldedNamesDirectlyInTheFolder) {
    RebuildCanaryNames(WithNames(L""));
    const MatchCase cases[] = {
        {L"vellumgard_do_not_touch.txt", true},
        {L"Vellumgard_DO_NOT_TOUCH.txt", true},
        {L"IMPORTANT_BACKUP_DO_NOT_DELETE.TXT", true},
        {L"Old\\vellumgard_do_not_touch.txt", false},  // a subfolder
        {L"vellumgard_do_not_touch.txt ", false},
        {L"vellumgard_do_not_touch.tx", false},
        {L"vellumgard_do_not_touch.txt.bak", false},
        {L"", false},
        {std::wstring(L"vellumgard_do_not_touch.txt\0", 28), false},
        {std::wstring(32000, L'v'), false},
    };
    for (const MatchCase& c : cases) EXPECT_EQ(IsCanaryName(c.name), c.canary) << c.name.size();
}

TEST(CanaryNames, OddSettingsGiveTheirOwnExactNames) {
    const std::wstring lone(1, wchar_t(0xDC00));
    RebuildCanaryNames(WithNames(L"a\"b|c\\d|\x01\x1f|" + lone + L"|" + std::wstring(32000, L'Z')));
    const MatchCase cases[] = {
        {L"A\"B", true},
        {L"C\\D", true},
        {L"\x01\x1f", true},
        {lone, true},
        {std::wstring(32000, L'z'), true},
        {std::wstring(31999, L'z'), false},
        {L"vellumgard_do_not_touch.txt", false},  // the defaults are gone
    };
    for (const MatchCase& c : cases) EXPECT_EQ(IsCanaryName(c.name), c.canary) << c.name.size();
}

struct TouchCase {
    const char* what;
    bool enabled;
    int64_t deadline;
    int64_t now;
    std::wstring name;
    bool touch;
};

TEST(CanaryTouch, NeedsCanariesOnTheWarmUpOverAndACanaryName) {
    RebuildCanaryNames(WithNames(L""));
    const std::wstring canary = L"Vellumgard_DO_NOT_TOUCH.txt";
    const TouchCase cases[] = {
        {"after the deadline", true, 1000, 1001, canary, true},
        {"at the deadline", true, 1000, 1000, canary, true},
        {"during the warm-up", true, 1000, 999, canary, false},
        {"no deadline set", true, 0, 5, canary, true},
        {"canaries disabled", false, 0, 5, canary, false},
        {"not a canary name", true, 0, 5, L"budget.xlsx", false},
        {"in a subfolder", true, 0, 5, L"sub\\" + canary, false},
    };
    for (const TouchCase& c : cases) EXPECT_EQ(IsCanaryTouchAt(c.enabled, c.deadline, c.now, c.name), c.touch) << c.what;
}

TEST(CanaryNames, ReadersNeverSeeAHalfBuiltList) {
    // Two settings whose lists differ in every entry and in length: a reader
    // must always see one of them whole.
    const Config first = WithNames(L"a1|a2|a3|a4|a5|a6|a7|a8");
    const Config second = WithNames(L"b1|b2|b3");
    const Names firstNames = {L"a1", L"a2", L"a3", L"a4", L"a5", L"a6", L"a7", L"a8"};
    const Names secondNames = {L"b1", L"b2", L"b3"};
    RebuildCanaryNames(first);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const auto names = CanaryNames();
                if (*names != firstNames && *names != secondNames) ++torn;
                if (IsCanaryName(L"C1")) ++torn;  // in neither list
            }
        });
    }
    for (int i = 0; i < 20000; ++i) RebuildCanaryNames(i % 2 ? first : second);
    done.store(true);
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace

TEST(CanaryNames, OnlyPlainFileNamesArePlanted) {
    struct Case {
        const wchar_t* name;
        bool plantable;
    };
    const Case cases[] = {
        {L"vellumgard_do_not_touch.txt", true},
        {L"decoy", true},
        {L"console.txt", true},      // a device name only as the whole stem
        {L"com10.txt", true},
        {L"lpt.txt", true},
        {L"nul", false},
        {L"NUL.txt", false},         // the extension does not make it a file
        {L"con .txt", false},        // nor do spaces before it
        {L"Aux.tar.gz", false},
        {L"prn", false},
        {L"com0", false},
        {L"COM9.log", false},
        {L"lpt1", false},
        {L"com\u00b9.txt", false},   // superscript digits map to the same devices
        {L"lpt\u00b3", false},
        {L"CONIN$", false},
        {L"conout$.txt", false},
        {L"decoy.", false},          // trailing dots and spaces are stripped by the system
        {L"decoy.txt ", false},
        {L"..", false},
        {L".", false},
        {L"", false},
        {L"sub\\decoy.txt", false},
        {L"../decoy.txt", false},
        {L"C:decoy.txt", false},
        {L"decoy.txt:stream", false},
        {L"de*coy.txt", false},
        {L"de?coy.txt", false},
        {L"tab\tname.txt", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsPlantableCanaryName(c.name), c.plantable) << WideToUtf8(c.name);
}
