#include <gtest/gtest.h>

#include "core/text.h"
#include "fsmon/self_paths.h"

TEST(SelfPaths, KeysOfSpellingsOfOnePath) {
    const std::wstring key = L"c:\\users\\ann\\appdata\\local\\vellumgard";
    const wchar_t* spellings[] = {
        L"C:\\Users\\Ann\\AppData\\Local\\Vellumgard",
        L"\\\\?\\C:\\Users\\Ann\\AppData\\Local\\Vellumgard",
        L"C:/Users/Ann/AppData/Local/Vellumgard/",
        L"c:\\users\\ann\\appdata\\local\\vellumgard\\\\",
    };
    for (const wchar_t* s : spellings) EXPECT_EQ(CanonicalPathKey(s), key) << WideToUtf8(s);
    EXPECT_EQ(CanonicalPathKey(L"\\\\?\\UNC\\Server\\Share\\Data"), L"\\\\server\\share\\data");
    EXPECT_EQ(CanonicalPathKey(L"C:\\"), L"c:\\");
    EXPECT_EQ(CanonicalPathKey(L"C:"), L"c:\\");
    EXPECT_EQ(CanonicalPathKey(L"\\\\?\\C:\\"), L"c:\\");
}

TEST(SelfPaths, WhichRecordsLieInsideTheDataFolder) {
    struct Case {
        const wchar_t* watched;
        const wchar_t* data;
        const wchar_t* record;
        bool own;
    };
    const Case cases[] = {
        // The data folder below the watched one.
        {L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"AppData\\Local\\Vellumgard\\Vellumgard.log.jsonl", true},
        {L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"appdata/local/vellumgard/Incidents/x/incident.json", true},
        {L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"AppData\\Local\\Vellumgard", true},
        {L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"AppData\\Local\\Vellumgard2\\x.txt", false},
        {L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"AppData\\Local\\other.txt", false},
        {L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"Documents\\budget.xlsx", false},
        // The same folder, or the watched one inside the data folder: everything is the agent's.
        {L"c:\\data\\vellumgard", L"c:\\data\\vellumgard", L"Vellumgard.log.jsonl", true},
        {L"c:\\data\\vellumgard\\incidents", L"c:\\data\\vellumgard", L"x\\incident.json", true},
        // Unrelated folders and look-alike prefixes.
        {L"c:\\users\\ann\\documents", L"c:\\users\\ann\\appdata\\local\\vellumgard", L"Vellumgard.log.jsonl", false},
        {L"c:\\data\\vellum", L"c:\\data\\vellumgard", L"x.txt", false},
        {L"c:\\data\\vellumgard2", L"c:\\data\\vellumgard", L"x.txt", false},
        // A drive root watched.
        {L"c:\\", L"c:\\vg", L"vg\\Vellumgard.log.jsonl", true},
        {L"c:\\", L"c:\\vg", L"vgx\\file.txt", false},
        // No data folder known: nothing is skipped.
        {L"c:\\users\\ann", L"", L"anything.txt", false},
    };
    for (const Case& c : cases) {
        const SelfFilter filter = MakeSelfFilter(CanonicalPathKey(c.watched), CanonicalPathKey(c.data));
        EXPECT_EQ(IsOwnRecord(filter, c.record), c.own) << WideToUtf8(c.watched) << " | " << WideToUtf8(c.record);
    }
}

