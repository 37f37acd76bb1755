// Findings held back for a save to finish (setting extendedDetection).
// Editors and office suites save by renaming the user's file to a temporary
// name ("report.docx" -> "report.docx.aB3dE9" or "report.aB3dE9"), writing the
// new version, and giving it the original name again within a second or two.
// A rename rule's finding on a user file whose original name may still come
// back waits kSaveHoldMs: the original name appearing again in the same tree
// (added, or the new name of a rename) drops it; otherwise it is reported as
// it would have been at once. Pure: time comes in as a value; the watcher owns
// the memory, one per watched tree, bounded by kHeldFindingsLimit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "fsmon/extended_name_rules.h"

constexpr uint64_t kSaveHoldMs = 2000;
constexpr size_t kHeldFindingsLimit = 64;

struct HeldFinding {
    std::wstring name;         // the record's name, as the line will carry it
    std::wstring original;     // the original name, lower-cased
    const char* reason = nullptr;
    bool recovered = false;    // the record came from a reconciliation
    uint64_t dueMs = 0;
};

struct HeldFindings {
    std::deque<HeldFinding> items;  // in due order
};

// Whether a verdict waits: an appended or replaced extension alone (no note,
// no mass rename) on a user file whose original name may come back
// (verdict.original not empty). Anything else is reported at once.
bool ShouldHoldFinding(const ExtendedNameVerdict& verdict);

// Whether a verdict ends every hold of its tree at once: a mass rename is
// no save, and the files it counted are reported before its own incident.
bool EndsTheHold(const ExtendedNameVerdict& verdict);

// Holds the verdict's finding for `name` until nowMs + kSaveHoldMs. False
// when the memory is full: the caller reports it at once.
bool HoldFinding(HeldFindings& held, const std::wstring& name, const ExtendedNameVerdict& verdict,
                 bool recovered, uint64_t nowMs);

// A name that appears in the tree (added, or the new name of a rename): the
// held findings whose original it is are dropped. Returns how many.
size_t DropRestored(HeldFindings& held, const std::wstring& name);

// The oldest finding whose time has come, taken out; false when none.
bool TakeDueFinding(HeldFindings& held, uint64_t nowMs, HeldFinding& out);

// Milliseconds until the next finding is due (0: one is due now); -1: none held.
int64_t MsUntilNextFinding(const HeldFindings& held, uint64_t nowMs);
