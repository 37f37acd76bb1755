// The extended name rules on the real agent: the same actions with the
// setting on and with it absent. With it absent the agent gives exactly what
// the basic rules give.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "agent_fixture.h"
#include "support/chacha20.h"

namespace {

std::string QuickConfig(bool extended) {
    return std::string("{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n"
                       "  \"incidentRateLimitSeconds\": 1") +
           (extended ? ",\n  \"extendedDetection\": true" : "") + "\n}\n";
}

// The "reason" of every dir_file_heuristic line for that file since the mark.
std::vector<std::string> HeuristicReasons(const LogMark& mark, const std::string& file) {
    std::vector<std::string> reasons;
    for (const std::string& line : LogLinesSince(mark))
        if (JsonMember(line, "type") == "dir_file_heuristic" && JsonMember(line, "file") == file)
            reasons.push_back(JsonMember(line, "reason"));
    return reasons;
}

bool SawChange(const LogMark& mark, const std::string& file) {
    return WaitForLogLine(
        mark, [&](const std::string& l) { return JsonMember(l, "type") == "dir_change" && JsonMember(l, "file") == file; },
        10000);
}

class ExtendedAgentTest : public AgentTest, public ::testing::WithParamInterface<bool> {
protected:
    // A document renamed with one more, short extension; then the same note
    // dropped into three new folders (made after start: Wine only watches
    // folders that appear while the watch runs).
    void PlayRenameAndNotes(const LogMark& mark) {
        const std::wstring budget = TestFile(profile.documents, L"budget.xlsx");
        ASSERT_TRUE(WriteFileBytes(budget, "PK\x03\x04 a workbook"));
        ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix) + "budget.xlsx"));
        ASSERT_TRUE(MoveFileW(budget.c_str(), (budget + L".ryk").c_str()));
        ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix) + "budget.xlsx.ryk"));
        // The extended rules hold a rename finding until no save can still
        // give the name back: its line comes first.
        if (GetParam())
            ASSERT_TRUE(WaitForLogLine(mark, [](const std::string& l) {
                return JsonMember(l, "type") == "dir_file_heuristic" &&
                       JsonMember(l, "file") == WideToUtf8(kTestFilePrefix) + "budget.xlsx.ryk";
            }, 10000));
        Sleep(1200);  // past the one-second rate limit, so each finding gets its incident
        for (const wchar_t* sub : {L"A", L"B", L"C"}) {
            const std::wstring folder = TestFile(profile.documents, sub);
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix + std::wstring(sub))));
            ASSERT_TRUE(WriteFileBytes(JoinPath(folder, L"@Please_Read_Me@.txt"), "your files are encrypted\n"));
            ASSERT_TRUE(SawChange(mark, WideToUtf8(kTestFilePrefix + std::wstring(sub) + L"\\@Please_Read_Me@.txt")));
        }
        Sleep(1500);  // let the last records and incidents settle
    }
};

}  // namespace

TEST_P(ExtendedAgentTest, RenamesAndNotesTheBasicRulesMiss) {
    const bool extended = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(QuickConfig(extended)));
    const LogMark mark = MarkLog(profile.logFile);
    ASSERT_NO_FATAL_FAILURE(PlayRenameAndNotes(mark));

    const std::string renamed = WideToUtf8(kTestFilePrefix) + "budget.xlsx.ryk";
    const std::string lastNote = WideToUtf8(kTestFilePrefix) + "C\\@Please_Read_Me@.txt";
    const std::string firstNote = WideToUtf8(kTestFilePrefix) + "A\\@Please_Read_Me@.txt";
    const std::vector<std::string> lines = LogLinesSince(mark);
    if (extended) {
        EXPECT_EQ(HeuristicReasons(mark, renamed), std::vector<std::string>({"appended_extension"}));
        EXPECT_FALSE(HeuristicReasons(mark, lastNote).empty());
        for (const std::string& r : HeuristicReasons(mark, lastNote)) EXPECT_EQ(r, "ransom_note_like_name");
        EXPECT_TRUE(HeuristicReasons(mark, firstNote).empty());  // one note alone is no drop
        EXPECT_GE(CountType(lines, "incident_created"), 2u);
        size_t nameIncidents = 0;
        for (const std::string& text : ReadIncidentFiles(profile.incidentsDir))
            nameIncidents += JsonMember(text, "reason") == "dir_file_heuristic";
        EXPECT_GE(nameIncidents, 2u);
    } else {
        // The basic rules: a four-letter extension is no encryptor's, and the
        // separators hide the note's words.
        EXPECT_EQ(CountType(lines, "dir_file_heuristic"), 0u);
        EXPECT_EQ(CountType(lines, "incident_created"), 0u);
        EXPECT_TRUE(ReadIncidentFiles(profile.incidentsDir).empty());
    }
    ExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Setting, ExtendedAgentTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Absent"; });

