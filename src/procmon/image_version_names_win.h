// The names an image's version resource gives the program (setting
// extendedDetection): whoever made the file wrote them, so a copy of a system
// tool under another name still calls itself by the tool's name. Read on the
// process monitor's thread (WMI or polling) from the image path it already
// has; the rules in extended_process_rules.h decide what the names mean.
#pragma once

#include <string>

#include "procmon/process_events.h"

// OriginalFilename and InternalName of the version resource of the file at
// imagePath, from its first listed translation that has them, else from the
// usual U.S. English and neutral tables. False, both empty, when the path is
// empty, the file cannot be read or has no version resource, or the resource
// names neither. A name stops at its first NUL; at most 260 characters are kept.
bool ReadImageVersionNames(const std::wstring& imagePath, std::wstring& originalFileName,
                           std::wstring& internalName);

// With extendedDetection on and info.path set: fills info.originalFileName and
// info.internalName from the image. Otherwise leaves them as they are.
void AddImageVersionNames(ProcessInfo& info);
