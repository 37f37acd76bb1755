// The spelling-variation rules on arbitrary text. NormaliseCommandLine never
// grows the text and leaves no quote, tab, line break or no-break space, no
// two spaces in a row and none at either end; FoldLookAlikes never grows a
// name; ImitatedCoreName names a core process other than the name itself or
// nothing. With version resource names (the input's first two LFs separate
// name, claimed name and command line) the score is never below the score of
// the name alone, and its fragment is well formed.
#include <cstdint>
#include <string>

#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "fuzz_support.h"
#include "procmon/command_line_normaliser.h"
#include "procmon/extended_process_rules.h"
#include "procmon/process_heuristics.h"
#include "score_fragment_check.h"

namespace {

void Check(const std::wstring& name, const std::wstring& claimed, const std::wstring& commandLine) {
    const std::wstring n = NormaliseCommandLine(commandLine);
    FUZZ_CHECK(n.size() <= commandLine.size());
    for (size_t i = 0; i < n.size(); ++i) {
        const wchar_t c = n[i];
        FUZZ_CHECK(c != L'"' && c != L'\'' && c != L'\t' && c != L'\r' && c != L'\n' && c != 0x00A0);
        FUZZ_CHECK(!(c == L' ' && (i == 0 || i + 1 == n.size() || n[i + 1] == L' ')));
    }
    FUZZ_CHECK(FoldLookAlikes(name).size() <= name.size());
    bool slip = false;
    const std::wstring imitated = ImitatedCoreName(name, &slip);
    if (!imitated.empty()) {
        bool core = false;
        for (const wchar_t* c : CoreProcessNames) core = core || imitated == c;
        FUZZ_CHECK(core && AsciiLower(name) != imitated);
    } else {
        FUZZ_CHECK(!slip);
    }

    std::string alone, withClaim, decoded;
    const int32_t a = ScoreProcessExtended(name, L"", commandLine, alone, decoded);
    const int32_t b = ScoreProcessExtended(name, claimed, claimed, L"", commandLine, withClaim, decoded);
    CheckScoreFragment(withClaim, b);
    FUZZ_CHECK(b >= a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = SplitInto(BytesOf(data, size), '\n', 3);
    Check(Utf8ToWide(parts[0]), Utf8ToWide(parts[1]), Utf8ToWide(parts[2]));
    Check(WideFromUnits16(parts[0]), WideFromUnits16(parts[1]), WideFromUnits16(parts[2]));
    return 0;
}
