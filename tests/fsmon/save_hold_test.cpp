// The hold on rename findings, played through the real name rules: what
// waits, when it is reported, and what a save's restore drops.
#include "fsmon/save_hold.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "fsmon/extended_name_rules.h"

namespace {

constexpr int64_t kT = 1760000000;
constexpr int kTick = 0;  // no record: the watcher's later look

struct Step {
    const wchar_t* name;
    int action;  // kTick: only the release of what is due
    uint64_t atMs;
};

// What the watcher does, in its order: due findings first, then the record's
// restore, then its own verdict, held or reported. "name reason @ms" each.
std::vector<std::string> Play(const std::vector<Step>& steps, uint64_t endMs) {
    ExtendedNameState names;
    HeldFindings held;
    std::vector<std::string> out;
    // Due at `dueBy`, reported at `atMs`.
    const auto release = [&](uint64_t dueBy, uint64_t atMs) {
        HeldFinding due;
        while (TakeDueFinding(held, dueBy, due))
            out.push_back(WideToUtf8(due.name) + " " + due.reason + " @" + std::to_string(atMs));
    };
    for (const Step& s : steps) {
        release(s.atMs, s.atMs);
        if (s.action == kTick) continue;
        const ExtendedNameVerdict v = EvaluateRecordExtended(names, s.name, s.action,
                                                             kT + static_cast<int64_t>(s.atMs / 1000), true, true);
        if (s.action == kActionAdded || s.action == kActionRenamedNew) DropRestored(held, s.name);
        if (EndsTheHold(v)) release(UINT64_MAX, s.atMs);
        if (ShouldHoldFinding(v) && HoldFinding(held, s.name, v, false, s.atMs)) continue;
        if (v.reason) out.push_back(WideToUtf8(s.name) + " " + v.reason + " @" + std::to_string(s.atMs));
    }
    release(endMs, endMs);
    return out;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(SaveHold, SavesThroughATemporaryNameAreDroppedAndOtherFindingsKept) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
        Lines want;
    };
    const std::vector<Case> cases = {
        {"appended temporary part, the new version written under the old name",
         {{L"report.docx", kActionRenamedOld, 0}, {L"report.docx.aB3dE9", kActionRenamedNew, 0},
          {L"report.docx", kActionAdded, 800}, {L"report.docx", kActionModified, 900},
          {L"report.docx.aB3dE9", kActionRemoved, 1000}},
         {}},
        {"replaced extension, the new version renamed in from another temporary name",
         {{L"Docs\\report.docx", kActionRenamedOld, 0}, {L"Docs\\report.aB3dE9", kActionRenamedNew, 0},
          {L"Docs\\~WRL0001.tmp", kActionAdded, 300}, {L"Docs\\~WRL0001.tmp", kActionRenamedOld, 1500},
          {L"Docs\\REPORT.DOCX", kActionRenamedNew, 1500}, {L"Docs\\report.aB3dE9", kActionRemoved, 1700}},
         {}},
        {"new version written beside, original deleted, then renamed back",
         {{L"budget.xlsx.zqx", kActionAdded, 0}, {L"budget.xlsx", kActionRemoved, 100},
          {L"budget.xlsx.zqx", kActionRenamedOld, 400}, {L"budget.xlsx", kActionRenamedNew, 400}},
         {}},
        {"never restored: reported once the window has passed",
         {{L"report.docx", kActionRenamedOld, 0}, {L"report.docx.aB3dE9", kActionRenamedNew, 0},
          {L"x", kTick, 1999}, {L"x", kTick, 2000}, {L"report.docx.aB3dE9", kActionRemoved, 2500}},
         {"report.docx.aB3dE9 appended_extension @2000", "report.docx.aB3dE9 encrypted_like_extension @2500"}},
        {"restored too late: the finding stands",
         {{L"photo.jpg", kActionRenamedOld, 0}, {L"photo.zqx", kActionRenamedNew, 0}, {L"x", kTick, 2100},
          {L"photo.jpg", kActionAdded, 2500}},
         {"photo.zqx replaced_extension @2100"}},
        {"another name coming back drops nothing",
         {{L"report.docx", kActionRenamedOld, 0}, {L"report.docx.aB3dE9", kActionRenamedNew, 0},
          {L"budget.xlsx", kActionAdded, 500}, {L"Other\\report.docx", kActionAdded, 600}},
         {"report.docx.aB3dE9 appended_extension @3000"}},
        {"a new name that is its own original is reported at once",
         {{L"notes.docx", kActionRemoved, 0}, {L"5C8F0A2B.zqx", kActionAdded, 200}},
         {"5C8F0A2B.zqx replaced_extension @200"}},
        {"a note name is never held",
         {{L"HOW_TO_DECRYPT_FILES.txt", kActionAdded, 0}}, {"HOW_TO_DECRYPT_FILES.txt ransom_note_like_name @0"}},
        {"a mass rename ends the hold: its earlier files are reported first, at once",
         {{L"a.docx", kActionRenamedOld, 0}, {L"a.docx.zqx", kActionRenamedNew, 0},
          {L"b.xlsx", kActionRenamedOld, 500}, {L"b.xlsx.zqx", kActionRenamedNew, 500},
          {L"c.pdf", kActionRenamedOld, 1000}, {L"c.pdf.zqx", kActionRenamedNew, 1000}, {L"x", kTick, 2600}},
         {"a.docx.zqx appended_extension @1000", "b.xlsx.zqx appended_extension @1000",
          "c.pdf.zqx appended_extension @1000"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Play(c.steps, 3000), c.want) << c.what;
}

TEST(SaveHold, TheMemoryIsBoundedAndReportsAtOnceWhenFull) {
    ExtendedNameVerdict v;
    v.reason = v.extReason = kReasonAppendedExtension;
    v.original = L"a.docx";
    HeldFindings held;
    for (size_t i = 0; i < kHeldFindingsLimit; ++i) ASSERT_TRUE(HoldFinding(held, L"a.docx.zqx", v, false, 10 + i));
    EXPECT_FALSE(HoldFinding(held, L"a.docx.zqx", v, false, 100));
    EXPECT_EQ(MsUntilNextFinding(held, 10), static_cast<int64_t>(kSaveHoldMs));
    EXPECT_EQ(MsUntilNextFinding(held, 10 + kSaveHoldMs + 5), 0);
    EXPECT_EQ(DropRestored(held, L"A.DOCX"), kHeldFindingsLimit);
    EXPECT_EQ(MsUntilNextFinding(held, 10), -1);
    HeldFinding out;
    EXPECT_FALSE(TakeDueFinding(held, UINT64_MAX, out));
}