// The content check on the real agent. Real-format files are built here (a
// stored zip laid out as an office document, a PDF with its cross-reference
// table, a JPEG with its markers), written into a subfolder of Documents made
// after the start (Wine only watches folders that appear while the watch
// runs), away from the canaries and slowly, so neither the canary nor the
// burst rule can see the attack: only the content check can.
namespace {

void Le16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void Le32(std::string& out, uint32_t v) {
    Le16(out, v & 0xFFFF);
    Le16(out, v >> 16);
}

uint32_t Crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A zip archive whose entries are stored (method 0), with its central
// directory: what a save of an office document or an archive of media holds.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out, central;
    for (const auto& entry : entries) {
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint32_t crc = Crc32(entry.second);
        const uint32_t size = static_cast<uint32_t>(entry.second.size());
        const uint32_t nameSize = static_cast<uint32_t>(entry.first.size());
        Le32(out, 0x04034b50);
        Le16(out, 20), Le16(out, 0), Le16(out, 0), Le16(out, 0), Le16(out, 0x21);
        Le32(out, crc), Le32(out, size), Le32(out, size);
        Le16(out, nameSize), Le16(out, 0);
        out += entry.first + entry.second;
        Le32(central, 0x02014b50);
        Le16(central, 20), Le16(central, 20), Le16(central, 0), Le16(central, 0), Le16(central, 0),
            Le16(central, 0x21);
        Le32(central, crc), Le32(central, size), Le32(central, size);
        Le16(central, nameSize), Le16(central, 0), Le16(central, 0), Le16(central, 0), Le16(central, 0);
        Le32(central, 0), Le32(central, offset);
        central += entry.first;
    }
    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out += central;
    Le32(out, 0x06054b50);
    Le16(out, 0), Le16(out, 0);
    Le16(out, static_cast<uint32_t>(entries.size())), Le16(out, static_cast<uint32_t>(entries.size()));
    Le32(out, static_cast<uint32_t>(central.size())), Le32(out, centralOffset);
    Le16(out, 0);
    return out;
}

std::string Paragraphs(size_t bytes, const std::string& word) {
    std::string text;
    for (int i = 0; text.size() < bytes; ++i)
        text += "<w:p><w:r><w:t>" + word + " paragraph " + std::to_string(i) +
                ": the quarterly figures are in the appendix.</w:t></w:r></w:p>";
    return text;
}

