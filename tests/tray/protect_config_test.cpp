// The config edit of --install --protect: both keys end up true for the
// agent's own key reader, and every other byte stays where it was.
#include "tray/protect_config.h"

#include <gtest/gtest.h>

#include <string>

#include "core/config.h"

namespace {

// The agent reads both keys as on.
void ExpectBothOn(const std::string& out, const char* what) {
    for (const char* key : kProtectKeys) EXPECT_TRUE(ConfigReadBool(out, key, false)) << what << ": " << out;
}

}  // namespace

TEST(ProtectConfig, TheDefaultFileGainsBothKeysAtTheEnd) {
    std::string out;
    ASSERT_TRUE(AddProtectSettings(DefaultConfigText(), out));
    std::string expected = DefaultConfigText();
    const std::string tail = "  \"incidentRateLimitSeconds\": 60\n}\n";
    ASSERT_EQ(expected.substr(expected.size() - tail.size()), tail);
    expected.replace(expected.size() - tail.size(), tail.size(),
                     "  \"incidentRateLimitSeconds\": 60,\n  \"extendedDetection\": true,\n"
                     "  \"pauseSuspectPrograms\": true\n}\n");
    EXPECT_EQ(out, expected);

    // Blank content is taken as the default file; done twice, nothing changes.
    std::string blank;
    ASSERT_TRUE(AddProtectSettings(" \r\n", blank));
    EXPECT_EQ(blank, expected);
    std::string again;
    ASSERT_TRUE(AddProtectSettings(out, again));
    EXPECT_EQ(again, out);
}

TEST(ProtectConfig, AddsOrReplacesKeepingEveryOtherByte) {
    struct Case {
        const char* what;
        std::string in;
        std::string out;
    } cases[] = {
        {"both present and off",
         "{\n  \"extendedDetection\": false,\n  \"burstThreshold\": 5,\n  "
         "\"pauseSuspectPrograms\":\tFALSE\n}\n",
         "{\n  \"extendedDetection\": true,\n  \"burstThreshold\": 5,\n  "
         "\"pauseSuspectPrograms\":\ttrue\n}\n"},
        {"one present as a string, the other absent, CRLF line ends",
         "{\r\n  \"extendedDetection\": \"no, \\\"never\\\"\",\r\n  \"burstThreshold\": 5\r\n}\r\n",
         "{\r\n  \"extendedDetection\": true,\r\n  \"burstThreshold\": 5,\r\n  \"pauseSuspectPrograms\": "
         "true\r\n}\r\n"},
        {"a value missing after the colon", "{\"extendedDetection\":\n\"pauseSuspectPrograms\": true}",
         "{\"extendedDetection\":true\n\"pauseSuspectPrograms\": true}"},
        {"an empty object", "{}", "{\n  \"extendedDetection\": true,\n  \"pauseSuspectPrograms\": true\n}"},
        {"a brace right after the last member", "{\"a\": 1}",
         "{\"a\": 1,\n  \"extendedDetection\": true,\n  \"pauseSuspectPrograms\": true\n}"},
        {"a trailing comma already there", "{\n  \"a\": 1,\n}\n",
         "{\n  \"a\": 1,\n  \"extendedDetection\": true,\n  \"pauseSuspectPrograms\": true\n}\n"},
        {"a longer key is not the key", "{\n  \"extendedDetectionOld\": false\n}",
         "{\n  \"extendedDetectionOld\": false,\n  \"extendedDetection\": true,\n  \"pauseSuspectPrograms\": "
         "true\n}"},
        {"the key twice: the first is the one read",
         "{\"extendedDetection\": 0, \"extendedDetection\": false}",
         "{\"extendedDetection\": true, \"extendedDetection\": false,\n  \"pauseSuspectPrograms\": true\n}"},
    };
    for (const Case& c : cases) {
        std::string out = "stale";
        ASSERT_TRUE(AddProtectSettings(c.in, out)) << c.what;
        EXPECT_EQ(out, c.out) << c.what;
        ExpectBothOn(out, c.what);
    }

    std::string out = "untouched";
    EXPECT_FALSE(AddProtectSettings("\"extendedDetection\": false", out)) << "no object to add to";
    EXPECT_EQ(out, "untouched");
}
