// ScoreProcessExtended on arbitrary name, path and command line (the input's
// first two LFs separate them): the fragment is valid JSON whose score is the
// returned one, with known-shaped, distinct signals; the "decoded" member,
// when present, is valid JSON holding valid UTF-8 of at most 200 UTF-16 units;
// an encoded-command payload found is part of the command line.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "core/text.h"
#include "fuzz_support.h"
#include "score_fragment_check.h"
#include "procmon/extended_process_rules.h"

namespace {

void CheckScore(const std::wstring& name, const std::wstring& path, const std::wstring& commandLine) {
    std::string fragment, decoded;
    const int32_t score = ScoreProcessExtended(name, path, commandLine, fragment, decoded);
    CheckScoreFragment(fragment, score);
    if (!decoded.empty()) {
        const nlohmann::json d = nlohmann::json::parse("{" + decoded + "}", nullptr, false);
        FUZZ_CHECK(!d.is_discarded() && d.size() == 1 && d.at("decoded").is_string());
        const std::string text = d.at("decoded").get<std::string>();
        FUZZ_CHECK(IsValidUtf8(text));
        size_t units = 0;
        for (const char c : text) {
            const unsigned char b = static_cast<unsigned char>(c);
            if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
        }
        FUZZ_CHECK(units <= 200);
    }
    std::wstring payload;
    if (FindEncodedCommand(commandLine, false, payload))
        FUZZ_CHECK(commandLine.find(payload) != std::wstring::npos);
    std::u16string text;
    if (DecodeEncodedCommand(payload, text))
        FUZZ_CHECK(!text.empty() && text.size() * 8 <= payload.size() * 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = SplitInto(BytesOf(data, size), '\n', 3);
    CheckScore(Utf8ToWide(parts[0]), Utf8ToWide(parts[1]), Utf8ToWide(parts[2]));
    CheckScore(WideFromUnits16(parts[0]), WideFromUnits16(parts[1]), WideFromUnits16(parts[2]));
    return 0;
}
