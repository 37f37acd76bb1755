#include "fsmon/extended_name_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text.h"

namespace {

constexpr int64_t kT = 1760000000;

struct Step {
    const wchar_t* name;
    int action;
    int64_t at;          // seconds after kT
    const char* reason;  // expected reason, nullptr for none
};

// ".zqx": an extension no rule knows, so only the pair or write-and-delete
// rules can make it count.

// Feeds the steps to one state in order, with every switch on.
void Play(const char* what, const std::vector<Step>& steps) {
    ExtendedNameState state;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        const ExtendedNameVerdict v = EvaluateRecordExtended(state, s.name, s.action, kT + s.at, true, true);
        const std::string got = v.reason ? v.reason : "(none)";
        const std::string want = s.reason ? s.reason : "(none)";
        EXPECT_EQ(got, want) << what << ", record " << i << " " << WideToUtf8(s.name);
    }
}

}  // namespace

TEST(ClassifyRename, AppendedReplacedAndEverydayRenames) {
    const char* A = kReasonAppendedExtension;
    const char* R = kReasonReplacedExtension;
    const struct {
        const wchar_t* from;
        const wchar_t* to;
        const char* reason;
    } cases[] = {
        {L"budget.xlsx", L"budget.xlsx.ryk", A},
        {L"budget.xlsx", L"budget.xlsx.id-1234.[mail@x].ryk", A},
        {L"Docs\\Budget.XLSX", L"docs\\budget.xlsx.LOCKBIT", A},  // case differs: still the same name
        {L"notes", L"notes.enc", A},                              // a name without extension
        {L"photo.jpg", L"photo.jpg.mp3", A},                      // an everyday type appended by a rename
        {L"budget.xlsx", L"budget.ryk", R},
        {L"budget.xlsx", L"5C8F0A2B9D1E3F47.locky", R},  // a new name and an unknown type
        {L"budget.xlsx", L"budget.djvu", nullptr},       // replaced by a known type
        {L"script.js", L"script.ryk", nullptr},          // not a document, image or archive
        // Everyday renames.
        {L"thesis.docx", L"thesis.docx.bak", nullptr},
        {L"notes.txt", L"notes.txt~", nullptr},
        {L"notes.txt", L"notes.txt.~2~", nullptr},
        {L"app.log", L"app.log.1", nullptr},
        {L"app.log", L"app.log.2024-05-01_10-15", nullptr},
        {L"Setup.log", L"Setup.log.1.txt", nullptr},
        {L"data.json", L"data.json.gz", nullptr},
        {L"plugin.dll", L"plugin.dll.disabled", nullptr},
        {L"report.txt", L"report.txt.txt", nullptr},
        {L"setup.exe.crdownload", L"setup.exe", nullptr},  // a download completing
        {L"prefs.js", L"prefs.js.tmp", nullptr},           // an app's own file going temporary
        {L"thesis.docx", L"thesis.docx.tmp", A},           // a document gaining .tmp: not everyday
        {L"thesis.docx", L"~WRL0001.tmp", nullptr},
        {L"report.docx", L"report - Copy.docx", nullptr},
        {L"IMG_2041.JPG", L"img_2041.jpg", nullptr},
        {L"", L".ryk", nullptr},
    };
    for (const auto& c : cases) {
        const char* got = ClassifyRename(c.from, c.to);
        EXPECT_STREQ(got ? got : "(none)", c.reason ? c.reason : "(none)")
            << WideToUtf8(c.from) << " -> " << WideToUtf8(c.to);
    }
}

