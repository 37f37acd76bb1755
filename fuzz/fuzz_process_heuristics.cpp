// ScoreProcess on arbitrary name, path and command line (the input's first
// two LFs separate them): the fragment is always valid JSON whose score is
// the returned one and whose signals are known, distinct names; ASCII letter
// case never changes the score.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "core/text.h"
#include "fuzz_support.h"
#include "score_fragment_check.h"
#include "procmon/process_heuristics.h"

namespace {

std::wstring AsciiUpper(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 0x20);
    return text;
}

void CheckScore(const std::wstring& name, const std::wstring& path, const std::wstring& commandLine) {
    std::string fragment;
    const int32_t score = ScoreProcess(name, path, commandLine, fragment);
    const nlohmann::json parsed = CheckScoreFragment(fragment, score);
    if (parsed.contains("signals"))
        FUZZ_CHECK(parsed.at("signals").is_array() && !parsed.at("signals").empty());
    std::string upperFragment;
    FUZZ_CHECK(ScoreProcess(AsciiUpper(name), AsciiUpper(path), AsciiUpper(commandLine), upperFragment) == score);
    FUZZ_CHECK(upperFragment == fragment);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = SplitInto(BytesOf(data, size), '\n', 3);
    CheckScore(Utf8ToWide(parts[0]), Utf8ToWide(parts[1]), Utf8ToWide(parts[2]));
    CheckScore(WideFromUnits16(parts[0]), WideFromUnits16(parts[1]), WideFromUnits16(parts[2]));
    return 0;
}
