// The configuration's pure half: the default text, the built-in defaults and
// the three key readers, driven by hand-built file contents.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/config.h"

namespace {

// The golden default file, compiled in as bytes by the build.
const unsigned char kGoldenDefaultConfig[] = {
#include "golden/default_config.inc"
};

std::string Golden() {
    return std::string(reinterpret_cast<const char*>(kGoldenDefaultConfig), sizeof kGoldenDefaultConfig);
}

// Builds a content string that may hold NUL bytes.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

}  // namespace

TEST(DefaultConfigText, MatchesTheGoldenFileByteForByte) {
    const std::string golden = Golden();
    ASSERT_EQ(golden.size(), 681u);
    EXPECT_EQ(DefaultConfigText(), golden);
    EXPECT_EQ(std::string(kDefaultConfigText), golden);
    EXPECT_EQ(DefaultConfigText().find('\r'), std::string::npos);
    EXPECT_EQ(DefaultConfigText().front(), '\n');
    EXPECT_EQ(DefaultConfigText().substr(DefaultConfigText().size() - 2), "}\n");
}

TEST(SetConfigDefaults, FillsTheBuiltInDefaultsAndClearsBothTexts) {
    Config c;
    c.canaryFileNames = L"left over";
    c.extraWatchDirs = L"C:\\old";
    c.burstThreshold = -7;
    c.extendedDetection = true;
    SetConfigDefaults(c);
    EXPECT_TRUE(c.enableProcessMonitor);
    EXPECT_TRUE(c.enableDirMonitorDesktop);
    EXPECT_TRUE(c.enableDirMonitorDocuments);
    EXPECT_TRUE(c.enableDirMonitorDownloads);
    EXPECT_EQ(c.burstWindowSeconds, 30);
    EXPECT_EQ(c.burstThreshold, 50);
    EXPECT_EQ(c.fileBurstIncidentSeverity, 80);
    EXPECT_TRUE(c.enableProcessHeuristics);
    EXPECT_EQ(c.processSuspiciousScoreThreshold, 60);
    EXPECT_TRUE(c.enableDirFileHeuristics);
    EXPECT_TRUE(c.ransomNoteHeuristicsEnabled);
    EXPECT_TRUE(c.encryptedExtHeuristicsEnabled);
    EXPECT_EQ(c.dirFileHeuristicIncidentSeverity, 65);
    EXPECT_EQ(c.incidentRateLimitSeconds, 60);
    EXPECT_TRUE(c.enableCanaryFiles);
    EXPECT_EQ(c.canaryIncidentSeverity, 90);
    EXPECT_EQ(c.canaryWarmupSeconds, 10);
    EXPECT_EQ(c.canaryFileNames, L"");
    EXPECT_EQ(c.extraWatchDirs, L"");
    EXPECT_FALSE(c.extendedDetection);
}

// Every key of the default text is found and reads as the table says, even
// with a fallback that differs from it (a misspelt key would give the fallback).
TEST(DefaultConfigText, EveryKeyReadsItsDocumentedValue) {
    const std::string& text = DefaultConfigText();
    const char* const boolKeys[] = {"enableProcessMonitor",    "enableDirMonitorDesktop",      "enableDirMonitorDocuments",
                                    "enableDirMonitorDownloads", "enableProcessHeuristics",     "enableDirFileHeuristics",
                                    "ransomNoteHeuristicsEnabled", "encryptedExtHeuristicsEnabled", "enableCanaryFiles"};
    for (const char* key : boolKeys) EXPECT_TRUE(ConfigReadBool(text, key, false)) << key;

    const struct {
        const char* key;
        int32_t value;
    } intKeys[] = {{"burstWindowSeconds", 30},       {"burstThreshold", 50},
                   {"fileBurstIncidentSeverity", 80}, {"processSuspiciousScoreThreshold", 60},
                   {"dirFileHeuristicIncidentSeverity", 65}, {"incidentRateLimitSeconds", 60},
                   {"canaryIncidentSeverity", 90},   {"canaryWarmupSeconds", 10}};
    for (const auto& k : intKeys) EXPECT_EQ(ConfigReadInt(text, k.key, -1), k.value) << k.key;

    EXPECT_EQ(ConfigReadString(text, "canaryFileNames", "FB"),
              "Vellumgard_DO_NOT_TOUCH.txt|Important_Backup_DO_NOT_DELETE.txt");
    EXPECT_EQ(ConfigReadString(text, "extraWatchDirs", "FB"), "FB");
    // Settings absent from the default file: their fallback comes back.
    EXPECT_FALSE(ConfigReadBool(text, "extendedDetection", false));
    EXPECT_TRUE(ConfigReadBool(text, "extendedDetection", true));
    EXPECT_EQ(text.find("extendedDetection"), std::string::npos);
    EXPECT_EQ(text.find("pauseSuspectPrograms"), std::string::npos);
    EXPECT_EQ(text.find("neverPausePrograms"), std::string::npos);
}

