// Shared by the fuzz targets: a property check that aborts (so libFuzzer
// saves the input), input splitting and the wide-text views of raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "property violated: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

inline std::string BytesOf(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Little-endian 16-bit code units, as the Windows build sees names: lone
// surrogates and NULs included. An odd last byte is dropped.
inline std::wstring WideFromUnits16(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned lo = static_cast<unsigned char>(bytes[i]);
        const unsigned hi = static_cast<unsigned char>(bytes[i + 1]);
        out += static_cast<wchar_t>(lo | (hi << 8));
    }
    return out;
}

// Splits on the first `parts - 1` occurrences of sep; the last part takes the rest.
inline std::vector<std::string> SplitInto(const std::string& bytes, char sep, size_t parts) {
    std::vector<std::string> out;
    size_t from = 0;
    while (out.size() + 1 < parts) {
        const size_t at = bytes.find(sep, from);
        if (at == std::string::npos) break;
        out.push_back(bytes.substr(from, at - from));
        from = at + 1;
    }
    out.push_back(bytes.substr(from));
    out.resize(parts);
    return out;
}

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool IsValidUtf8(const std::string& s) {
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        uint32_t cp = 0, min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1; cp = c & 0x1F; min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2; cp = c & 0x0F; min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3; cp = c & 0x07; min = 0x10000;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}