TEST(SelfPaths, OwnCanaryRecordsOnlyRightAfterPlantingAndUntouched) {
    ForgetOwnCanaries();
    const std::wstring key = L"c:\\users\\ann\\desktop\\vellumgard_do_not_touch.txt";
    const int64_t t = 1'800'000'000;
    const FileStamp planted{true, 150, 133'000'000'000'000'000ull};
    const FileStamp touched{true, 8, 133'000'000'010'000'000ull};
    const FileStamp sameSizeLater{true, 150, 133'000'000'010'000'000ull};
    const FileStamp gone;

    NoteOwnCanary(key, t);
    // Between creation and the end of the write the file is the agent's.
    EXPECT_TRUE(IsOwnCanaryChange(key, 1, t, gone));
    NoteOwnCanaryWritten(key, planted);

    struct Case {
        const wchar_t* key;
        uint32_t action;
        int64_t now;
        FileStamp current;
        bool own;
    };
    const Case cases[] = {
        {key.c_str(), 1, t, planted, true},                                // added
        {key.c_str(), 3, t + kOwnCanaryWindowSeconds, planted, true},      // modified, still within the window
        {key.c_str(), 3, t + 1, touched, false},                           // someone wrote to it right away
        {key.c_str(), 3, t + 1, sameSizeLater, false},                     // same size, written again
        {key.c_str(), 1, t, gone, false},                                  // deleted meanwhile
        {key.c_str(), 3, t + kOwnCanaryWindowSeconds + 1, planted, false}, // later: a real touch
        {key.c_str(), 2, t, planted, false},                               // removed is never planting
        {key.c_str(), 4, t, planted, false},
        {key.c_str(), 5, t, planted, false},
        {key.c_str(), 3, t - 1, planted, false},                           // before planting
        {L"c:\\users\\ann\\documents\\vellumgard_do_not_touch.txt", 1, t, planted, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsOwnCanaryChange(c.key, c.action, c.now, c.current), c.own) << c.action << " " << c.now - t;
    EXPECT_TRUE(IsFreshOwnCanary(key, t + 2));
    EXPECT_FALSE(IsFreshOwnCanary(key, t + kOwnCanaryWindowSeconds + 1));

    // Many plantings keep the memory bounded and the newest ones known.
    for (int i = 0; i < 1000; ++i) NoteOwnCanary(L"c:\\f" + std::to_wstring(i) + L"\\x.txt", t);
    EXPECT_TRUE(IsFreshOwnCanary(L"c:\\f999\\x.txt", t));
    ForgetOwnCanaries();
    EXPECT_FALSE(IsFreshOwnCanary(L"c:\\f999\\x.txt", t));
}

namespace {
// A stand-in for the file system's comparison that also folds two non-ASCII letters.
bool FoldsUmlauts(const wchar_t* a, size_t an, const wchar_t* b, size_t bn) {
    if (an != bn) return false;
    auto fold = [](wchar_t c) -> wchar_t {
        if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c + 32);
        if (c == 0xC4) return 0xE4;  // Ä
        if (c == 0xD6) return 0xF6;  // Ö
        return c;
    };
    for (size_t i = 0; i < an; ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}
}  // namespace

TEST(SelfPaths, RecordsNamingTheDataFolderByItsShortNameOrInOtherCase) {
    SelfFilter filter = MakeSelfFilter(L"c:\\users\\ann", L"c:\\users\\ann\\appdata\\local\\\u00e4gent data");
    ASSERT_EQ(filter.steps.size(), 3u);
    filter.steps[0].shortName = L"APPDAT~1";
    filter.steps[2].shortName = L"GENTDA~1";
    filter.sameName = FoldsUmlauts;
    struct Case {
        const wchar_t* record;
        bool own;
    } cases[] = {
        {L"APPDAT~1\\Local\\GENTDA~1\\Vellumgard.log.jsonl", true},  // short names anywhere on the way
        {L"AppData\\LOCAL\\gentda~1", true},
        {L"appdat~1/local/\u00c4GENT DATA/Incidents/x/incident.json", true},  // a letter ASCII folding misses
        {L"AppData\\Local\\\u00c4gent data", true},
        {L"APPDAT~2\\Local\\GENTDA~1\\x", false},
        {L"AppData\\Local\\GENTDA~12\\x", false},
        {L"AppData\\Local", false},
        {L"AppData\\Local\\\u00d6gent data\\x", false},
        {L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsOwnRecord(filter, c.record), c.own) << WideToUtf8(c.record);
    filter.sameName = nullptr;  // ASCII folding alone
    EXPECT_FALSE(IsOwnRecord(filter, L"AppData\\Local\\\u00c4gent data"));
    EXPECT_TRUE(IsOwnRecord(filter, L"AppData\\Local\\\u00e4gent data"));
}
