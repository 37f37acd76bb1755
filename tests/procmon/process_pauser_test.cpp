// Pausing a real writer under Wine: copies of the stand-in writer encrypt
// documents in a folder (or write new files, as an export does); the handle
// listing sees the file they hold for writing, the evidence rule accepts the
// encryptor's handle and not the everyday writer's, and a suspended writer
// changes nothing until it is resumed.
#include "procmon/process_pauser.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/paths.h"
#include "core/text.h"
#include "fsmon/file_name_heuristics.h"
#include "procmon/handle_listing.h"
#include "procmon/pause_rules.h"
#include "procmon/process_memory.h"
#include "support/stand_in.h"
#include "support/test_support.h"

namespace {

std::wstring TempFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring dir = JoinPath(std::wstring(temp, n), name + std::to_wstring(GetCurrentProcessId()));
    CreateDirectoryW(dir.c_str(), nullptr);
    CreateDirectoryW(JoinPath(dir, L"sub").c_str(), nullptr);
    return dir;
}

// Plain documents, 32 KB each, half of them in a subfolder.
std::vector<std::wstring> PlantDocuments(const std::wstring& dir, int count) {
    std::vector<std::wstring> files;
    std::string text;
    while (text.size() < 32 * 1024) text += "Minutes of the meeting: budget, schedule and the next steps.\n";
    for (int i = 0; i < count; ++i) {
        const std::wstring f =
            JoinPath(i % 2 ? JoinPath(dir, L"sub") : dir, L"doc" + std::to_wstring(10 + i) + L".txt");
        EXPECT_TRUE(WriteFileBytes(f, text));
        files.push_back(f);
    }
    return files;
}

std::string AllContent(const std::vector<std::wstring>& files) {
    std::string all;
    for (const std::wstring& f : files) all += ReadFileBytes(f) + "|";
    return all;
}

bool WaitFor(const std::function<bool()>& done, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (done()) return true;
        Sleep(50);
    }
    return done();
}

// The first handle the writer holds for writing below `dir`, from listings
// taken for up to `ms`.
bool SeeWriteHandle(int32_t pid, const std::wstring& dir, ListedFileHandle& seen, int64_t& listedMs,
                    DWORD ms) {
    const std::wstring prefix = AsciiLower(dir) + L"\\";
    return WaitFor(
        [&] {
            const FileHandleListing listing = ListFileHandles({pid});
            for (const ListedFileHandle& f : listing.files) {
                if (f.pid == pid && AsciiLower(f.path).compare(0, prefix.size(), prefix) == 0 &&
                    (f.access & (kAccessWriteData | kAccessAppendData))) {
                    seen = f;
                    listedMs = listing.listedMs;
                    return true;
                }
            }
            return false;
        },
        ms);
}

int64_t CreatedMs(const StandIn& s) {
    return FileTimeToUnixMs(s.created);
}

}  // namespace

