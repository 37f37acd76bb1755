// What the user sees of a paused program: the balloon, the tray menu's
// "Paused programs…" command (only while something is paused) and the
// message box it shows for each paused program. Pure.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tray/tray_texts.h"

constexpr uint32_t kCmdPausedPrograms = 1008;
constexpr wchar_t kPausedProgramsMenuText[] = L"Paused programs\u2026";

// The menu: exactly kTrayMenuItems with nothing paused; with something
// paused, "Paused programs…" just before the separator.
std::vector<TrayMenuItem> TrayMenuItemsFor(bool anyPaused);

constexpr size_t kPausedNameMaxUnits = 100;  // the program's name in the balloon
// "Vellumgard - Program paused" (fits the balloon's 64-unit title).
std::wstring PausedBalloonTitle();
// The program's name (cut to kPausedNameMaxUnits), what it did and where to
// decide; always under the balloon's 256 units.
std::wstring PausedBalloonBody(const std::wstring& programName);

// Path, start time (local, as the caller formats it; empty: unknown),
// evidence, and the three answers.
std::wstring PausedBoxText(const std::wstring& path, const std::wstring& startedLocal,
                           const std::wstring& evidence);

// The box's answer (IDYES 6, IDNO 7, anything else: keep).
enum class PausedAnswer { End, Resume, Keep };
PausedAnswer PausedAnswerFor(int boxResult);
