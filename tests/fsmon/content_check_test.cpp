// The content check behind the watcher: batches handed to the real worker
// thread (ProcessChangeBatch, as a watcher calls it) over real files, some
// held open by a "writer" in this process.
#include "fsmon/content_check.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/core_lifecycle.h"
#include "core/locks.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/folder_watcher.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "support/chacha20.h"
#include "support/test_support.h"

namespace {

// Bytes no format begins with and a cipher would write: a simple generator
// is enough, the classifier only sees their distribution.
std::string RandomBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

std::string Text(size_t size) {
    std::string out;
    while (out.size() < size) out += "Minutes of the meeting, item " + std::to_string(out.size()) + ".\r\n";
    return out;
}

std::vector<std::string> LinesOfType(const std::string& type) {
    std::vector<std::string> out;
    for (const std::string& line : ReadLogLines())
        if (line.find("\"type\":\"" + type + "\"") != std::string::npos) out.push_back(line);
    return out;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (condition()) return true;
        Sleep(20);
    }
    return condition();
}

// Every incident.json below the Incidents folder.
std::vector<IncidentSummary> Incidents() {
    std::vector<IncidentSummary> out;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(JoinPath(gDataPaths.incidentsDir, L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        if (fd.cFileName[0] == L'.') continue;
        std::string text;
        if (ReadFileBytes(JoinPath(JoinPath(gDataPaths.incidentsDir, fd.cFileName), L"incident.json"), text))
            out.push_back(ParseIncidentSummary(text));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return out;
}

// A corpus file (tests/corpora/content), encrypted from `from` to the end as
// an encryptor that keeps the head would.
std::string CorpusFile(const char* name, size_t from = std::string::npos) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(Utf8ToWide(std::string(VG_CONTENT_CORPUS) + "/" + name), bytes)) << name;
    static const uint8_t kKey[32] = {9, 8, 7, 6,  5,  4,  3,  2,  1,  0,  1,  2,  3,  4,  5,  6,
                                     7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};
    static const uint8_t kNonce[12] = {1, 2, 3};
    if (from < bytes.size())
        ChaCha20Xor(kKey, kNonce, 0, reinterpret_cast<uint8_t*>(&bytes[from]), bytes.size() - from);
    return bytes;
}

NotifyRecord Record(DWORD action, const std::wstring& name) {
    NotifyRecord r;
    r.action = action;
    r.name = name;
    return r;
}

struct ContentCheckFixture : ::testing::Test {
    TempDir dir;
    std::wstring watched;
    void SetUp() override {
        UseDataPathsBelow(dir.Sub(L"data"));
        watched = dir.Sub(L"watched");
        EnsureDirectoryTree(watched);
        CreateCoreLock(gBurstLock);
        CreateCoreLock(gConfigLock);
        Configure(true, 77);
        ResetContentCheckCounters();
    }
    void TearDown() override { StopContentChecks(); }
    // Through the configuration file, as the agent reads it.
    void Configure(bool extended, int32_t severity) {
        const std::string text =
            std::string("{\n  \"incidentRateLimitSeconds\": 1,\n  \"extendedDetection\": ") +
            (extended ? "true" : "false") +
            ",\n  \"encryptedContentIncidentSeverity\": " + std::to_string(severity) + "\n}\n";
        ASSERT_TRUE(WriteFileBytes(gDataPaths.configFile, text));
        std::wstring status;
        ASSERT_TRUE(LoadConfig(status));
    }
    std::wstring Path(const std::wstring& name) const { return JoinPath(watched, name); }
    void Batch(const std::vector<NotifyRecord>& records) { ProcessChangeBatch(watched, records); }
};

}  // namespace

