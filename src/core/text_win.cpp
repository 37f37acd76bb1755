// The Windows half of the text helpers: the platform converter and the
// safe-string formatter (which keeps "%s" meaning a wide string, unlike the
// C99 wide printf family that MinGW's libstdc++ switches on).
#include <windows.h>
#include <strsafe.h>

#include <cstdarg>

#include "core/text.h"

uint32_t FormatWide(wchar_t* dest, size_t capacity, const wchar_t* format, ...) {
    if (capacity == 0 || capacity > STRSAFE_MAX_CCH) {
        if (capacity != 0 && dest) dest[0] = L'\0';
        return kFormatInvalidCapacity;
    }
    va_list args;
    va_start(args, format);
    const HRESULT hr = StringCchVPrintfW(dest, capacity, format, args);
    va_end(args);
    if (SUCCEEDED(hr)) return kFormatOk;
    // Any failure leaves the first capacity-1 characters and a terminator.
    dest[capacity - 1] = L'\0';
    return kFormatTruncated;
}

std::string WideToUtf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int len = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), len, &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Utf8ToWide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int len = static_cast<int>(utf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), len, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), len, &out[0], size);
    return out;
}
