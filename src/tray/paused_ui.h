// The tray's side of pausing: the balloon when a program was paused (the
// worker posts, the window shows it on its own thread), and the "Paused
// programs…" command, one message box per paused program.
#pragma once

#include <windows.h>

#include "procmon/pause_records.h"

constexpr UINT kProgramPausedMessage = WM_APP + 2;

// At the window's creation: remembers the window for the worker's notices
// and lists again the programs a previous agent left paused.
void StartPausedUi(HWND window);
// gProgramPaused: queues the balloon and posts kProgramPausedMessage.
void NoteProgramPaused(const PausedProgram& program);
// kProgramPausedMessage: one balloon per program paused since the last.
void ShowPausedBalloons();
// The menu command: Yes ends the program, No lets it run again, Cancel keeps it paused.
void PausedProgramsCommand(HWND window);
// Whether the menu shows the command.
bool AnyProgramPaused();
