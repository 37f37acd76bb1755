// Where the agent keeps its files: one per-user data folder and the four
// paths derived from it. Resolved once at core start, read-only afterwards.
#pragma once

#include <string>

struct DataPaths {
    std::wstring dataDir;
    std::wstring logFile;
    std::wstring configFile;
    std::wstring reportFile;
    std::wstring incidentsDir;
};

extern DataPaths gDataPaths;

// Fills gDataPaths below the base folder (local application data, else
// LOCALAPPDATA, else the current directory, else the temp folder), creates
// the data and Incidents folders, then synchronises the extra folders.
bool ResolveDataPaths();

// The per-user local application-data folder: the shell's, else the
// LOCALAPPDATA variable. False when neither names one.
bool LocalAppDataFolder(std::wstring& out);

// Fills the five paths below the given base folder; nothing is created.
void SetDataPathsBelow(const std::wstring& base);

// The shell's folder for a CSIDL (SHGetFolderPathW, current path), or the
// test seam standing in for it. False when the shell cannot name it.
bool ShellFolderPath(int csidl, std::wstring& out);

// Creates the folder and its missing parents. True when it exists afterwards
// (a file of that name counts, as CreateDirectoryW reports it as existing).
bool EnsureDirectoryTree(const std::wstring& path);