// Finding the value: the first "key" anywhere, the next colon after it, then
// spaces and tabs only. Checked through the integer reader (fallback -1).
TEST(ConfigKeyScan, FindsTheValueByPlainTextSearch) {
    const struct {
        const char* name;
        std::string content;
        int32_t expected;
    } cases[] = {
        {"plain", "{\"burstThreshold\": 7}", 7},
        {"no blank", "{\"burstThreshold\":7}", 7},
        {"blank before colon", "{\"burstThreshold\" : 7}", 7},
        {"tabs and spaces", "{\"burstThreshold\":\t \t 7}", 7},
        {"missing key", "{\"burstWindowSeconds\": 7}", -1},
        {"key differs in case", "{\"BurstThreshold\": 7}", -1},
        {"key without its quotes", "{burstThreshold: 7}", -1},
        {"key is a prefix of another key", "{\"burstThresholdMax\": 7}", -1},
        {"no colon anywhere after the key", "{\"burstThreshold\" 7}", -1},
        {"colon belongs to a later member", "{\"burstThreshold\", \"x\": 7}", 7},
        {"key text first seen as a value", "{\"note\": \"burstThreshold\", \"burstThreshold\": 7}", 7},
        {"that value's next member wins", "{\"note\": \"burstThreshold\", \"x\": 3, \"burstThreshold\": 7}", 3},
        {"escaped quotes are not the needle", "{\"note\": \"\\\"burstThreshold\\\"\", \"burstThreshold\": 7}", 7},
        {"nested object", "{\"outer\": {\"inner\": {\"burstThreshold\": 7}}}", 7},
        {"first duplicate wins", "{\"burstThreshold\": 7, \"burstThreshold\": 9}", 7},
        {"first even when nested", "{\"a\": {\"burstThreshold\": 7}, \"burstThreshold\": 9}", 7},
        {"value on the next line", "{\"burstThreshold\":\n7}", -1},
        {"value after CR LF", "{\"burstThreshold\":\r\n7}", -1},
        {"blank then line break", "{\"burstThreshold\": \n 7}", -1},
        {"vertical tab is not a blank", "{\"burstThreshold\":\v7}", -1},
        {"colon is the last byte", "{\"burstThreshold\":", -1},
        {"blanks up to the end", "{\"burstThreshold\":  \t", -1},
        {"key is the last text", "\"burstThreshold\"", -1},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF{\"burstThreshold\": 7}", 7},
        {"NUL bytes around", Bytes("\0\0{\"burstThreshold\":\0 7}\0"), -1},
        {"NUL before the key", Bytes("\0{\"burstThreshold\": 7}"), 7},
        {"empty content", "", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(ConfigReadInt(c.content, "burstThreshold", -1), c.expected) << c.name;
}

TEST(ConfigReadInt, ReadsSignAndDigitsAndSaturatesBeyond32Bits) {
    const struct {
        const char* value;  // what follows "burstThreshold": in the file
        int32_t expected;   // kFallback: the fallback comes back
    } cases[] = {
        {"50", 50},
        {"-5", -5},
        {"0", 0},
        {"-0", 0},
        {"007", 7},
        {"12abc", 12},
        {"30.5", 30},
        {"1e3", 1},
        {"5,", 5},
        {"5", 5},  // digits up to the very end of the content
        {"\"50\"", 12345},
        {"+5", 12345},
        {"- 5", 12345},
        {"-", 12345},
        {"--5", 12345},
        {"-x", 12345},
        {"null", 12345},
        {"true", 12345},
        {"", 12345},
        {"2147483647", kMax},
        {"2147483648", kMax},
        {"4294967296", kMax},  // would wrap to 0 in plain 32-bit arithmetic
        {"4294967346", kMax},  // would wrap to 50
        {"99999999999999999999999999999999", kMax},
        {"-2147483647", -2147483647},
        {"-2147483648", kMin},
        {"-2147483649", kMin},
        {"-4294967297", kMin},  // would wrap to -1
        {"-99999999999999999999999999999999", kMin},
        {"00000000000000000000000000000042", 42},
        {"2147483647x", kMax},
    };
    for (const auto& c : cases) {
        const std::string content = std::string("{\"burstThreshold\": ") + c.value;
        EXPECT_EQ(ConfigReadInt(content, "burstThreshold", 12345), c.expected) << content;
    }
}

TEST(ConfigReadBool, ComparesOnlyTheFirstFourOrFiveBytesIgnoringCase) {
    enum Want { kFalse, kTrue, kFallback };
    const struct {
        const char* value;  // what follows "enableCanaryFiles": in the file
        Want expected;
    } cases[] = {
        {"true", kTrue},
        {"TRUE", kTrue},
        {"True", kTrue},
        {"tRuE,", kTrue},
        {"trueish", kTrue},
        {"truefalse", kTrue},
        {"false", kFalse},
        {"FALSE", kFalse},
        {"fAlSe}", kFalse},
        {"falsehood", kFalse},
        {"0", kFallback},
        {"1", kFallback},
        {"\"true\"", kFallback},
        {"yes", kFallback},
        {"null", kFallback},
        {"tru", kFallback},   // fewer than 4 bytes left
        {"fals", kFallback},  // fewer than 5 bytes left
        {"t", kFallback},
        {"", kFallback},
        {"tr ue", kFallback},
        {"\ntrue", kFallback},
        {"\xD4RUE", kFallback},  // only ASCII letters fold
    };
    for (const auto& c : cases) {
        const std::string content = std::string("{\"enableCanaryFiles\": ") + c.value;
        for (const bool fallback : {false, true}) {
            const bool want = c.expected == kFallback ? fallback : c.expected == kTrue;
            EXPECT_EQ(ConfigReadBool(content, "enableCanaryFiles", fallback), want)
                << content << " (fallback " << fallback << ")";
        }
    }
    EXPECT_TRUE(ConfigReadBool("{\"x\": 1}", "enableCanaryFiles", true));
    EXPECT_FALSE(ConfigReadBool("{\"x\": 1}", "enableCanaryFiles", false));
}

TEST(ConfigReadString, UnescapesAndStopsAtTheClosingQuoteOrTheEnd) {
    const struct {
        const char* name;
        std::string value;  // what follows "extraWatchDirs": in the file
        std::string expected;
    } cases[] = {
        {"plain", "\"C:\\\\Data\"", "C:\\Data"},
        {"two backslashes in a row", "\"\\\\\\\\server\\\\share\"", "\\\\server\\share"},
        {"empty", "\"\"", ""},
        {"escaped quote", "\"say \\\"hi\\\"\"", "say \"hi\""},
        {"n r t", "\"a\\nb\\rc\\td\"", "a\nb\rc\td"},
        {"slash", "\"a\\/b\"", "a/b"},
        {"u escape stays text", "\"\\u0041\"", "u0041"},
        {"other escapes drop the backslash", "\"\\b\\f\\x\\0\"", "bfx0"},
        {"stops at the first unescaped quote", "\"a\"b\"", "a"},
        {"unterminated", "\"a.txt|b.txt", "a.txt|b.txt"},
        {"unterminated over later members", "\"a.txt, \"burstThreshold\": 7", "a.txt, "},
        {"backslash as the last byte", "\"C:\\", "C:\\"},
        {"escaped quote then the end", "\"abc\\\"", "abc\""},
        {"escaped backslash then the end", "\"abc\\\\", "abc\\"},
        {"lone opening quote at the end", "\"", ""},
        {"UTF-8 and control bytes copied", "\"\xC3\xA9\xE2\x82\xAC\t\x01\n|\"", "\xC3\xA9\xE2\x82\xAC\t\x01\n|"},
        {"embedded NUL copied", Bytes("\"a\0b\""), Bytes("a\0b")},
        {"blanks before the quote", " \t\"x\"", "x"},
        {"null", "null", "FB"},
        {"number", "5", "FB"},
        {"boolean", "true", "FB"},
        {"single quotes", "'x'", "FB"},
        {"on the next line", "\n\"x\"", "FB"},
        {"nothing after the colon", "", "FB"},
    };
    for (const auto& c : cases) {
        const std::string content = "{\"extraWatchDirs\": " + c.value;
        EXPECT_EQ(ConfigReadString(content, "extraWatchDirs", "FB"), c.expected) << c.name;
    }
    EXPECT_EQ(ConfigReadString("{}", "extraWatchDirs", "FB"), "FB");
    EXPECT_EQ(ConfigReadString("{\"extraWatchDirs\" \"x\"}", "extraWatchDirs", "FB"), "FB");
}

// A file cut off anywhere: every member whose line is complete still reads
// as in the whole file, and a cut value never reads beyond the cut.
TEST(ConfigReaders, TruncatedDefaultTextKeepsEveryCompleteMember) {
    const std::string full = DefaultConfigText();
    struct Member {
        const char* key;
        char kind;  // b, i or s
    };
    const Member members[] = {{"enableProcessMonitor", 'b'},
                              {"enableDirMonitorDownloads", 'b'},
                              {"burstWindowSeconds", 'i'},
                              {"burstThreshold", 'i'},
                              {"encryptedExtHeuristicsEnabled", 'b'},
                              {"canaryWarmupSeconds", 'i'},
                              {"canaryFileNames", 's'},
                              {"incidentRateLimitSeconds", 'i'}};
    for (size_t len = 0; len <= full.size(); ++len) {
        const std::string cut(full.data(), len);
        for (const Member& m : members) {
            const size_t keyAt = full.find(std::string("\"") + m.key + "\"");
            const size_t lineEnd = full.find('\n', keyAt);
            const bool complete = lineEnd < len;
            switch (m.kind) {
                case 'b': {
                    const bool v = ConfigReadBool(cut, m.key, false);
                    if (complete) {
                        EXPECT_TRUE(v) << m.key << " at " << len;
                    }
                    break;
                }
                case 'i': {
                    const int32_t v = ConfigReadInt(cut, m.key, -1);
                    if (complete) {
                        EXPECT_EQ(v, ConfigReadInt(full, m.key, -2)) << m.key << " at " << len;
                    }
                    break;
                }
                default: {
                    const std::string v = ConfigReadString(cut, m.key, "FB");
                    const std::string whole = ConfigReadString(full, m.key, "FB");
                    if (complete) {
                        EXPECT_EQ(v, whole) << len;
                    } else if (v != "FB") {
                        EXPECT_EQ(whole.compare(0, v.size(), v), 0) << len;
                    }
                    break;
                }
            }
        }
    }
}
