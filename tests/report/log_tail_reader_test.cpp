// The backwards tail reader against the whole-file reader (FeedLogTail and
// FinishLogTail), which stays the reference: the same lines on every file,
// and a cost of the returned lines plus one block whatever the file's size.
#include "report/log_tail_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "report/report_compose.h"

namespace {

using Lines = std::vector<std::string>;

Lines WholeFileTail(const std::string& bytes) {
    LogTailCollector collector;
    FeedLogTail(collector, bytes.data(), bytes.size());
    return FinishLogTail(collector);
}

// Bytes the returned lines stand for in the file: each with its LF (and a CR
// the reader removed).
uint64_t LineBytes(const Lines& lines) {
    uint64_t n = 0;
    for (const std::string& l : lines) n += l.size() + 2;
    return n;
}

// A small deterministic generator, so a failing case can be rebuilt.
struct Rng {
    uint64_t s;
    uint32_t Next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    }
};

// A log of `count` lines shaped by `seed`: JSON-like lines, some with CRLF,
// some empty, some longer than a block, some with invalid UTF-8, CRs inside
// and lone CRs, and (by seed) a last line without its LF.
std::string GeneratedLog(uint32_t seed, int count, size_t longLine) {
    Rng rng{seed};
    std::string out;
    for (int i = 0; i < count; ++i) {
        const uint32_t kind = rng.Next() % 10;
        std::string line =
            "{\"ts\":\"2026-01-01T00:00:00\",\"type\":\"dir_change\",\"i\":" + std::to_string(i);
        if (kind == 0) line.clear();
        if (kind == 1) line += std::string(longLine, 'L');
        if (kind == 2) line += "\xFF\xFE\xC3 \xE2\x82";
        if (kind == 3) line += "a\rb";
        out += line;
        out += (kind == 4 || kind == 5) ? "\r\n" : (kind == 6 ? "\r\r\n" : "\n");
    }
    if (seed % 3 == 0) out += "tail without LF \xC3\xA9";
    if (seed % 3 == 1) out += "\r";
    return out;
}

}  // namespace

TEST(LogTailReader, HandBuiltFilesGiveTheWholeFileReadersLines) {
    const std::string cases[] = {
        "",
        "a",
        "a\n",
        "\n",
        "\n\n",
        "\na",
        "a\r\n\r\nb\r",
        "a\r\r\n",
        "x\ry\nz",
        "\r",
        "\r\n",
        "only one long line without any LF at all",
        std::string(300, 'x') + "\n" + std::string(5, 'y'),
        "\xFF\n\xC3\n\xE2\x82\r\n",
    };
    for (const std::string& bytes : cases) {
        for (size_t block : {1, 2, 3, 7, 64, 65536}) {
            SCOPED_TRACE(::testing::PrintToString(bytes) + " block " + std::to_string(block));
            const TailReadResult r = ReadTailBackwardsFrom(bytes, kLogTailLines, block);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.lines, WholeFileTail(bytes));
            EXPECT_TRUE(r.reachedStart);
        }
    }
}

// Generated logs of every shape, read with blocks smaller and larger than the
// lines and the file; also with fewer lines asked for than the reference
// keeps, where the answer must be the reference's newest lines.
TEST(LogTailReader, GeneratedLogsGiveTheWholeFileReadersLinesAtBoundedCost) {
    for (uint32_t seed = 0; seed < 24; ++seed) {
        for (int count : {0, 1, 199, 200, 201, 900}) {
            const std::string log = GeneratedLog(seed, count, seed % 2 ? 5000 : 70);
            const Lines reference = WholeFileTail(log);
            for (size_t block : {3, 64, 4096, 65536}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + " count " + std::to_string(count) + " block " +
                             std::to_string(block));
                const TailReadResult r = ReadTailBackwardsFrom(log, kLogTailLines, block);
                ASSERT_TRUE(r.ok);
                ASSERT_EQ(r.lines, reference);
                EXPECT_LE(r.bytesRead, LineBytes(r.lines) + block);
                for (size_t want : {size_t(1), size_t(17)}) {
                    const TailReadResult few = ReadTailBackwardsFrom(log, want, block);
                    const size_t n = std::min(want, reference.size());
                    ASSERT_EQ(few.lines, Lines(reference.end() - n, reference.end()));
                    EXPECT_LE(few.bytesRead, LineBytes(few.lines) + block);
                }
            }
        }
    }
}

// However large the file, the reader touches its end only.
TEST(LogTailReader, CostDoesNotGrowWithTheFile) {
    std::string line = "{\"type\":\"dir_change\",\"file\":\"" + std::string(150, 'f') + "\"}\n";
    std::string small, large;
    for (int i = 0; i < 1000; ++i) small += line;
    for (int i = 0; i < 100000; ++i) large += line;
    const TailReadResult a = ReadTailBackwardsFrom(small, kLogTailLines, kLogTailBlockBytes);
    const TailReadResult b = ReadTailBackwardsFrom(large, kLogTailLines, kLogTailBlockBytes);
    EXPECT_EQ(a.lines, b.lines);
    EXPECT_EQ(a.bytesRead, b.bytesRead);
    EXPECT_LE(b.bytesRead, LineBytes(b.lines) + kLogTailBlockBytes);
    EXPECT_FALSE(b.reachedStart);
}

namespace {
bool FailingRead(void*, uint64_t offset, char*, size_t) {
    return offset > 10;
}
}  // namespace

TEST(LogTailReader, AFailedReadGivesNoLines) {
    const TailReadResult r = ReadTailBackwards(100, kLogTailLines, 8, FailingRead, nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.lines.empty());
}
