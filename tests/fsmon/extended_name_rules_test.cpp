#include "fsmon/extended_name_rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <string>
#include <thread>
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
        {L"thesis.docx", L"thesis.docx.tmp", nullptr},  // a save's first step (counts toward a mass rename)
        {L"thesis.docx", L"~WRL0001.tmp", nullptr},
        {L"report.docx", L"report - Copy.docx", nullptr},
        {L"IMG_2041.JPG", L"img_2041.jpg", nullptr},
        // Save tools' kept originals, version control's leftovers, lock marks.
        {L"Main.java", L"Main.java___jb_old___", nullptr},
        {L"notes.txt", L"notes.txt___jb_tmp___", nullptr},
        {L"report.docx", L"report.docx-backup", nullptr},
        {L"report.docx", L"report.docx_locked", R},  // glued, but no save word: still a replaced type
        {L"notes.txt", L"notes.txt.r1234", nullptr},
        {L"notes.txt", L"notes.txt.mine", nullptr},
        {L"report.docx", L"report.docx.v2", nullptr},
        {L"report.docx", L"report.docx.~1a2b3c", nullptr},
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
        // Note words and at most one other word, speaking of the encryption
        // or of getting files back: enough alone.
        {L"HOW_TO_DECRYPT.txt", S::kAlone},
        {L"how-to-decrypt.pdf", S::kAlone},
        {L"Decrypt All Files.bmp", S::kAlone},  // a wallpaper note
        {L"Restore-My-Files.txt", S::kAlone},
        {L"YOUR FILES ARE ENCRYPTED.TXT", S::kAlone},
        {L"RECOVER-sykffle-FILES.txt", S::kAlone},
        {L"x8a7q1m0-HOW-TO-DECRYPT.txt", S::kAlone},
        {L"ransomnote.txt", S::kAlone},
        // The strong words among other words, or with nothing to ask: strong.
        {L"Decrypting TLS traffic with Wireshark.html", S::kStrong},
        {L"files encrypted with gpg.txt", S::kStrong},
        {L"your files.txt", S::kStrong},
        {L"HOW_TO_DECRYPT.id-1A2B.[mail@x.cc].txt", S::kStrong},
        // Note words count only in a type a victim opens.
        {L"decrypt.py", S::kNone},
        {L"ransom_tool.exe", S::kNone},
        {L"RestoreYourFiles.cs", S::kNone},
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
    Play("strong name: second folder", {{L"your files.txt", kActionAdded, 0, nullptr},
                                        {L"A\\YOUR FILES.TXT", kActionAdded, 0, kReasonRansomNoteLike}});
    Play("a strong name alone: its first folder",
         {{L"HOW_TO_DECRYPT_FILES.txt", kActionAdded, 0, kReasonRansomNoteLike}});
    Play("a note word in a program: nothing", {{L"decrypt.py", kActionAdded, 0, nullptr},
                                               {L"A\\decrypt.py", kActionAdded, 0, nullptr},
                                               {L"B\\decrypt.py", kActionAdded, 0, nullptr}});
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
         {{L"HOW_TO_DECRYPT.id-1A2B.[mail@x.cc].txt", kActionAdded, 0, kReasonEncryptedLikeExtension},
          {L"A\\HOW_TO_DECRYPT.id-1A2B.[mail@x.cc].txt", kActionAdded, 0, kReasonNoteAndExtension}});
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
        const std::wstring name = L"HOW_TO_DECRYPT.id-1A2B.[mail@x.cc].txt";
        EvaluateRecordExtended(state, name, kActionAdded, kT, c.note, c.ext);
        const ExtendedNameVerdict v =
            EvaluateRecordExtended(state, L"A\\" + name, kActionAdded, kT, c.note, c.ext);
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
    EXPECT_LE(state.own.notes.size(), kPoolNoteNamesLimit);
    // Time moving on empties what is no longer needed.
    EvaluateRecordExtended(state, L"x.txt", kActionModified, kT + 3600, true, true);
    EXPECT_TRUE(state.deleted.empty());
    EXPECT_TRUE(state.writtenBases.empty());
    EXPECT_FALSE(state.hasPendingOld);
}

