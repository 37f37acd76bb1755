// Text and time helpers shared by every subsystem.
//
// Paths and user-visible text are wide strings (UTF-16 on Windows); everything
// written to a file is a byte string holding UTF-8. The converters below are
// the only bridge between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Status codes of FormatWide (the same values the platform's safe-string
// functions use).
constexpr uint32_t kFormatOk = 0;
constexpr uint32_t kFormatTruncated = 0x8007007A;
constexpr uint32_t kFormatInvalidCapacity = 0x80070057;

// printf-style formatting into a fixed buffer of `capacity` wide characters,
// terminator included. "%s" takes a wide string (the Microsoft meaning).
// Truncates to capacity-1 characters and reports kFormatTruncated; capacity 0
// or above 2147483647 writes nothing beyond a terminator and reports
// kFormatInvalidCapacity. Windows build only.
uint32_t FormatWide(wchar_t* dest, size_t capacity, const wchar_t* format, ...);

// UTF-16 <-> UTF-8 through the platform converter. Malformed input is replaced,
// not rejected; a failed conversion yields an empty string.
std::string WideToUtf8(const std::wstring& wide);
std::wstring Utf8ToWide(const std::string& utf8);

// Local wall-clock time as YYYY-MM-DDTHH:MM:SS (19 characters, no zone).
std::string NowLocalIso();
// The same form for given parts (core/clock.h).
struct LocalTimeParts;
std::string LocalIso(const LocalTimeParts& parts);

// folder + "\" + name, without doubling a trailing separator of the folder.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Appends one code point as UTF-8; surrogates and values past U+10FFFF
// become U+FFFD.
void AppendUtf8(std::string& out, uint32_t codePoint);

// Escapes bytes for the inside of a JSON string literal. Bytes 0x20 and above
// pass unchanged, so UTF-8 sequences stay as they are.
std::string JsonEscape(const std::string& bytes);
