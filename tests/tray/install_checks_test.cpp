// The install verbs' safety decisions: the elevated token, the purge at a
// link, the system's start-up switch, the agents' mutex names, the absolute
// folder and the helper's sign-in clean-up.
#include "tray/install_checks.h"

#include <gtest/gtest.h>

#include "core/text.h"

TEST(InstallChecks, RefusesOnlyAFullSplitTokenWithoutTheOption) {
    const struct {
        ElevationType token;
        bool allow;
        bool refuse;
    } cases[] = {
        {ElevationType::Full, false, true},           {ElevationType::Full, true, false},
        {ElevationType::Default, false, false},  // UAC off, or a standard user
        {ElevationType::Limited, false, false},       {ElevationType::Unknown, false, false},
        {static_cast<ElevationType>(2), false, true},  // the platform's TokenElevationTypeFull
    };
    for (const auto& c : cases)
        EXPECT_EQ(RefuseElevated(c.token, c.allow), c.refuse) << static_cast<int>(c.token) << c.allow;
}

TEST(InstallChecks, PurgeNeverFollowsALinkAtTheDataFolder) {
    const struct {
        uint32_t attributes;
        PurgeAction action;
    } cases[] = {
        {0xFFFFFFFFu, PurgeAction::Nothing},
        {0x10, PurgeAction::RemoveTree},
        {0x10 | 0x20 | 0x2000, PurgeAction::RemoveTree},  // archive, not indexed
        {0x10 | 0x400, PurgeAction::RemoveFolderLink},    // junction or directory link
        {0x10 | 0x400 | 0x1, PurgeAction::RemoveFolderLink},
        {0x400, PurgeAction::RemoveFileLink},  // a file symbolic link
        {0x20, PurgeAction::Refuse},           // a plain file in its place
        {0x80, PurgeAction::Refuse},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<int>(PurgeActionFor(c.attributes)), static_cast<int>(c.action))
            << std::hex << c.attributes;
}

TEST(InstallChecks, StartupApprovedLowBitMeansTurnedOff) {
    const uint8_t on[12] = {0x02};
    const uint8_t off[12] = {0x03, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x01};
    const uint8_t offOther[12] = {0x07};
    const uint8_t onOther[12] = {0x06};
    const struct {
        bool present;
        uint32_t type;
        const uint8_t* data;
        size_t size;
        StartupSwitch want;
    } cases[] = {
        {false, 3, nullptr, 0, StartupSwitch::NotSet},
        {true, 3, on, sizeof on, StartupSwitch::On},
        {true, 3, off, sizeof off, StartupSwitch::Off},
        {true, 3, offOther, sizeof offOther, StartupSwitch::Off},
        {true, 3, onOther, sizeof onOther, StartupSwitch::On},
        {true, 3, off, 1, StartupSwitch::Off},  // only the first byte decides
        {true, 3, off, 0, StartupSwitch::On},   // empty: no say
        {true, 4, off, 4, StartupSwitch::On},   // REG_DWORD is not the system's format
        {true, 1, off, 4, StartupSwitch::On},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(static_cast<int>(DecodeStartupApproved(c.present, c.type, c.data, c.size)),
                  static_cast<int>(c.want))
            << i;
    }
}

TEST(InstallChecks, MutexNamesFollowThePathNotItsCase) {
    const std::wstring exe = L"C:\\Users\\a\\AppData\\Local\\Programs\\Vellumgard\\Vellumgard.exe";
    const std::wstring name = AgentImageMutexName(exe);
    EXPECT_EQ(name.rfind(L"Local\\Vellumgard.agent.", 0), 0u);
    EXPECT_EQ(name.size(), std::wstring(L"Local\\Vellumgard.agent.").size() + 16);
    EXPECT_EQ(AgentImageMutexName(L"c:\\users\\A\\APPDATA\\local\\programs\\vellumgard\\VELLUMGARD.EXE"),
              name);
    EXPECT_NE(AgentImageMutexName(L"D:\\dl\\Vellumgard.exe"), name);
    // The image and the data folder never share a name, even for one path.
    EXPECT_NE(AgentDataMutexName(exe).substr(22), name.substr(22));
    EXPECT_EQ(AgentDataMutexName(L"C:\\L\\Vellumgard").rfind(L"Local\\Vellumgard.data.", 0), 0u);
    EXPECT_NE(AgentDataMutexName(L"C:\\L\\Vellumgard"), AgentDataMutexName(L"C:\\L\\Vellumgarc"));
}

TEST(InstallChecks, OnlyAnAbsoluteFolderWillDo) {
    const struct {
        const wchar_t* path;
        bool absolute;
    } cases[] = {
        {L"C:\\Users\\a\\AppData\\Local", true},
        {L"c:/Users/a", true},
        {L"Z:\\", true},
        {L"\\\\server\\share\\a", true},
        {L"\\\\server\\share", true},
        {L"", false},
        {L"AppData\\Local", false},
        {L".\\Local", false},
        {L"C:Local", false},     // relative to drive C's current folder
        {L"\\Users\\a", false},  // relative to the current drive
        {L"\\\\server", false},
        {L"\\\\server\\", false},
        {L"\\\\?\\C:\\x", false},
        {L"\\\\.\\C:\\x", false},
        {L"1:\\x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsAbsoluteFolderPath(c.path), c.absolute) << WideToUtf8(c.path);
}

TEST(InstallChecks, HelperCleanupRemovesExactlyItsOwnFolder) {
    const std::wstring folder = L"C:\\Users\\a b\\AppData\\Local\\Temp\\Vellumgard-uninstall-4242";
    EXPECT_EQ(HelperCleanupValueName(folder), L"Vellumgard-uninstall-4242");
    EXPECT_EQ(HelperCleanupValueName(folder + L"\\"), L"Vellumgard-uninstall-4242");
    EXPECT_EQ(HelperCleanupCommand(L"C:\\Windows\\system32\\cmd.exe", folder),
              L"\"C:\\Windows\\system32\\cmd.exe\" /d /q /c rd /s /q \"C:\\Users\\a b\\AppData\\Local\\Temp\\"
              L"Vellumgard-uninstall-4242\"");
}