// The same new extension on user files in several folders: the third makes
// one mass-rename incident, later ones none of their own.
TEST(EvaluateRecordExtended, MassRenameOnceFromTheThirdUserFile) {
    const struct {
        const char* what;
        std::vector<std::pair<std::wstring, std::wstring>> renames;  // one per second
        std::vector<MassRename> expected;
    } cases[] = {
        {"three documents, one extension",
         {{L"A\\a.docx", L"A\\a.docx.zqx"},
          {L"B\\b.xlsx", L"B\\b.xlsx.zqx"},
          {L"c.pdf", L"c.pdf.zqx"},
          {L"d.jpg", L"d.jpg.zqx"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kReport, MassRename::kReported}},
        {"replaced, also under new names",
         {{L"a.docx", L"a.zqx"}, {L"b.docx", L"b.zqx"}, {L"c.pdf", L"5C8F0A2B.ZQX"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kReport}},
        {"three extensions",
         {{L"a.docx", L"a.docx.zqx"}, {L"b.docx", L"b.docx.zqy"}, {L"c.pdf", L"c.pdf.zqz"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kNone}},
        {"one file renamed thrice",
         {{L"a.docx", L"a.docx.zqx"}, {L"a.docx", L"a.docx.zqx"}, {L"a.docx", L"a.docx.zqx"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kNone}},
        {"not user files",
         {{L"a.js", L"a.js.zqx"}, {L"b.dll", L"b.dll.zqx"}, {L"c", L"c.zqx"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kNone}},
        // Everyday-looking names say nothing alone, but a run of them is a mass rename.
        {"everyday appended parts",
         {{L"a.docx", L"a.docx.bak"}, {L"b.xlsx", L"b.xlsx.bak"}, {L"c.jpg", L"c.jpg.bak"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kReport}},
        {"numbers",
         {{L"a.docx", L"a.docx.1"}, {L"b.xlsx", L"b.xlsx.1"}, {L"c.jpg", L"c.jpg.1"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kReport}},
        {"temporary parts never restored",
         {{L"a.docx", L"a.docx.tmp"}, {L"b.xlsx", L"b.xlsx.tmp"}, {L"c.jpg", L"c.jpg.TMP"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kReport}},
        {"replaced by a type that is no user file",
         {{L"a.docx", L"a.bin"}, {L"b.pdf", L"b.bin"}, {L"c.jpg", L"c.BIN"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kReport}},
        {"conversions and compression",
         {{L"a.jpeg", L"a.jpg"},
          {L"b.jpeg", L"b.jpg"},
          {L"c.jpeg", L"c.jpg"},
          {L"a.csv", L"a.csv.gz"},
          {L"b.csv", L"b.csv.gz"},
          {L"c.csv", L"c.csv.gz"}},
         {MassRename::kNone, MassRename::kNone, MassRename::kNone, MassRename::kNone, MassRename::kNone,
          MassRename::kNone}},
    };
    for (const auto& c : cases) {
        ExtendedNameState state;
        int64_t t = kT;
        for (size_t i = 0; i < c.renames.size(); ++i, ++t) {
            EvaluateRecordExtended(state, c.renames[i].first, kActionRenamedOld, t, true, true);
            const ExtendedNameVerdict v =
                EvaluateRecordExtended(state, c.renames[i].second, kActionRenamedNew, t, true, true);
            EXPECT_EQ(static_cast<int>(v.massRename), static_cast<int>(c.expected[i]))
                << c.what << ", rename " << i;
            if (v.massRename == MassRename::kReport) {
                EXPECT_NE(v.reason, nullptr) << c.what;
            }
        }
    }
}

TEST(EvaluateRecordExtended, MassRenameWindowSavesAndWriteDelete) {
    const auto rename = [](ExtendedNameState& s, const wchar_t* from, const wchar_t* to, int64_t at) {
        EvaluateRecordExtended(s, from, kActionRenamedOld, kT + at, true, true);
        return EvaluateRecordExtended(s, to, kActionRenamedNew, kT + at, true, true).massRename;
    };
    {  // spread over more than the window
        ExtendedNameState s;
        rename(s, L"a.docx", L"a.docx.zqx", 0);
        rename(s, L"b.docx", L"b.docx.zqx", 40);
        EXPECT_EQ(rename(s, L"c.docx", L"c.docx.zqx", 40 + kMassRenameSeconds + 1), MassRename::kNone);
    }
    {  // a save: the original name back within seconds leaves the count
        ExtendedNameState s;
        for (int i = 0; i < 5; ++i) {
            const std::wstring doc = L"doc" + std::to_wstring(i) + L".docx";
            EXPECT_EQ(rename(s, doc.c_str(), (doc + L".zqx").c_str(), i * 2), MassRename::kNone) << i;
            EvaluateRecordExtended(s, doc, kActionAdded, kT + i * 2 + 1, true, true);
        }
    }
    {  // spreadsheet saves: the original to a temporary name, the new version back under it
        ExtendedNameState s;
        for (int i = 0; i < 4; ++i) {
            const std::wstring doc = L"book" + std::to_wstring(i) + L".xlsx";
            const std::wstring temp = L"5A6B7C8" + std::to_wstring(i) + L".tmp";
            EXPECT_EQ(rename(s, doc.c_str(), temp.c_str(), i), MassRename::kNone) << i;
            EXPECT_EQ(rename(s, (L"1C2D3E4" + std::to_wstring(i)).c_str(), doc.c_str(), i),
                      MassRename::kNone);
            EvaluateRecordExtended(s, temp, kActionRemoved, kT + i, true, true);
        }
    }
    {  // new files beside deleted originals, both orders
        ExtendedNameState s;
        EvaluateRecordExtended(s, L"a.docx.zqx", kActionAdded, kT, true, true);
        EvaluateRecordExtended(s, L"a.docx", kActionRemoved, kT, true, true);
        EvaluateRecordExtended(s, L"b.docx", kActionRemoved, kT + 1, true, true);
        EvaluateRecordExtended(s, L"b.docx.zqx", kActionAdded, kT + 1, true, true);
        // The third new file beside deleted documents: the third user file.
        EXPECT_EQ(EvaluateRecordExtended(s, L"c.pdf.zqx", kActionAdded, kT + 2, true, true).massRename,
                  MassRename::kReport);
        // Its own original's deletion is the same file: counted once.
        EXPECT_EQ(EvaluateRecordExtended(s, L"c.pdf", kActionRemoved, kT + 2, true, true).massRename,
                  MassRename::kReported);
    }
    {  // the extension switch off: no mass rename, but the memory goes on
        ExtendedNameState s;
        for (const wchar_t* n : {L"a.docx", L"b.docx", L"c.docx"}) {
            EvaluateRecordExtended(s, n, kActionRenamedOld, kT, true, false);
            EXPECT_EQ(EvaluateRecordExtended(s, std::wstring(n) + L".zqx", kActionRenamedNew, kT, true, false)
                          .massRename,
                      MassRename::kNone);
        }
        EvaluateRecordExtended(s, L"d.docx", kActionRenamedOld, kT, true, true);
        EXPECT_EQ(EvaluateRecordExtended(s, L"d.docx.zqx", kActionRenamedNew, kT, true, true).massRename,
                  MassRename::kReported);
    }
}

// Two watched trees with one shared pool: evidence adds up across them, and
// the same relative folder in two trees is two folders.
TEST(EvaluateRecordInTree, TreesPoolRenamesAndWeakNotes) {
    SharedNameEvidence shared;
    ExtendedNameState desktop, documents;
    const std::wstring d = L"C:\\Users\\u\\Desktop", o = L"C:\\Users\\u\\Documents";
    const auto rename = [&](ExtendedNameState& s, const std::wstring& tree, const wchar_t* from,
                            const wchar_t* to) {
        EvaluateRecordInTree(s, &shared, tree, from, kActionRenamedOld, kT, true, true);
        return EvaluateRecordInTree(s, &shared, tree, to, kActionRenamedNew, kT, true, true).massRename;
    };
    EXPECT_EQ(rename(desktop, d, L"a.docx", L"a.docx.zqx"), MassRename::kNone);
    EXPECT_EQ(rename(documents, o, L"a.docx", L"a.docx.zqx"), MassRename::kNone);  // another file
    EXPECT_EQ(rename(documents, o, L"b.docx", L"b.docx.zqx"), MassRename::kReport);

    const auto note = [&](ExtendedNameState& s, const std::wstring& tree, const wchar_t* name) {
        const char* r = EvaluateRecordInTree(s, &shared, tree, name, kActionAdded, kT + 1, true, true).reason;
        return std::string(r ? r : "(none)");
    };
    EXPECT_EQ(note(desktop, d, L"Sub\\readme.txt"), "(none)");
    EXPECT_EQ(note(documents, o, L"Sub\\readme.txt"), "(none)");
    EXPECT_EQ(note(documents, o, L"readme.txt"), kReasonRansomNoteLike);
    // The states kept nothing of it: the pool is the shared one.
    EXPECT_TRUE(desktop.own.notes.empty());
    EXPECT_TRUE(documents.own.renames.empty());
}

TEST(EvaluateRecordExtended, UnpackedTreesAndToolEncryptionAreEveryday) {
    std::vector<Step> unpack = {{L"sdk", kActionAdded, 0, nullptr},
                                {L"sdk\\samples", kActionAdded, 0, nullptr},
                                {L"sdk\\samples\\hello", kActionAdded, 0, nullptr},
                                {L"sdk\\samples\\audio", kActionAdded, 0, nullptr},
                                {L"sdk\\samples\\video", kActionAdded, 0, nullptr}};
    std::deque<std::wstring> names;  // stable storage for the steps' names
    for (const wchar_t* f : {L"hello", L"audio", L"video"}) {
        for (const wchar_t* file : {L"\\main.c", L"\\Makefile", L"\\readme.txt"}) {
            names.push_back(std::wstring(L"sdk\\samples\\") + f + file);
            unpack.push_back({names.back().c_str(), kActionAdded, 1, nullptr});
        }
    }
    unpack.push_back(
        {L"sdk\\samples\\video\\HOW_TO_DECRYPT_FILES.txt", kActionAdded, 1, kReasonRansomNoteLike});
    Play("a readme in three folders of a fresh unpack; a strong note is one anywhere", unpack);
    Play("a tree made a while ago",
         {{L"T", kActionAdded, 0, nullptr},
          {L"T\\A", kActionAdded, 0, nullptr},
          {L"T\\B", kActionAdded, 0, nullptr},
          {L"T\\C", kActionAdded, 0, nullptr},
          {L"T\\A\\1.doc", kActionAdded, 0, nullptr},
          {L"T\\B\\2.doc", kActionAdded, 0, nullptr},
          {L"T\\C\\3.doc", kActionAdded, 0, nullptr},
          {L"T\\A\\readme.txt", kActionAdded, kUnpackSeconds + 1, nullptr},
          {L"T\\B\\readme.txt", kActionAdded, kUnpackSeconds + 1, nullptr},
          {L"T\\C\\readme.txt", kActionAdded, kUnpackSeconds + 2, kReasonRansomNoteLike}});
    Play("the same into three existing folders",
         {{L"A\\readme.txt", kActionAdded, 0, nullptr},
          {L"B\\readme.txt", kActionAdded, 1, nullptr},
          {L"C\\readme.txt", kActionAdded, 2, kReasonRansomNoteLike}});
    Play("a tool's encrypted copy beside its original", {{L"taxes.xlsx.gpg", kActionAdded, 0, nullptr},
                                                         {L"taxes.xlsx.gpg", kActionModified, 0, nullptr},
                                                         {L"notes.docx.aes", kActionAdded, 1, nullptr},
                                                         {L"a.docx.enc", kActionAdded, 2, nullptr}});
    Play("the original then deleted", {{L"a.docx.enc", kActionAdded, 0, nullptr},
                                       {L"a.docx", kActionRemoved, 1, kReasonAppendedExtension}});
    Play("renamed to it: the original is gone",
         {{L"a.docx", kActionRenamedOld, 0, nullptr},
          {L"a.docx.gpg", kActionRenamedNew, 0, kReasonAppendedExtension}});
    Play("sidecars and locks beside a picture and a document",
         {{L"IMG_2041.CR2.xmp", kActionAdded, 0, nullptr},
          {L"IMG_2041.CR2.pp3", kActionAdded, 0, nullptr},
          {L".~lock.budget.ods#", kActionAdded, 0, nullptr},
          {L"budget.ods", kActionRemoved, 0, nullptr},
          {L"budget.ods", kActionAdded, 0, nullptr}});
}

// Watchers on their own threads feeding one shared pool: one run, one report.
TEST(EvaluateRecordInTree, ThreadsShareOnePoolAndOneReport) {
    SharedNameEvidence shared;
    std::atomic<int> reports{0}, reported{0};
    std::vector<std::thread> watchers;
    for (int w = 0; w < 4; ++w) {
        watchers.emplace_back([&, w] {
            ExtendedNameState state;
            const std::wstring tree = L"C:\\Tree" + std::to_wstring(w);
            for (int i = 0; i < 50; ++i) {
                const std::wstring doc = L"doc" + std::to_wstring(i) + L".docx";
                EvaluateRecordInTree(state, &shared, tree, doc, kActionRenamedOld, kT, true, true);
                const MassRename m = EvaluateRecordInTree(state, &shared, tree, doc + L".zqx",
                                                          kActionRenamedNew, kT, true, true)
                                         .massRename;
                reports += m == MassRename::kReport;
                reported += m == MassRename::kReported;
                EvaluateRecordInTree(state, &shared, tree, L"Sub" + std::to_wstring(i) + L"\\readme.txt",
                                     kActionAdded, kT, true, true);
            }
        });
    }
    for (std::thread& t : watchers) t.join();
    EXPECT_EQ(reports.load(), 1);
    EXPECT_EQ(reported.load(), 4 * 50 - 3);
}