std::string WordDocument(const std::string& word) {
    return StoredZip(
        {{"[Content_Types].xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<Types "
          "xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"><Default "
          "Extension=\"xml\" ContentType=\"application/xml\"/><Override PartName=\"/word/document.xml\" "
          "ContentType=\"application/"
          "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
         {"word/document.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<w:document "
          "xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>" +
              Paragraphs(12000, word) + "</w:body></w:document>"}});
}

// A one-page PDF with an uncompressed content stream of about `bytes`.
std::string Pdf(size_t bytes) {
    std::string stream = "BT /F1 10 Tf 72 760 Td 12 TL\n";
    for (int i = 0; stream.size() < bytes; ++i)
        stream += "(Line " + std::to_string(i) + " of the annual report, figures in thousands) '\n";
    stream += "ET\n";
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 "
        "R "
        ">> >> >>",
        "<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "endstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        char entry[24];
        snprintf(entry, sizeof entry, "%010u 00000 n \n", static_cast<unsigned>(offset));
        out += entry;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return out;
}

// A baseline JPEG's markers around entropy-coded data (as random as a
// camera's: compressed).
std::string Jpeg(size_t bytes, uint32_t seed) {
    std::string out("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
    out += std::string("\xFF\xC0\x00\x11\x08\x01\xE0\x02\x80\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 19);
    out += std::string("\xFF\xDA\x00\x0C\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 14);
    uint64_t x = 0x2545F4914F6CDD1Dull ^ seed;
    while (out.size() < bytes) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const char c = static_cast<char>(x >> 32);
        out += c;
        if (c == '\xFF') out += '\0';  // byte stuffing, as in real scans
    }
    return out + "\xFF\xD9";
}

// Encrypts the file in place with ChaCha20 through one handle, as an
// encryptor that keeps names does: the first `limit` bytes (0: all of it).
bool EncryptInPlace(const std::wstring& path, size_t limit, uint8_t seed) {
    std::string bytes = ReadFileBytes(path);
    if (bytes.empty()) return false;
    const size_t n = limit && limit < bytes.size() ? limit : bytes.size();
    uint8_t key[32], nonce[12];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(seed * 31 + i);
    for (int i = 0; i < 12; ++i) nonce[i] = static_cast<uint8_t>(seed + i);
    ChaCha20Xor(key, nonce, 1, reinterpret_cast<uint8_t*>(&bytes[0]), n);
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(n), &written, nullptr) &&
           written == n;
}

// Lines of that type whose "file" member is the name.
size_t LinesFor(const std::vector<std::string>& lines, const std::string& type, const std::string& file) {
    size_t n = 0;
    for (const std::string& line : lines)
        n += JsonMember(line, "type") == type && JsonMember(line, "file") == file;
    return n;
}

class ContentAgentTest : public AgentTest {
protected:
    // A new subfolder of Documents, seen by the watcher.
    std::wstring MakeProjectFolder(const LogMark& mark, const std::wstring& sub) {
        const std::wstring folder = TestFile(profile.documents, sub);
        EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        EXPECT_TRUE(SawChange(mark, Relative(folder)));
        return folder;
    }
    // A path's name relative to Documents, as the log and incidents name it.
    std::string Relative(const std::wstring& path) const {
        return WideToUtf8(path.substr(profile.documents.size() + 1));
    }
    bool Write(const LogMark& mark, const std::wstring& path, const std::string& bytes) {
        return WriteFileBytes(path, bytes) && SawChange(mark, Relative(path));
    }
};

class ContentSettingTest : public ContentAgentTest, public ::testing::WithParamInterface<bool> {};

}  // namespace

// In-place encryption, whole file and first 4 KiB only, one file every 0.7 s:
// with the setting on the second damaged file makes the incident; absent, the
// agent gives what it gave before (nothing at all).
TEST_P(ContentSettingTest, InPlaceEncryptionInASubfolderBySecondFile) {
    const bool extended = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(QuickConfig(extended)));
    const LogMark mark = MarkLog(profile.logFile);
    const std::wstring folder = MakeProjectFolder(mark, L"Projects");
    const std::wstring report = JoinPath(folder, L"report.docx");
    const std::wstring paper = JoinPath(folder, L"paper.pdf");
    const std::wstring photo = JoinPath(folder, L"photo.jpg");
    ASSERT_TRUE(Write(mark, report, WordDocument("Report")));
    ASSERT_TRUE(Write(mark, paper, Pdf(90000)));
    ASSERT_TRUE(Write(mark, photo, Jpeg(120000, 1)));
    Sleep(1000);  // the checks of the real files have run

    const LogMark attack = MarkLog(profile.logFile);
    ASSERT_TRUE(EncryptInPlace(report, 0, 1));
    Sleep(700);
    ASSERT_TRUE(EncryptInPlace(paper, 4096, 2));
    Sleep(700);
    ASSERT_TRUE(EncryptInPlace(photo, 0, 3));
    if (extended) {
        EXPECT_TRUE(WaitForLogLine(
            attack,
            [](const std::string& l) {
                return JsonMember(l, "type") == "incident_created" &&
                       JsonMember(l, "reason") == "encrypted_content";
            },
            10000));
        EXPECT_TRUE(WaitForLogLine(
            attack,
            [&](const std::string& l) {
                return JsonMember(l, "type") == "content_check" && JsonMember(l, "file") == Relative(photo);
            },
            10000));
    } else {
        ASSERT_TRUE(SawChange(attack, Relative(photo)));
        Sleep(2000);
    }
    const std::vector<std::string> before = LogLinesSince(mark);
    const std::vector<std::string> lines = LogLinesSince(attack);
    const size_t benignChecks = CountType(before, "content_check") - CountType(lines, "content_check");
    EXPECT_EQ(benignChecks, 0u) << "a real file judged encrypted-like";
    EXPECT_EQ(CountType(lines, "canary_triggered"), 0u);
    EXPECT_EQ(CountType(lines, "dir_file_heuristic"), 0u);
    EXPECT_EQ(CountType(lines, "file_burst"), 0u);
    const std::vector<std::string> incidents = ReadIncidentFiles(profile.incidentsDir);
    if (extended) {
        for (const std::wstring& path : {report, paper, photo}) {
            EXPECT_EQ(LinesFor(lines, "content_check", Relative(path)), 1u) << Relative(path);
            for (const std::string& line : lines) {
                if (JsonMember(line, "type") != "content_check" || JsonMember(line, "file") != Relative(path))
                    continue;
                EXPECT_EQ(JsonMember(line, "folder"), WideToUtf8(profile.documents));
                EXPECT_EQ(JsonMember(line, "verdict"), "encrypted_like");
                EXPECT_FALSE(JsonMember(line, "expected").empty()) << line;
                EXPECT_FALSE(JsonMember(line, "found").empty()) << line;
                EXPECT_NE(line.find("\",\"entropy\":"), std::string::npos) << line;
            }
        }
        ASSERT_EQ(incidents.size(), 1u);
        EXPECT_EQ(JsonMember(incidents[0], "reason"), "encrypted_content");
        EXPECT_EQ(JsonMember(incidents[0], "severity"), "90");
        EXPECT_EQ(JsonMember(incidents[0], "folder"), WideToUtf8(profile.documents));
        EXPECT_EQ(JsonMember(incidents[0], "file"), Relative(paper));
    } else {
        EXPECT_EQ(CountType(before, "content_check"), 0u);
        EXPECT_EQ(CountType(before, "incident_created"), 0u);
        EXPECT_TRUE(incidents.empty());
    }
    ExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Setting, ContentSettingTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "On" : "Absent";
                         });

