#include "core/text.h"

#include <cstdio>

#include "core/clock.h"

std::string NowLocalIso() {
    return LocalIso(NowLocalParts());
}

std::string LocalIso(const LocalTimeParts& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) return name;
    if (name.empty()) return folder;
    const wchar_t last = folder.back();
    if (last == L'\\' || last == L'/') return folder + name;
    return folder + L'\\' + name;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string JsonEscape(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + 16);
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            case 0x22: out += "\\\""; break;
            case 0x5C: out += "\\\\"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    return out;
}
