// The file-name tests on arbitrary names: as UTF-8 text or as raw 16-bit code
// units (lone surrogates, NULs). Both tests ignore ASCII letter case.
#include <cstdint>
#include <string>

#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "fuzz_support.h"

namespace {

std::wstring AsciiUpper(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 0x20);
    return text;
}

void CheckName(const std::wstring& name) {
    const std::wstring lower = AsciiLower(name);
    FUZZ_CHECK(lower.size() == name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t c = name[i];
        FUZZ_CHECK(lower[i] == ((c >= L'A' && c <= L'Z') ? c + 0x20 : c));
    }
    const bool note = IsRansomNoteLikeName(name);
    const bool ext = HasEncryptedLikeExtension(name);
    FUZZ_CHECK(IsRansomNoteLikeName(lower) == note && IsRansomNoteLikeName(AsciiUpper(name)) == note);
    FUZZ_CHECK(HasEncryptedLikeExtension(lower) == ext && HasEncryptedLikeExtension(AsciiUpper(name)) == ext);
    // Only the part after the last dot counts for the extension test.
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) FUZZ_CHECK(HasEncryptedLikeExtension(L"x" + name.substr(dot)) == ext);
    else FUZZ_CHECK(!ext);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = BytesOf(data, size);
    CheckName(Utf8ToWide(bytes));
    CheckName(WideFromUnits16(bytes));
    return 0;
}