TEST(ProcessPauser, AnEncryptorIsSeenWritingPausedAndResumed) {
    const std::wstring dir = TempFolder(L"vg_pause_enc_");
    const std::vector<std::wstring> files = PlantDocuments(dir, 14);
    const std::string before = AllContent(files);

    StandIn writer;
    writer.removeExe = true;
    const std::wstring exe = JoinPath(dir, L"..\\vg_enc_writer.exe");
    ASSERT_TRUE(StartStandIn(StandInProgram(VG_WRITER_EXE), exe,
                             L"\"" + exe + L"\" encrypt \"" + dir + L"\" 300", 0, writer));
    const int64_t trigger = NowUnixMs();

    ListedFileHandle held;
    int64_t listedMs = 0;
    ASSERT_TRUE(SeeWriteHandle(writer.pid, dir, held, listedMs, 5000))
        << "the held document shows in a listing";

    // The evidence rule takes it: the file is logged as damaged a moment later.
    EvidenceQuery q;
    q.triggerMs = trigger;
    q.tree = dir;
    q.damaged = {{held.path, listedMs + 200}};
    const PauseEvidence evidence = FindWriteEvidence(q, {{held.path, held.access, listedMs}});
    ASSERT_TRUE(evidence.found) << WideToUtf8(held.path);

    int64_t started = 0;
    const PauseTarget target = DescribePauseTarget(writer.pid, started);
    EXPECT_EQ(started, CreatedMs(writer));
    EXPECT_TRUE(target.sameUser && target.sameSession && target.canSuspend && !target.isSelf);
    EXPECT_EQ(NeverPauseReason(target, WindowsFolderPath(), L""), nullptr);
    EXPECT_STREQ(NeverPauseReason(target, WindowsFolderPath(), L"vg_enc_writer.exe"),
                 "listed in neverPausePrograms");

    // Another creation time is another process: nothing is suspended.
    uint32_t error = 0;
    EXPECT_EQ(SuspendProcessExactly(writer.pid, started + 1, error), PauseResult::Gone);
    ASSERT_EQ(SuspendProcessExactly(writer.pid, started, error), PauseResult::Done) << error;
    Sleep(400);  // a write already under way ends
    const std::string paused = AllContent(files);
    Sleep(1500);
    EXPECT_EQ(AllContent(files), paused) << "a paused writer changes nothing";
    EXPECT_NE(paused, before) << "it had begun";
    EXPECT_NE(WaitForSingleObject(writer.process.get(), 0), WAIT_OBJECT_0) << "paused, not ended";

    ASSERT_EQ(ResumeProcessExactly(writer.pid, started, error), PauseResult::Done) << error;
    EXPECT_TRUE(WaitFor([&] { return AllContent(files) != paused; }, 3000)) << "resumed, it goes on";

    // Ending is for the user's answer, and only of that very process.
    EXPECT_EQ(EndProcessExactly(writer.pid, started + 1, error), PauseResult::Gone);
    ASSERT_EQ(EndProcessExactly(writer.pid, started, error), PauseResult::Done) << error;
    EXPECT_EQ(WaitForSingleObject(writer.process.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(SuspendProcessExactly(writer.pid, started, error), PauseResult::Gone);
}

TEST(ProcessPauser, AnEverydayWriterLeavesNoEvidence) {
    const std::wstring dir = TempFolder(L"vg_pause_day_");
    const std::vector<std::wstring> files = PlantDocuments(dir, 4);
    StandIn writer;
    writer.removeExe = true;
    const std::wstring exe = JoinPath(dir, L"..\\vg_day_writer.exe");
    ASSERT_TRUE(StartStandIn(StandInProgram(VG_WRITER_EXE), exe,
                             L"\"" + exe + L"\" everyday \"" + dir + L"\" 200", 0, writer));
    const int64_t trigger = NowUnixMs();
    ListedFileHandle held;
    int64_t listedMs = 0;
    ASSERT_TRUE(SeeWriteHandle(writer.pid, dir, held, listedMs, 5000)) << "its exports show in a listing";
    EXPECT_NE(AsciiLower(held.path).find(L"export_"), std::wstring::npos) << WideToUtf8(held.path);

    // The damage is elsewhere in the tree (another program's): writing other files is no evidence.
    EvidenceQuery q;
    q.triggerMs = trigger;
    q.tree = dir;
    q.detectionFile = files[0];
    q.damaged = {{files[1], listedMs}};
    EXPECT_FALSE(FindWriteEvidence(q, {{held.path, held.access, listedMs}}).found);
}

TEST(ProcessPauser, WhatIsNeverPausedOnThisPlatform) {
    int64_t started = 0;
    const PauseTarget self = DescribePauseTarget(static_cast<int32_t>(GetCurrentProcessId()), started);
    EXPECT_STREQ(NeverPauseReason(self, WindowsFolderPath(), L""), "the agent itself");
    EXPECT_NE(NeverPauseReason(DescribePauseTarget(0, started), WindowsFolderPath(), L""), nullptr);
    EXPECT_NE(NeverPauseReason(DescribePauseTarget(4, started), WindowsFolderPath(), L""), nullptr);

    // A pid nobody has: it cannot be opened, so it is never paused.
    const PauseTarget none = DescribePauseTarget(0x7FFFFFF0, started);
    EXPECT_NE(NeverPauseReason(none, WindowsFolderPath(), L""), nullptr);
    uint32_t error = 0;
    EXPECT_NE(SuspendProcessExactly(0x7FFFFFF0, 1700000000000LL, error), PauseResult::Done);

    const FileHandleListing listing = ListFileHandles({0x7FFFFFF0});
    EXPECT_TRUE(listing.listed);
    EXPECT_TRUE(listing.files.empty());
    EXPECT_EQ(RunningNameWorkers(), 0u);
}
