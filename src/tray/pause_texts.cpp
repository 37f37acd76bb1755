#include "tray/pause_texts.h"

std::vector<TrayMenuItem> TrayMenuItemsFor(bool anyPaused) {
    std::vector<TrayMenuItem> items;
    for (const TrayMenuItem& item : kTrayMenuItems) {
        if (anyPaused && item.flags == kMenuItemSeparator)
            items.push_back({kMenuItemString, kCmdPausedPrograms, kPausedProgramsMenuText});
        items.push_back(item);
    }
    return items;
}

std::wstring PausedBalloonTitle() {
    return L"Vellumgard - Program paused";
}

std::wstring PausedBalloonBody(const std::wstring& programName) {
    std::wstring name = programName.substr(0, kPausedNameMaxUnits);
    if (name.empty()) name = L"A program";
    return name + L" was caught encrypting your files and is paused.\n" +
           L"Choose \"Paused programs\u2026\" in the tray menu to end it or let it run again.";
}

std::wstring PausedBoxText(const std::wstring& path, const std::wstring& startedLocal,
                           const std::wstring& evidence) {
    return L"This program is paused: it was caught changing your files.\n\n" + path + L"\nStarted: " +
           (startedLocal.empty() ? std::wstring(L"unknown") : startedLocal) + L"\nEvidence: " + evidence +
           L"\n\nEnd it now?\n"
           L"Yes: end the program (anything it has not saved is lost).\n"
           L"No: let it run again.\n"
           L"Cancel: keep it paused and decide later.";
}

PausedAnswer PausedAnswerFor(int boxResult) {
    if (boxResult == 6) return PausedAnswer::End;
    if (boxResult == 7) return PausedAnswer::Resume;
    return PausedAnswer::Keep;
}
