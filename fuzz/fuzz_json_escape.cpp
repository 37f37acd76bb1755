// JsonEscape on arbitrary bytes: the output never holds a raw control byte,
// an unescaped quote or a lone backslash; for valid UTF-8 a real JSON parser
// reads it back as the input; the incident reader always does.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "core/config.h"
#include "core/text.h"
#include "fuzz_support.h"
#include "incidents/incident_scanner.h"

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

void CheckStringContent(const std::string& out) {
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        FUZZ_CHECK(c >= 0x20);
        FUZZ_CHECK(c != '"');
        if (c != '\\') continue;
        FUZZ_CHECK(i + 1 < out.size());
        const char e = out[++i];
        if (e == 'u') {
            FUZZ_CHECK(i + 4 < out.size());
            for (size_t k = 1; k <= 4; ++k) FUZZ_CHECK(IsHex(out[i + k]));
            i += 4;
        } else {
            FUZZ_CHECK(e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
                       e == 't');
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = BytesOf(data, size);
    const std::string out = JsonEscape(in);
    CheckStringContent(out);

    const std::string literal = "\"" + out + "\"";
    if (IsValidUtf8(in)) {
        const nlohmann::json parsed = nlohmann::json::parse(literal, nullptr, false);
        FUZZ_CHECK(!parsed.is_discarded());
        FUZZ_CHECK(parsed.is_string() && parsed.get<std::string>() == in);
    }

    const std::string object = "{\"k\":" + literal + "}";
    FUZZ_CHECK(ReadJsonStringValue(object, "k") == in);
    // The settings reader knows only \n \r \t and \" \\, so it round-trips
    // text without the other control bytes.
    bool plain = true;
    for (const char ch : in) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t') plain = false;
    }
    if (plain) FUZZ_CHECK(ConfigReadString(object, "k", "\x01") == in);
    return 0;
}