// Everyday work with the setting on: an office save through a temporary file
// and a rename, a download of an archive of photos written in pieces, photos
// copied into a new folder, a text file edited. None of it is encrypted-like.
TEST_F(ContentAgentTest, EverydayWorkGivesNoContentFinding) {
    ASSERT_NO_FATAL_FAILURE(Start(QuickConfig(true)));
    const LogMark mark = MarkLog(profile.logFile);
    const std::wstring folder = MakeProjectFolder(mark, L"Work");
    const std::wstring thesis = JoinPath(folder, L"Thesis.docx");
    const std::wstring notes = JoinPath(folder, L"notes.txt");
    const std::wstring photo = JoinPath(folder, L"photo.jpg");
    ASSERT_TRUE(Write(mark, thesis, WordDocument("Draft")));
    ASSERT_TRUE(Write(mark, notes, "Call the printer on Monday.\r\n"));
    ASSERT_TRUE(Write(mark, photo, Jpeg(150000, 9)));

    // The save: new content to a temporary file, the old document to a
    // backup name, the temporary file over the document, the backup deleted.
    const std::wstring temp = JoinPath(folder, L"~WRD0001.tmp");
    const std::wstring backup = JoinPath(folder, L"~WRL0002.tmp");
    ASSERT_TRUE(WriteFileBytes(temp, WordDocument("Final")));
    ASSERT_TRUE(MoveFileExW(thesis.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExW(temp.c_str(), thesis.c_str(), MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(DeleteFileW(backup.c_str()));

    // A download written in pieces: an archive of photos.
    const std::string archive = StoredZip({{"a.jpg", Jpeg(60000, 2)}, {"b.jpg", Jpeg(60000, 3)}});
    const std::wstring download = JoinPath(folder, L"holiday.zip");
    {
        UniqueHandle file(CreateFileW(download.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        for (size_t at = 0; at < archive.size(); at += 32768) {
            const DWORD n = static_cast<DWORD>(std::min<size_t>(32768, archive.size() - at));
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(file.get(), archive.data() + at, n, &written, nullptr));
            Sleep(150);
        }
    }

    // Photos copied into a new folder, the text file edited.
    const std::wstring album = MakeProjectFolder(mark, L"Work\\Album");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(
            CopyFileW(photo.c_str(), JoinPath(album, L"copy" + std::to_wstring(i) + L".jpg").c_str(), FALSE));
    ASSERT_TRUE(WriteFileBytes(notes, "Call the printer on Monday.\r\nAsk for the proofs by Friday.\r\n"));
    ASSERT_TRUE(SawChange(mark, Relative(JoinPath(album, L"copy2.jpg"))));
    ASSERT_TRUE(SawChange(mark, Relative(download)));
    Sleep(2000);

    const std::vector<std::string> lines = LogLinesSince(mark);
    EXPECT_GT(LinesFor(lines, "dir_change", Relative(thesis)), 0u);
    EXPECT_EQ(CountType(lines, "content_check"), 0u);
    EXPECT_EQ(CountType(lines, "incident_created"), 0u);
    EXPECT_TRUE(ReadIncidentFiles(profile.incidentsDir).empty());
    ExpectCleanExit();
}

// Encrypt-and-rename on the real agent: three documents in three new folders
// given one random-looking extension, one every 0.6 s, then encrypted under
// their new names; then one strong note name in one more folder. The third
// rename makes one mass_rename incident at the configured severity (95 here,
// so that the setting is seen to work), and the note is caught alone.
TEST_F(ContentAgentTest, MassRenameAndASingleStrongNote) {
    ASSERT_NO_FATAL_FAILURE(
        Start("{\n  \"enableProcessMonitor\": false,\n  \"canaryWarmupSeconds\": 1,\n"
              "  \"incidentRateLimitSeconds\": 1,\n  \"extendedDetection\": true,\n"
              "  \"massRenameIncidentSeverity\": 95\n}\n"));
    const LogMark mark = MarkLog(profile.logFile);
    const wchar_t* const docs[] = {L"budget.xlsx", L"thesis.docx", L"slides.pptx"};
    std::vector<std::wstring> renamed;
    for (int i = 0; i < 3; ++i) {
        const std::wstring folder =
            MakeProjectFolder(mark, std::wstring(L"R") + static_cast<wchar_t>(L'1' + i));
        const std::wstring doc = JoinPath(folder, docs[i]);
        ASSERT_TRUE(Write(mark, doc, StoredZip({{"word/document.xml", std::string(3000, 'w')}})));
        renamed.push_back(doc + L".qwhzkd");
        ASSERT_TRUE(MoveFileW(doc.c_str(), renamed.back().c_str()));
        ASSERT_TRUE(EncryptInPlace(renamed.back(), 0, static_cast<uint8_t>(i + 1)));
        ASSERT_TRUE(SawChange(mark, Relative(renamed.back())));
        Sleep(600);
    }
    Sleep(1200);  // past the one-second rate limit
    const std::wstring noteFolder = MakeProjectFolder(mark, L"R4");
    const std::wstring note = JoinPath(noteFolder, L"HOW_TO_DECRYPT_FILES.txt");
    ASSERT_TRUE(Write(mark, note, "All your files are encrypted.\r\n"));
    Sleep(1500);

    std::vector<std::string> mass, notes;
    for (const std::string& text : ReadIncidentFiles(profile.incidentsDir)) {
        if (JsonMember(text, "reason") == "mass_rename") mass.push_back(text);
        if (JsonMember(text, "reason") == "dir_file_heuristic" && JsonMember(text, "file") == Relative(note))
            notes.push_back(text);
    }
    ASSERT_EQ(mass.size(), 1u);
    EXPECT_EQ(JsonMember(mass[0], "file"), Relative(renamed[2]));
    EXPECT_NE(mass[0].find("\"severity\":95"), std::string::npos) << mass[0];
    EXPECT_EQ(notes.size(), 1u);
    const std::vector<std::string> lines = LogLinesSince(mark);
    EXPECT_EQ(LinesFor(lines, "dir_file_heuristic", Relative(renamed[0])), 1u);
    bool noteLine = false;
    for (const std::string& l : lines)
        noteLine = noteLine || (JsonMember(l, "type") == "dir_file_heuristic" &&
                                JsonMember(l, "file") == Relative(note) &&
                                JsonMember(l, "reason") == "ransom_note_like_name");
    EXPECT_TRUE(noteLine);
    ExpectCleanExit();
}

// Encrypt, then rename to an extension no format has: the new names are
// judged against the old ones, and the second file makes the critical
// incident (before, the check never looked at such names).
TEST_F(ContentAgentTest, EncryptAndRenameIsJudgedAgainstTheOldName) {
    ASSERT_NO_FATAL_FAILURE(Start(QuickConfig(true)));
    const LogMark mark = MarkLog(profile.logFile);
    const std::wstring folder = MakeProjectFolder(mark, L"Clients");
    const std::wstring report = JoinPath(folder, L"report.docx");
    const std::wstring paper = JoinPath(folder, L"paper.pdf");
    ASSERT_TRUE(Write(mark, report, WordDocument("Report")));
    ASSERT_TRUE(Write(mark, paper, Pdf(90000)));
    Sleep(1000);

    const LogMark attack = MarkLog(profile.logFile);
    ASSERT_TRUE(EncryptInPlace(report, 0, 4));
    ASSERT_TRUE(MoveFileW(report.c_str(), (report + L".ryk").c_str()));
    Sleep(700);
    ASSERT_TRUE(EncryptInPlace(paper, 0, 5));
    ASSERT_TRUE(MoveFileW(paper.c_str(), (paper + L".ryk").c_str()));
    EXPECT_TRUE(WaitForLogLine(
        attack,
        [](const std::string& l) {
            return JsonMember(l, "type") == "incident_created" && JsonMember(l, "reason") == "encrypted_content";
        },
        10000));
    const std::vector<std::string> lines = LogLinesSince(attack);
    for (const std::wstring& path : {report, paper}) {
        const std::string renamed = Relative(path + L".ryk");
        ASSERT_EQ(LinesFor(lines, "content_check", renamed), 1u) << renamed;
        for (const std::string& line : lines) {
            if (JsonMember(line, "type") != "content_check" || JsonMember(line, "file") != renamed) continue;
            EXPECT_EQ(JsonMember(line, "verdict"), "encrypted_like") << line;
            EXPECT_EQ(JsonMember(line, "claimed_from"), Relative(path)) << line;
        }
    }
    size_t content = 0;
    for (const std::string& text : ReadIncidentFiles(profile.incidentsDir)) {
        if (JsonMember(text, "reason") != "encrypted_content") continue;
        ++content;
        EXPECT_EQ(JsonMember(text, "severity"), "90");
        // The second damaged file makes it; under load the check may read
        // paper.pdf between its encryption and its rename, so either name.
        const std::string file = JsonMember(text, "file");
        EXPECT_TRUE(file == Relative(paper + L".ryk") || file == Relative(paper)) << file;
    }
    EXPECT_EQ(content, 1u);
    ExpectCleanExit();
}
