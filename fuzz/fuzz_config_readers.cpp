// The configuration key readers on arbitrary file content, with the real keys
// and with a key taken from the input (quotes, colons and NULs included).
#include <cstdint>
#include <limits>
#include <string>

#include "core/config.h"
#include "fuzz_support.h"

namespace {

// Saturating decimal value of the digits at pos, computed on the digit text
// rather than by accumulation.
int32_t ReferenceInt(const std::string& content, size_t pos, bool& any) {
    bool negative = false;
    if (pos < content.size() && content[pos] == '-') {
        negative = true;
        ++pos;
    }
    size_t end = pos;
    while (end < content.size() && content[end] >= '0' && content[end] <= '9') ++end;
    any = end > pos;
    std::string digits = content.substr(pos, end - pos);
    const size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? "0" : digits.substr(first);
    const std::string limit = negative ? "2147483648" : "2147483647";
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit))
        return negative ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
    const int64_t v = std::stoll(digits);
    return static_cast<int32_t>(negative ? -v : v);
}

void CheckKey(const std::string& content, const std::string& key) {
    // Where the value starts, found independently of the readers.
    size_t value = std::string::npos;
    const size_t at = content.find("\"" + key + "\"");
    if (at != std::string::npos) {
        value = content.find(':', at);
        if (value != std::string::npos) {
            ++value;
            while (value < content.size() && (content[value] == ' ' || content[value] == '\t')) ++value;
        }
    }

    const bool t = ConfigReadBool(content, key, true);
    const bool f = ConfigReadBool(content, key, false);
    if (value == std::string::npos) FUZZ_CHECK(t && !f);
    FUZZ_CHECK(t || !f);  // a recognised word gives the same answer under both fallbacks

    const int32_t a = ConfigReadInt(content, key, 7);
    const int32_t b = ConfigReadInt(content, key, -7);
    if (value == std::string::npos) {
        FUZZ_CHECK(a == 7 && b == -7);
    } else {
        bool any = false;
        const int32_t want = ReferenceInt(content, value, any);
        FUZZ_CHECK(any ? (a == want && b == want) : (a == 7 && b == -7));
    }

    const std::string s = ConfigReadString(content, key, "\x01" "fallback");
    if (value == std::string::npos || value >= content.size() || content[value] != '"') {
        FUZZ_CHECK(s == "\x01" "fallback");
    } else {
        FUZZ_CHECK(s.size() <= content.size() - value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content = BytesOf(data, size);
    static const char* const kKeys[] = {"enableProcessMonitor", "burstWindowSeconds", "canaryFileNames",
                                        "extraWatchDirs", "incidentRateLimitSeconds", ""};
    for (const char* key : kKeys) CheckKey(content, key);
    // First line = key, the rest = content.
    const size_t cut = content.find('\n');
    if (cut != std::string::npos && cut <= 64) CheckKey(content.substr(cut + 1), content.substr(0, cut));
    return 0;
}
