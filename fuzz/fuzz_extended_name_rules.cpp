// EvaluateRecordExtended over arbitrary record sequences. The first byte picks
// the two switches; each LF-separated line is one record: its first byte the
// action, its second the seconds since the previous record, the rest the name
// (as UTF-8 text, and again as raw 16-bit units). Properties: at most one
// known reason, consistent with the note and extension parts; the switches
// gate verdicts but never what the rules remember (a twin state fed with both
// switches on agrees); the memory stays within its bounds.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "fsmon/extended_name_rules.h"
#include "fuzz_support.h"

namespace {

bool KnownReason(const char* r) {
    for (const char* k : {kReasonAppendedExtension, kReasonReplacedExtension, kReasonRansomNoteLike,
                          kReasonEncryptedLikeExtension, kReasonNoteAndExtension})
        if (r == k) return true;
    return false;
}

void Run(const std::vector<std::pair<int, int64_t>>& steps, const std::vector<std::wstring>& names, bool note,
         bool ext) {
    ExtendedNameState state, twin;
    int64_t now = 1700000000;
    for (size_t i = 0; i < steps.size(); ++i) {
        now += steps[i].second;
        const ExtendedNameVerdict v = EvaluateRecordExtended(state, names[i], steps[i].first, now, note, ext);
        const ExtendedNameVerdict all =
            EvaluateRecordExtended(twin, names[i], steps[i].first, now, true, true);
        FUZZ_CHECK(v.reason == nullptr || KnownReason(v.reason));
        FUZZ_CHECK(v.note == (all.note && note));
        FUZZ_CHECK(v.extReason == (ext ? all.extReason : nullptr));
        FUZZ_CHECK((v.reason == kReasonNoteAndExtension) == (v.note && v.extReason != nullptr));
        FUZZ_CHECK((v.reason == nullptr) == (!v.note && v.extReason == nullptr));
        if (v.reason == kReasonRansomNoteLike) FUZZ_CHECK(v.note && !v.extReason);
        FUZZ_CHECK(v.extReason == nullptr || v.extReason == kReasonAppendedExtension ||
                   v.extReason == kReasonReplacedExtension || v.extReason == kReasonEncryptedLikeExtension);
        FUZZ_CHECK(state.deleted.size() <= kRecentNamesLimit &&
                   state.writtenBases.size() <= kRecentNamesLimit);
        FUZZ_CHECK(state.userFileDeletedIn.size() <= kRecentNamesLimit &&
                   state.unknownWrittenIn.size() <= kRecentNamesLimit);
        FUZZ_CHECK(state.own.notes.size() <= kPoolNoteNamesLimit);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool note = data[0] & 1, ext = data[0] & 2;
    const std::string bytes = BytesOf(data + 1, size - 1);
    std::vector<std::pair<int, int64_t>> steps;
    std::vector<std::wstring> utf8Names, unitNames;
    size_t from = 0;
    while (from < bytes.size() && steps.size() < 512) {
        size_t end = bytes.find('\n', from);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(from, end - from);
        from = end + 1;
        if (line.size() < 2) continue;
        steps.emplace_back(static_cast<unsigned char>(line[0]) % 7, static_cast<unsigned char>(line[1]) % 16);
        utf8Names.push_back(Utf8ToWide(line.substr(2)));
        unitNames.push_back(WideFromUnits16(line.substr(2)));
    }
    Run(steps, utf8Names, note, ext);
    Run(steps, unitNames, note, ext);
    return 0;
}