// Each file once per batch, an encrypted-like one logged with its evidence,
// the second distinct one in the tree making the incident.
TEST_F(ContentCheckFixture, EachFileOnceAndTheSecondEncryptedFileMakesTheIncident) {
    ASSERT_TRUE(WriteFileBytes(Path(L"a.docx"), RandomBytes(9000, 1)));
    ASSERT_TRUE(WriteFileBytes(Path(L"minutes.txt"), Text(6000)));
    ASSERT_TRUE(WriteFileBytes(Path(L"b.pdf"), RandomBytes(100000, 2)));
    Batch({Record(FILE_ACTION_ADDED, L"a.docx"), Record(FILE_ACTION_MODIFIED, L"a.docx"),
           Record(FILE_ACTION_MODIFIED, L"A.DOCX"), Record(FILE_ACTION_ADDED, L"minutes.txt")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    EXPECT_EQ(gContentCheckCounters.queued.load(), 2u);
    EXPECT_EQ(gContentCheckCounters.read.load(), 2u);
    std::vector<std::string> checks = LinesOfType("content_check");
    ASSERT_EQ(checks.size(), 1u);
    const std::string& line = checks[0];
    EXPECT_NE(line.find("\"type\":\"content_check\",\"folder\":\"" + JsonEscape(WideToUtf8(watched)) +
                        "\",\"file\":\"a.docx\",\"verdict\":\"encrypted_like\",\"expected\":\""),
              std::string::npos)
        << line;
    const size_t found = line.find("\",\"found\":\"");
    const size_t entropy = line.find("\",\"entropy\":");
    ASSERT_NE(found, std::string::npos);
    ASSERT_NE(entropy, std::string::npos);
    EXPECT_LT(found, entropy);
    const double bits = std::atof(line.c_str() + entropy + std::strlen("\",\"entropy\":"));
    EXPECT_GT(bits, 7.8) << line;
    EXPECT_LE(bits, 8.0) << line;
    const std::string number = line.substr(entropy + std::strlen("\",\"entropy\":"));
    EXPECT_TRUE(number.size() == 5 && number[1] == '.' && number[4] == '}') << "two decimals: " << line;
    EXPECT_TRUE(LinesOfType("incident_created").empty());

    // The same file again is no second file; another one is.
    Batch({Record(FILE_ACTION_MODIFIED, L"a.docx")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    EXPECT_TRUE(LinesOfType("incident_created").empty());
    Batch({Record(FILE_ACTION_RENAMED_NEW_NAME, L"b.pdf")});
    ASSERT_TRUE(WaitFor([] { return !LinesOfType("incident_created").empty(); }));
    EXPECT_EQ(LinesOfType("content_check").size(), 3u);
    const std::vector<IncidentSummary> incidents = Incidents();
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(incidents[0].reason, kReasonEncryptedContent);
    EXPECT_EQ(incidents[0].severity, 77);
    EXPECT_EQ(incidents[0].folder, WideToUtf8(watched));
    EXPECT_EQ(incidents[0].file, "b.pdf");
}

// With the setting off nothing is queued; files in the agent's own data
// folder are never checked; a severity of 0 or below means 90.
TEST_F(ContentCheckFixture, SettingOffAndOwnFilesAreNotCheckedAndSeverityDefaults) {
    ASSERT_TRUE(WriteFileBytes(Path(L"a.docx"), RandomBytes(9000, 1)));
    ASSERT_TRUE(WriteFileBytes(Path(L"b.xlsx"), RandomBytes(9000, 2)));
    Configure(false, 0);
    Batch({Record(FILE_ACTION_ADDED, L"a.docx"), Record(FILE_ACTION_ADDED, L"b.xlsx")});
    Sleep(300);
    EXPECT_EQ(gContentCheckCounters.queued.load(), 0u);
    EXPECT_TRUE(LinesOfType("content_check").empty());

    // The data folder inside the watched tree: its files are the agent's own.
    UseDataPathsBelow(watched);
    const std::wstring own = L"Vellumgard\\backup.docx";
    ASSERT_TRUE(WriteFileBytes(Path(own), RandomBytes(5000, 3)));
    Configure(true, -5);
    Batch({Record(FILE_ACTION_ADDED, own), Record(FILE_ACTION_ADDED, L"a.docx")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    EXPECT_EQ(gContentCheckCounters.queued.load(), 1u);
    Batch({Record(FILE_ACTION_MODIFIED, L"b.xlsx"), Record(FILE_ACTION_MODIFIED, own)});
    ASSERT_TRUE(WaitFor([] { return !LinesOfType("incident_created").empty(); }));
    EXPECT_EQ(gContentCheckCounters.queued.load(), 2u);
    for (const std::string& line : LinesOfType("content_check"))
        EXPECT_EQ(line.find("backup.docx"), std::string::npos) << line;
    const std::vector<IncidentSummary> incidents = Incidents();
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(incidents[0].severity, 90);
}

// A writer's share modes: read sharing lets the check in at once, whatever
// the writer's own access (the check shares writing and deleting); a file
// held without read sharing is tried once more after the delay, then left
// alone; a writer that lets go before the retry gets its file checked.
TEST_F(ContentCheckFixture, AFileHeldByItsWriterIsTriedOnceMoreThenLeftAlone) {
    const DWORD kWrite = GENERIC_READ | GENERIC_WRITE;
    const struct {
        const char* what;
        DWORD access, share;
        bool releaseAfterFirstTry;
        uint64_t retried, abandoned, read;
    } cases[] = {
        {"writer shares reading", kWrite, FILE_SHARE_READ, false, 0, 0, 1},
        {"writer about to delete or rename, sharing reading", kWrite | DELETE, FILE_SHARE_READ, false, 0, 0,
         1},
        {"writer shares everything", kWrite, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, 0,
         0, 1},
        {"writer shares writing and deleting only", kWrite, FILE_SHARE_WRITE | FILE_SHARE_DELETE, false, 1, 1,
         0},
        {"writer shares nothing", kWrite, 0, false, 1, 1, 0},
        {"writer lets go before the retry", kWrite, 0, true, 1, 0, 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ResetContentCheckCounters();
        const std::wstring name = L"held" + std::to_wstring(n++) + L".docx";
        ASSERT_TRUE(WriteFileBytes(Path(name), RandomBytes(9000, 7)));
        HANDLE writer = CreateFileW(Path(name).c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        Batch({Record(FILE_ACTION_MODIFIED, name)});
        if (c.releaseAfterFirstTry) {
            ASSERT_TRUE(WaitFor([] { return gContentCheckCounters.retried.load() == 1; }));
            CloseHandle(writer);
            writer = nullptr;
        }
        ASSERT_TRUE(WaitContentChecksIdle(10000));
        if (writer) CloseHandle(writer);
        EXPECT_EQ(gContentCheckCounters.retried.load(), c.retried);
        EXPECT_EQ(gContentCheckCounters.abandoned.load(), c.abandoned);
        EXPECT_EQ(gContentCheckCounters.read.load(), c.read);
    }
}

// Beyond the limit the oldest work goes; one content_check_dropped line
// tells the whole storm's count once the queue has run empty.
TEST_F(ContentCheckFixture, AStormBeyondTheLimitIsCountedOnce) {
    gContentQueueLimit = 4;
    std::vector<NotifyRecord> storm;
    for (int i = 0; i < 20; ++i)
        storm.push_back(Record(FILE_ACTION_ADDED, L"gone" + std::to_wstring(i) + L".pdf"));
    Batch(storm);  // one hand-over: the worker cannot take any in between
    ASSERT_TRUE(WaitFor([] { return !LinesOfType("content_check_dropped").empty(); }));
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    Batch({Record(FILE_ACTION_ADDED, L"after1.pdf"), Record(FILE_ACTION_ADDED, L"after2.pdf")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    Sleep(100);
    const std::vector<std::string> dropped = LinesOfType("content_check_dropped");
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_NE(dropped[0].find("\"type\":\"content_check_dropped\",\"count\":16}"), std::string::npos)
        << dropped[0];
    EXPECT_EQ(gContentCheckCounters.dropped.load(), 16u);
}

// A stop ends the worker within its bounded wait and drops what waits; the
// next batch starts a new worker; while the core stops, nothing is queued.
TEST_F(ContentCheckFixture, StopEndsTheWorkerAndALaterBatchStartsAnother) {
    ASSERT_TRUE(WriteFileBytes(Path(L"a.docx"), RandomBytes(9000, 1)));
    ASSERT_TRUE(WriteFileBytes(Path(L"b.docx"), RandomBytes(9000, 2)));
    Batch({Record(FILE_ACTION_ADDED, L"a.docx")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    const ULONGLONG before = GetTickCount64();
    StopContentChecks();
    EXPECT_LT(GetTickCount64() - before, 3000u);
    Batch({Record(FILE_ACTION_ADDED, L"b.docx")});
    // The tracker went with the old worker: b.docx is a first file again.
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    EXPECT_EQ(gContentCheckCounters.read.load(), 2u);
    EXPECT_TRUE(LinesOfType("incident_created").empty());

    gCoreState.stopRequested = 1;
    StopContentChecks();
    Batch({Record(FILE_ACTION_ADDED, L"a.docx")});
    EXPECT_EQ(gContentCheckCounters.queued.load(), 2u);
    gCoreState.stopRequested = 0;
}

// Encrypt-and-rename: the new name is no format the check knows, so the
// content is judged against the old name's; a picture renamed to another
// picture format is a conversion. A tail-only encrypted file just written is
// judged on its end only after 2 s of quiet.
TEST_F(ContentCheckFixture, RenamedFilesKeepTheirOldClaimAndTrailersWaitForQuiet) {
    ASSERT_TRUE(WriteFileBytes(Path(L"report.docx.ryk"), CorpusFile("report.docx", 16)));
    ASSERT_TRUE(WriteFileBytes(Path(L"chart.jpg"), CorpusFile("photo.jpg")));
    ASSERT_TRUE(WriteFileBytes(Path(L"summary.bak"), CorpusFile("summary.pdf")));
    Batch({Record(FILE_ACTION_RENAMED_OLD_NAME, L"report.docx"),
           Record(FILE_ACTION_RENAMED_NEW_NAME, L"report.docx.ryk"),
           Record(FILE_ACTION_RENAMED_OLD_NAME, L"chart.png"),
           Record(FILE_ACTION_RENAMED_NEW_NAME, L"chart.jpg"), Record(FILE_ACTION_ADDED, L"summary.bak"),
           Record(FILE_ACTION_REMOVED, L"summary.pdf")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    EXPECT_EQ(gContentCheckCounters.read.load(), 3u);
    std::vector<std::string> checks = LinesOfType("content_check");
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_NE(checks[0].find("\"file\":\"report.docx.ryk\",\"verdict\":\"encrypted_like\""),
              std::string::npos)
        << checks[0];
    EXPECT_NE(checks[0].find(",\"claimed_from\":\"report.docx\"}"), std::string::npos) << checks[0];

    // Everything after the first 4 KiB encrypted, the file written just now.
    ASSERT_TRUE(WriteFileBytes(Path(L"slides.pptx"), CorpusFile("slides.pptx", 4096)));
    const ULONGLONG written = GetTickCount64();
    Batch({Record(FILE_ACTION_MODIFIED, L"slides.pptx")});
    ASSERT_TRUE(WaitFor([] { return LinesOfType("content_check").size() == 2; }, 8000));
    EXPECT_GE(GetTickCount64() - written, 1500u);
    EXPECT_NE(LinesOfType("content_check")[1].find("random-looking end"), std::string::npos)
        << LinesOfType("content_check")[1];
    // The second encrypted-like file of the tree.
    ASSERT_TRUE(WaitFor([] { return !LinesOfType("incident_created").empty(); }));
}

// A slow or spread-out encryptor: one file in each of three watched trees
// makes the incident on the third, where no tree ever holds two.
TEST_F(ContentCheckFixture, ThreeFilesInThreeTreesMakeTheIncident) {
    const wchar_t* const kTrees[] = {L"Desktop", L"Documents", L"Downloads"};
    Sleep(1100);  // past the incident rate limit of one second, whatever test ran before
    for (int i = 0; i < 3; ++i) {
        const std::wstring tree = dir.Sub(kTrees[i]);
        EnsureDirectoryTree(tree);
        ASSERT_TRUE(WriteFileBytes(JoinPath(tree, L"a.docx"), RandomBytes(9000, 30 + i)));
        EXPECT_TRUE(LinesOfType("incident_created").empty()) << i;
        ProcessChangeBatch(tree, {Record(FILE_ACTION_MODIFIED, L"a.docx")});
        ASSERT_TRUE(WaitContentChecksIdle(10000));
    }
    EXPECT_EQ(LinesOfType("content_check").size(), 3u);
    ASSERT_TRUE(WaitFor([] { return !LinesOfType("incident_created").empty(); }));
    const std::vector<IncidentSummary> incidents = Incidents();
    ASSERT_EQ(incidents.size(), 1u);
    EXPECT_EQ(incidents[0].reason, kReasonEncryptedContent);
    EXPECT_EQ(incidents[0].folder, WideToUtf8(dir.Sub(L"Downloads")));
}

// A new file written in one batch and the user file it replaces deleted in a
// later one: the later batch has it checked, against the deleted name.
TEST_F(ContentCheckFixture, AReplacedFileIsCheckedWhenItsOriginalGoesLater) {
    ASSERT_TRUE(WriteFileBytes(Path(L"budget.xlsx.locked"), CorpusFile("budget.xlsx", 0)));
    Batch({Record(FILE_ACTION_ADDED, L"budget.xlsx.locked"),
           Record(FILE_ACTION_MODIFIED, L"budget.xlsx.locked")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    EXPECT_EQ(gContentCheckCounters.queued.load(), 0u);
    Batch({Record(FILE_ACTION_REMOVED, L"budget.xlsx")});
    ASSERT_TRUE(WaitContentChecksIdle(10000));
    const std::vector<std::string> checks = LinesOfType("content_check");
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_NE(checks[0].find("\"file\":\"budget.xlsx.locked\",\"verdict\":\"encrypted_like\""),
              std::string::npos)
        << checks[0];
    EXPECT_NE(checks[0].find(",\"claimed_from\":\"budget.xlsx\"}"), std::string::npos) << checks[0];
}
