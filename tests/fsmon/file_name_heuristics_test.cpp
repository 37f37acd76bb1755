#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fsmon/file_name_heuristics.h"

namespace {

// The name for a failure message, non-ASCII code units as \uXXXX.
std::string Show(const std::wstring& name) {
    std::string out;
    for (const wchar_t c : name) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c) & 0xFFFF);
            out += buf;
        }
    }
    return out;
}

struct FoldCase {
    const char* what;
    std::wstring in;
    std::wstring out;
};

TEST(AsciiLower, FoldsOnlyAsciiCapitals) {
    const FoldCase cases[] = {
        {"capitals", L"ABCXYZ", L"abcxyz"},
        {"neighbours of A-Z stay", L"@[`{", L"@[`{"},
        {"digits and lower case stay", L"a1z9", L"a1z9"},
        {"Latin-1 capitals stay", L"\u00C0\u00C9\u00D6", L"\u00C0\u00C9\u00D6"},
        {"Greek and dotted I stay", L"\u03A9\u0130", L"\u03A9\u0130"},
        {"fullwidth capitals stay", L"\uFF21\uFF22", L"\uFF21\uFF22"},
        {"lone surrogate stays", std::wstring(L"A") + wchar_t(0xD800) + L"B", std::wstring(L"a") + wchar_t(0xD800) + L"b"},
        {"embedded NUL kept", std::wstring(L"A\0B", 3), std::wstring(L"a\0b", 3)},
        {"empty", L"", L""},
    };
    for (const FoldCase& c : cases) EXPECT_EQ(AsciiLower(c.in), c.out) << c.what;
}

struct NameCase {
    std::wstring name;
    bool expected;
};

TEST(RansomNoteName, TokensAndThePair) {
    const NameCase cases[] = {
        {L"READ_ME.txt", false},  // the underscore breaks "readme"
        {L"ReadMe-First.txt", true},
        {L"README.TXT", true},
        {L"HOW_TO_BACK_FILES.html", true},
        {L"howto.txt", false},
        {L"how to decrypt.txt", true},
        {L"DECRYPT_INSTRUCTIONS.html", true},
        {L"YOUR_FILES_ARE_GONE.txt", true},
        {L"your files.txt", false},
        {L"Recovery Plan.docx", true},
        {L"recove.txt", false},
        {L"restore_files.txt", true},
        {L"Files to Restore.pdf", true},  // either order
        {L"restore.txt", false},          // one of the pair alone
        {L"old_profile.txt", false},      // "file" without "restore"
        {L"restor_file.txt", false},
        {L"Projects\\readme_now\\notes.txt", true},  // subfolder components count
        {L"restore\\profile.txt", true},
        {L"\uFF32\uFF25\uFF21\uFF24\uFF2D\uFF25.txt", false},  // fullwidth letters do not fold
        {L"r\u00E9adme.txt", false},
        {L"", false},
    };
    for (const NameCase& c : cases) EXPECT_EQ(IsRansomNoteLikeName(c.name), c.expected) << Show(c.name);
}

TEST(EncryptedExtension, LastDotLengthAndCharacters) {
    const wchar_t hs = wchar_t(0xD83D), ls = wchar_t(0xDE00);  // a surrogate pair: two other code units
    const NameCase cases[] = {
        {L"notes", false},
        {L"notes.", false},
        {L"a.docx", false},
        {L"a.jpeg", false},
        {L"a.7z", false},
        {L"a.abcd", false},  // 4: below the bound
        {L"a.abcde", true},  // 5
        {L"x.a1b2c3d4e5f6", true},    // 12
        {L"x.a1b2c3d4e5f6g", false},  // 13
        {L"photo.locked", true},
        {L"data.encrypted", true},
        {L"report.crypt", true},
        {L"setup.crdownload", true},
        {L"events.jsonl", true},
        {L"PHOTO.LOCKED", true},
        {L"photo.jpg.locked", true},  // only the last dot counts
        {L"archive.tar.gz", false},
        {L"locked.gz", false},
        {L".locked", true},
        {L"a.b-cde", true},   // one other character
        {L"a.b-c_d", false},  // two
        {L"a.ab de", true},
        {L"a.ab\x01" L"de", true},
        {L"a.\u00E9bcde", true},         // one non-ASCII letter among five
        {L"a.\u00E9\u00E8bcd", false},   // two
        {std::wstring(L"a.ab") + hs + L"de", true},  // lone surrogate: one other
        {std::wstring(L"a.") + hs + ls + L"abc", false},
        {L"backup.2024\\notes", true},  // a dot in a subfolder name counts
        {L"sub.dir\\notes.txt", false},
    };
    for (const NameCase& c : cases) EXPECT_EQ(HasEncryptedLikeExtension(c.name), c.expected) << Show(c.name);
}

TEST(FileNameHeuristics, HugeNamesAreScannedWhole) {
    std::wstring name(32000, L'A');
    EXPECT_FALSE(IsRansomNoteLikeName(name));
    EXPECT_FALSE(HasEncryptedLikeExtension(name));
    EXPECT_TRUE(IsRansomNoteLikeName(name + L"README"));
    EXPECT_TRUE(HasEncryptedLikeExtension(name + L".LOCKED"));
    EXPECT_FALSE(HasEncryptedLikeExtension(L"a." + name));
}

}  // namespace