TEST(HasEncryptedLikeExtensionExtended, KnowsEverydayTypesAndEncryptorMarks) {
    const struct {
        const wchar_t* name;
        bool expected;
    } cases[] = {
        // The specified test's false alarms.
        {L"events.jsonl", false},
        {L"font.woff2", false},
        {L"setup.exe.crdownload", false},
        {L"db.accdb", false},
        {L"book.numbers", false},
        // Encryptor extensions of any length.
        {L"photo.locked", true},
        {L"photo.jpg.ryk", true},
        {L"photo.jpg.WNCRY", true},
        {L"photo.jpg.enc", true},
        {L"photo.jpg.lockbit", true},
        {L"budget.xlsx.id-1A2B3C4D.[decrypt@mail.cc].java", true},  // the id-and-mail marker
        {L"photo.jpg.HLJkNskOq", true},                             // mixed-case random
        {L"photo.jpg.8b5f4x3", true},                               // letters and digits alternating
        // Everyday or too plain to tell.
        {L"video.mp4", false},
        {L"clip.h264", false},
        {L"photo.JPG", false},
        {L"paper.djvu", false},  // a real document type (an encryptor's too: left to the rename rules)
        {L"notes", false},
        {L"notes.", false},
        {L"backup.2024\\notes", false},  // a dot in a folder name is not an extension
        {L"anna@example.com.vcf", false},
        {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HasEncryptedLikeExtensionExtended(c.name), c.expected) << WideToUtf8(c.name);
}

TEST(NoteNameStrength, VocabularyIgnoresSeparatorsAndCase) {
    using S = NoteStrength;
    const struct {
        const wchar_t* name;
        NoteStrength expected;
    } cases[] = {
        {L"@Please_Read_Me@.txt", S::kWeak},
        {L"READ_ME.txt", S::kWeak},
        {L"!!!READ-ME!!!.HTML", S::kWeak},
        {L"[README].rtf", S::kWeak},
        {L"Sub\\readme.hta", S::kWeak},
        {L"info.hta", S::kWeak},
        {L"bbvawasted_info", S::kWeak},
        {L"ATTENTION!!!.url", S::kWeak},
        {L"HOW_TO_DECRYPT.txt", S::kStrong},
        {L"how-to-decrypt.pdf", S::kStrong},  // the unambiguous words count in any type
        {L"Restore-My-Files.txt", S::kStrong},
        {L"YOUR FILES ARE ENCRYPTED.TXT", S::kStrong},
        {L"RECOVER-sykffle-FILES.txt", S::kStrong},
        {L"README.md", S::kNone},  // not a note file type
        {L"README", S::kNone},     // the checkout's extensionless README
        {L"readme.pdf", S::kNone},
        {L"information.txt", S::kNone},
        {L"notes.txt", S::kNone},
        {L"ReadMe\\notes.txt", S::kNone},  // only the file's own name counts
        {L"", S::kNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<int>(NoteNameStrength(c.name)), static_cast<int>(c.expected))
            << WideToUtf8(c.name);
}

TEST(EvaluateRecordExtended, RenamePairsAlsoAcrossBatches) {
    Play("pair in one batch", {{L"a.docx", kActionRenamedOld, 0, nullptr},
                               {L"a.docx.zqx", kActionRenamedNew, 0, kReasonAppendedExtension}});
    // Batches end anywhere; the pending old name waits for the next record.
    Play("pair split over two batches, a second apart",
         {{L"a.docx", kActionRenamedOld, 0, nullptr},
          {L"a.docx.zqx", kActionRenamedNew, 1, kReasonAppendedExtension}});
    Play("replaced extension", {{L"a.xlsx", kActionRenamedOld, 0, nullptr},
                                {L"a.zqx", kActionRenamedNew, 0, kReasonReplacedExtension}});
    Play("another record between: no pair", {{L"a.docx", kActionRenamedOld, 0, nullptr},
                                             {L"b.txt", kActionModified, 0, nullptr},
                                             {L"a.docx.zqx", kActionRenamedNew, 0, nullptr}});
    Play("too late: no pair", {{L"a.docx", kActionRenamedOld, 0, nullptr},
                               {L"a.docx.zqx", kActionRenamedNew, kRenamePairSeconds + 1, nullptr}});
    Play("a known encryptor extension needs no pair",
         {{L"a.docx.locked", kActionRenamedNew, 0, kReasonEncryptedLikeExtension}});
    Play("everyday renames stay quiet", {{L"app.log", kActionRenamedOld, 0, nullptr},
                                         {L"app.log.1", kActionRenamedNew, 0, nullptr},
                                         {L"x.zip.crdownload", kActionRenamedOld, 1, nullptr},
                                         {L"x.zip", kActionRenamedNew, 1, nullptr}});
}

TEST(EvaluateRecordExtended, NewFileBesideADeletedOriginal) {
    Play("write, then delete the original", {{L"Docs\\a.docx.zqx", kActionAdded, 0, nullptr},
                                             {L"Docs\\a.docx.zqx", kActionModified, 0, nullptr},
                                             {L"Docs\\a.docx", kActionRemoved, 2, kReasonAppendedExtension}});
    Play("delete, then write", {{L"a.docx", kActionRemoved, 0, nullptr},
                                {L"a.docx.zqx", kActionAdded, 3, kReasonAppendedExtension}});
    Play("another folder is no match",
         {{L"One\\a.docx", kActionRemoved, 0, nullptr}, {L"Two\\a.docx.zqx", kActionAdded, 0, nullptr}});
    Play("too far apart", {{L"a.docx", kActionRemoved, 0, nullptr},
                           {L"a.docx.zqx", kActionAdded, kWriteDeleteSeconds + 1, nullptr}});
    Play("a refreshed deletion does not keep an older one alive",
         {{L"a.dat", kActionRemoved, 0, nullptr},
          {L"b.dat", kActionRemoved, 1, nullptr},
          {L"a.dat", kActionRemoved, 9, nullptr},
          {L"b.dat.zqx", kActionAdded, kWriteDeleteSeconds + 2, nullptr}});
    Play("an atomic save through a temporary file", {{L"a.docx.tmp", kActionAdded, 0, nullptr},
                                                     {L"a.docx", kActionRemoved, 0, nullptr},
                                                     {L"a.docx.tmp", kActionRenamedOld, 0, nullptr},
                                                     {L"a.docx", kActionRenamedNew, 0, nullptr}});
    Play("a log compressed in place",
         {{L"app.log.1.gz", kActionAdded, 0, nullptr}, {L"app.log.1", kActionRemoved, 0, nullptr}});
    Play("a document deleted where an unknown type appears",
         {{L"Docs\\contract.pdf", kActionRemoved, 0, nullptr},
          {L"Docs\\dz3mk8b3y.vba4", kActionAdded, 1, kReasonReplacedExtension}});
}

TEST(EvaluateRecordExtended, NoteNamesCountOncePerFolder) {
    Play("weak name: third folder", {{L"@Please_Read_Me@.txt", kActionAdded, 0, nullptr},
                                     {L"@Please_Read_Me@.txt", kActionModified, 0, nullptr},
                                     {L"A\\@Please_Read_Me@.txt", kActionAdded, 1, nullptr},
                                     {L"B\\@Please_Read_Me@.txt", kActionAdded, 2, kReasonRansomNoteLike},
                                     {L"@Please_Read_Me@.txt", kActionModified, 3, kReasonRansomNoteLike}});
    Play("strong name: second folder", {{L"HOW_TO_DECRYPT.txt", kActionAdded, 0, nullptr},
                                        {L"A\\how_to_decrypt.TXT", kActionAdded, 0, kReasonRansomNoteLike}});
    Play("one folder many times", {{L"readme.txt", kActionAdded, 0, nullptr},
                                   {L"readme.txt", kActionModified, 0, nullptr},
                                   {L"readme.txt", kActionModified, 1, nullptr},
                                   {L"readme.txt", kActionRenamedNew, 2, nullptr}});
    Play("removals do not count", {{L"A\\readme.txt", kActionRemoved, 0, nullptr},
                                   {L"B\\readme.txt", kActionRemoved, 0, nullptr},
                                   {L"C\\readme.txt", kActionAdded, 0, nullptr}});
    Play("spread over too long", {{L"A\\readme.txt", kActionAdded, 0, nullptr},
                                  {L"B\\readme.txt", kActionAdded, 1, nullptr},
                                  {L"C\\readme.txt", kActionAdded, kNoteSpreadSeconds + 1, nullptr}});
    Play("note and extension together",
         {{L"HOW_TO_DECRYPT.txt", kActionAdded, 0, nullptr},
          {L"A\\HOW_TO_DECRYPT.txt.locked", kActionAdded, 0, kReasonEncryptedLikeExtension},
          {L"A\\HOW_TO_DECRYPT.txt", kActionAdded, 0, kReasonRansomNoteLike},
          {L"B\\HOW_TO_DECRYPT.txt.locked", kActionAdded, 0, kReasonNoteAndExtension}});
}

TEST(EvaluateRecordExtended, SwitchesGateVerdictsButNotMemory) {
    const struct {
        bool note, ext;
        const char* reason;
    } cases[] = {
        {true, true, kReasonNoteAndExtension},
        {true, false, kReasonRansomNoteLike},
        {false, true, kReasonEncryptedLikeExtension},
        {false, false, nullptr},
    };
    for (const auto& c : cases) {
        ExtendedNameState state;
        EvaluateRecordExtended(state, L"HOW_TO_DECRYPT.txt.locked", kActionAdded, kT, c.note, c.ext);
        const ExtendedNameVerdict v =
            EvaluateRecordExtended(state, L"A\\HOW_TO_DECRYPT.txt.locked", kActionAdded, kT, c.note, c.ext);
        EXPECT_STREQ(v.reason ? v.reason : "(none)", c.reason ? c.reason : "(none)") << c.note << c.ext;
        EXPECT_EQ(v.note, c.note);
        EXPECT_EQ(v.extReason != nullptr, c.ext);
    }
    // Switched on between the two records of a pair: the pair still counts.
    ExtendedNameState state;
    EvaluateRecordExtended(state, L"a.docx", kActionRenamedOld, kT, false, false);
    EXPECT_STREQ(EvaluateRecordExtended(state, L"a.docx.zqx", kActionRenamedNew, kT, false, true).reason,
                 kReasonAppendedExtension);
}

// Whatever arrives, the memory stays within its bounds.
TEST(EvaluateRecordExtended, MemoryIsBounded) {
    ExtendedNameState state;
    for (int i = 0; i < 20000; ++i) {
        const std::wstring n = std::to_wstring(i);
        EvaluateRecordExtended(state, L"d" + n + L"\\f" + n + L".docx.x" + n, kActionAdded, kT, true, true);
        EvaluateRecordExtended(state, L"d" + n + L"\\g" + n + L".docx", kActionRemoved, kT, true, true);
        EvaluateRecordExtended(state, L"d" + n + L"\\readme" + n + L".txt", kActionAdded, kT, true, true);
        EvaluateRecordExtended(state, L"d" + n + L"\\h" + n, kActionRenamedOld, kT, true, true);
    }
    EXPECT_LE(state.deleted.size(), kRecentNamesLimit);
    EXPECT_LE(state.writtenBases.size(), kRecentNamesLimit);
    EXPECT_LE(state.userFileDeletedIn.size(), kRecentNamesLimit);
    EXPECT_LE(state.unknownWrittenIn.size(), kRecentNamesLimit);
    EXPECT_LE(state.notes.size(), kNoteNamesLimit);
    // Time moving on empties what is no longer needed.
    EvaluateRecordExtended(state, L"x.txt", kActionModified, kT + 3600, true, true);
    EXPECT_TRUE(state.deleted.empty());
    EXPECT_TRUE(state.writtenBases.empty());
    EXPECT_FALSE(state.hasPendingOld);
}
