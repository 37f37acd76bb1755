#include "fsmon/file_name_heuristics.h"

#include <cstddef>

std::wstring AsciiLower(const std::wstring& text) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + 0x20);
    }
    return out;
}

bool IsRansomNoteLikeName(const std::wstring& relativeName) {
    static const wchar_t* const kTokens[] = {L"readme", L"how_to", L"decrypt", L"recover", L"your_files"};
    const std::wstring folded = AsciiLower(relativeName);
    for (const wchar_t* token : kTokens) {
        if (folded.find(token) != std::wstring::npos) return true;
    }
    return folded.find(L"restore") != std::wstring::npos && folded.find(L"file") != std::wstring::npos;
}

bool HasEncryptedLikeExtension(const std::wstring& relativeName) {
    const size_t dot = relativeName.rfind(L'.');
    if (dot == std::wstring::npos || dot + 1 == relativeName.size()) return false;
    const std::wstring ext = AsciiLower(relativeName.substr(dot + 1));
    if (ext.size() < 5 || ext.size() > 12) return false;
    size_t ordinary = 0;
    for (const wchar_t c : ext) {
        if ((c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9')) ++ordinary;
    }
    return ordinary + 1 >= ext.size();
}
