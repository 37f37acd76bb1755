#include "procmon/process_heuristics.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/text.h"

namespace {

struct Case {
    const wchar_t* name;
    const wchar_t* path;
    const wchar_t* commandLine;
    int32_t score;
    const char* fragment;
};

const Case kCases[] = {
    // Clean system process.
    {L"notepad.exe", L"C:\\Windows\\System32\\notepad.exe", L"notepad.exe C:\\notes.txt", 0, "\"score\":0"},
    // Encoded PowerShell from the system folder; -EncodedCommand also contains -enc.
    {L"powershell.exe", L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
     L"powershell.exe -NoProfile -EncodedCommand SQBFAFgA", 60,
     "\"score\":60,\"signals\":[\"script_engine_powershell\",\"encoded_command\"]"},
    {L"powershell_ise.exe", L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell_ise.exe", L"", 25,
     "\"score\":25,\"signals\":[\"script_engine_powershell\"]"},
    {L"pwsh.exe", L"C:\\Program Files\\PowerShell\\7\\pwsh.exe", L"pwsh -c [Convert]::FromBase64String('x')",
     65,
     "\"score\":65,\"signals\":[\"script_engine_powershell\",\"encoded_command\",\"non_windows_system_"
     "drive\"]"},
    // -enc matches longer options too.
    {L"tool.exe", L"C:\\Windows\\tool.exe", L"tool -Encoding utf8", 35,
     "\"score\":35,\"signals\":[\"encoded_command\"]"},
    // wmic.exe sits in two tests; upper case is folded.
    {L"WMIC.exe", L"C:\\Windows\\System32\\wbem\\WMIC.exe", L"wmic process list", 40,
     "\"score\":40,\"signals\":[\"lolbin_tool\",\"backup_or_boot_tool\"]"},
    {L"vssadmin.exe", L"C:\\Windows\\System32\\vssadmin.exe", L"vssadmin delete shadows /all /quiet", 65,
     "\"score\":65,\"signals\":[\"backup_or_boot_tool\",\"shadowcopy_command\"]"},
    {L"wscript.exe", L"C:\\Windows\\SysWOW64\\wscript.exe", L"wscript x.vbs", 20,
     "\"score\":20,\"signals\":[\"script_host\"]"},
    {L"rundll32.exe", L"C:\\Windows\\System32\\rundll32.exe", L"", 20,
     "\"score\":20,\"signals\":[\"lolbin_dll_loader\"]"},
    // cmd.exe needs the exact name, /c, and cipher or compact.
    {L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe", L"cmd.exe /c cipher /w:c:", 25,
     "\"score\":25,\"signals\":[\"cmd_cipher_or_compact\"]"},
    {L"CMD.EXE", L"C:\\Windows\\System32\\cmd.exe", L"CMD /C COMPACT /U", 25,
     "\"score\":25,\"signals\":[\"cmd_cipher_or_compact\"]"},
    {L"cmd2.exe", L"C:\\Windows\\System32\\cmd2.exe", L"cmd.exe /c cipher /w:c:", 0, "\"score\":0"},
    {L"cmd.exe", L"C:\\Windows\\System32\\cmd.exe", L"cmd.exe cipher /w:c:", 0, "\"score\":0"},
    // A non-ASCII capital is not folded, so this is not "cmd.exe".
    {L"\u00C9CMD.EXE", L"C:\\Windows\\System32\\x.exe", L"/c cipher", 0, "\"score\":0"},
    // Core names: only a copy outside the system folders counts.
    {L"svchost.exe", L"C:\\Users\\user\\AppData\\Roaming\\svchost.exe", L"", 50,
     "\"score\":50,\"signals\":[\"user_space_location\",\"core_name_outside_system32\"]"},
    {L"svchost.exe", L"C:\\Windows\\System32\\svchost.exe", L"svchost.exe -k netsvcs", 0, "\"score\":0"},
    {L"svchost.exe", L"C:\\Windows\\SysWOW64\\svchost.exe", L"", 0, "\"score\":0"},
    {L"svchost.exe", L"C:\\Windows\\svchost.exe", L"", 40,
     "\"score\":40,\"signals\":[\"core_name_outside_system32\"]"},
    {L"svchost.exe", L"", L"", 45,
     "\"score\":45,\"signals\":[\"non_windows_system_drive\",\"core_name_outside_system32\"]"},
    {L"svchost.exe.bak", L"C:\\Tools\\svchost.exe.bak", L"", 5,
     "\"score\":5,\"signals\":[\"non_windows_system_drive\"]"},
    // Lure names count only in user space.
    {L"Invoice_2024.exe", L"C:\\Users\\user\\Downloads\\Invoice_2024.exe", L"", 25,
     "\"score\":25,\"signals\":[\"user_space_location\",\"lure_name_in_userspace\"]"},
    {L"Invoice_2024.exe", L"C:\\Tools\\Invoice_2024.exe", L"", 5,
     "\"score\":5,\"signals\":[\"non_windows_system_drive\"]"},
    // A user-space marker wins below the Windows folder too.
    {L"setup.exe", L"C:\\Windows\\Temp\\setup.exe", L"", 10,
     "\"score\":10,\"signals\":[\"user_space_location\"]"},
    {L"", L"", L"", 5, "\"score\":5,\"signals\":[\"non_windows_system_drive\"]"},
    // Every name and command-line test at once: signals in table order, points summed.
    {L"pwsh-cscript-mshta.exe-regsvr32.exe-wmic.exe-delivery", L"C:\\Users\\u\\Desktop\\x.exe",
     L"x -enc AAAA && vssadmin Delete Shadows", 230,
     "\"score\":230,\"signals\":[\"script_engine_powershell\",\"script_host\",\"lolbin_mshta\",\"lolbin_dll_"
     "loader\","
     "\"lolbin_tool\",\"encoded_command\",\"backup_or_boot_tool\",\"shadowcopy_command\",\"user_space_"
     "location\","
     "\"lure_name_in_userspace\"]"},
};

}  // namespace

TEST(ScoreProcess, CaseTable) {
    for (const Case& c : kCases) {
        std::string fragment = "left over from the caller";
        EXPECT_EQ(ScoreProcess(c.name, c.path, c.commandLine, fragment), c.score)
            << WideToUtf8(c.name) << " | " << WideToUtf8(c.path) << " | " << WideToUtf8(c.commandLine);
        EXPECT_EQ(fragment, c.fragment) << WideToUtf8(c.name) << " | " << WideToUtf8(c.path);
        // The monitor wraps the fragment into its event object.
        const auto parsed = nlohmann::json::parse("{" + fragment + "}", nullptr, false);
        ASSERT_TRUE(parsed.is_object()) << fragment;
        EXPECT_EQ(parsed["score"], c.score);
    }
}

TEST(ScoreProcess, EveryCoreNameOutsideTheSystemFolderInAnyAsciiCase) {
    for (const wchar_t* core : CoreProcessNames) {
        std::wstring upper = core;
        for (wchar_t& ch : upper) {
            if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - 0x20);
        }
        std::string fragment;
        EXPECT_EQ(ScoreProcess(upper, L"C:\\Windows\\System32\\" + upper, L"", fragment), 0)
            << WideToUtf8(upper);
        EXPECT_EQ(ScoreProcess(upper, L"D:\\Apps\\" + upper, L"", fragment), 45) << WideToUtf8(upper);
        EXPECT_EQ(fragment,
                  "\"score\":45,\"signals\":[\"non_windows_system_drive\",\"core_name_outside_system32\"]");
    }
}
