// The purge of the data folder, in-process under Wine. Wine makes no
// junction or directory link, so a link at the data folder itself is what
// the seam reports: the purge must then remove only the link and leave what
// lies behind the path alone.
#include "tray/installer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "core/text.h"
#include "support/test_support.h"

namespace {

struct LinkSeam {
    std::wstring linkPath;
    uint32_t linkAttributes = 0;
    uint32_t failWith = 0;  // the removal's error; 0: it succeeds
    std::vector<std::pair<std::wstring, bool>> removed;
};
LinkSeam gLink;

uint32_t SeamAttributes(const std::wstring& path) {
    if (path == gLink.linkPath) return gLink.linkAttributes;
    return GetFileAttributesW(path.c_str());
}

bool SeamRemoveLink(const std::wstring& path, bool folder, uint32_t& error) {
    gLink.removed.emplace_back(path, folder);
    error = gLink.failWith;
    return gLink.failWith == 0;
}

class PurgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        gLink = LinkSeam();
        dataDir = dir.Sub(L"Vellumgard");
        ASSERT_TRUE(CreateDirectoryW(dataDir.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(JoinPath(dataDir, L"Incidents").c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(JoinPath(dataDir, L"Vellumgard.log.jsonl"), "line\n"));
        ASSERT_TRUE(WriteFileBytes(JoinPath(dataDir, L"Incidents\\incident.json"), "{}"));
    }
    void TearDown() override { gInstallerSeams = InstallerSeams(); }

    TempDir dir;
    std::wstring dataDir;
};

}  // namespace

// What lies behind a link at the data folder stands for the link's target:
// none of it is touched, only the link goes (as a folder or a file link).
TEST_F(PurgeTest, ALinkAtTheDataFolderIsRemovedAsALinkOnly) {
    gInstallerSeams.fileAttributes = SeamAttributes;
    gInstallerSeams.removeLink = SeamRemoveLink;
    const struct {
        uint32_t attributes;
        bool folder;
    } links[] = {{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, true},
                 {FILE_ATTRIBUTE_REPARSE_POINT, false}};
    for (const auto& link : links) {
        gLink.linkPath = dataDir;
        gLink.linkAttributes = link.attributes;
        gLink.removed.clear();
        const StepOutcome o = PurgeDataFolder(dataDir);
        EXPECT_EQ(o.result, StepResult::LinkRemoved);
        ASSERT_EQ(gLink.removed.size(), 1u);
        EXPECT_EQ(gLink.removed.front().first, dataDir);
        EXPECT_EQ(gLink.removed.front().second, link.folder);
        EXPECT_EQ(ReadFileBytes(JoinPath(dataDir, L"Vellumgard.log.jsonl")), "line\n");
        EXPECT_EQ(ReadFileBytes(JoinPath(dataDir, L"Incidents\\incident.json")), "{}");
    }

    // A link that cannot be removed: the purge fails with the platform's code, still following nothing.
    gLink.failWith = ERROR_ACCESS_DENIED;
    const StepOutcome o = PurgeDataFolder(dataDir);
    EXPECT_EQ(o.result, StepResult::Failed);
    EXPECT_EQ(o.error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(PathExists(JoinPath(dataDir, L"Incidents\\incident.json")));
}

// A real folder goes with everything below it, read-only files included; a
// plain file where the folder should be is not ours and stays.
TEST_F(PurgeTest, ARealFolderGoesAndAFileInItsPlaceStays) {
    const std::wstring readOnly = JoinPath(dataDir, L"Incidents\\report.html");
    ASSERT_TRUE(WriteFileBytes(readOnly, "x"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    StepOutcome o = PurgeDataFolder(dataDir);
    EXPECT_EQ(o.result, StepResult::Done);
    EXPECT_FALSE(PathExists(dataDir));

    o = PurgeDataFolder(dataDir);
    EXPECT_EQ(o.result, StepResult::Absent);

    ASSERT_TRUE(WriteFileBytes(dataDir, "not a folder"));
    o = PurgeDataFolder(dataDir);
    EXPECT_EQ(o.result, StepResult::Failed);
    EXPECT_EQ(o.error, static_cast<uint32_t>(ERROR_DIRECTORY));
    EXPECT_EQ(ReadFileBytes(dataDir), "not a folder");
}
