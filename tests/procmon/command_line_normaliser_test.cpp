#include "procmon/command_line_normaliser.h"

#include <gtest/gtest.h>

#include <string>

#include "core/text.h"

TEST(NormaliseCommandLine, UndoesWhatTheTargetProgramRemovesItself) {
    const struct {
        const char* what;
        std::wstring in, out;
    } cases[] = {
        {"empty", L"", L""},
        {"doubled blank", L"vssadmin delete  shadows", L"vssadmin delete shadows"},
        {"tabs, line breaks and a no-break space", L"a\tb\r\nc\u00A0d", L"a b c d"},
        {"blanks at either end go", L"  \tcmd /c x \t", L"cmd /c x"},
        {"quoted switch", L"powershell -\"enc\" QQBCAA==", L"powershell -enc QQBCAA=="},
        {"quotes inside a word", L"cmd /c \"vss\"admin delete \"shad\"ows",
         L"cmd /c vssadmin delete shadows"},
        {"single quotes", L"-c 'Clear-EventLog'", L"-c Clear-EventLog"},
        {"carets", L"v^s^s^a^d^m^i^n d^e^l^e^t^e", L"vssadmin delete"},
        {"a doubled caret leaves one", L"findstr a^^b", L"findstr a^b"},
        {"a caret at the end", L"echo x^", L"echo x"},
        {"backticks", L"I`E`X (x)", L"IEX (x)"},
        {"a doubled backtick leaves one", L"a``b", L"a`b"},
        {"concatenation", L"('Down'+'loadString')", L"DownloadString"},
        {"concatenation with blanks and mixed quotes", L"x.('Down' +  \"load\"+ 'String')",
         L"x.DownloadString"},
        {"concatenated program", L"& ('vss'+'admin') delete", L"& vssadmin delete"},
        {"escaped double quotes", L"(\\\"Down\\\"+\\\"loadString\\\")", L"DownloadString"},
        {"a call keeps its parentheses", L".Invoke('http://x/a')", L".Invoke(http://x/a)"},
        {"a call after a concatenation", L".('Down'+'loadString').Invoke('u')", L".DownloadString.Invoke(u)"},
        {"concatenation with a variable is not joined", L"'a' + $b", L"a + $b"},
        {"unterminated literal", L"('abc", L"(abc"},
        {"a parenthesis at the end", L"x (", L"x ("},
        {"dashes PowerShell accepts", L"powershell \u2013e x \u2014c \u2015f", L"powershell -e x -c -f"},
        {"case is kept", L"PowerShell -EnC AbC=", L"PowerShell -EnC AbC="},
        {"a plus outside literals stays", L"a + b", L"a + b"},
    };
    for (const auto& c : cases) EXPECT_EQ(NormaliseCommandLine(c.in), c.out) << c.what;
}

TEST(FoldLookAlikes, LettersAndTheirStandIns) {
    const struct {
        std::wstring a, b;
        bool same;
    } cases[] = {
        {L"SVCH0ST.EXE", L"svchost.exe", true},
        {L"Isass.exe", L"lsass.exe", true},
        {L"1sass.exe", L"lsass.exe", true},
        {L"winl0g0n.exe", L"winlogon.exe", true},
        {L"wlninit.exe", L"wininit.exe", true},
        {L"5ervice$.exe", L"services.exe", true},
        {L"s3rvic3s.exe", L"services.exe", true},
        {L"c\u0455r\u0455\u0455.exe", L"csrss.exe", true},  // Cyrillic dze
        {L"svch\u043Est.exe", L"svchost.exe", true},        // Cyrillic o
        {L"\u0421SRSS.EXE", L"csrss.exe", true},            // Cyrillic capital es
        {L"svch\u03BFst.exe", L"svchost.exe", true},        // Greek omicron
        {L"rnicro.exe", L"micro.exe", true},
        {L"vvinlogon.exe", L"winlogon.exe", true},
        {L"svchost.exe", L"svchosts.exe", false},
        {L"notepad.exe", L"svchost.exe", false},
        {L"sms.exe", L"smss.exe", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FoldLookAlikes(c.a) == FoldLookAlikes(c.b), c.same)
            << WideToUtf8(c.a) << " / " << WideToUtf8(c.b);
}

TEST(ImitatedCoreName, LookAlikesAndSlipsButNeverTheNameItself) {
    const struct {
        std::wstring name;
        const wchar_t* imitated;  // empty: none
        bool slip;
    } cases[] = {
        {L"svch0st.exe", L"svchost.exe", false},
        {L"SVCH\u041EST.EXE", L"svchost.exe", false},
        {L"Isass.exe", L"lsass.exe", false},
        {L"winIogon.exe", L"winlogon.exe", false},
        {L"scvhost.exe", L"svchost.exe", true},  // neighbours swapped
        {L"lsasss.exe", L"lsass.exe", true},     // a letter doubled
        {L"csrsss.exe", L"csrss.exe", true},
        {L"lsas.exe", L"lsass.exe", true},        // a doubled letter single
        {L"svhost.exe", L"svchost.exe", true},    // an inner letter left out
        {L"svchosts.exe", L"svchost.exe", true},  // a letter added
        {L"winlogonn.exe", L"winlogon.exe", true},
        {L"svch0sst.exe", L"svchost.exe", true},  // look-alike and slip together
        {L"svchost", L"", false},                 // no extension: the stem is a core stem, not a slip
        {L"svchost.exe", L"", false},
        {L"SvcHost.EXE", L"", false},
        {L"smss.exe", L"", false},
        {L"sms.exe", L"", false},  // four-letter stems take no slips
        {L"smsss.exe", L"", false},
        {L"service.exe", L"", false},  // the last letter left out is no inner one
        {L"services.exe", L"", false},
        {L"wininet.exe", L"", false},  // one letter changed
        {L"winlogin.exe", L"", false},
        {L"lsass.dll", L"", false},  // another extension
        {L"scvhost.dll", L"", false},
        {L"svchost.exe.exe", L"", false},
        {L"notepad.exe", L"", false},
        {L"", L"", false},
    };
    for (const auto& c : cases) {
        bool slip = !c.slip;
        EXPECT_EQ(ImitatedCoreName(c.name, &slip), c.imitated) << WideToUtf8(c.name);
        EXPECT_EQ(slip, c.slip) << WideToUtf8(c.name);
    }
}
