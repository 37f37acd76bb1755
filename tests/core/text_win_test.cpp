// UTF-16 specific behaviour and the Windows formatter.
#include <gtest/gtest.h>

#include "core/text.h"

TEST(FormatWide, PercentSMeansAWideString) {
    wchar_t buf[128];
    EXPECT_EQ(FormatWide(buf, 128, L"%s - %s", L"Vellumgard", L"Lite mode"), kFormatOk);
    EXPECT_STREQ(buf, L"Vellumgard - Lite mode");
    EXPECT_EQ(FormatWide(buf, 128, L"%u bytes, %d", 681u, -5), kFormatOk);
    EXPECT_STREQ(buf, L"681 bytes, -5");
}

TEST(FormatWide, CapacityAndTruncation) {
    wchar_t buf[8];
    for (wchar_t& c : buf) c = L'#';
    EXPECT_EQ(FormatWide(buf, 1, L"abc"), kFormatTruncated);
    EXPECT_EQ(buf[0], L'\0');

    EXPECT_EQ(FormatWide(buf, 8, L"%s", L"1234567"), kFormatOk);  // exactly capacity-1
    EXPECT_STREQ(buf, L"1234567");

    EXPECT_EQ(FormatWide(buf, 8, L"%s", L"123456789"), kFormatTruncated);
    EXPECT_STREQ(buf, L"1234567");

    buf[0] = L'#';
    EXPECT_EQ(FormatWide(buf, 0, L"abc"), kFormatInvalidCapacity);
    EXPECT_EQ(buf[0], L'#');  // capacity 0: nothing written

    EXPECT_EQ(FormatWide(buf, size_t(2147483648u), L"abc"), kFormatInvalidCapacity);
    EXPECT_EQ(buf[0], L'\0');
}

TEST(Utf16, SurrogatePairsAndLoneSurrogates) {
    const std::wstring clef = {wchar_t(0xD834), wchar_t(0xDD1E)};  // U+1D11E
    EXPECT_EQ(WideToUtf8(clef), "\xf0\x9d\x84\x9e");
    EXPECT_EQ(Utf8ToWide("\xf0\x9d\x84\x9e"), clef);

    // Lone surrogates are replaced, not rejected, and never yield an empty string.
    EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "\xef\xbf\xbd");
    EXPECT_EQ(WideToUtf8(L"a" + std::wstring(1, wchar_t(0xDC00)) + L"b"), "a\xef\xbf\xbd" "b");
    // Invalid UTF-8 becomes U+FFFD.
    EXPECT_EQ(Utf8ToWide("a\xff" "b"), L"a\xfffd" L"b");
}
