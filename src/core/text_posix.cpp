// Native stand-in for the platform converter, used by the host build of the
// pure modules (sanitizers, fuzzers). wchar_t holds one code point here; like
// the Windows converter, malformed input becomes U+FFFD instead of failing.
#include <cstdint>

#include "core/text.h"


std::string WideToUtf8(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (const wchar_t w : wide) AppendUtf8(out, static_cast<uint32_t>(w));
    return out;
}

std::wstring Utf8ToWide(const std::string& utf8) {
    std::wstring out;
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            out += static_cast<wchar_t>(c);
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F; extra = 1; min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F; extra = 2; min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07; extra = 3; min = 0x10000;
        } else {
            out += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= extra && i + k < n; ++k) {
            const unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
            if ((cc & 0xC0) != 0x80) break;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (k != extra + 1 || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += static_cast<wchar_t>(0xFFFD);
            i += (k > 1) ? k : 1;
            continue;
        }
        out += static_cast<wchar_t>(cp);
        i += extra + 1;
    }
    return out;
}
